"""The leak harness: a parametrised suite recorded with --tolmek-record sends each kind of secret (tests/data/leak_cases.json) by each client, the secret in its test id too; no spelling of any is in any shareable place, and bash, dash, zsh and newman replay what was sent."""

import base64
import dataclasses
import gzip
import json
import pathlib
import subprocess
import sys
import warnings
import zlib
from urllib.parse import quote

import pytest

import http_matrix
from conftest import NEWMAN, loopback_env, require_newman
from postman_diff import _newman, _requests
from recorder import Recorder
from test_recording_proof import _newman_differences, _pair
from tolmek_http.exchange import Exchange
from tolmek_http.wire import WireRequest
from tolmek_http.writer import RecordingWarning, write

TABLE = json.loads((pathlib.Path(__file__).parent / "data" / "leak_cases.json").read_text("utf-8"))
CASES = [(kind, client) for kind in TABLE["kinds"] for client in TABLE["clients"]]


def secret(kind, client):
    return TABLE["kinds"][kind]["secret"] + "-" + TABLE["clients"][client]


# The suite recorded: one test, each kind by each client, the secret in the test's id.
SUITE = '''
import base64, gzip, json, os
from urllib.parse import quote_plus, urlencode

import pytest

TABLE = json.loads(open(os.environ["LEAK_TABLE"], encoding="utf-8").read())
BASE = os.environ["LEAK_BASE"]


def fill(value, s):
    if isinstance(value, dict):
        return {fill(k, s): fill(v, s) for k, v in value.items()}
    return value.replace("$SECRET", s) if isinstance(value, str) else value


def send(client, case, s):
    url = BASE + case["path"]
    headers = fill(case.get("headers", {}), s)
    params, form, body = fill(case.get("params"), s), fill(case.get("form"), s), None
    if "json" in case:
        body = json.dumps(fill(case["json"], s)).encode()
        headers["Content-Type"] = "application/json"
    if "gzip_json" in case:
        body = gzip.compress(json.dumps(fill(case["gzip_json"], s)).encode(), mtime=0)
        headers.update({"Content-Type": "application/json", "Content-Encoding": "gzip"})
    if "text" in case:  # a form written by hand, sent as a str: no Content-Type
        body = "&".join(f"{k}={quote_plus(v)}" for k, v in fill(case["text"], s).items())
    auth = (case["user"], s) if case.get("basic") else None
    if client == "requests":
        import requests
        return requests.request(case["method"], url, params=params, data=form or body, headers=headers,
                                auth=auth).status_code
    if client == "httpx":
        import httpx
        return httpx.request(case["method"], url, params=params, data=form, content=body, headers=headers,
                             auth=auth).status_code
    import urllib3
    if auth:
        headers.update(urllib3.make_headers(basic_auth=":".join(auth)))
    if params:
        url += "?" + urlencode(params)
    pool = urllib3.PoolManager()
    if form:
        return pool.request(case["method"], url, fields=form, encode_multipart=False, headers=headers).status
    return pool.request(case["method"], url, body=body, headers=headers).status


CASES = [(kind, client, TABLE["kinds"][kind]["secret"] + "-" + tag)
         for kind in TABLE["kinds"] for client, tag in TABLE["clients"].items()]


@pytest.mark.parametrize("kind, client, s", CASES, ids=[f"{c}-{k}-{s}" for k, c, s in CASES])
def test_send(kind, client, s):
    assert send(client, TABLE["kinds"][kind], s) == 200
'''


def _echo(arrival):
    """The server answers with what it read, decoded as a server would, under names that say
    nothing of secrets: the target, the query's and a form's or JSON body's values (gunzipped),
    Basic's user:password, the headers; the raw target in a header."""
    from urllib.parse import parse_qsl

    target = arrival.target.decode()
    body = arrival.body
    if any(n.lower() == b"content-encoding" for n, _ in arrival.headers):
        body = gzip.decompress(body)
    text = body.decode("utf-8", "replace")
    try:
        fields = list(json.loads(text).values())
    except ValueError:
        fields = [v for _, v in parse_qsl(text)]
    seen = {"target": target, "values": [v for _, v in parse_qsl(target.partition("?")[2])] + fields,
            "headers": [[n.decode(), v.decode()] for n, v in arrival.headers]}
    for n, v in arrival.headers:
        if n.lower() == b"authorization" and v.startswith(b"Basic "):
            seen["user"] = base64.b64decode(v[6:]).decode()
    answer = json.dumps(seen, ensure_ascii=False).encode()
    return (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-Echo-Target: " + arrival.target
            + b"\r\nContent-Length: %d\r\n\r\n" % len(answer) + answer)


class Recorded:
    def __init__(self, out, arrivals, proc):
        self.dir, self.arrivals, self.proc = out, arrivals, proc
        self.collection = json.loads((out / "tolmek.postman_collection.json").read_text("utf-8"))
        self.script = (out / "requests.sh").read_text("utf-8")
        self.items = _requests(self.collection)
        self.places = _places(self)


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    suite = tmp_path_factory.mktemp("leaky")
    (suite / "test_leaky.py").write_text(SUITE)
    out = suite / "out"
    with Recorder(answer=_echo) as rec:
        env = dict(loopback_env(), LEAK_TABLE=str(pathlib.Path(__file__).parent / "data" / "leak_cases.json"),
                   LEAK_BASE=rec.base, HOME=str(suite))
        env = {k: v for k, v in env.items() if not k.startswith("PYTEST_")}
        proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", ".",
                               f"--tolmek-record={out}", "test_leaky.py"], cwd=suite, env=env, capture_output=True,
                              text=True, stdin=subprocess.DEVNULL, timeout=600)
        assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
        yield Recorded(out, rec.take(), proc), rec


def _strings(node):
    """Every key and string value of a JSON document."""
    if isinstance(node, dict):
        for k, v in node.items():
            yield k
            yield from _strings(v)
    elif isinstance(node, list):
        for v in node:
            yield from _strings(v)
    elif isinstance(node, str):
        yield node


def _places(recorded):
    """place -> the text of the shareable outputs found there."""
    doc, items = recorded.collection, recorded.items

    def folders(node):
        for child in node.get("item", ()):
            if "item" in child:
                yield child
                yield from folders(child)

    requests_ = [i["request"] for i in items]
    examples = [{k: v for k, v in e.items() if k != "originalRequest"} for i in items for e in i.get("response", ())]
    files = []
    for p in sorted((recorded.dir / "bodies").glob("*")) if (recorded.dir / "bodies").is_dir() else ():
        data = p.read_bytes()
        files.append(data)
        if data[:2] == b"\x1f\x8b":
            files.append(gzip.decompress(data))
    lines = recorded.script.splitlines()
    every = [(recorded.dir / n).read_bytes() for n in ("tolmek.postman_collection.json", "requests.sh")]
    texts = {
        "folder names": [f["name"] for f in folders(doc)],
        "descriptions": [s for n in [doc["info"], *folders(doc), *items, *requests_] for s in _strings(n.get("description"))],
        "item names": [i["name"] for i in items],
        "urls": [*_strings([r["url"] for r in requests_]), *_strings(doc.get("variable"))],
        "header names": [h["key"] for r in requests_ + examples for h in r.get("header", ())],
        "header values": [h["value"] for r in requests_ for h in r.get("header", ())],
        "bodies": list(_strings([r.get("body") for r in requests_])),
        "examples": list(_strings(examples)),
        "body files": [f.decode("utf-8", "surrogateescape") for f in files],
        "script comments": [x for x in lines if x.lstrip().startswith("#")],
        "script commands": [x for x in lines if not x.lstrip().startswith("#")],
        "whole files": [b.decode("utf-8", "surrogateescape") for b in every + files],
    }
    assert set(texts) == set(TABLE["places"]) | {"whole files"}
    return {k: "\n".join(v) for k, v in texts.items()}


def spellings(value):
    """The ways a value can be written: itself, inside a JSON string, with Python's escapes (pytest's
    ids), percent-encoded by each kind of encoder (escapes in either case), with "+" for spaces."""
    out = {value, json.dumps(value)[1:-1], json.dumps(value, ensure_ascii=False)[1:-1],
           value.encode("unicode_escape").decode()}
    for safe in ("", "/", "!'()*", "!#$&'()*+,/:;=?@[]~"):
        q = quote(value, safe=safe)
        out |= {q, q.replace("%20", "+"), q.lower(), q.replace("%20", "+").lower()}
    return out


def _all_spellings(kind, client):
    s = secret(kind, client)
    found = spellings(s)
    user = TABLE["kinds"][kind].get("user")
    if user:
        found |= spellings(f"{user}:{s}") | {base64.b64encode(f"{user}:{s}".encode()).decode()}
    return found


@pytest.mark.parametrize("place", TABLE["places"] + ["whole files"])
@pytest.mark.parametrize("kind, client", CASES, ids=[f"{k}-{c}" for k, c in CASES])
def test_no_spelling_in(recorded, kind, client, place):
    text = recorded[0].places[place]
    leaked = sorted(f for f in _all_spellings(kind, client) if f in text)
    assert not leaked, f"{place}: {leaked}"


def test_each_secret_sent_and_the_rest_kept(recorded):
    """Each case's secret reached the server (in some spelling: the harness proves something), the
    names that only look like secrets' stayed text, and each gzip body was withheld, named."""
    got, _ = recorded
    wire = b"\n".join(a.target + b"".join(n + v for n, v in a.headers)
                      + (gzip.decompress(a.body) if a.body[:2] == b"\x1f\x8b" else a.body) for a in got.arrivals)
    absent = [(k, c) for k, c in CASES if not any(f.encode() in wire for f in _all_spellings(k, c))]
    assert not absent and len(got.arrivals) == len(CASES)
    assert all(v in got.places["bodies"] for v in TABLE["kept"]) and "test_send" in got.places["folder names"]
    withheld = [line for line in got.proc.stdout.splitlines() if "the body is withheld" in line]
    assert len(withheld) == len(TABLE["clients"]), got.proc.stdout[-3000:]
    assert got.script.count("left out: its body is withheld") == len(TABLE["clients"])


def _withheld(arrival):
    return any(n.lower() == b"content-encoding" for n, _ in arrival.headers)


@pytest.mark.parametrize("shell", http_matrix.SHELLS)
def test_shell_replays_exactly(recorded, shell):
    got, rec = recorded
    ran = subprocess.run([shell, "-c", ". ./secrets.sh && . ./requests.sh"], cwd=got.dir, capture_output=True,
                         timeout=120, env=loopback_env())
    assert ran.returncode == 0, ran.stderr[-2000:]
    sent = [a for a in got.arrivals if not _withheld(a)]
    identical, problems = _pair(sent, rec.take(), http_matrix.differences)
    assert not problems and identical == len(sent) > 0, "\n".join(problems)


def test_newman_replays_exactly(recorded):
    require_newman()
    got, rec = recorded
    done = _newman([str(NEWMAN), "run", str(got.dir / "tolmek.postman_collection.json"), "-e",
                    str(got.dir / "tolmek.postman_environment.json"), "--reporters", "cli", "--color", "off"])
    assert done.returncode == 0, done.stdout[-3000:]
    # A withheld body is the one thing newman does not send.
    sent = [dataclasses.replace(a, body=b"") if _withheld(a) else a for a in got.arrivals]
    identical, problems = _pair(sent, rec.take(), _newman_differences)
    assert not problems and identical == len(sent), "\n".join(problems)


def _encoded(coding, body):
    """`body` with the content codings named (listed in the order applied, as in the header)."""
    for c in (c.strip() for c in coding.split(",")):
        if c == "gzip":
            body = gzip.compress(body, mtime=0)
        elif c == "deflate":
            body = zlib.compress(body)
        elif c == "raw deflate":
            z = zlib.compressobj(wbits=-zlib.MAX_WBITS)
            body = z.compress(body) + z.flush()
        elif c == "br":
            body = pytest.importorskip("brotli").compress(body)
    return body


@pytest.mark.parametrize("case", TABLE["compressed"], ids=lambda c: f"{c['coding']}-{c['body']}")
def test_compressed_request_body(tmp_path, case):
    """A compressed body is searched once decoded (never past the shown limit): one holding a secret,
    or that cannot be read, is written nowhere and named; any other stays a body file as it was."""
    plain = {"secret": b'{"user": "bob", "password": "Zip-Pa55word-1"}', "plain": b'{"note": "nothing to hide"}',
             "bomb": bytes(16 << 20), "damaged": b"", "cut": b'{"password": "Zip-Pa55word-1"}'}[case["body"]]
    body = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x07damaged" if case["body"] == "damaged" \
        else _encoded(case["coding"], plain)[:20 if case["body"] == "cut" else None]
    coding = case["coding"].replace("raw deflate", "deflate")
    request = WireRequest(b"POST /up HTTP/1.1\r\nHost: h:1\r\nContent-Type: application/json\r\nContent-Encoding: "
                          + coding.encode() + b"\r\nContent-Length: %d" % len(body), body, ("http", "h:1", None))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        write(tmp_path, [Exchange(request, test="t::up", folder=("t", "up"))])
    said = [str(w.message) for w in caught if issubclass(w.category, RecordingWarning)]
    (item,) = _requests(json.loads((tmp_path / "tolmek.postman_collection.json").read_text("utf-8")))
    script = (tmp_path / "requests.sh").read_text("utf-8")
    if case["withheld"] is None:
        assert not said and (tmp_path / "bodies" / "001.bin").read_bytes() == body
        assert item["request"]["body"] == {"mode": "file", "file": {"src": "bodies/001.bin"}}
    else:
        (warned,) = said
        assert warned.startswith("request 1 of t::up: the body is withheld") and case["withheld"] in warned, warned
        assert "body" not in item["request"] and not (tmp_path / "bodies").exists()
        assert [h["key"] for h in item["request"]["header"]] == ["Content-Type", "Content-Encoding"]
        assert "# request 1 left out: its body is withheld" in script and "curl -X" not in script
    shared = b"".join(p.read_bytes() for p in tmp_path.rglob("*") if p.is_file() and "secret" not in p.name
                      and "environment" not in p.name)
    assert b"Zip-Pa55word-1" not in shared
