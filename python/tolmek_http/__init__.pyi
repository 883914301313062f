# Type stubs for tolmek_http: the HTTP clients' requests as curl commands and tolmek requests.
from collections.abc import Callable, Iterable, Set
from os import PathLike
from types import TracebackType
from typing import Any, Protocol, TypeVar, final

from tolmek import HTTPMETHOD, Tolmek

__all__ = ["to_curl", "to_form", "from_curl", "to_tolmek", "method", "capture", "command", "WireRequest", "record", "Recording", "RecordingError"]

_C = TypeVar("_C")
# A list of names, never a single str (which is an Iterable[str] of letters).
_Names = list[str] | tuple[str, ...] | Set[str]

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

def to_curl(request: Any, *, redact: bool = False) -> str: ...
class _Request(Protocol):
    """One request as every form writes it (tolmek_forms.Request)."""

    method: str
    origin: str
    target: str
    headers: list[tuple[str, str]]
    body: bytes | None
    @property
    def url(self) -> str: ...

def to_form(request: Any, form: str) -> str: ...
def from_curl(command: str, *, curl_version: str = "7.88.1", working_dir: str | None = None) -> _Request: ...
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

class Recording:
    """What a recording has seen: the exchanges (tolmek_http.exchange.Exchange), one warning line
    per client it could not record, and the files written once it ended."""

    exchanges: list[Any]
    warnings: list[str]
    paths: list[str]

class RecordingError(RuntimeError): ...

class record:
    """Records every request of the clients made while active; writes them into `directory` on exit."""

    def __init__(
        self,
        directory: str | PathLike[str],
        *,
        secret_names: _Names | None = None,
        extra_secret_names: _Names = (),
        write_secrets: bool = True,
        forms: _Names = (),
    ) -> None: ...
    def __enter__(self) -> Recording: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None: ...
