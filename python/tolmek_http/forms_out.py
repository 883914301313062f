"""The recording in the other forms a user asks for: each request as that form writes it, its secrets
read from the same variables as the script's."""

from __future__ import annotations

import hashlib

from .postman_out import absolute, origin_of
from .redact import Ref, Vault, joined, request_parts

__all__ = ["FOLDER", "forms"]

# The forms go in a folder of their own, so that their body files keep apart from the collection's.
FOLDER = "forms"


def _label(vault: Vault, text: str) -> str:
    return joined(vault.chunks(text), lambda name: f"${{{name}}}")


def _nonce(exchanges) -> str:
    """The tokens' common part: drawn from the requests themselves, so that the same recording (also one
    made by several workers) writes the same files, and found in none of them."""
    seed = hashlib.sha256()
    texts = []
    for ex in sorted(exchanges, key=lambda e: e.order):
        request = ex.request
        texts.append(b"\n".join([request.target, *(n + b":" + v for n, v in request.headers), request.body or b""]))
        seed.update(texts[-1])
    while True:
        nonce = seed.hexdigest()[:8].upper()
        if not any(f"TZ{nonce}".encode() in text for text in texts):
            return nonce
        seed.update(b"again")


def values(exchanges, vault: Vault, is_text, warn) -> list:
    """The request value of each exchange, in the order sent, each secret a token of the value's
    holders (token -> variable name)."""
    from tolmek_forms import Request

    nonce = _nonce(exchanges)
    tokens: dict[str, str] = {}  # variable name -> token, the same in every request
    out = []
    for index, ex in enumerate(sorted(exchanges, key=lambda e: e.order)):
        parts = request_parts(vault, ex.request, is_text)
        if parts.withheld:
            warn(f"request {index + 1}: not in the forms: its body is withheld: it is {parts.withheld}")
            continue
        holders: dict[str, str] = {}

        def put(chunks):
            pieces = []
            for c in chunks:
                if type(c) is Ref:
                    token = tokens.setdefault(c, f"TZ{nonce}{len(tokens)}ZT")
                    holders[token] = c
                    pieces.append(token)
                else:
                    pieces.append(c)
            return "".join(pieces)

        origin, _ = origin_of(ex.request)
        target = put(parts.target)
        split = absolute(target)
        url = origin + (split[1] if split is not None else target)
        headers = [(put(n), put(c)) for n, (_, c) in zip(parts.names, parts.headers)]
        body = None if parts.body is None else put(parts.body).encode("utf-8", "surrogateescape")
        label = _label(vault, f"test {ex.test}") if ex.test is not None else "outside any test"
        value = Request(ex.request.method, url, headers, body, label=f"request {index + 1}, {label}", index=index,
                        holders=holders or None,
                        needs_curl="a proxy" if ex.request.proxy else None)
        out.append(value)
    return out


def forms(names, exchanges, vault: Vault, is_text, warn) -> dict[str, bytes]:
    """path under FOLDER -> bytes, of every form in `names`; what a form skips or loses is warned of,
    one line a form."""
    import tolmek_forms

    made = values(exchanges, vault, is_text, warn)
    files: dict[str, bytes] = {}
    for name in names:
        written = tolmek_forms.write(name, made)
        prefix = f"{name}/" if tolmek_forms.writer(name).FOLDER else ""
        for path, data in written.files.items():
            files[prefix + path] = data
        for value, reason in written.skipped:
            warn(f"{value.label}: not in the {written.form} form: {reason}")
        losses = {}
        for value, loss in written.losses:
            losses.setdefault(loss, []).append(value.index + 1)
        for loss, which in losses.items():
            shown = ", ".join(map(str, which[:10])) + (f" and {len(which) - 10} more" if len(which) > 10 else "")
            warn(f"the {written.form} form: not exact for request{'s' if len(which) > 1 else ''} {shown}: {loss}")
    return files
