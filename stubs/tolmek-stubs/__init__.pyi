# Type stubs for the tolmek extension module.
from collections.abc import Sequence
from typing import ClassVar, final

__all__ = ["Tolmek", "TolmekCollection", "HTTPMETHOD"]

@final
class HTTPMETHOD:
    """The nine HTTP methods; members are made once and compare by value with each other only."""

    GET: ClassVar[HTTPMETHOD]
    POST: ClassVar[HTTPMETHOD]
    PUT: ClassVar[HTTPMETHOD]
    DELETE: ClassVar[HTTPMETHOD]
    HEAD: ClassVar[HTTPMETHOD]
    OPTIONS: ClassVar[HTTPMETHOD]
    PATCH: ClassVar[HTTPMETHOD]
    TRACE: ClassVar[HTTPMETHOD]
    CONNECT: ClassVar[HTTPMETHOD]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

@final
class Tolmek:
    """One HTTP request: URL, ordered headers, method and optional body."""

    def __new__(
        cls,
        url: str,
        headers: Sequence[tuple[str, str]],
        method: HTTPMETHOD,
        body: str | None = None,
    ) -> Tolmek: ...
    def get_request_command(self) -> str:
        """The request as a curl command line, quoted for a POSIX shell."""

@final
class TolmekCollection:
    """Copies of requests in arrival order, exportable as a Postman v2.1.0 collection."""

    def __new__(cls, collection: Sequence[Tolmek] | None = None) -> TolmekCollection: ...
    def add_request(self, tolmek: Tolmek) -> None: ...
    def get_collection(self) -> list[Tolmek] | None: ...
    def export_collection(self) -> str: ...
