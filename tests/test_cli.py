"""The `tolmek` command: every input format against the module's own output for the same requests,
skips, malformed input, the chunked reader, output files and the installed entry point."""

import io
import json
import os
import pathlib
import subprocess
import sys
import tomllib
from importlib.metadata import files, version

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import M, cli_runner, missing
from tolmek import Tolmek, TolmekCollection
from tolmek_cli import source

NINE = ("GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT")


@pytest.fixture
def cli(capsysbinary, monkeypatch):
    """Run the command in this process: (exit status, standard output bytes, standard error text)."""
    return cli_runner(capsysbinary, monkeypatch)


def script(*reqs):
    """What `tolmek curl` prints for (url, headers, method name, body) tuples: the module's commands,
    holding back the Content-Type curl would give a body the record has none for."""
    def untyped(h, b):
        return b is not None and not any(k.lower() == "content-type" for k, _ in h)

    return "".join(Tolmek(u, h, getattr(M, m), b).get_request_command() + " -H 'Content-Type:'" * untyped(h, b) + "\n"
                   for u, h, m, b in reqs).encode()


def har(*requests, indent=None, ascii=False):
    """A HAR document with one entry per request object, each with a response as recorders write it
    (`ascii`: non-ASCII text as \\u escapes, which lone surrogates need)."""
    entries = [{"startedDateTime": "2024-01-01T00:00:00Z", "time": 1.5, "request": r,
                "response": {"status": 200, "headers": [{"name": "Content-Type", "value": "text/plain"}],
                             "content": {"size": 4, "text": "ok ✓"}}, "cache": {}, "timings": {}}
               for r in requests]
    doc = {"log": {"version": "1.2", "creator": {"name": "test", "version": "1"}, "pages": [], "entries": entries}}
    return json.dumps(doc, indent=indent, ensure_ascii=ascii).encode()


def req(method, url, headers=(), **extra):
    return {"method": method, "url": url, "httpVersion": "HTTP/1.1",
            "headers": [{"name": n, "value": v} for n, v in headers], **extra}


def entry_place(text, i):
    """line:column where entries[i] starts in a document written by har(..., indent=1)."""
    lines = text.decode().split("\n")
    starts = [n for n, line in enumerate(lines, 1) if line == "   {"]
    return f"{starts[i]}:4"


# -- HAR ------------------------------------------------------------------------------------------

BODY = "{\"note\": \"it's \\\"q\\\" $HOME `id` !x\",\n \"é\": \"✓ 😀\"}"
HAR_CASES = [
    # (request object, what it must become)
    (req("GET", "https://h.example/a?x=1&y=%20", [(":authority", "h.example"), ("Accept", "*/*"), ("A", "2"),
                                                    ("Content-Length", "0"), ("A", "1"), ("X-E", "")]),
     ("https://h.example/a?x=1&y=%20", [("Accept", "*/*"), ("A", "2"), ("A", "1"), ("X-E", "")], "GET", "")),
    (req("POST", "http://h/p", [("content-length", str(len(BODY.encode()))), ("Content-Type", "application/json")],
         postData={"mimeType": "application/json", "text": BODY, "params": [{"name": "ignored", "value": ""}]}),
     ("http://h/p", [("Content-Type", "application/json")], "POST", BODY)),
    (req("PUT", "http://h/form", postData={"mimeType": "application/x-www-form-urlencoded; charset=UTF-8",
                                           "params": [{"name": "a b", "value": "x&y=z"}, {"name": "é", "value": "'"},
                                                      {"name": "empty"}]}),
     ("http://h/form", [], "PUT", "a+b=x%26y%3Dz&%C3%A9=%27&empty=")),
    (req("POST", "http://h/none", postData={"mimeType": "", "text": ""}), ("http://h/none", [], "POST", None)),
    (req("PATCH", "http://h/b64", [("Content-Length", "5")], postData={"text": "aGVsbG8=", "encoding": "base64"}),
     ("http://h/b64", [], "PATCH", "hello")),
    (req("HEAD", "-o/tmp/x", [("X", "it's")]), ("-o/tmp/x", [("X", "it's")], "HEAD", None)),
    (req("POST", "http://h/f", [("Content-Length", "3")], postData={"mimeType": None, "params": [{"name": "a", "value": "1"}]}),
     ("http://h/f", [], "POST", "a=1")),
    # What several tools leave out reads as empty; parameters and cookies recorded only apart
    # from the URL and the headers are sent too.
    ({"method": "GET", "url": "http://h/bare"}, ("http://h/bare", [], "GET", None)),
    (req("GET", "http://h/q?a=1&b=x%20y#f", queryString=[{"name": "a", "value": "1"}, {"name": "b", "value": "x y"},
                                                          {"name": "c d", "value": "é&="}, {"name": "e"}]),
     ("http://h/q?a=1&b=x%20y&c%20d=%C3%A9%26%3D&e=#f", [], "GET", None)),
    # A tool that parsed the query again (PHP's parser, here) respells names and values the URL
    # already holds: only a name the URL lacks is appended.
    (req("GET", "http://h/r?WT.mc_id=x&imps[0][id]=5&imps[1][id]=6&a%20b=%C3%A9&+c=1&q=1&q=2", queryString=[
        {"name": "WT_mc_id", "value": "x"}, {"name": "imps", "value": "Array"}, {"name": "a_b", "value": "é"},
        {"name": "a%20b", "value": "%C3%A9"}, {"name": "c", "value": "1"}, {"name": "q", "value": "2"},
        {"name": "new", "value": "1"}]),
     ("http://h/r?WT.mc_id=x&imps[0][id]=5&imps[1][id]=6&a%20b=%C3%A9&+c=1&q=1&q=2&new=1", [], "GET", None)),
    (req("GET", "http://h/c", [("A", "1")], cookies=[{"name": "s", "value": "1"}, {"name": "t", "value": "a=b"}]),
     ("http://h/c", [("A", "1"), ("Cookie", "s=1; t=a=b")], "GET", None)),
    (req("GET", "http://h/c2", [("cookie", "mine=1")], cookies=[{"name": "s", "value": "1"}]),
     ("http://h/c2", [("cookie", "mine=1")], "GET", None)),
]


def test_har_entries_become_the_modules_commands(cli):
    doc = har(*(r for r, _ in HAR_CASES), indent=4)
    expected = script(*(e for _, e in HAR_CASES))
    assert cli("curl", stdin=doc) == (0, expected, "")
    assert cli("curl", "--from", "har", "--script", stdin=doc) == (0, b"#!/bin/sh\n" + expected, "")
    reqs = [Tolmek(u, h, getattr(M, m), b) for _, (u, h, m, b) in HAR_CASES]
    assert cli("postman", stdin=doc) == (0, TolmekCollection(reqs).export_collection().encode() + b"\n", "")
    # With comments and curl options: each command as it was, after a line naming its entry.
    doc = har(*(r for r, _ in HAR_CASES), indent=1)
    commented = "".join(f"# <stdin>:{entry_place(doc, i)}: log.entries[{i}]\n{script(e).decode()[:-1]} -sS -w "
                        "'%{http_code} it'\\''s\\n'\n" for i, (_, e) in enumerate(HAR_CASES))
    assert cli("curl", "--comments", "--curl-option=-sS", "--curl-option=-w", "--curl-option=%{http_code} it's\\n",
               stdin=doc) == (0, commented.encode(), "")


SKIPS = [
    (req("PROP FIND", "http://h/"), "method 'PROP FIND' is not an HTTP token, which a request line cannot hold"),
    (req("G/T", "http://h/"), "method 'G/T' is not an HTTP token, which a request line cannot hold"),
    (req("POST", "http://h/", postData={"text": "AAD", "encoding": "base64"}),
     "the body is marked base64 but is not base64 text"),
    (req("POST", "http://h/", postData={"text": "café", "encoding": "base64"}),
     "the body is marked base64 but is not base64 text"),
    (req("POST", "http://h/", [("Content-Length", "4")], postData={"text": "AAD/", "encoding": "base64"}),
     "the recorded body is 3 bytes but was sent with Content-Length: 4: it was not recorded as sent"),
    (req("POST", "http://h/", postData={"text": "x", "encoding": "gzip"}),
     "the body is in an encoding tolmek does not read ('gzip')"),
    (req("DELETE", "http://h/", [("Content-Length", "4")]), "the body was not recorded (Content-Length: 4)"),
    (req("POST", "http://h/", [("Transfer-Encoding", "chunked")], postData={"text": ""}), "the body was not recorded"),
    (req("POST", "http://h/", [("Content-Length", "2")], postData={"text": "\ufeff"}),
     "the recorded body is 3 bytes in UTF-8 but was sent with Content-Length: 2: it was not recorded as sent"),
    (req("POST", "http://h/", postData={"mimeType": "multipart/form-data; boundary=x", "params": [{"name": "a"}]}),
     "the body is given only as params of a multipart/form-data form, which cannot be rebuilt"),
    (req("POST", "http://h/", [("Content-Length", "11")], postData={"params": [{"name": "os", "value": "Mac OS"}]}),
     "the body rebuilt from postData.params is 9 bytes in UTF-8 but was sent with Content-Length: 11: the params do "
     "not say how it was encoded"),
    (req("POST", "http://h/", postData={"params": [{"name": "f", "fileName": "a.png"}]}),
     "the body is a file upload, which cannot be rebuilt"),
    (req("POST", "http://h/", postData={"mimeType": "application/json", "params": [{"name": "a"}]}),
     "the body is given only as params of an application/json form, which cannot be rebuilt"),
    (req("GET", "wss://h/socket"), "a WebSocket connection, which a curl command does not replay"),
    (req("GET", "https://h/socket", [("Upgrade", "websocket")]), "a WebSocket connection, which a curl command does not replay"),
    (req("GET", "http://h/\ud800"), "the text holds a lone surrogate (U+D800), which UTF-8 cannot carry"),
    (req("POST", "http://h/", postData={"params": [{"name": "\udfff", "value": ""}]}),
     "the text holds a lone surrogate (U+DFFF), which UTF-8 cannot carry"),
]


@pytest.mark.parametrize("strict", [False, True])
def test_har_skips_name_the_entry_and_the_reason(cli, strict):
    keep = req("GET", "http://h/kept")
    doc = har(keep, *(r for r, _ in SKIPS), keep, indent=1, ascii=True)
    lines = [f"tolmek: <stdin>:{entry_place(doc, i + 1)}: skipped log.entries[{i + 1}]: {why}\n"
             for i, (_, why) in enumerate(SKIPS)]
    counted = f"tolmek: {len(SKIPS)} of {len(SKIPS) + 2} requests skipped"
    args = ["curl", "--strict"] if strict else ["curl"]
    if strict:
        assert cli(*args, stdin=doc) == (1, b"", "".join(lines) + counted + "; nothing written (--strict)\n")
    else:
        assert cli(*args, stdin=doc) == (0, script(("http://h/kept", [], "GET", None)) * 2, "".join(lines) + counted + "\n")


BASED = TolmekCollection([Tolmek("{{base}}/" + p, [], M.GET) for p in "abc"] + [Tolmek("http://h/d", [], M.GET)])
NOTHING = [  # (input, more arguments, why no request is converted; None: one is)
    (har(req("G T", "http://h/"), req("GET", "ftp://h/")), [], "2 of 2 requests skipped"),
    (har(), [], "the input holds none"), (har(), ["-", "{file}"], "the inputs hold none"),
    # A collection without its environment: 3 of 4 skipped still converts one.
    (BASED.export_collection().encode(), [], None),
    (TolmekCollection(BASED.get_collection()[:3]).export_collection().encode(), [], "3 of 3 requests skipped"),
]


@pytest.mark.parametrize("text, args, why", NOTHING)
@pytest.mark.parametrize("command", ["curl", "postman"])
def test_nothing_converted_is_status_1_and_nothing_written(cli, tmp_path, command, text, args, why):
    out, other = tmp_path / "out", tmp_path / "other"
    out.write_bytes(b"old")
    other.write_bytes(text)
    code, _, err = cli(command, "-o", str(out), *(a.format(file=other) for a in args), stdin=text)
    last = f"tolmek: no request converted ({why}); nothing written" if why else "tolmek: 3 of 4 requests skipped"
    assert (code, out.read_bytes() == b"old", err.splitlines()[-1]) == (1 if why else 0, bool(why), last)


def test_requests_the_renderer_refuses_are_skipped_with_its_message(cli):
    # Text no command line can carry: what the module renders, or its ValueError, decides.
    reqs = [("http://h/", [("X", "a\r\nInjected: 1")], "GET", None), ("http://h/", [], "POST", "a\x00b"),
            ("http://h/", [("", "v")], "GET", None), ("http://h/ok", [], "GET", None)]
    lines = "\n".join(json.dumps({"url": u, "headers": h, "method": m, "body": b}) for u, h, m, b in reqs).encode()
    out, err = [], []
    for n, (u, h, m, b) in enumerate(reqs, 1):
        try:
            out.append(Tolmek(u, h, getattr(M, m), b).get_request_command() + "\n")
        except ValueError as e:
            err.append(f"tolmek: <stdin>:{n}:1: skipped: {e}\n")
    if err:
        err.append(f"tolmek: {len(err)} of 4 requests skipped\n")
    assert cli("curl", stdin=lines) == (0, "".join(out).encode(), "".join(err))


# -- the chunked reader ---------------------------------------------------------------------------

@pytest.mark.parametrize("chunk", [1, 2, 3, 5, 64])
def test_small_chunks_read_the_same_text(cli, monkeypatch, chunk):
    # Long strings, multi-byte characters, escapes and numbers all get cut at chunk boundaries, and
    # the place of a skipped entry is counted across the text already let go.
    reqs = [req("POST" if i != 3 else "PROP FIND", f"http://h/{i}/" + "é😀" * i, [("X-N", "\\u00e9 " * i)],
                postData={"text": "x\"\\u2713" * (i * 40) + str(10 ** i)}) for i in range(6)]
    doc = har(*reqs, indent=2)
    expected = cli("curl", stdin=doc)
    assert expected[0] == 0 and expected[1].count(b"\ncurl ") == 4 and "skipped log.entries[3]" in expected[2]
    monkeypatch.setattr(source, "CHUNK", chunk)
    assert cli("curl", stdin=doc) == expected
    # A syntax error late in the text is placed where the json module places it.
    bad = doc[:-40] + b"}" + doc[-40:]
    with pytest.raises(json.JSONDecodeError) as e:
        json.loads(bad)
    failed = (2, b"", f"tolmek: error: <stdin>:{e.value.lineno}:{e.value.colno}: not valid JSON: {e.value.msg}\n")
    assert cli("curl", stdin=bad) == failed
    # An interpreter whose C scanner asks for a setting the reader does not know: json's own decoder.
    def newer(context):
        raise AttributeError("'_Context' object has no attribute 'later_hook'")
    monkeypatch.setattr(source, "make_scanner", newer)
    assert (cli("curl", stdin=doc), cli("curl", stdin=bad)) == (expected, failed)


def test_places_stay_right_however_the_text_is_cut(cli, monkeypatch):
    # A place is named after more text was read, which may have let go of the text it lies in:
    # a JSON Lines value followed by blanks at the end of a chunk, or the start of a document
    # whose other members are read before "log" or "item" is found missing.
    line = b'{"url": "u", "method": "GET", "headers": []}'
    skipping = [line, b"", line.replace(b"GET", b"G T") + b" \t", *[line + b" "] * 6]
    failing = [*skipping, line.replace(b"[]", b"[1]") + b"\r", *[line + b"\r"] * 4]
    other = b'\n  {"x": "' + b"a" * 20 + b'",\n "y": [1,\n2]\n, "z": {"q": 3}}\n'
    cases = [(["curl"], b"\n".join(failing),
              (2, b"", "tolmek: error: <stdin>:10:1: headers[0]: expected a [name, value] pair\n")),
             (["curl"], b"\n".join(skipping),
              (0, script(("u", [], "GET", None)) * 7, "tolmek: <stdin>:3:1: skipped: method 'G T' is not an HTTP token, which a request line cannot hold"
                                                        "\ntolmek: 1 of 8 requests skipped\n")),
             (["curl", "--from", "har"], other,
              (2, b"", 'tolmek: error: <stdin>:2:3: "log" is missing: not a HAR file\n')),
             (["postman", "--from", "postman"], other,
              (2, b"", 'tolmek: error: <stdin>:2:3: "item" is missing: not a Postman collection\n'))]
    for chunk in range(1, 100):
        monkeypatch.setattr(source, "CHUNK", chunk)
        for args, text, expected in cases:
            assert (chunk, cli(*args, stdin=text)) == (chunk, expected)
    # And a place in text already let go is refused rather than miscounted.
    monkeypatch.setattr(source, "CHUNK", 4)
    src = source.Source(io.BytesIO(b'{"a": 1}' + b" " * 20 + b'{"b": 2}'), "f")
    src.peek(), src.value(), src.peek()
    with pytest.raises(AssertionError):
        src.place(0)


# -- malformed input ------------------------------------------------------------------------------

def column(text, needle, nth=0):
    """The 1-based column (in characters) of the nth occurrence of needle in a one-line UTF-8 text."""
    text, at = text.decode(), -1
    for _ in range(nth + 1):
        at = text.index(needle, at + 1)
    return at + 1


ENTRY = '{"startedDateTime"'
HOW_TO_V21 = ("tolmek reads v2.0 and v2.1: import it into Postman and export it again as Collection v2.1 "
              "(the collection's ... menu, Export)")
BAD_HEADER = har(req("GET", "http://h/"), req("GET", "http://h/", [("A", 1)]))
NO_URL = har({"method": "GET", "headers": []})
BAD_MIME = har(req("POST", "http://h/", postData={"mimeType": 0, "params": [{"name": "a", "value": "1"}]}))
MALFORMED = [
    (b"", "<stdin>:1:1: the input is empty"),
    (b"  \n hello", "<stdin>:2:2: not valid JSON: Expecting value"),
    (b"[1, 2]", "<stdin>:1:1: unknown input format: the input starts with an array, not an object"),
    (b'{"version": 2, "data": {}}', '<stdin>:1:1: unknown input format: the object has none of "log" (HAR), '
                                    '"item" (Postman collection), "url" (JSON Lines), "interactions" (vcrpy '
                                    'cassette) or "http_interactions" (betamax cassette); --from names the format'),
    (b'{"log": {"entries": [{"request": 1}\n\xff]}}', "<stdin>:2:1: not UTF-8 text: invalid start byte (byte 0xff)"),
    (b'{"log": {"entries": [\n {"request": {"method": "GET" "url": ""}}]}}',
     "<stdin>:2:31: not valid JSON: Expecting ',' delimiter"),
    (b'{"log": {"entries": []}} {}', "<stdin>:1:26: not valid JSON: Extra data"),
    (b'{"log": {"entries": []}', "<stdin>:1:24: not valid JSON: Expecting ',' delimiter"),
    (b'{"log": {"pages": []}}', '<stdin>:1:22: log: "entries" is missing'),
    (b'{"log": []}', "<stdin>:1:9: log: expected an object, got an array"),
    (b'{"info": {"schema": "https://schema.getpostman.com/json/collection/v1.0.0/collection.json"}, "item": []}',
     "<stdin>:1:10: info.schema: 'https://schema.getpostman.com/json/collection/v1.0.0/collection.json' is a "
     "Postman v1 collection: " + HOW_TO_V21),
    (b'{"id": "x", "name": "old", "order": [], "requests": []}',
     '<stdin>:1:1: a Postman v1 collection ("requests", no "item"): ' + HOW_TO_V21),
    (b'{"info": {"schema": "https://example.com/collection/v3.0.0/"}, "item": []}',
     "<stdin>:1:10: info.schema: 'https://example.com/collection/v3.0.0/' is not a v2.1.0 (or v2.0.0) collection"),
    (b'{"item": [], "variable": {}}', "<stdin>:1:26: variable: expected an array, got an object"),
    (b'{"url": "u", "method": "GET", "headers": []}\n{"url": "u", "method": "GET", "headers": [["A"]]}',
     "<stdin>:2:1: headers[0]: expected a [name, value] pair"),
    (b'{"url": "u", "method": "GET"}', "<stdin>:1:1: headers: is missing"),
    (b'{"url": "u", "method": "GET", "headers": [], "body": 1}', "<stdin>:1:1: body: expected a string or null, "
                                                                 "got a number"),
    (b'{"url": "u", "method": "GET", "headers": []} {"url": "v"}',
     "<stdin>:1:46: not valid JSON Lines: more text after the value on its line"),
    (b'{"url": "u", "method": "GET", "headers": []}\n[]', "<stdin>:2:1: expected an object, got an array"),
]


@pytest.mark.parametrize("text, message", MALFORMED)
def test_malformed_input_fails_with_its_place_and_writes_nothing(cli, tmp_path, text, message):
    assert cli("curl", stdin=text) == (2, b"", f"tolmek: error: {message}\n")
    out = tmp_path / "out.json"
    assert cli("postman", "-o", str(out), stdin=text)[0] == 2
    assert list(tmp_path.iterdir()) == []


# A fault inside one entry or item skips that one, named with its reason; the others are converted.
ENTRY_FAULTS = [
    (BAD_HEADER, 1, "log.entries[1]: request.headers[0].value: expected a string, got a number"),
    (NO_URL, 0, "log.entries[0]: request.url: is missing"),
    (har({"url": "http://h/"}), 0, "log.entries[0]: request.method: is missing"),
    (json.dumps({"log": {"entries": [{"time": 1}]}}).encode(), 0, "log.entries[0]: request: is missing"),
    (BAD_MIME, 0, "log.entries[0]: request.postData.mimeType: expected a string, got a number"),
    (b'{"item": [{"name": "f", "item": [{"request": {"url": 7}}]}]}', 0,
     "item[0].item[0]: request.url: expected a string or an object, got a number"),
    (b'{"item": [{"name": "no request"}]}', 0, 'item[0] "no request": an item needs "request" (or "item", for a folder)'),
    (b'{"item": [{"name": "f", "item": {}}]}', 0, 'item[0] "f": item: expected an array, got an object'),
    # Chrome marks a WebSocket's entry, not its request.
    (json.dumps({"log": {"entries": [{"_resourceType": "websocket", "request": req("GET", "https://h/s")}]}}).encode(),
     0, "log.entries[0]: a WebSocket connection, which a curl command does not replay"),
]


@pytest.mark.parametrize("text, index, line", ENTRY_FAULTS)
def test_a_fault_inside_an_entry_skips_it(cli, text, index, line):
    code, out, err = cli("curl", stdin=text)
    # Where the fault takes the only request, none is converted: status 1, nothing written.
    assert (code, err.split(": skipped ", 1)[1]) == (0 if out else 1, line + "\n" + err.split("\n", 1)[1])
    assert err.endswith((" requests skipped\n", " request skipped\n", " skipped); nothing written\n"))
    assert cli("curl", "--strict", stdin=text)[:2] == (1, b"")


@pytest.mark.parametrize("fmt, text, message", [
    ("har", b"[1]", "<stdin>:1:1: expected an object, got an array"),
    ("postman", b' \n "x"', "<stdin>:2:2: expected an object, got a string"),
    ("jsonl", b"{}", "<stdin>:1:1: url: is missing"),
])
def test_a_named_format_that_does_not_fit_the_input(cli, fmt, text, message):
    assert cli("curl", "--from", fmt, stdin=text) == (2, b"", f"tolmek: error: {message}\n")


def test_format_can_be_named_and_files_read(cli, tmp_path):
    lines = b'{"url": "http://h/", "method": "GET", "headers": []}\n'
    path = tmp_path / "in.jsonl"
    path.write_bytes(lines)
    assert cli("curl", str(path))[:2] == (0, script(("http://h/", [], "GET", None)))
    assert cli("curl", "--from", "har", str(path)) == (2, b"", f"tolmek: error: {path}:1:1: \"log\" is missing: "
                                                                "not a HAR file\n")
    absent = tmp_path / "missing.har"
    assert cli("curl", str(absent)) == (2, b"", f"tolmek: error: cannot read {absent}: No such file or directory\n")


# -- several files --------------------------------------------------------------------------------

def several(tmp_path):
    """Three inputs of three formats, each with a request converted and one skipped; the JSON Lines
    file has a GET with a body, which the collection must mark to keep at its place among all."""
    paths = [tmp_path / "a.har", tmp_path / "b.jsonl", tmp_path / "c.json"]
    paths[0].write_bytes(har(req("GET", "http://h/1"), req("G T", "http://h/skipped"),
                             req("POST", "http://h/2", postData={"text": "two"}), indent=1))
    paths[1].write_bytes(b'{"url": "http://h/g", "method": "GET", "headers": [], "body": "kept"}\n'
                         b'{"url": "ftp://h/", "method": "GET", "headers": []}\n')
    paths[2].write_bytes(TolmekCollection([Tolmek("http://h/{{undefined}}", [], M.GET),
                                           Tolmek("http://h/3", [("A", "1")], M.PUT, "x")]).export_collection().encode())
    return [str(p) for p in paths]


@pytest.mark.parametrize("command", ["curl", "postman"])
def test_several_files_make_one_output_in_order(cli, tmp_path, command):
    paths = several(tmp_path)
    alone = [cli(command, p) for p in paths]
    counts = ["tolmek: 1 of 3 requests skipped\n", "tolmek: 1 of 2 requests skipped\n", "tolmek: 1 of 2 requests skipped\n"]
    assert [(code, err.endswith(n) and p in err) for (code, _, err), n, p in zip(alone, counts, paths)] == [(0, True)] * 3
    code, out, err = cli(command, *paths)
    # Each file's skip lines, named by the file, in order; one count for the run.
    assert (code, err) == (0, "".join(e[:-len(n)] for (_, _, e), n in zip(alone, counts)) +
                           "tolmek: 3 of 7 requests skipped\n")
    if command == "curl":
        assert out == b"".join(o for _, o, _ in alone)
    else:
        docs = [json.loads(o) for _, o, _ in alone]
        assert json.loads(out) == {**docs[0], "item": [i for d in docs for i in d["item"]]}
        assert out.count(b"disableBodyPruning") == 1
    # Standard input at its place among the files; options after the files as before them.
    with open(paths[1], "rb") as f:
        assert cli(command, paths[0], "-", paths[2], stdin=f.read()) == (code, out, err.replace(paths[1], "<stdin>"))
    assert cli(command, paths[0], "--strict", *paths[1:]) == (1, b"", err[:-1] + "; nothing written (--strict)\n")


def test_a_file_that_fails_is_named_and_the_others_still_convert(cli, tmp_path):
    # A repeated "log" starts the file over: its first request (a GET with a body, to be marked in a
    # collection) is dropped, but not the requests of the files before it.
    good = tmp_path / "good.har"
    good.write_bytes(b'{"log": {"entries": [{"request": {"method": "GET", "url": "http://h/dropped", "headers": [],'
                     b' "postData": {"text": "b"}}}]}, "log": {"entries": [{"request": {"method": "GET", "url": '
                     b'"http://h/", "headers": []}}]}}')
    # A file that fails after a request was converted: none of its requests is kept.
    bad, absent = tmp_path / "bad.jsonl", tmp_path / "absent.har"
    bad.write_bytes(b'{"url": "http://h/lost", "method": "GET", "headers": [], "body": "b"}\n{"url": 1}\n')
    errors = "".join(cli("curl", str(p))[2] for p in (bad, absent))
    assert errors.count("tolmek: error: ") == 2 and str(bad) in errors and str(absent) in errors
    files = [str(good), str(bad), str(absent), str(good)]
    assert cli("curl", *files) == (2, script(("http://h/", [], "GET", None)) * 2,
                                   errors + "tolmek: 2 of 4 files not converted\n")
    one = cli("postman", str(good))[1]
    code, both, err = cli("postman", *files)
    assert (code, json.loads(both), err) == (2, {**json.loads(one), "item": json.loads(one)["item"] * 2},
                                             errors + "tolmek: 2 of 4 files not converted\n")
    assert b"disableBodyPruning" not in both and b"lost" not in both
    out = tmp_path / "out.sh"
    assert cli("curl", "-o", str(out), *files)[0] == 2
    assert out.read_bytes() == script(("http://h/", [], "GET", None)) * 2
    out.write_bytes(b"old")
    assert cli("postman", "--strict", "-o", str(out), *files) == (
        2, b"", errors + "tolmek: 2 of 4 files not converted; nothing written (--strict)\n")
    assert cli("curl", str(bad), str(absent)) == (2, b"", errors)
    assert out.read_bytes() == b"old"
    # A variables file every collection rests on stops the run, named once.
    collection = tmp_path / "c.json"
    collection.write_bytes(TolmekCollection([Tolmek("http://h/", [], M.GET)]).export_collection().encode())
    assert cli("curl", "-e", str(absent), str(collection), str(collection)) == (
        2, b"", f"tolmek: error: cannot read {absent}: No such file or directory\n")
    twice = run_installed("curl", str(good), "-", "-")
    assert (twice.returncode, twice.stdout) == (2, b"")
    assert twice.stderr.endswith(b"tolmek curl: error: - (standard input) may be named only once\n")


# Arguments a plain run is made of, and others that only argparse reads (abbreviations, --opt=value,
# values that look like options, choices it refuses, help).
PLAIN_ARGS = ["a.har", "b c", "", "-", "--strict", "--script", "--keep-variables", "--from", "har", "jsonl", "-o",
              "--output", "-g", "--globals", "-e", "--environment", "--global-var", "--env-var", "N=V", "--working-dir",
              "--insecure-file-read", "--comments", "--placeholder", "--curl-version"]
OTHER_ARGS = ["--from=har", "--str", "--", "-x", "-1", "-oOUT", "xml", "-h", "--version", "-s", "--curl-option=-sS",
              "--curl-option", "--retry"]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(["curl", "postman"]), st.lists(st.sampled_from(PLAIN_ARGS), max_size=7),
       st.lists(st.sampled_from(PLAIN_ARGS + OTHER_ARGS), max_size=7))
def test_plain_arguments_read_as_argparse_reads_them(command, plain, any_args):
    """The quick reading of a plain run against argparse's: the same options wherever it reads them,
    and every run of plain arguments argparse accepts is read quickly."""
    import contextlib

    import tolmek_cli

    for argv in ([command, *plain], [command, *any_args]):
        quick = tolmek_cli.quick(argv)
        try:
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                full = vars(tolmek_cli.parsed(argv))
        except SystemExit:
            assert quick is None, argv
            continue
        if quick is not None:
            assert vars(quick) == full, argv
        else:
            assert argv[1:] != plain, f"{argv}: plain arguments left to argparse"


def test_json_lines_with_a_byte_order_mark_crlf_and_blank_lines(cli):
    text = ('\ufeff{"id": 1, "url": "http://h/a", "method": "PUT", "headers": [["A", "1"]], "body": "x"}\r\n\r\n \n'
            '{"url": "http://h/b", "method": "GET", "headers": [], "body": null}\r\n')
    assert cli("curl", stdin=text.encode()) == (0, script(("http://h/a", [("A", "1")], "PUT", "x"),
                                                          ("http://h/b", [], "GET", None)), "")


# -- Postman collections --------------------------------------------------------------------------

TEXT = st.text(st.characters(exclude_categories=("Cs",)), max_size=12)
REQUESTS = st.lists(st.tuples(TEXT, st.lists(st.tuples(TEXT, TEXT), max_size=3), st.sampled_from(NINE),
                              st.none() | TEXT), max_size=6)


def round_trip(cli, reqs, expected=None, empty_urls=0):
    """The module's export through `tolmek curl --keep-variables`: each request becomes a command or
    one skip line naming it, and when `expected` gives (url, headers, method, body) for each, the
    commands are the module's for those. (What newman sends for an export is compared with what the
    commands send in test_postman_newman.py.)"""
    export = TolmekCollection([Tolmek(u, h, getattr(M, m), b) for u, h, m, b in reqs]).export_collection()
    code, got, got_err = cli("curl", "--keep-variables", stdin=export.encode())
    lines = got_err.split("\n")[:-2] if got_err else []
    assert code == (0 if got else 1) and all(": skipped item[" in line for line in lines), got_err
    if expected is not None:
        # An empty URL is no address: its request is skipped, by name.
        assert got == script(*expected) and len(lines) == empty_urls, got_err
        assert all(line.endswith(": the URL is empty") for line in lines)


def test_exports_round_trip_to_the_requests_postman_sends(cli):
    round_trip(cli, [
        ("https://api.example.com/v1/items?x=1&y='2'#f", [("Content-Type", "application/json"), ("A", "1"), ("A", "")],
         "POST", BODY),
        ("/status", [], "GET", None), ("", [], "PUT", ""), ("-o/tmp/x", [("X$", "`id`")], "PATCH", "@/etc/passwd"),
        ("http://h/é ✓", [("X", "\"q\" \\ !")], "DELETE", "a\nb\r\n"), ("http://h/g", [], "GET", "pruned"),
    ] + [("http://h/" + m.lower(), [], m, None) for m in NINE], [
        # Postman percent-encodes the query's apostrophes and never sends the fragment.
        ("https://api.example.com/v1/items?x=1&y=%272%27", [("Content-Type", "application/json"), ("A", "1"),
                                                           ("A", "")], "POST", BODY),
        ("/status", [], "GET", None),
        # The export reads "-o" as the host; a raw body gets the Content-Type Postman gives it.
        ("https://-o/tmp/x", [("X$", "`id`"), ("Content-Type", "text/plain")], "PATCH", "@/etc/passwd"),
        ("http://h/%C3%A9%20%E2%9C%93", [("X", "\"q\" \\ !"), ("Content-Type", "text/plain")], "DELETE", "a\nb\r\n"),
        ("http://h/g", [], "GET", None),  # Postman drops the body of a GET
    ] + [("http://h/" + m.lower(), [], m, None) for m in NINE], empty_urls=1)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(REQUESTS)
def test_any_export_round_trips(cli, reqs):
    round_trip(cli, reqs)


def test_collection_folders_url_objects_and_bodies(cli):
    collection = {
        "info": {"name": "c", "schema": "https://schema.getpostman.com/json/collection/v2.1.0/collection.json"},
        "item": [
            {"name": "folder", "item": [
                {"name": "a", "request": {"method": "POST", "url": {"raw": "http://h/raw?x=1", "host": ["ignored"]},
                                          "header": [{"key": "A", "value": "1"},
                                                     {"key": "Off", "value": "x", "disabled": True},
                                                     {"key": "N", "value": None}],
                                          "body": {"mode": "raw", "raw": "it's"}}},
                {"name": "inner", "item": [
                    {"name": "b", "request": {"url": {"protocol": "https", "host": ["api", "example", "com"],
                                                      "port": "8443", "path": ["v1", {"value": ":id"}, ""],
                                                      "query": [{"key": "q", "value": "a b"}, {"key": "flag", "value": None},
                                                                {"key": "off", "value": "1", "disabled": True}],
                                                      "hash": "top"},
                                              "body": {"mode": "raw", "raw": ""}}}]},
            ]},
            {"name": "c", "request": "http://h/plain"},
            {"name": "d", "request": {"method": "PUT", "url": {"host": "h", "path": "/p"},
                                      "header": "X-Raw: 1\nY: two words",
                                      "body": {"mode": "urlencoded", "urlencoded": [
                                          {"key": "a", "value": "1 2"}, {"key": "b", "value": "&", "disabled": True}]}}},
            {"name": "e", "request": {"url": "http://h/upload", "method": "POST",
                                      "body": {"mode": "formdata", "formdata": []}}},
            {"name": "f", "request": {"url": "http://h/off", "method": "POST", "body": {"mode": "raw", "raw": "x",
                                                                                       "disabled": True}}},
        ],
    }
    doc = json.dumps(collection).encode()
    expected = script(("ignored", [("A", "1"), ("N", ""), ("Content-Type", "text/plain")], "POST", "it's"),
                      ("https://api.example.com:8443/v1/:id/?q=a%20b&flag", [], "GET", None),
                      ("http://h/plain", [], "GET", None),
                      ("h/p", [("X-Raw", "1"), ("Y", "two words"), ("Content-Type", "application/x-www-form-urlencoded")],
                       "PUT", "a=1%202"),
                      ("http://h/upload", [], "POST", None),
                      ("http://h/off", [], "POST", None))
    assert cli("curl", stdin=doc) == (0, expected, "")


def _event(listen, code, **more):
    return [{"listen": listen, "script": {"type": "text/javascript", "exec": code}, **more}]


SCRIPTS = [
    # (the events of the collection, a folder, a request item, a request; the kinds named)
    (_event("test", ["pm.test()"]), [], [], [], "test"),
    ([], _event("prerequest", ["pm.x()"]), _event("test", "") + _event("test", "x"), [], "pre-request and test"),
    # Empty scripts, as Postman's app writes them, disabled ones and others newman does not run are none.
    (_event("test", [""]), _event("prerequest", [" ", "\n"]), _event("test", "x", disabled=True),
     _event("other", "x") + _event(["test"], "x") + [{"listen": "test"}, "odd"], None),
]


@pytest.mark.parametrize("top, folder, item, inner, kinds", SCRIPTS)
def test_scripts_are_named_once_per_collection(cli, top, folder, item, inner, kinds):
    one = {"name": "r", "event": item, "request": {"url": "http://h/r", "event": inner}}
    doc = json.dumps({"event": top, "item": [{"name": "f", "event": folder, "item": [one, one]}]}).encode()
    head = f"tolmek: <stdin>:1:{doc.index(b'{\"name\": \"f\"') + 1}: note: the collection has {kinds} scripts: "
    for command, then in (("curl", "newman runs scripts; the commands send the requests as written"),
                          ("postman", "the collection written holds none of them: its requests are as written")):
        assert cli(command, stdin=doc)[::2] == (0, f"{head}{then}\n" if kinds else ""), command
    assert cli("curl", stdin=json.dumps({"event": top + folder, "item": []}).encode()) == \
        (1, b"", "tolmek: no request converted (the input holds none); nothing written\n")  # no request, no note


# -- output files ---------------------------------------------------------------------------------

def test_output_file_is_replaced_only_when_whole(cli, tmp_path):
    out = tmp_path / "collection.json"
    good = b'{"url": "http://h/", "method": "GET", "headers": []}\n'
    assert cli("postman", "-o", str(out), stdin=good) == (0, b"", "")
    first = out.read_bytes()
    assert first == TolmekCollection([Tolmek("http://h/", [], M.GET)]).export_collection().encode() + b"\n"
    assert (out.stat().st_mode & 0o777) == 0o666 & ~current_umask()
    out.chmod(0o640)
    # Bad input, or a skip under --strict: the old file stays as it was and no temporary file is left.
    assert cli("postman", "-o", str(out), stdin=good + b"{")[0] == 2
    assert cli("postman", "-o", str(out), "--strict", stdin=good.replace(b"GET", b"G T"))[0] == 1
    assert (sorted(tmp_path.iterdir()), out.read_bytes()) == ([out], first)
    assert cli("curl", "--script", "-o", str(out), stdin=good) == (0, b"", "")
    assert (out.read_bytes(), out.stat().st_mode & 0o777) == (b"#!/bin/sh\n" + script(("http://h/", [], "GET", None)),
                                                              0o640)
    assert cli("curl", "-o", str(tmp_path / "no" / "x"), stdin=good) == (
        2, b"", f"tolmek: error: cannot write {tmp_path / 'no' / 'x'}: No such file or directory\n")


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


# -- the installed command ------------------------------------------------------------------------

TOLMEK = pathlib.Path(sys.executable).parent / "tolmek"


def run_installed(*args, stdin=b""):
    if not TOLMEK.exists():
        missing(f"the tolmek command ({TOLMEK}) is required: pip install .")
    return subprocess.run([str(TOLMEK), *args], input=stdin, capture_output=True, timeout=60)


USAGE_ERRORS = [  # (arguments, the usage shown, what the error line says)
    (["capture.har"], "tolmek [-h]", "'capture.har' is not a subcommand (curl, postman): did you mean "
                                     "\"tolmek curl capture.har\"?"),
    (["x.json", "-o", "a b"], "tolmek [-h]", "did you mean \"tolmek curl x.json -o 'a b'\"?"),
    (["curl", "--bogus", "x"], "tolmek curl ", "tolmek curl: error: unrecognized arguments: --bogus"),
    (["postman", "x", "--comments"], "tolmek postman ", "tolmek postman: error: unrecognized arguments: --comments"),
    *((["curl", f"--curl-option={o}", "x"], "tolmek curl ", f"'{o}' is not an option that leaves the request as it "
       "is; allowed: -s, -S, -f") for o in ("-k", "--compressed", "-L", "-sk", "-H", "--")),
    (["curl", "--curl-option=-sS", "--curl-option=-m"], "tolmek curl ", "-m needs its value (seconds, such as 10 or "
                                                                         "2.5) as the next --curl-option"),
    *((["curl", f"--curl-option={o}", f"--curl-option={v}"], "tolmek curl ", f"the value {v!r} of {o} {why}")
      for o, v, why in [("-w", "@-", "is not a format"), ("--max-time", "1e3", "is not seconds"), ("-o", "", "is empty"),
                        ("--retry", "2.5", "is not a whole number"), ("-w", "a\nb", "holds a control character")]),
]


@pytest.mark.parametrize("args, usage, says", USAGE_ERRORS)
def test_usage_errors_show_the_subcommands_usage_and_what_to_do(cli, capsysbinary, args, usage, says):
    with pytest.raises(SystemExit) as done:
        cli(*args)
    err = capsysbinary.readouterr().err.decode()
    assert (done.value.code, err.startswith("usage: " + usage), says in err.splitlines()[-1]) == (2, True, True), err


def test_installed_command_help_and_version():
    # One version, set in pyproject.toml: the installed metadata and the command both carry it.
    with open(pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml", "rb") as f:
        declared = tomllib.load(f)["project"]["version"]
    assert version("tolmek") == declared
    done = run_installed("--version")
    assert (done.returncode, done.stdout.decode()) == (0, f"tolmek {declared}\n")
    top = run_installed("--help").stdout.decode()
    assert all(word in top for word in ("curl", "postman", "--version", "har", "jsonl", "exit status"))
    for sub, options in (("curl", ("--from", "--strict", "--script", "-o OUT", "FILE")),
                         ("postman", ("--from", "--strict", "-o OUT", "FILE"))):
        text = run_installed(sub, "--help").stdout.decode()
        assert all(o in text for o in options) and "exit status" in text, text
    bad = run_installed("curl", "--from", "xml")
    assert bad.returncode == 2 and "invalid choice: 'xml'" in bad.stderr.decode()


# What a plain run must not import: a module imported at the top of the wrong file would undo the
# start-up bench/cli.py measures (argparse, regular expressions, json, the signal module's enums, the
# composer, the other readers).
UNUSED = {"argparse", "re", "json", "enum", "signal", "threading", "tempfile", "urllib.parse", "tolmek_http",
          "tolmek_cli.har", "tolmek_cli.postman", "tolmek_cli.options"}
IMPORTED = """
import sys
before = set(sys.modules)
from tolmek_cli import main
try:
    main(sys.argv[1:])
finally:
    sys.stderr.write(" ".join(sorted(set(sys.modules) - before)))
"""


def test_plain_runs_leave_what_they_do_not_use_unimported(tmp_path):
    one = tmp_path / "one.jsonl"
    one.write_bytes(b'{"url": "http://h/", "method": "GET", "headers": [["Accept", "*/*"]]}\n')
    har, collection = tmp_path / "one.har", tmp_path / "one.json"
    har.write_text(json.dumps({"log": {"entries": [{"request": {"method": "GET", "url": "http://h/?a=1", "headers": [],
                                                               "queryString": [{"name": "a", "value": "1"}]}}]}}))
    collection.write_text(json.dumps({"info": {"schema": "https://schema.getpostman.com/json/collection/v2.1.0/"
                                                         "collection.json"},
                                      "item": [{"request": {"url": "http://h/?a=1", "header": [{"key": "A", "value": "1"}],
                                                            "auth": {"type": "basic"}}}]}))
    # Nor do the other readers, for texts without variables, escapes, JSON values or forms.
    readers = UNUSED - {"tolmek_cli.har", "tolmek_cli.postman"} | {"decimal", "typing", "base64"}
    for args, unused in ((["--version"], UNUSED), (["curl", str(one)], UNUSED), (["postman", str(one)], UNUSED),
                         (["curl", "-o", str(tmp_path / "out"), str(one)], UNUSED), (["curl", str(har)], readers),
                         (["curl", str(collection)], readers)):
        done = subprocess.run([sys.executable, "-c", IMPORTED, *args], capture_output=True, timeout=60)
        assert done.returncode == 0 and not unused & set(done.stderr.decode().split()), (args, done.stderr)


@settings(max_examples=400, deadline=None)
@given(st.lists(st.sampled_from(list("%+=&aZ~ -é\udc80") + ["%2", "%c3%a9", "%C3", "%e2%82", "%ff%FF"])).map("".join))
def test_escapes_as_urllib_parse_writes_and_reads_them(text):
    from urllib.parse import parse_qsl, quote, unquote

    from tolmek_cli.fields import escape, query_pairs, unescape
    assert unescape(text) == unquote(text)
    assert query_pairs(text) == parse_qsl(text, keep_blank_values=True)
    for safe in ("", "!$'()*,/:;?@[]~"):
        try:
            expected = quote(text, safe=safe)
        except UnicodeEncodeError:
            with pytest.raises(UnicodeEncodeError):
                escape(text, safe)
        else:
            assert escape(text, safe) == expected


def test_installed_command_and_module_entry_convert_a_pipe():
    lines = b'{"url": "http://h/", "method": "GET", "headers": [["A", "it\'s"]]}\n'
    expected = script(("http://h/", [("A", "it's")], "GET", None))
    assert run_installed("curl", "-", stdin=lines).stdout == expected
    module = subprocess.run([sys.executable, "-m", "tolmek_cli", "curl"], input=lines, capture_output=True, timeout=60)
    assert module.stdout == expected


def test_wheel_holds_the_module_its_stubs_and_the_command_only():
    installed = files("tolmek")
    if installed is None or not any(f.parts[0] == "tolmek_cli" for f in installed):
        missing("tolmek must be installed from its wheel: pip install .")
    tops = {f.parts[0] if f.parts[0] != ".." else f.name for f in installed}
    tops = {"tolmek.so" if t.startswith("tolmek.") and t.endswith(".so") else t for t in tops}
    assert tops == {"tolmek.so", "tolmek-stubs", "tolmek_cli", "tolmek_http", "tolmek_forms", f"tolmek-{version('tolmek')}.dist-info", "tolmek"}
    modules = {f.name for f in installed if f.parts[0] == "tolmek_cli" and f.suffix == ".py"}
    assert modules == {"__init__.py", "__main__.py", "auth.py", "bodies.py", "carry.py", "convert.py", "deep.py",
                       "fields.py", "har.py", "jsonl.py", "options.py", "output.py", "postman.py", "pruning.py",
                       "run.py", "source.py", "streams.py", "urls.py", "variables.py", "vcr.py", "betamax.py",
                       "cassettes.py", "yamlload.py", "curl_options.py", "placeholders.py", "curl_in.py",
                       "shellwords.py", "forms.py"}


_EDGE = 30000  # the composer's printf pieces (compose.PRINTF_CHUNK)
# Besides short and long binary bodies and long text, the printf path at its edges: a piece
# boundary on each side of an escape, pieces that start with "-" (printf would take an option),
# every byte value at a boundary, text just past what one argument takes.
BINARY_BODIES = [bytes(range(256)), b"\x00", b"-n %s\\\r\n\xff\n\n", bytes(range(256)) * 800, "é✓ text".encode() * 20000,
                 (b"-" * _EDGE) * 3 + b"-\x00", b"a" * (_EDGE - 1) + b"%\\'\x00" + b"\xff" * _EDGE,
                 b"x" * (_EDGE - 128) + bytes(range(256)) * 2, b"\xc3\xa9" * (64 * 1024 // 2 + 1), b"it's\x00$HOME", b"\r"]


@pytest.mark.parametrize("extra", [(), ("--comments", "--curl-option=-sS", "--curl-option=--fail", "--curl-option=--max-time",
                                    "--curl-option=30", "--curl-option=-w", "--curl-option=%{http_code} '$HOME'\\n",
                                    "--curl-option=-o", "--curl-option=response body")])
def test_base64_bodies_arrive_byte_for_byte(cli, tmp_path, extra):
    """Binary HAR bodies (and text too long for one argument) go through the shell's printf into
    curl: run by bash, dash and zsh with the real curl, each arrives as recorded, also with comments
    and curl options; a collection cannot hold them and skips them."""
    import base64

    import faithful
    from recorder import Recorder
    from tolmek_http.compose import PRINTF_CHUNK

    assert PRINTF_CHUNK == _EDGE

    if absent := faithful.unavailable("bash", "dash", "zsh", "curl"):
        missing(f"not installed: {', '.join(absent)}")
    with Recorder() as rec:
        doc = har(*(req("PUT", f"{rec.base}/b{i:02}", [("Content-Type", "application/octet-stream"),
                                                     ("Content-Length", str(len(b)))],
                        postData={"mimeType": "application/octet-stream", "encoding": "base64",
                                  "text": base64.b64encode(b).decode()})
                    for i, b in enumerate(BINARY_BODIES)),
                  # A record without Content-Type: curl must not add its form type.
                  req("PUT", f"{rec.base}/untyped", postData={"text": "a=1"}),
                  req("PUT", f"{rec.base}/untyped-binary", postData={"text": "AP8=", "encoding": "base64"}))
        code, out, err = cli("curl", *extra, stdin=doc)
        assert (code, err) == (0, "")
        (tmp_path / "replay.sh").write_bytes(out)
        for shell in ("bash", "dash", "zsh"):
            done = subprocess.run([shell, str(tmp_path / "replay.sh")], check=True, capture_output=True, timeout=60,
                                  env={"PATH": os.environ["PATH"], "HOME": str(tmp_path)}, cwd=tmp_path)
            assert done.stdout.count(b"200 '$HOME'\n") == (len(BINARY_BODIES) + 2) * bool(extra)
            assert (tmp_path / "response body").exists() == bool(extra)
            got = sorted(rec.take(), key=lambda a: a.target)
            untyped = got[-2:]
            assert [(a.target, a.body) for a in untyped] == [(b"/untyped", b"a=1"), (b"/untyped-binary", b"\0\xff")]
            assert not any(n.lower() == b"content-type" for a in untyped for n, _ in a.headers), shell
            got = got[:-2]
            assert [(a.method, a.target, a.body) for a in got] == [
                (b"PUT", f"/b{i:02}".encode(), b) for i, b in enumerate(BINARY_BODIES)], shell
            assert all((b"Content-Type", b"application/octet-stream") in a.headers for a in got)
    code, _, err = cli("postman", stdin=doc)
    assert code == 0 and err.count("a collection's raw body cannot hold") == 9
