"""The leak harness: a suite recorded with --tolmek-record sends each kind of secret (tests/data/leak_cases.json) by each client, the secret in its test id too; no spelling of any is in any shareable place, and bash, dash, zsh and newman replay what was sent."""

import base64
import dataclasses
import gzip
import json
import pathlib
import re
import subprocess
import sys
import warnings
import zlib
from types import SimpleNamespace
from urllib.parse import parse_qsl, quote

import pytest

import http_matrix
from conftest import NEWMAN, loopback_env, require_newman
from postman_diff import _folders, _newman, _requests
from recorder import Recorder
from test_recording_proof import _newman_differences, _pair
from tolmek_http.exchange import Exchange
from tolmek_http.wire import WireRequest
from tolmek_http.writer import RecordingWarning, write

DATA = pathlib.Path(__file__).parent / "data" / "leak_cases.json"
TABLE = json.loads(DATA.read_text("utf-8"))
CASES = [(kind, client) for kind in TABLE["kinds"] for client in TABLE["clients"]]
PLACES = TABLE["places"] + ["whole files"]

# The suite recorded: one test, each kind by each client, the secret in the test's id.
SUITE = '''
import gzip, json, os
from urllib.parse import quote_plus, urlencode
import pytest

TABLE = json.loads(open(os.environ["LEAK_TABLE"], encoding="utf-8").read())
CASES = [(TABLE["kinds"][k], c, TABLE["kinds"][k]["secret"] + "-" + t) for k in TABLE["kinds"]
         for c, t in TABLE["clients"].items()]


def fill(value, s):
    if isinstance(value, dict):
        return {fill(k, s): fill(v, s) for k, v in value.items()}
    return value.replace("$SECRET", s) if isinstance(value, str) else value


@pytest.mark.parametrize("case, client, s", CASES, ids=[f"{c}-{k}-{s}" for k, (_, c, s) in zip(
    [k for k in TABLE["kinds"] for _ in TABLE["clients"]], CASES)])
def test_send(case, client, s):
    url, headers, params, form = os.environ["LEAK_BASE"] + case["path"], *(fill(case.get(k), s) or {} for k in
                                                                            ("headers", "params", "form"))
    body = json.dumps(fill(case.get("json") or case.get("gzip_json"), s)).encode()
    headers.update({"Content-Type": "application/json"} if case.keys() & {"json", "gzip_json"} else {})
    if "gzip_json" in case:
        body = gzip.compress(body, mtime=0)
        headers["Content-Encoding"] = "gzip"
    if "text" in case:  # a form written by hand, sent as a str: no Content-Type
        body = "&".join(f"{k}={quote_plus(v)}" for k, v in fill(case["text"], s).items())
    body, auth = None if body == b"null" else body, (case["user"], s) if case.get("basic") else None
    if client == "requests":
        import requests
        r = requests.request(case["method"], url, params=params, data=form or body, headers=headers, auth=auth)
    elif client == "httpx":
        import httpx
        r = httpx.request(case["method"], url, params=params, data=form, content=body, headers=headers, auth=auth)
    else:
        import urllib3
        headers.update(urllib3.make_headers(basic_auth=":".join(auth)) if auth else {})
        url += "?" + urlencode(params) if params else ""
        extra = dict(fields=form, encode_multipart=False) if form else dict(body=body)
        r = urllib3.PoolManager().request(case["method"], url, headers=headers, **extra)
        r.status_code = r.status
    assert r.status_code == 200
'''


def _echo(arrival):
    """What the server read, decoded as a server would, under names that say nothing of secrets: the
    query's and the (gunzipped) form's or JSON body's values, Basic's user:password, the headers."""
    gzipped = any(n.lower() == b"content-encoding" for n, _ in arrival.headers)
    text = (gzip.decompress(arrival.body) if gzipped else arrival.body).decode("utf-8", "replace")
    try:
        values = list(json.loads(text).values())
    except ValueError:
        values = [v for _, v in parse_qsl(text)]
    seen = {"values": [v for _, v in parse_qsl(arrival.target.decode().partition("?")[2])] + values,
            "headers": [[n.decode(), v.decode()] for n, v in arrival.headers],
            "user": [base64.b64decode(v[6:]).decode() for n, v in arrival.headers if v.startswith(b"Basic ")]}
    answer = json.dumps(seen, ensure_ascii=False).encode()
    return (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-Echo-Target: " + arrival.target
            + b"\r\nContent-Length: %d\r\n\r\n" % len(answer) + answer)


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    suite = tmp_path_factory.mktemp("leaky")
    (suite / "test_leaky.py").write_text(SUITE)
    out = suite / "out"
    with Recorder(answer=_echo) as rec:
        env = {k: v for k, v in loopback_env().items() if not k.startswith("PYTEST_")}
        env.update(LEAK_TABLE=str(DATA), LEAK_BASE=rec.base, HOME=str(suite))
        proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", ".",
                               f"--tolmek-record={out}", "test_leaky.py"], cwd=suite, env=env, capture_output=True,
                              text=True, stdin=subprocess.DEVNULL, timeout=600)
        assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]
        doc = json.loads((out / "tolmek.postman_collection.json").read_text("utf-8"))
        yield SimpleNamespace(dir=out, arrivals=rec.take(), proc=proc, places=_places(doc, out), rec=rec,
                              script=(out / "requests.sh").read_text("utf-8"))


def _strings(node):
    """Every key and string of a JSON document."""
    if isinstance(node, (dict, list)):
        for k, v in node.items() if isinstance(node, dict) else enumerate(node):
            yield from [k] if isinstance(k, str) else []
            yield from _strings(v)
    elif isinstance(node, str):
        yield node


def _places(doc, out):
    """place -> the text of the outputs found there (body files gunzipped too)."""
    items, folders = _requests(doc), _folders(doc)
    requests_ = [i["request"] for i in items]
    examples = [{k: v for k, v in e.items() if k != "originalRequest"} for i in items for e in i.get("response", ())]
    files = [p.read_bytes() for p in sorted(out.glob("bodies/*"))]
    files += [gzip.decompress(f) for f in files if f[:2] == b"\x1f\x8b"]
    lines = (out / "requests.sh").read_text("utf-8").splitlines()
    texts = {
        "folder names": [f["name"] for f in folders],
        "descriptions": list(_strings([n.get("description") for n in [doc["info"], *folders, *items, *requests_]])),
        "item names": [i["name"] for i in items],
        "urls": list(_strings([[r["url"] for r in requests_], doc.get("variable")])),
        "header names": [h["key"] for r in requests_ + examples for h in r.get("header", ())],
        "header values": [h["value"] for r in requests_ for h in r.get("header", ())],
        "bodies": list(_strings([r.get("body") for r in requests_])),
        "examples": list(_strings(examples)),
        "body files": [f.decode("utf-8", "surrogateescape") for f in files],
        "script comments": [x for x in lines if x.startswith("#")],
        "script commands": [x for x in lines if not x.startswith("#")],
        "whole files": [(out / n).read_text("utf-8") for n in ("tolmek.postman_collection.json", "requests.sh")],
    }
    assert list(texts) == PLACES
    return {k: "\n".join(v) for k, v in texts.items()}


def spellings(kind, client):
    """The ways the case's secret can be written: itself, inside a JSON string, with Python's escapes
    (pytest's ids), percent-encoded by each kind of encoder, escapes in either case, "+" for spaces;
    with Basic's user, user:password too and its base64."""
    value = TABLE["kinds"][kind]["secret"] + "-" + TABLE["clients"][client]
    user = TABLE["kinds"][kind].get("user")
    values = [value] + ([f"{user}:{value}"] if user else [])
    out = {base64.b64encode(v.encode()).decode() for v in values[1:]}
    for v in values:
        out |= {v, json.dumps(v)[1:-1], json.dumps(v, ensure_ascii=False)[1:-1], v.encode("unicode_escape").decode()}
        for safe in ("", "/", "!'()*", "!#$&'()*+,/:;=?@[]~"):
            q = quote(v, safe=safe)
            low = re.sub("%[0-9A-F]{2}", lambda m: m.group().lower(), q)
            out |= {q, low, q.replace("%20", "+"), low.replace("%20", "+")}
    return out


@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("kind, client", CASES, ids=[f"{k}-{c}" for k, c in CASES])
def test_no_spelling_in(recorded, kind, client, place):
    leaked = sorted(f for f in spellings(kind, client) if f in recorded.places[place])
    assert not leaked, f"{place}: {leaked}"


def test_each_secret_sent_and_the_rest_kept(recorded):
    """Each case's secret reached the server (the harness proves something), values of names that
    only look like secrets' stayed text, and each gzip body was withheld, named."""
    wire = b"\n".join(a.target + b"".join(n + v for n, v in a.headers)
                      + (gzip.decompress(a.body) if a.body[:2] == b"\x1f\x8b" else a.body) for a in recorded.arrivals)
    assert len(recorded.arrivals) == len(CASES)
    assert not [(k, c) for k, c in CASES if not any(f.encode() in wire for f in spellings(k, c))]
    assert all(v in recorded.places["bodies"] for v in TABLE["kept"])
    assert recorded.proc.stdout.count("the body is withheld") == len(TABLE["clients"]), recorded.proc.stdout
    assert recorded.script.count("left out: its body is withheld") == len(TABLE["clients"])


def _withheld(arrival):
    return any(n.lower() == b"content-encoding" for n, _ in arrival.headers)


@pytest.mark.parametrize("shell", http_matrix.SHELLS)
def test_shell_replays_exactly(recorded, shell):
    ran = subprocess.run([shell, "-c", ". ./secrets.sh && . ./requests.sh"], cwd=recorded.dir, capture_output=True,
                         timeout=120, env=loopback_env())
    assert ran.returncode == 0, ran.stderr[-2000:]
    sent = [a for a in recorded.arrivals if not _withheld(a)]
    identical, problems = _pair(sent, recorded.rec.take(), http_matrix.differences)
    assert not problems and identical == len(sent) > 0, "\n".join(problems)


def test_newman_replays_exactly(recorded):
    require_newman()
    done = _newman([str(NEWMAN), "run", str(recorded.dir / "tolmek.postman_collection.json"), "-e",
                    str(recorded.dir / "tolmek.postman_environment.json"), "--reporters", "cli", "--color", "off"])
    assert done.returncode == 0, done.stdout[-3000:]
    # A withheld body is the one thing newman does not send.
    sent = [dataclasses.replace(a, body=b"") if _withheld(a) else a for a in recorded.arrivals]
    identical, problems = _pair(sent, recorded.rec.take(), _newman_differences)
    assert not problems and identical == len(sent), "\n".join(problems)


_CODINGS = {"gzip": lambda b: gzip.compress(b, mtime=0), "deflate": zlib.compress, "compress": bytes,
            "raw deflate": lambda b: (lambda z: z.compress(b) + z.flush())(zlib.compressobj(wbits=-15)),
            "br": lambda b: pytest.importorskip("brotli").compress(b)}


@pytest.mark.parametrize("case", TABLE["compressed"], ids=lambda c: f"{c['coding']}-{c['body']}")
def test_compressed_request_body(tmp_path, case):
    """A compressed body is searched once decoded (never past the shown limit): one holding a secret,
    or that cannot be read, is written nowhere and named; any other stays a body file as it was."""
    body = {"secret": b'{"password": "Zip-Pa55word-1"}', "plain": b'{"note": "nothing to hide"}',
            "bomb": bytes(16 << 20), "damaged": b"", "cut": b'{"password": "Zip-Pa55word-1"}'}[case["body"]]
    for coding in case["coding"].split(", "):
        body = _CODINGS[coding](body)
    body = {"cut": body[:20], "damaged": b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x07damaged"}.get(case["body"], body)
    request = WireRequest(b"POST /up HTTP/1.1\r\nHost: h:1\r\nContent-Type: application/json\r\nContent-Encoding: "
                          + case["coding"].replace("raw ", "").encode() + b"\r\nContent-Length: %d" % len(body), body,
                          ("http", "h:1", None))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        write(tmp_path, [Exchange(request, test="t::up", folder=("t", "up"))])
    said = [str(w.message) for w in caught if issubclass(w.category, RecordingWarning)]
    (item,) = _requests(json.loads((tmp_path / "tolmek.postman_collection.json").read_text("utf-8")))
    script = (tmp_path / "requests.sh").read_text("utf-8")
    if case["withheld"] is None:
        assert not said and (tmp_path / "bodies" / "001.bin").read_bytes() == body and "curl -X" in script
    else:
        assert len(said) == 1 and said[0].startswith("request 1 of t::up: the body is withheld"), said
        assert case["withheld"] in said[0] and "body" not in item["request"] and not (tmp_path / "bodies").exists()
        assert [h["key"] for h in item["request"]["header"]] == ["Host", "Content-Type", "Content-Encoding"]
        assert "# request 1 left out: its body is withheld" in script and "curl -X" not in script
