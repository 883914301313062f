"""The HTTPie script and the .http file against the traps of their own syntax: each request arrives as
written or has its loss named, in the output too; no value becomes a setting, an item of another kind,
a template or a request of its own."""

import json
import random
import re

import pytest

import forms
import tolmek_forms
from conftest import missing
from tolmek_forms import Request
from tolmek_forms.literals import comment_text


@pytest.fixture(scope="module")
def recorder():
    with forms.with_recorder() as r:
        yield r


@pytest.mark.parametrize("form", ["httpie", "http"])
def test_syntax_traps_lost_only_where_named(form, recorder, tmp_path):
    if (reason := forms.runner_missing(form)) is not None:
        missing(reason)
    requests = forms.cases(f"127.0.0.1:{recorder.port}", forms.SYNTAX_TRAPS)
    tally, problems, written = forms.prove(form, requests, tmp_path, recorder)
    assert not problems, "\n".join(problems)
    table = json.loads(forms.SYNTAX_TRAPS.read_text())
    skipped = [r.label for r, _ in written.skipped]
    assert skipped == [r.label for r, case in zip(requests, table) if form in case.get("skipped_by", [])]
    assert [r.label for r in requests if r.losses and r.label not in skipped] == \
        [r.label for r, case in zip(requests, table) if form in case.get("lost_by", [])]
    output = written.files[written.main].decode()
    assert all(comment_text(loss) in output for r in requests for loss in r.losses)


@pytest.mark.parametrize("form", ["httpie", "http"])
def test_output_shows_no_hidden_character_and_no_request_of_its_own(form):
    """Every line of the output is visible text, and only the requests written are requests in it."""
    requests = forms.cases("127.0.0.1:9", forms.DATA) + forms.cases("127.0.0.1:9", forms.SYNTAX_TRAPS)
    for n, request in enumerate(requests):
        request.index = n
    written = tolmek_forms.write(form, requests)
    output = written.files[written.main].decode()
    assert all(comment_text(line) == line for line in output.split("\n"))
    if form == "http":
        starts = re.findall(r"^([A-Z-]+) http://\S+ HTTP/1.1$", output, re.M)
        settings = re.findall(r"^\s*#+\s+@(\S*)", output, re.M)
        assert len(starts) == written.converted
        assert set(settings) <= {"no-redirect", "no-cookie-jar", "no-client-cert"}
    else:
        assert len(re.findall(r"^(?:.* \| |<\S+ )?http ", output, re.M)) == written.converted


# What the random requests are made of: the runners' traps, each in many company.
NAMES = ["X-A", "x-b", "Accept", "accept", "User-Agent", "Accept-Encoding", "Connection", "Content-Type", "Host",
         "Cookie", "X-Dup", "x-dup", "Content-Length", "Authorization", "7", "123", "Transfer-Encoding"]
VALUES = ["a", "", "  pad  ", "=eq", "@at", ":=x", "a\\:b", "c:\\=d", "end\\", "x;y=z@w", "a,", "{{t}} $HOME `id`",
          "{{a}b}}", "\\{\\{q\\}\\}", "caf\u00e9", "Zo\u00eb \u2713", "Basic u p", "\x1b[31m", "a\u00a0"]
TYPES = ["application/x-www-form-urlencoded", "application/json", "text/plain", "application/x-ndjson"]
TARGETS = ["/", "/a/b", "/s/%2e%2e/x", "/a%2fb?q=%41%2F", "/x?", "/x?a=[1]'", "/p;q%41/r;s%7e", "/a/./b/../c",
           "/q?a=%2e&b=%2E%3d", "//double", "/a/b/%2E%2e", "/%zz?a=%"]
METHODS = ["GET", "POST", "PUT", "PATCH", "DELETE", "OPTIONS", "HEAD", "PROPFIND", "get", "Post"]
BODIES = [None, None, b"", b"hello", b"a\x00b\r\n" * 3, b"x" * 20000, '{"a":"\u00e9"}'.encode(), b"{{x}}",
          b"a=1&b=2", b"a=1 &b", b"line\n\n", b"GET /x", b"[1, 2]", b"query { x }"]


def random_requests(seed, count, host):
    rnd = random.Random(seed)
    out = []
    for n in range(count):
        body = rnd.choice(BODIES)
        headers = []
        for _ in range(rnd.randrange(6)):
            name = rnd.choice(NAMES)
            value = {"host": host, "content-length": str(len(body or b"")), "transfer-encoding": "chunked",
                     "content-type": rnd.choice(TYPES)}.get(name.lower(), rnd.choice(VALUES))
            headers.append((name, value))
        out.append(Request(rnd.choice(METHODS), f"http://{host}/t{n}{rnd.choice(TARGETS)}", headers, body,
                           label=f"random {seed}.{n}", index=n))
    return out


@pytest.mark.parametrize("form, seed", [("httpie", 1), ("http", 1), ("http", 2)])
def test_random_requests_arrive_as_the_writer_works_out(form, seed, recorder, tmp_path):
    """Each writer works out what its runner makes of a request, and names the losses from that: every
    arrival is what the writer expected, to the byte, so what it names is what happens."""
    if (reason := forms.runner_missing(form)) is not None:
        missing(reason)
    writer = tolmek_forms.writer(form)

    def model(request, arrival):
        method, target, headers, body = writer.sent(request)
        got = [(n, v) for n, v in arrival.headers if n.lower() != b"host" or request.has("Host")]
        expected = (method.encode(), target.encode(), headers, body)
        return [] if (arrival.method, arrival.target, got, arrival.body) == expected else \
            [f"{(arrival.method, arrival.target, got, arrival.body[:40])!r} instead of {expected!r}"]

    requests = random_requests(seed, 30, f"127.0.0.1:{recorder.port}")
    tally, problems, written = forms.prove(form, requests, tmp_path, recorder, model=model)
    assert not problems, "\n".join(problems)
