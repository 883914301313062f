"""A response body as text for a collection's example: its Content-Encoding undone, or why it is not shown."""

from __future__ import annotations

import zlib

__all__ = ["as_text", "SHOWN_LIMIT"]

# A larger body is named in the example, not put in it.
SHOWN_LIMIT = 1 << 20


def _undo(body: bytes, coding: str) -> bytes:
    if coding in ("gzip", "x-gzip"):
        return zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(body)
    if coding == "deflate":
        try:
            return zlib.decompress(body)
        except zlib.error:
            return zlib.decompress(body, -zlib.MAX_WBITS)  # raw deflate, as some servers send it
    if coding == "br":
        from importlib import import_module

        return import_module("brotli").decompress(body)  # ImportError: named by the caller
    raise ValueError(coding)


def as_text(body: bytes, headers: list[tuple[bytes, bytes]]) -> tuple[str | None, str]:
    """(the body as text, "") or (None, what it is instead: a few words for the example's name)."""
    codings = []
    for name, value in headers:
        if name.lower() == b"content-encoding":
            codings += [c.strip().lower() for c in value.decode("latin-1").split(",") if c.strip()]
    for coding in reversed(codings):
        if coding == "identity":
            continue
        try:
            body = _undo(body, coding)
        except ImportError:
            return None, f"{coding}-encoded body of {len(body)} bytes, not decoded: the brotli module is not installed"
        except ValueError:
            return None, f"body of {len(body)} bytes in the content coding {coding!r}, which is not decoded here"
        except zlib.error:
            return None, f"{coding}-encoded body of {len(body)} bytes that could not be decoded"
        except Exception as e:  # brotli.error and the like: a damaged body is named, never a crash
            return None, f"{coding}-encoded body of {len(body)} bytes that could not be decoded ({type(e).__name__})"
    kind = next((v.decode("latin-1") for n, v in headers if n.lower() == b"content-type"), "no Content-Type")
    if len(body) > SHOWN_LIMIT:
        return None, f"body of {len(body)} bytes ({kind}), too large to show"
    if b"\x00" in body:
        return None, f"binary body of {len(body)} bytes ({kind})"
    try:
        return body.decode("utf-8"), ""
    except UnicodeDecodeError:
        return None, f"binary body of {len(body)} bytes ({kind})"
