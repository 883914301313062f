"""A response body as text for a collection's example: its Content-Encoding undone, or why it is not shown."""

from __future__ import annotations

import zlib

__all__ = ["as_text", "decoded", "SHOWN_LIMIT"]

# A larger body is named in the example, not put in it.
SHOWN_LIMIT = 1 << 20
# What a brotli decoder is asked for at a time.
_STEP = 1 << 16


class _Past(Exception):
    """A layer decodes to more than the limit: nothing past it is decoded."""


def _inflate(body: bytes, wbits: int, limit: int, whole: bool) -> bytes:
    d = zlib.decompressobj(wbits)
    out = d.decompress(body, limit + 1)  # at most one byte past the limit is ever made
    if len(out) > limit:
        raise _Past
    if whole and not d.eof:
        raise zlib.error("incomplete or truncated stream")
    return out


def _undo(body: bytes, coding: str, limit: int, whole: bool = False) -> bytes:
    if coding in ("gzip", "x-gzip"):
        return _inflate(body, 16 + zlib.MAX_WBITS, limit, whole)
    if coding == "deflate":
        try:
            return _inflate(body, zlib.MAX_WBITS, limit, True)
        except zlib.error:  # at the two bytes of the zlib header, as a rule: nothing much decoded twice
            return _inflate(body, -zlib.MAX_WBITS, limit, True)  # raw deflate, as some servers send it
    if coding == "br":
        from importlib import import_module

        d = import_module("brotli").Decompressor()  # ImportError: named by the caller
        try:
            # brotli 1.2 stops growing its output at a limit (an older one has no way to): taken in
            # steps, no more than a step past the limit is made. Its window is the stream's, 16 MiB at most.
            parts = [d.process(body, output_buffer_limit=_STEP)]
        except TypeError:
            raise _Unbounded from None
        size = len(parts[0])
        while size <= limit and not d.is_finished() and parts[-1]:  # nothing more made: the input ran out
            parts.append(d.process(b"", output_buffer_limit=_STEP))
            size += len(parts[-1])
        if size > limit:
            raise _Past
        if not d.is_finished():
            raise zlib.error("incomplete or truncated stream")
        return b"".join(parts)
    raise ValueError(coding)


class _Unbounded(Exception):
    """The installed brotli module decodes only whole bodies, of whatever size they make."""


def decoded(body: bytes, headers: list[tuple[bytes, bytes]], limit: int = SHOWN_LIMIT,
            whole: bool = False) -> tuple[bytes | None, str]:
    """(the body with its Content-Encoding undone, "") or (None, why not, in a few words); no more than
    `limit` bytes (and one) are ever decoded of any layer, so a small body naming a huge one costs little.
    `whole`: a gzip stream cut short is not decoded either (what was shown of it is no longer all of it)."""
    codings = []
    for name, value in headers:
        if name.lower() == b"content-encoding":
            codings += [c.strip().lower() for c in value.decode("latin-1").split(",") if c.strip()]
    for coding in reversed(codings):
        if coding == "identity":
            continue
        try:
            body = _undo(body, coding, limit, whole)
        except _Past:
            kind = _kind(headers)
            return None, f"{coding}-encoded body of {len(body)} bytes decoding to more than {limit} bytes ({kind}), " \
                         "too large to show"
        except _Unbounded:
            return None, f"{coding}-encoded body of {len(body)} bytes, not decoded: the brotli module installed " \
                         "cannot stop at a size (1.2 and later can)"
        except ImportError:
            return None, f"{coding}-encoded body of {len(body)} bytes, not decoded: the brotli module is not installed"
        except ValueError:
            return None, f"body of {len(body)} bytes in the content coding {coding!r}, which is not decoded here"
        except zlib.error:
            return None, f"{coding}-encoded body of {len(body)} bytes that could not be decoded"
        except Exception as e:  # brotli.error and the like: a damaged body is named, never a crash
            return None, f"{coding}-encoded body of {len(body)} bytes that could not be decoded ({type(e).__name__})"
    return body, ""


def _kind(headers: list[tuple[bytes, bytes]]) -> str:
    return next((v.decode("latin-1") for n, v in headers if n.lower() == b"content-type"), "no Content-Type")


def as_text(body: bytes, headers: list[tuple[bytes, bytes]]) -> tuple[str | None, str]:
    """(the body as text, "") or (None, what it is instead: a few words for the example's name)."""
    body, what = decoded(body, headers)
    if body is None:
        return None, what
    kind = _kind(headers)
    if len(body) > SHOWN_LIMIT:
        return None, f"body of {len(body)} bytes ({kind}), too large to show"
    if b"\x00" in body:
        return None, f"binary body of {len(body)} bytes ({kind})"
    try:
        return body.decode("utf-8"), ""
    except UnicodeDecodeError:
        return None, f"binary body of {len(body)} bytes ({kind})"
