"""A pytest-xdist worker's exchanges as a JSON file (bodies in base64), and back: how a distributed session's recording reaches its controller."""

from __future__ import annotations

import base64
import json
import os
import tempfile

from .exchange import Exchange, WireResponse
from .wire import WireRequest

__all__ = ["dump", "load"]

_FORMAT = 1


def _b64(data: bytes | None) -> str | None:
    return None if data is None else base64.b64encode(data).decode("ascii")


def _bytes(text: str | None) -> bytes | None:
    return None if text is None else base64.b64decode(text, validate=True)


def _given(text: str) -> bytes:
    return base64.b64decode(text, validate=True)


def _response(response: WireResponse | None):
    if response is None:
        return None
    return {"status": response.status, "reason": response.reason,
            "headers": [[_b64(n), _b64(v)] for n, v in response.headers], "body": _b64(response.body)}


def dump(directory: str, name: str, exchanges: list[Exchange], warnings: list[str]) -> str:
    """Writes the exchanges (responses filled in) and the warnings to `directory`/`name`.json,
    through a new file renamed into place; returns its path."""
    document = {"format": _FORMAT, "warnings": warnings, "exchanges": [
        {"head": _b64(e.request._head), "body": _b64(e.request.body), "where": list(e.request._where),
         "response": _response(e.response), "test": e.test, "folder": list(e.folder), "order": list(e.order)}
        for e in exchanges]}
    fd, temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(document, f, separators=(",", ":"))
        path = os.path.join(directory, f"{name}.json")
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise
    return path


def load(path: str) -> tuple[list[Exchange], list[str]]:
    """The exchanges and warnings of a file `dump` wrote; ValueError naming what is wrong in one
    that is not such a file."""
    try:
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
        if document.get("format") != _FORMAT:
            raise ValueError(f"format {document.get('format')!r}, not {_FORMAT}")
        exchanges = []
        for e in document["exchanges"]:
            scheme, authority, proxy = e["where"]
            request = WireRequest(_given(e["head"]), _bytes(e["body"]), (scheme, authority, proxy))
            r = e["response"]
            response = None if r is None else WireResponse(
                int(r["status"]), str(r["reason"]), [(_given(n), _given(v)) for n, v in r["headers"]], _given(r["body"]))
            if response is not None:
                try:
                    request.response = response  # where the writer and a reader of the request find it
                except AttributeError:  # a WireRequest without the slot: the exchange carries it
                    pass
            order = e["order"]
            exchanges.append(Exchange(request, response, e["test"], tuple(e["folder"]), (int(order[0]), int(order[1]))))
        return exchanges, [str(w) for w in document["warnings"]]
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
        raise ValueError(f"{path}: not a recording's part file: {type(e).__name__}: {e}") from None
