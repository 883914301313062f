"""Writes a recording's exchanges as a Postman collection, a curl script and, apart, their secrets."""

from __future__ import annotations

import json
import os
import secrets as _random
import stat
import warnings
from collections.abc import Iterable

from . import postman_out, redact, script_out
from .compose import is_text
from .exchange import Exchange
from .redact import Vault

__all__ = ["write", "RecordingWarning", "COLLECTION", "ENVIRONMENT", "SCRIPT", "SECRETS"]

COLLECTION = "tolmek.postman_collection.json"
ENVIRONMENT = "tolmek.postman_environment.json"
SCRIPT = "requests.sh"
SECRETS = "secrets.sh"


class RecordingWarning(UserWarning):
    """Something of a recording that its outputs cannot carry exactly, with the reason."""


def _create(directory: str, name: str, data: bytes, mode: int) -> str:
    """Write `data` to directory/name through a new file beside it, then rename it into place: a
    link planted under that name is replaced, never followed, and the file has `mode` (before the
    umask) from its first byte on, so a secret is never readable by others."""
    path = os.path.join(directory, name)
    for _ in range(100):
        temporary = os.path.join(directory, f".{os.path.basename(name)}.{_random.token_hex(4)}.tmp")
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, mode)
            break
        except FileExistsError:
            continue
    else:
        raise FileExistsError(f"cannot make a temporary file in {directory!r}")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return path


def _subdirectory(directory: str, name: str) -> str:
    path = os.path.join(directory, name)
    try:
        os.mkdir(path, 0o755)
    except FileExistsError:
        if not stat.S_ISDIR(os.lstat(path).st_mode):
            raise NotADirectoryError(f"{path!r} exists and is not a directory (a link is not followed)") from None
    return path


def _environment(vault: Vault, name: str) -> bytes:
    values = [{"key": k, "value": v.encode("utf-8", "surrogateescape").decode("utf-8", "replace"),
               "type": "secret", "enabled": True} for k, v in vault.values.items()]
    doc = {"name": f"{name} secrets", "values": values, "_postman_variable_scope": "environment"}
    return (json.dumps(doc, indent=2, ensure_ascii=False) + "\n").encode("utf-8")


def _secrets_sh(vault: Vault) -> bytes:
    """sh assignments, each value in single quotes (every byte but `'` stands for itself there).
    Not exported: only the script sourced after it reads them, never curl or another program."""
    lines = [b"# Secrets of the recording: source this file (. ./secrets.sh) before requests.sh."]
    for k, v in vault.values.items():
        raw = v.encode("utf-8", "surrogateescape")
        lines.append(k.encode() + b"='" + raw.replace(b"'", b"'\\''") + b"'")
    return b"\n".join(lines) + b"\n"


def write(directory: str | os.PathLike, exchanges: Iterable[Exchange], *, secret_names: Iterable[str] | None = None,
          extra_secret_names: Iterable[str] = (), write_secrets: bool = True,
          name: str = "tolmek recording", forms: Iterable[str] = ()) -> list[str]:
    """Write the exchanges into `directory` (made if missing): COLLECTION (and body files under
    bodies/ for bodies that are not text), SCRIPT, and with `write_secrets` ENVIRONMENT and SECRETS
    (mode 0600), the only files that hold the secrets' values. Fields named like `secret_names`
    (default redact.SECRET_NAMES), or like those and `extra_secret_names`, and the auth and cookie
    headers become variables everywhere. `forms` (python, requests, node, wget, ...): the requests in
    those forms too, under forms/, their secrets read from the same variables.
    What the outputs cannot carry exactly is named in a RecordingWarning. Returns the paths written."""
    exchanges = list(exchanges)
    directory = os.fspath(directory)
    os.makedirs(directory, exist_ok=True)
    vault = Vault(secret_names, extra_secret_names)

    def warn(message: str) -> None:
        # Shown at the caller's line, whichever of this package's modules found it.
        warnings.warn(message, RecordingWarning, skip_file_prefixes=(os.path.dirname(__file__),))

    # First every secret is found, so that each is replaced wherever else it shows up, whichever came first.
    redact.gather(vault, exchanges)
    for field in dict.fromkeys(vault.unheld):
        warn(f"a value of the field {field!r} holds a NUL, which no shell variable can hold: it is left "
             f"in the outputs as it was")
    for key, value in vault.values.items():
        if "{{" in value:
            warn(f"the secret {key} holds '{{{{', which newman reads as a variable reference in the value too")
    doc, files, sources = postman_out.collection(exchanges, vault, name, is_text, warn)
    script = script_out.script(exchanges, vault, name, is_text, warn, write_secrets, sources)
    written = []
    if files:
        bodies = _subdirectory(directory, "bodies")
        for rel, data in files.items():
            written.append(_create(bodies, os.path.basename(rel), data, 0o644))
    text = json.dumps(doc, indent=2, ensure_ascii=False) + "\n"
    try:
        data = text.encode("utf-8")
    except UnicodeEncodeError:
        warn("the collection holds bytes that are not UTF-8 (in a header or a target), which JSON text "
             "cannot carry: written as U+FFFD")
        data = text.encode("utf-8", "surrogateescape").decode("utf-8", "replace").encode("utf-8")
    written.append(_create(directory, COLLECTION, data, 0o644))
    written.append(_create(directory, SCRIPT, script.encode("utf-8", "surrogateescape"), 0o755))
    if forms:
        from .forms_out import FOLDER, forms as in_forms

        for rel, data in in_forms(forms, exchanges, vault, is_text, warn).items():
            parent, base = os.path.split(os.path.join(FOLDER, rel))
            where = directory
            for part in parent.split(os.sep):
                where = _subdirectory(where, part)
            written.append(_create(where, base, data, 0o755 if base.endswith((".sh", ".py", ".js")) else 0o644))
    if write_secrets:
        written.append(_create(directory, ENVIRONMENT, _environment(vault, name), 0o600))
        written.append(_create(directory, SECRETS, _secrets_sh(vault), 0o600))
    return written
