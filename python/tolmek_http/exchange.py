"""What a recording keeps of one request: the request as written, its response as read, and the test that sent it."""

from __future__ import annotations

from dataclasses import dataclass

from .wire import WireRequest

__all__ = ["WireResponse", "Exchange"]


class WireResponse:
    """One response as the client read it off the connection: the status line's code and reason,
    every header line in order (names in the server's case, duplicates kept, values without the
    white space around them), and the body bytes as sent (de-chunked, still content-encoded;
    b"" when there was none)."""

    # The reader hands over the reason and the header lines as the bytes it read (the header
    # lines checked plain, CRLF-separated, each starting with its CRLF): most responses
    # recorded are never looked at before they are written, so they are split on first use.
    __slots__ = ("status", "_reason", "_headers", "body")

    def __init__(self, status: int, reason: str, headers: list[tuple[bytes, bytes]], body: bytes):
        self.status = status
        self._reason = reason
        self._headers = headers
        self.body = body

    @property
    def reason(self) -> str:
        reason = self._reason
        if type(reason) is not str:
            reason = self._reason = "" if reason is None else reason.decode("latin-1")
        return reason

    @reason.setter
    def reason(self, reason: str) -> None:
        self._reason = reason

    @property
    def headers(self) -> list[tuple[bytes, bytes]]:
        headers = self._headers
        if type(headers) is bytes:
            headers = self._headers = [(name, value.strip(b" \t")) for name, value in
                                       (line.split(b":", 1) for line in headers[2:].split(b"\r\n"))] if headers else []
        return headers

    @headers.setter
    def headers(self, headers: list[tuple[bytes, bytes]]) -> None:
        self._headers = headers

    def __eq__(self, other):
        if other.__class__ is not self.__class__:
            return NotImplemented
        return (self.status, self.reason, self.headers, self.body) == (other.status, other.reason, other.headers, other.body)

    __hash__ = None  # mutable, compared by value

    def __repr__(self) -> str:
        return f"WireResponse(status={self.status!r}, reason={self.reason!r}, headers={self.headers!r}, body={self.body!r})"


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
