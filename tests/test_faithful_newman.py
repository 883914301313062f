"""Exported documents run by newman deliver the recorded requests as far as newman can carry them;
the host of a URL ends at its query or fragment, in a document the v2.1.0 schema accepts."""

import json
import os
import pathlib
from urllib.parse import unquote_to_bytes

import jsonschema
import pytest
from hypothesis import given, settings, strategies as st

import faithful
from conftest import M, newman_run, require_newman
from faithful import Req
from recorder import Recorder
from tolmek import Tolmek, TolmekCollection

SCHEMA_FILE = pathlib.Path(__file__).parent / "data" / "postman-collection-v2.1.0.schema.json"
# Each example is one newman run (about a second) over a whole batch of requests.
EXAMPLES = max(4, int(os.environ.get("TOLMEK_FAITHFUL_EXAMPLES", "120")) // 30)

# What newman 6.2.2 (postman-runtime 7.39, Node's http client) cannot carry, each seen against the
# recorder here; the generated requests stay inside these limits, and the comparison allows for
# the rest:
# - CONNECT: the whole run ends silently after it, exit code 0 (requests are left out).
# - A header name that is not an HTTP token: "TypeError: Header name must be a valid HTTP token"
#   and the request is not sent (names are drawn from the token characters).
# - A header value with a character outside TAB, SP to "~" and U+0080 to U+00FF: "TypeError:
#   Invalid character in header content"; U+0080 to U+00FF go out as one latin-1 byte, not UTF-8
#   (values are drawn from printable ASCII, SP and TAB).
# - Repeated header names, in any letter case: only the last one is sent ("A: 1", "a: 2", "A: 3"
#   arrived as the one header "a: 2"; names are drawn unique in any letter case).
# - Header names made of digits only go first, in numeric order ("B", "0" arrived as "0", "B":
#   headers pass through a JavaScript object, whose integer keys come first); not drawn.
# - A header of a name newman writes itself with an empty value: newman's own value goes out
#   instead ("Host" with "" arrived as "Host: 127.0.0.1:PORT"); such headers get a value.
# - A backslash in the URL is sent as "/" ("/\\#" arrived as "//"; WHATWG URL parsing); not drawn.
# - Transfer-Encoding: sent together with a Content-Length of newman's own (not drawn).
# - GET and HEAD: the body is dropped; a request without body and one with an empty body are
#   the same document (`"raw": ""`), and newman sends `Content-Length: 0` for both on some
#   methods: the body is compared as bytes, empty for both.
# - `{{$name}}`: replaced by a dynamic variable (not drawn); `{{name}}` of an undefined variable
#   stays as written.
# - The target is percent-encoded where newman sees fit and the fragment is never sent: the
#   target is compared after percent-decoding.
# - newman adds User-Agent, Accept, Cache-Control, Postman-Token, Host, Accept-Encoding,
#   Connection, Content-Length and Content-Type (text/plain with a body) unless the record has a
#   header of that name; these are set aside, and the record's headers arrive first, in order.
NEWMAN_OWN = {b"user-agent", b"accept", b"cache-control", b"postman-token", b"host", b"accept-encoding",
              b"connection", b"content-length", b"content-type"}
TOKEN = "!#$%&'*+-.^_`|~" + "abcxyzABCXYZ0189"
PRINTABLE = st.characters(min_codepoint=0x20, max_codepoint=0x7E) | st.sampled_from("\t")

_names = st.text(alphabet=TOKEN, min_size=1, max_size=8).filter(lambda n: not n.isdigit()) | st.sampled_from(
    ["Host", "accept", "User-Agent", "Content-Type", "Content-Length", "X-Empty"])
_values = st.text(alphabet=PRINTABLE, max_size=12).filter(lambda v: "{{$" not in v)


@st.composite
def newman_requests(draw):
    method = draw(st.sampled_from([m for m in faithful.METHODS if m != "CONNECT"]))
    body = draw(st.none() | st.text(max_size=40).filter(lambda b: "{{$" not in b)
                | st.sampled_from(["", "@/etc/hostname", "x\x00\x1f\x7f\t", "é✓" * 700]))
    hs = draw(st.lists(st.tuples(_names, _values), max_size=4, unique_by=lambda h: h[0].lower()))
    hs = [(n, v if v.strip(" \t") or n.lower().encode() not in NEWMAN_OWN else "x") for n, v in hs]
    # A Content-Length that agrees with the body newman sends (none for GET and HEAD: a length
    # with no body after it leaves the server waiting).
    hs = [(n, str(len((body or "").encode()))) if n.lower() == "content-length" else (n, v) for n, v in hs
          if n.lower() != "content-length" or method not in ("GET", "HEAD") or not body]
    path = draw(faithful.paths() | st.sampled_from(["?q=1", "?q=1/x", "#f", "?a#b"]))
    if "{{$" in path:
        path = "/"
    path = path.replace("\\", "/")
    return Req(path, tuple(hs), method, body)


def export(reqs, base):
    """The document under test. A self-check may replace this with an exporter of its own."""
    return TolmekCollection([Tolmek(r.url(base), list(r.headers), getattr(M, r.method), r.body)
                             for r in reqs]).export_collection()


def run_newman(reqs, tmp_path):
    with Recorder() as rec:
        doc = export(reqs, rec.base)
        path = tmp_path / "collection.json"
        path.write_text(doc, encoding="utf-8")
        run = newman_run(path, 5000)
        return rec.port, rec.take(), run


def newman_mismatches(req, arrival):
    out = []
    if arrival.method != req.method.encode():
        out.append(f"method {arrival.method!r}")
    path = req.path if req.path.startswith("/") else "/" + req.path
    if unquote_to_bytes(arrival.target) != faithful.target_of(path):
        out.append(f"target {arrival.target!r}")
    record = [(n.encode(), v.encode().strip(b" \t")) for n, v in req.headers]
    names = {n.lower() for n, _ in record}
    got = [(n, v) for n, v in arrival.headers if n.lower() in names or n.lower() not in NEWMAN_OWN]
    if got != record:
        out.append(f"headers {got} instead of {record}")
    body = b"" if req.body is None or req.method in ("GET", "HEAD") else req.body.encode()
    if arrival.body != body:
        out.append(f"body {arrival.body[:100]!r} instead of {body[:100]!r}")
    return out


@pytest.fixture(scope="module")
def newman():
    require_newman()


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.lists(newman_requests(), min_size=1, max_size=12))
def test_newman_delivers_the_request(newman, tmp_path_factory, reqs):
    port, arrivals, run = run_newman(reqs, tmp_path_factory.mktemp("newman"))
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr
    assert len(arrivals) == len(reqs), run.stdout[-3000:]
    problems = [f"{r}\n   " + "\n   ".join(why) for r, a in zip(reqs, arrivals) if (why := newman_mismatches(r, a))]
    assert not problems, "\n\n".join(problems)


# The host ends at the first "/", "?" or "#"; what follows it up to the next "/" is the first
# path element, so that Postman's tools, which rebuild the address from host and path, keep it.
HOSTS = [
    ("http://h:8080?q=1", "http", "h:8080", ["?q=1"]),
    ("http://h:8080?q=1/x/", "http", "h:8080", ["?q=1", "x", ""]),
    ("http://h#f", "http", "h", ["#f"]),
    ("http://h?a#b/c", "http", "h", ["?a#b", "c"]),
    ("https://h/a?b#c", "https", "h", ["a?b#c"]),
    ("h?", "https", "h", ["?"]),
    ("?q", "https", "", ["?q"]),
    ("//h#", "https", "h", ["#"]),
    ("http://h:1/?q", "http", "h:1", ["?q"]),
    ("http://h", "http", "h", []),
]


@pytest.mark.parametrize("url, protocol, host, path", HOSTS, ids=[h[0] for h in HOSTS])
def test_host_ends_at_query_or_fragment(url, protocol, host, path):
    text = TolmekCollection([Tolmek(url, [], M.GET)]).export_collection()
    doc = json.loads(text)
    jsonschema.Draft4Validator(json.loads(SCHEMA_FILE.read_text("utf-8"))).validate(doc)
    assert doc["item"][0]["request"]["url"] == {"host": host, "path": path, "protocol": protocol, "raw": url}
    assert text == json.dumps(doc, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
