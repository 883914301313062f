"""Every form a request is shared in: the request value, a writer per form, and writing one form of a run."""

from __future__ import annotations

from importlib import import_module

from .output import BODY_DIR, Unfit, Written
from .request import Request

__all__ = ["FORMS", "ALIASES", "Request", "Written", "Unfit", "write", "BODY_DIR"]

# name -> the writer's module (under tolmek_forms.writers). Each writer module has FORM (its
# name in messages), MAIN (the file it writes, or the folder's marker file), FOLDER (whether its
# output is a folder of files), and head(out), one(request, out) -> text, tail(out).
FORMS = {
    "httpx": "python_httpx",
    "requests": "python_requests",
    "node": "node_http",
    "hurl": "hurl",
    "httpie": "httpie",
    "http": "http_file",
    "wget": "wget",
    "bruno": "bruno",
}
ALIASES = {"python": "httpx"}


def writer(form: str):
    """The writer module of a form; ValueError naming the forms for another name."""
    module = FORMS.get(ALIASES.get(form, form)) if type(form) is str else None
    if module is None:
        raise ValueError(f"unknown form {form!r}: one of {', '.join([*ALIASES, *FORMS])}")
    return import_module(f".writers.{module}", __name__)


def write(form: str, requests, *, strict: bool = False, files: bool = True) -> Written:
    """The form's output for the requests, in order. A request the form cannot carry, or (with
    `strict`) one it would carry with a loss, is skipped with its reason; `files`: whether the
    output may have files beside it (bodies a source cannot hold)."""
    from .variables import all_holders, without_holders

    mod = writer(form)
    out = Written(mod.FORM, mod.MAIN)
    out.allow_files = files or mod.FOLDER
    requests = list(requests)
    fills = getattr(mod, "VARIABLES", False)
    # token -> name of every variable the output asks for
    out.holders = all_holders(requests) if fills else {}
    parts = [mod.head(out)]
    for request in requests:
        if request.needs_curl is not None:
            out.skipped.append((request, f"{request.needs_curl}, which only a curl command carries"))
            continue
        if not fills and (reason := without_holders(mod.FORM, request)) is not None:
            out.skipped.append((request, reason))
            continue
        request.losses = []
        files_before = dict(out.files)
        try:
            text = mod.one(request, out)
        except Unfit as e:
            out.files = files_before
            out.skipped.append((request, str(e)))
            continue
        if strict and request.losses:
            out.files = files_before
            out.skipped.append((request, f"{'; '.join(request.losses)} (--strict)"))
            continue
        out.losses.extend((request, loss) for loss in request.losses)
        out.converted += 1
        parts.append(text)
    parts.append(mod.tail(out))
    if not mod.FOLDER:
        out.files[out.main] = "".join(parts).encode("utf-8")
    return out
