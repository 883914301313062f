# Type stubs for tolmek_http: the HTTP clients' requests as curl commands and tolmek requests.
from collections.abc import Callable, Iterable
from typing import Any, Protocol, TypeVar, final

from tolmek import HTTPMETHOD, Tolmek

__all__ = ["to_curl", "to_tolmek", "method", "capture", "command", "WireRequest"]

_C = TypeVar("_C")

class _Response(Protocol):
    """A response read back for a captured request (tolmek_http.exchange.WireResponse)."""

    status: int
    reason: str
    headers: list[tuple[bytes, bytes]]
    body: bytes

@final
class WireRequest:
    """One request as a client wrote it to its connection."""

    body: bytes | None
    @property
    def method(self) -> str: ...
    @property
    def target(self) -> bytes: ...
    @property
    def chunked(self) -> bool: ...
    @property
    def proxy(self) -> str | None: ...
    @property
    def headers(self) -> list[tuple[bytes, bytes]]: ...
    @property
    def url(self) -> str: ...
    @property
    def curl(self) -> str: ...
    @property
    def response(self) -> _Response | None: ...
    def header_pairs(self) -> list[tuple[str, str]]: ...

def to_curl(request: Any) -> str: ...
def to_tolmek(request: Any) -> Tolmek: ...
def method(name: str | bytes) -> HTTPMETHOD: ...
def capture(client: _C, callback: Callable[[WireRequest], object]) -> _C: ...
def command(
    url: str,
    headers: Iterable[tuple[str, str]],
    name: str | HTTPMETHOD,
    body: bytes | str | None,
    *,
    exact: bool = False,
    proxy: str | None = None,
) -> str: ...
