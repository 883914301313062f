"""Misuse the type checker must report: each "# E: code" line is one expected error."""

from tolmek import HTTPMETHOD, Tolmek, TolmekCollection

t = Tolmek("u", [], HTTPMETHOD.GET)
c = TolmekCollection([t])

Tolmek(1, [], HTTPMETHOD.GET)  # E: arg-type
Tolmek("u", "ab", HTTPMETHOD.GET)  # E: arg-type
Tolmek("u", {"k": "v"}, HTTPMETHOD.GET)  # E: arg-type
Tolmek("u", [("k", 1)], HTTPMETHOD.GET)  # E: list-item
Tolmek("u", [("k", "v", "w")], HTTPMETHOD.GET)  # E: list-item
Tolmek("u", [], "GET")  # E: arg-type
Tolmek("u", [], 0)  # E: arg-type
Tolmek("u", [], HTTPMETHOD.GET, b"body")  # E: arg-type
Tolmek("u", [], HTTPMETHOD.GET, "body", "extra")  # E: call-arg
number: int = t.get_request_command()  # E: assignment
c.add_request("u")  # E: arg-type
c.add_request(request=t)  # E: call-arg
TolmekCollection([t], [t])  # E: call-arg
TolmekCollection(["u"])  # E: list-item
c.get_collection()[0]  # E: index
len(c.get_collection())  # E: arg-type
c.export_collection(1)  # E: call-arg
HTTPMETHOD.GET < HTTPMETHOD.POST  # E: operator
HTTPMETHOD.GIT  # E: attr-defined


class Sub(Tolmek):  # E: misc
    pass


import tolmek_http  # noqa: E402

tolmek_http.method(HTTPMETHOD.GET)  # E: arg-type
tolmek_http.capture(object(), lambda wire: wire.cmd)  # E: attr-defined
tolmek_http.command("u", [], "GET", 1)  # E: arg-type
wire_text: str = tolmek_http.capture(1, print)  # E: assignment
tolmek_http.record("out", write_secrets="no")  # E: arg-type
tolmek_http.record("out", secret_names="Authorization")  # E: arg-type
tolmek_http.record("out", extra_secret_names="X-Auth")  # E: arg-type
tolmek_http.to_curl(object(), True)  # E: call-arg
tolmek_http.capture(object(), lambda wire: wire.response.status)  # E: union-attr

from tolmek_http.pytest_recorder import TestRecording  # noqa: E402


def test_sent(tolmek_recording: TestRecording) -> str:
    tolmek_recording.exchanges[0].response.status  # E: union-attr
    return tolmek_recording.curl  # E: return-value
