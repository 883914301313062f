# Type stubs for the pytest plugin's recorder: TestRecording, the type of the tolmek_recording fixture.
from typing import Any, Protocol

from tolmek_http import WireRequest, _Response

__all__ = ["Recorder", "TestRecording", "NAME"]

NAME: str

class _Exchange(Protocol):
    """A request a recording saw, with where it belongs (tolmek_http.exchange.Exchange)."""

    request: WireRequest
    response: _Response | None
    test: str | None
    folder: tuple[str, ...]
    order: tuple[int, int]

class TestRecording:
    """What the tolmek_recording fixture gives a test: the requests it has sent so far."""

    @property
    def exchanges(self) -> list[_Exchange]: ...
    @property
    def curl(self) -> list[str]: ...

class Recorder:
    """The plugin object behind --tolmek-record and the fixture; its workings are the plugin's own."""

    def __init__(self, config: Any, directory: str | None, places: dict[str, int] | None = None) -> None: ...
    def view(self, item: Any) -> TestRecording: ...
    def __getattr__(self, name: str) -> Any: ...
