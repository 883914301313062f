"""What a recording keeps of one request: the request as written, its response as read, and the test that sent it."""

from __future__ import annotations

from dataclasses import dataclass

from .wire import WireRequest

__all__ = ["WireResponse", "Exchange"]


@dataclass(slots=True)
class WireResponse:
    """One response as the client read it off the connection: the status line's code and reason,
    every header line in order (names in the server's case, duplicates kept, values without the
    white space around them), and the body bytes as sent (de-chunked, still content-encoded;
    b"" when there was none)."""

    status: int
    reason: str
    headers: list[tuple[bytes, bytes]]
    body: bytes


@dataclass(slots=True)
class Exchange:
    """A request a recording saw, with where it belongs.

    `test` is the pytest node id of the test that was running when the request was sent (None
    outside a test); `folder` the folders the request goes into, outermost first (for a test: its
    module's path, then the test's id, parametrised ids kept; () outside a test); `order` sorts
    exchanges deterministically across processes: (the test's place in the collected session or
    0, the request's place among that test's requests, counted when it was sent)."""

    request: WireRequest
    response: WireResponse | None = None  # None while not yet read, or when none was read whole
    test: str | None = None
    folder: tuple[str, ...] = ()
    order: tuple[int, int] = (0, 0)
