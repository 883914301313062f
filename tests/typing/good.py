"""Correct use of every class and method; type-checks clean and runs."""

from typing import NamedTuple

from tolmek import HTTPMETHOD, Tolmek, TolmekCollection


class Header(NamedTuple):
    name: str
    value: str


methods: list[HTTPMETHOD] = [HTTPMETHOD.GET, HTTPMETHOD.POST, HTTPMETHOD.PUT, HTTPMETHOD.DELETE, HTTPMETHOD.HEAD,
                             HTTPMETHOD.OPTIONS, HTTPMETHOD.PATCH, HTTPMETHOD.TRACE, HTTPMETHOD.CONNECT]
values: list[int] = [int(m) for m in methods]
same: bool = HTTPMETHOD.GET == methods[0] and HTTPMETHOD.GET != HTTPMETHOD.PUT

posted = Tolmek("https://h.example/a", [("Accept", "*/*")], HTTPMETHOD.POST, "body")
named = Tolmek("u", (Header("k", "v"),), HTTPMETHOD.GET)
keywords = Tolmek(url="u", headers=[], method=HTTPMETHOD.PUT, body=None)
command: str = posted.get_request_command()

empty = TolmekCollection()
given = TolmekCollection([posted, named])
TolmekCollection(collection=None)
empty.add_request(keywords)
empty.add_request(tolmek=posted)
items = given.get_collection()
if items is not None:
    first: Tolmek = items[0]
    first.get_request_command()
document: str = given.export_collection()

# tolmek_http: what runs here needs no HTTP client beyond urllib.request and sends nothing.
import urllib.request

import tolmek_http

log: list[str] = []
opener = tolmek_http.capture(urllib.request.build_opener(), lambda wire: log.append(wire.curl))
opened: urllib.request.OpenerDirector = opener
unsent = urllib.request.Request("http://h.example/a", data=b"\x00\xff", method="PUT")
line: str = tolmek_http.to_curl(unsent) + tolmek_http.to_curl(unsent, redact=True)
piped: str = tolmek_http.command("http://h.example/", [("X", "1")], "POST", b"\x00", exact=True, proxy=None)
member: HTTPMETHOD = tolmek_http.method("PATCH")
as_request: Tolmek = tolmek_http.to_tolmek(urllib.request.Request("http://h.example/b", data=b"text"))


def show(wire: tolmek_http.WireRequest) -> tuple[str, bytes, list[tuple[bytes, bytes]], bytes | None, str]:
    return wire.method, wire.target, wire.headers, wire.body, wire.url


def recorded(directory: str) -> list[str]:
    try:
        with tolmek_http.record(directory, secret_names=["X-Key"], extra_secret_names={"X-Auth"}, write_secrets=False) as recording:
            pass
    except tolmek_http.RecordingError:
        return []
    warned: list[str] = recording.warnings
    return recording.paths + warned


def answered(wire: tolmek_http.WireRequest) -> tuple[int, str, list[tuple[bytes, bytes]], bytes] | None:
    r = wire.response
    return None if r is None else (r.status, r.reason, r.headers, r.body)


from tolmek_http.pytest_recorder import TestRecording  # noqa: E402


def test_sent(tolmek_recording: TestRecording) -> list[tuple[str, int | None]]:
    sent = [(e.request.curl, None if e.response is None else e.response.status) for e in tolmek_recording.exchanges]
    return sent + [(line, None) for line in tolmek_recording.curl]
