"""Responses read back from what each client read: every client against one loopback server whose
answers are known byte for byte (also through a TLS tunnel), each request's .response compared with
what the server wrote and with what the client made of it; the reader alone against h11 and hostile bytes."""

import asyncio
import contextlib
import gzip
import io
import random
import select
import shutil
import socket
import ssl
import subprocess
import threading
from importlib import import_module

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tolmek_http
from conftest import HOSTILE_FRAMING, missing, with_and_without_capture
from recorder import Recorder
from tolmek_http.connections import _reading_response, _ReadingFile, _ReadingSocketIO
from tolmek_http.exchange import WireResponse
from tolmek_http.reading import ReadingTap, ResponseReader, _crlf_headers, _Garbled, _header_lines
from tolmek_http.wire import WireRequest

_rand = random.Random(28)
TEXT = b"".join(b"line %d: the quick brown fox\n" % i for i in range(2000))
FRAMING = {"length": lambda body: [(b"Content-Length", b"%d" % len(body))], "close": lambda _: [(b"Connection", b"close")],
           "chunked": lambda _: [(b"Transfer-Encoding", b"chunked")], "none": lambda _: []}


def written(status, reason, headers, body=b"", framing="length", method=b"GET", pad=b""):
    """The bytes of an answer: framing headers added, the others' values padded with `pad` around them,
    a chunked body in chunks of 1 B to 100,000 B with an extension and a trailer."""
    lines = [b"HTTP/1.1 %d %s" % (status, reason)] + [n + b":" + pad + v + pad for n, v in headers]
    lines += [n + b": " + v for n, v in FRAMING[framing](body)]  # http.client takes "chunked " for no framing
    head = b"\r\n".join(lines) + b"\r\n\r\n"
    if method == b"HEAD" or framing == "none":
        return head
    if framing == "chunked":
        sizes, pos, out = random.Random(len(body)), 0, [head]
        while pos < len(body):
            piece = body[pos:pos + sizes.choice((1, 7, 300, 4096, 65536, 100_000))]
            out.append(b"%X%s\r\n%s\r\n" % (len(piece), b";x=1" if pos == 0 else b"", piece))
            pos += len(piece)
        return b"".join(out) + b"0\r\nX-Trailer: dropped\r\n\r\n"
    return head + body


ANSWERS = {  # path: (status, reason, headers, body, framing, pad)
    "/length": (200, b"OK", [(b"Content-Type", b"application/octet-stream")], bytes(range(256)) * 4, "length", b" "),
    "/chunked": (201, b"Created", [(b"Content-Type", b"text/plain")], TEXT[:70_000], "chunked", b" "),
    "/gzip": (200, b"OK", [(b"Content-Encoding", b"gzip")], gzip.compress(TEXT, mtime=0), "length", b" "),
    "/head": (200, b"OK", [(b"Content-Length", b"4096"), (b"X-Head", b"yes")], b"", "none", b" "),
    "/204": (204, b"No Content", [(b"X-Deleted", b"yes")], b"", "none", b" "),
    "/304": (304, b"Not Modified", [(b"ETag", b'"v1"'), (b"Content-Length", b"10")], b"", "none", b""),  # no body
    "/redirect": (302, b"Found", [(b"Location", b"/landed")], b"moved", "length", b""),  # requests keeps a pad
    "/landed": (200, b"OK", [], b"landed here", "length", b" "),
    "/cookies": (200, b"OK", [(b"Set-Cookie", b"a=1; Path=/"), (b"X-Pad", b"padded  value"), (b"set-cookie", b"b=2"),
                              (b"Set-Cookie", b"c=3"), (b"X-Empty", b"")], b"cookies", "length", b" \t "),
    "/large": (200, b"OK", [], _rand.randbytes(3 << 20), "chunked", b" "),
    "/large-length": (200, b"OK", [], _rand.randbytes(2 << 20), "length", b" "),
    "/continue": (200, b"OK", [(b"X-After", b"100")], b"continued", "length", b" "),
    "/teapot": (418, b"I'm a teapot", [], b"short and stout", "length", b" "),
    "/close": (200, b"OK", [(b"Content-Type", b"text/plain")], TEXT[:100_000], "close", b" "),
}
# Sent by each client in turn on one client object: (method, path, request headers, request body).
PLAN = [("GET", "/length", {}, None), ("POST", "/chunked", {}, b"payload"), ("GET", "/gzip", {}, None),
        ("HEAD", "/head", {}, None), ("DELETE", "/204", {}, None), ("GET", "/304", {"If-None-Match": '"v1"'}, None),
        ("GET", "/redirect", {}, None), ("GET", "/cookies", {}, None), ("GET", "/large", {}, None),
        ("GET", "/large-length", {}, None), ("PUT", "/continue", {"Expect": "100-continue"}, b"body after 100"),
        ("GET", "/teapot", {}, None), ("GET", "/close", {}, None), ("GET", "/length", {}, None)]
FAULTS = {"/truncated": b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten b",
          "/garbage": b"\x00\xffNOT HTTP AT ALL\r\nwhat: ever\r\n\r\n",
          "/truncated-chunk": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nshort"}



HOSTILE = {f"/hostile/{i}": row["answer"].encode() for i, row in enumerate(HOSTILE_FRAMING["response"])}

def expected(path, method):
    status, reason, headers, body, framing, _ = ANSWERS[path]
    return WireResponse(status, reason.decode(), headers + FRAMING[framing](body),
                        b"" if method == "HEAD" or framing == "none" else body)


def _answer(arrival):
    path = arrival.target.decode()
    if path in FAULTS or path in HOSTILE:
        return FAULTS.get(path) or HOSTILE[path], True  # then hang up
    status, reason, headers, body, framing, pad = ANSWERS[path]
    data = written(status, reason, headers, body, framing, arrival.method, pad)
    return (data, True) if framing == "close" else data


def reading(client, callback):
    name = tolmek_http._CLIENTS[type(client).__module__.partition(".")[0]]
    import_module(f"tolmek_http.{name}").capture(client, callback, responses=True)


def upgraded(client, callback):
    tolmek_http.capture(client, lambda wire: None)
    reading(client, callback)


# --- the clients: each sends a plan on one client object, with what it made of each final answer ---

def _requests(base, plan, capture, got, tls):
    import requests

    s = requests.Session()
    s.trust_env = False
    if tls:
        s.proxies, s.verify = {"https": tls.proxy}, tls.cafile
    capture(s, got.append)
    return [(r.status_code, r.content) for m, p, h, b in plan for r in [s.request(m, base + p, headers=h, data=b)]]


def _httpx(base, plan, capture, got, tls):
    import httpx

    with httpx.Client(follow_redirects=True, **_httpx_tls(tls)) as c:
        capture(c, got.append)
        return [(r.status_code, r.content) for m, p, h, b in plan for r in [c.request(m, base + p, headers=h, content=b)]]


def _httpx_tls(tls):
    return {"trust_env": False, **({"proxy": tls.proxy, "verify": tls.context()} if tls else {})}


def _httpx_async(base, plan, capture, got, tls):
    import httpx

    async def run():
        async with httpx.AsyncClient(follow_redirects=True, **_httpx_tls(tls)) as c:
            capture(c, got.append)
            return [(r.status_code, r.content) for m, p, h, b in plan
                    for r in [await c.request(m, base + p, headers=h, content=b)]]

    return asyncio.run(run())


def _aiohttp(base, plan, capture, got, tls):
    import aiohttp

    through = {"proxy": tls.proxy, "ssl": tls.context()} if tls else {}

    async def run():
        view = []
        async with aiohttp.ClientSession() as s:
            capture(s, got.append)
            for m, p, h, b in plan:
                # aiohttp's own way of sending Expect: it waits for the 100.
                async with s.request(m, base + p, headers={k: v for k, v in h.items() if k != "Expect"}, data=b,
                                     expect100="Expect" in h, **through) as r:
                    view.append((r.status, await r.read()))
        return view

    return asyncio.run(run())


def _urllib3(base, plan, capture, got, tls):
    import urllib3

    retries = urllib3.Retry(None, connect=0, read=0, other=0, redirect=3)
    pm = (urllib3.ProxyManager(tls.proxy, retries=retries, ca_certs=tls.cafile) if tls
          else urllib3.PoolManager(retries=retries))
    capture(pm, got.append)
    return [(r.status, r.data) for m, p, h, b in plan for r in [pm.request(m, base + p, headers=h, body=b)]]


def _urllib(base, plan, capture, got, tls):
    import urllib.error
    import urllib.request as u

    opener = u.build_opener(u.ProxyHandler({"https": tls.proxy} if tls else {}),
                            *([u.HTTPSHandler(context=tls.context())] if tls else []))
    capture(opener, got.append)
    view = []
    for m, p, h, b in plan:
        try:
            with opener.open(u.Request(base + p, data=b, headers=h, method=m)) as r:
                view.append((r.status, r.read()))
        except urllib.error.HTTPError as e:  # 304, 418: answers all the same
            view.append((e.code, e.read()))
    return view


CLIENTS = {"requests": _requests, "httpx": _httpx, "httpx-async": _httpx_async, "aiohttp": _aiohttp,
           "urllib3": _urllib3, "urllib.request": _urllib}


class TunnelProxy:
    """A proxy that answers each CONNECT with 200, ends the client's TLS itself (a certificate made
    here for 127.0.0.1) and relays the plain bytes to and from `port`."""

    def __init__(self, port, directory):
        self.port, self.cafile, key = port, str(directory / "cert.pem"), str(directory / "key.pem")
        made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                               "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", self.cafile],
                              capture_output=True, timeout=60)
        if made.returncode:
            missing(f"openssl made no certificate: {made.stderr[-300:]!r}")
        self._tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._tls.load_cert_chain(self.cafile, key)
        self._sock = socket.create_server(("127.0.0.1", 0))
        self.proxy, self.connects = f"http://127.0.0.1:{self._sock.getsockname()[1]}", []
        threading.Thread(target=self._accept, daemon=True).start()

    def context(self):
        return ssl.create_default_context(cafile=self.cafile)

    def _accept(self):
        with contextlib.suppress(OSError):
            while True:
                threading.Thread(target=self._relay, args=(self._sock.accept()[0],), daemon=True).start()

    def _relay(self, conn):
        head = b""
        with contextlib.suppress(OSError), conn, socket.create_connection(("127.0.0.1", self.port)) as up:
            while b"\r\n\r\n" not in head:
                head += conn.recv(1)
            self.connects.append(head.split(b"\r\n")[0])
            conn.sendall(b"HTTP/1.1 200 Connection established\r\nVia: test\r\n\r\n")
            with self._tls.wrap_socket(conn, server_side=True) as tls:
                while ready := set(select.select([tls, up], [], [], 30)[0] + [tls] * bool(tls.pending())):
                    for a in ready:
                        if not (data := a.recv(65536)):
                            return
                        (up if a is tls else tls).sendall(data)


@pytest.fixture(scope="module")
def server():
    with Recorder(answer=_answer) as rec:
        yield rec


@pytest.fixture(scope="module")
def tunnel(server, tmp_path_factory):
    if not shutil.which("openssl"):
        missing("not installed: openssl")
    proxy = TunnelProxy(server.port, tmp_path_factory.mktemp("tls"))
    yield proxy
    proxy._sock.close()


def _sent(client, server, plan, capture=reading, got=None, tls=None):
    """(the requests captured, what the client made of each final answer, the server's arrivals)."""
    pytest.importorskip({"httpx-async": "httpx"}.get(client, client))
    server.take()
    got = [] if got is None else got
    view = CLIENTS[client](server.base.replace("http:", "https:") if tls else server.base, plan, capture, got, tls)
    return got, view, server.take()


# --- every client against the server -------------------------------------------------------------

@pytest.mark.parametrize("capture", [reading, upgraded], ids=["reading", "captured before without"])
@pytest.mark.parametrize("client", list(CLIENTS))
def test_each_response_as_the_server_wrote_it(client, capture, server):
    """Status, reason, every header line in order (duplicates and the server's case kept, values
    unpadded), the body de-chunked and still content-encoded; agreeing with the client's own reading."""
    got, view, arrivals = _sent(client, server, PLAN, capture)
    assert [(w.method, w.target) for w in got] == [(a.method.decode(), a.target) for a in arrivals]
    wrong = [(w.method, w.target, w.response and (w.response.status, w.response.headers, w.response.body[:50]))
             for w in got if w.response != expected(w.target.decode(), w.method)]
    assert not wrong
    finals = [w.response for w in got if w.target != b"/redirect"]
    assert [(r.status, r.body if body == r.body else gzip.decompress(r.body))  # the client may have decoded it
            for r, (_, body) in zip(finals, view, strict=True)] == view
    if client != "urllib.request":  # which asks for a connection per request
        assert max(sum(a.peer == p for a in arrivals) for p in {a.peer for a in arrivals}) >= 4, "none kept alive"


@pytest.mark.parametrize("client", list(CLIENTS))
def test_responses_through_a_tunnel(client, server, tunnel):
    """The CONNECT's answer is nobody's; what the tunnel carries is read after TLS, as the requests are."""
    plan = [p for p in PLAN if p[1] in ("/length", "/chunked", "/head", "/redirect", "/cookies")]
    tunnel.connects.clear()
    got, _, _ = _sent(client, server, plan, tls=tunnel)
    assert tunnel.connects and len(got) == len(plan) + 1 and all(w.url.startswith("https://") for w in got)
    assert [w.response for w in got] == [expected(w.target.decode(), w.method) for w in got]


@pytest.mark.parametrize("client", list(CLIENTS))
@pytest.mark.parametrize("path", [*FAULTS, "public capture"])
def test_no_response_when_none_was_read_whole(client, path, server):
    """A body or chunk cut short, bytes that are no response: the client's own error, None kept.
    The public capture reads nothing."""
    got = []
    if path == "public capture":
        _sent(client, server, PLAN[:3], lambda c, cb: tolmek_http.capture(c, cb), got)
    else:
        with pytest.raises(Exception) as raised:
            _sent(client, server, [("GET", path, {}, None)], got=got)
        assert "tolmek_http" not in "".join(str(t.path) for t in raised.traceback[-3:])
    assert got and [w.response for w in got] == [None] * len(got)


@pytest.mark.parametrize("client", list(CLIENTS))
@pytest.mark.parametrize("i", range(len(HOSTILE)), ids=[row["id"] for row in HOSTILE_FRAMING["response"]])
def test_hostile_response_framing_goes_on_as_without_capture(client, i, server):
    """An answer framed as int() reads and HTTP does not: each client makes of it with capture what
    it makes without; the response is recorded when its framing reads in digits, else that is said."""
    pytest.importorskip({"httpx-async": "httpx"}.get(client, client))
    row, plan = HOSTILE_FRAMING["response"][i], [("GET", f"/hostile/{i}", {}, None)]
    on, recording, off = with_and_without_capture(lambda: CLIENTS[client](server.base, plan, lambda *_: None, [], None))
    assert on == off
    assert [r and r.body.decode() for r in (e.response for e in recording.responses())] == [row.get("body")]
    assert [row.get("says", "") in w for w in recording.warnings] == [True] * ("says" in row), recording.warnings


def test_streamed_response_closed_unread_stays_none(server):
    requests = pytest.importorskip("requests")
    got, s = [], requests.Session()
    reading(s, got.append)
    for path, size in (("/large-length", 1000), ("/length", None)):
        with s.get(server.base + path, stream=True) as r:
            r.raw.read(size)
    assert [w.response for w in got] == [None, expected("/length", "GET")]


# --- the reader alone ----------------------------------------------------------------------------

def _read(stream, methods, cuts=(), end=True, pending=()):
    """The responses set for requests of `methods` (after `pending`), `stream` fed cut at `cuts`."""
    reader = ResponseReader()
    requests = [WireRequest(m.encode() + b" / HTTP/1.1", None, ("http", "h", None)) for m in methods]
    reader.pending.extend([*pending, *requests])
    for a, b in zip([0, *cuts], [*cuts, len(stream)]):
        reader.feed(stream[a:b])
    if end:
        reader.end()
    return [r.response for r in requests]


def _h11(stream, methods):
    """What h11 (a client's HTTP/1.1 parser written apart from this one) reads from the same bytes."""
    h11 = pytest.importorskip("h11")
    conn, out = h11.Connection(h11.CLIENT), []
    conn.receive_data(stream)
    conn.receive_data(b"")
    for method in methods:
        conn.send(h11.Request(method=method, target="/", headers=[("Host", "h")]))
        conn.send(h11.EndOfMessage())
        head, body = None, b""
        while not isinstance(event := conn.next_event(), h11.EndOfMessage):
            assert event is not h11.NEED_DATA, "a generated answer h11 cannot read whole"
            head = event if isinstance(event, h11.Response) else head
            body += event.data if isinstance(event, h11.Data) else b""
        out.append(WireResponse(head.status_code, head.reason.decode("latin-1"), list(head.headers.raw_items()), body))
        if conn.our_state is h11.MUST_CLOSE:
            break
        conn.start_next_cycle()
    return out


@st.composite
def exchanges(draw):
    """Answers on one connection as servers write them (interim ones first), with their requests' methods."""
    parts, methods, n = [], [], draw(st.integers(1, 4))
    for i in range(n):
        parts += [b"HTTP/1.1 %d Wait\r\nX-I: 1\r\n\r\n" % draw(st.sampled_from([100, 102, 103]))
                  for _ in range(draw(st.integers(0, 2)))]
        methods.append(draw(st.sampled_from(["GET", "POST", "HEAD"])))
        status = draw(st.sampled_from([200, 201, 204, 301, 304, 404, 500]))
        framing = "none" if status in (204, 304) else draw(st.sampled_from(["length", "chunked"] + ["close"] * (i == n - 1)))
        value = st.binary(max_size=12).map(lambda b: bytes(c for c in b if c > 32 and c != 127))
        headers = draw(st.lists(st.tuples(st.sampled_from([b"X-A", b"set-cookie", b"Set-Cookie", b"ETag"]), value), max_size=4))
        parts.append(written(status, draw(st.sampled_from([b"OK", b"Some Reason", b""])), headers, draw(st.binary(max_size=300)),
                             framing, methods[-1].encode(), draw(st.sampled_from([b"", b" \t"]))))
        if framing == "close":
            break
    return b"".join(parts), methods


@settings(max_examples=300, deadline=None)
@given(exchanges(), st.lists(st.integers(1, 10_000), max_size=8),
       st.lists(st.tuples(st.integers(0, 10_000), st.binary(max_size=6)), max_size=4), st.binary(max_size=200))
def test_reader_reads_as_h11_and_never_raises(exchange, cuts, edits, noise):
    """Generated answers read as h11 reads them, whole, in random pieces and a byte at a time; the
    same with bytes changed, and noise: never an exception, and only responses of the right types."""
    stream, methods = exchange
    cuts = sorted({c % len(stream) for c in cuts} - {0})
    assert _read(stream, methods, cuts) == _read(stream, methods, range(1, len(stream))) == _h11(stream, methods)
    for at, new in edits:
        at %= len(stream) + 1
        stream = stream[:at] + new + stream[at + len(new):]
    for data in (stream, noise, stream + noise):
        for r in _read(data, methods + ["CONNECT"], sorted({c % max(len(data), 1) for c in cuts} - {0}), bool(cuts)):
            assert r is None or (type(r.status) is int and type(r.reason) is str and type(r.body) is bytes
                                 and all(type(n) is type(v) is bytes for n, v in r.headers))


def test_reader_framing_edges():
    """What the generated answers do not reach: tunnels, a 101, LF line ends, folded lines, lengths
    that disagree, a response to no request, a body cut off by the end or by the client's close."""
    ok, okr = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", WireResponse(200, "OK", [(b"Content-Length", b"2")], b"ok")
    tap = ReadingTap(lambda wire: None, "http", "proxy", 3128)
    tap.feed(b"CONNECT o.example:443 HTTP/1.1\r\nHost: o.example:443\r\n\r\n")
    assert _read(b"HTTP/1.1 200 Connection established\r\n\r\n" + ok, ["GET"], pending=[tap.reader.pending[0]]) == [okr]
    assert _read(b"HTTP/1.1 407 No\r\nContent-Length: 3\r\n\r\nnoo" + ok, ["GET"], pending=[tap.reader.pending[0]]) == [okr]
    assert _read(b"HTTP/1.1 403 No\r\nContent-Length: 1\r\n\r\n!", ["CONNECT"])[0].body == b"!"
    assert _read(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n" + ok, ["GET"]) == [None]
    assert _read(b"HTTP/1.1 200 OK\nContent-Length: 2\nX: a\n  b\n\nok", ["GET"]) == \
        [WireResponse(200, "OK", [(b"Content-Length", b"2"), (b"X", b"a b")], b"ok")]
    assert _read(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok!", ["GET"]) == [None]
    assert _read(b"HTTP/1.1 200 OK\r\nContent-Length: 2, 2\r\n\r\nok", ["GET"]) == \
        [WireResponse(200, "OK", [(b"Content-Length", b"2, 2")], b"ok")]
    assert _read(ok + ok, ["GET", "GET"], end=False) == [okr, okr] and _read(ok + ok, ["GET"]) == [okr]
    chunked = b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n"
    assert _read(chunked, ["GET"])[0].body == b"ok"
    assert _read(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nzz", ["GET"])[0].body == b"zz"
    assert _read(ok[:-1], ["GET"]) == [None] and _read(b"HTTP/1.1 200 OK\r\n\r\nto the end", ["GET"], end=False) == [None]
    reader = ResponseReader()
    reader.pending.extend(requests := [WireRequest(b"GET / HTTP/1.1", None, ("http", "h", None)) for _ in range(2)])
    reader.feed(ok[:-1])
    reader.close()  # the rest of that body was never read here: nothing after it can be either
    reader.feed(b"k" + ok)
    assert [r.response for r in requests] == [None, None]


@settings(max_examples=200, deadline=None)
@given(st.binary(min_size=1, max_size=3000),
       st.lists(st.tuples(st.sampled_from(["read", "read1", "readline", "readinto", "readinto1", "peek"]),
                          st.integers(-1, 700)), max_size=25))
def test_reading_file_reads_as_the_file_it_wraps(data, calls):
    """http.client's file read through returns what the buffered file would, call for call, and
    hands over exactly the bytes returned, in order; the end only once it is reached."""
    fed, ends = bytearray(), []
    sink = type("Sink", (), {"feed": lambda _, b: fed.extend(b), "end": lambda _: ends.append(1),
                             "close": lambda _: ends.append(0)})()
    plain, wrapped = (io.BufferedReader(io.BytesIO(data), buffer_size=64) for _ in range(2))
    wrapped, consumed = _ReadingFile(wrapped, sink), 0
    for name, n in calls:
        x, y = (bytearray(max(n, 0)), bytearray(max(n, 0))) if name.startswith("readinto") else (n, n)
        a, b = getattr(plain, name)(x), getattr(wrapped, name)(y)
        assert (a, x) == (b, y), (name, n)
        consumed += 0 if name == "peek" else a if type(a) is int else len(a)
    assert bytes(fed) == data[:consumed] and (not ends or consumed == len(data))
    wrapped.close()
    assert ends[-1:] == [0] and wrapped.closed


# --- http.client's socket file made again over a raw file that reads through -----------------------

class _Sink:
    def __init__(self):
        self.fed, self.ends = bytearray(), []

    def feed(self, data):
        self.fed += data

    def end(self):
        self.ends.append(1)

    def close(self):
        self.ends.append(0)


@settings(max_examples=200, deadline=None)
@given(st.binary(min_size=1, max_size=3000),
       st.lists(st.tuples(st.sampled_from(["read", "read1", "readline", "readinto", "peek"]),
                          st.integers(-1, 700)), max_size=25))
def test_buffered_file_over_reading_raw_reads_as_the_plain_one(data, calls):
    """The buffered file over the reading socket file returns what the plain one over the same
    bytes would, call for call; the reader gets exactly the bytes taken off the socket (all that
    was consumed, and what was read ahead), in order, and the end only once it was reached."""
    sink = _Sink()
    plain = io.BufferedReader(io.BytesIO(data), buffer_size=64)
    ours, theirs = socket.socketpair()
    theirs.sendall(data)
    theirs.close()
    raw = _ReadingSocketIO(ours, "rb")
    raw._reader = sink
    wrapped = io.BufferedReader(raw, buffer_size=64)
    try:
        consumed = 0
        for name, n in calls:
            x, y = (bytearray(max(n, 0)), bytearray(max(n, 0))) if name == "readinto" else (n, n)
            a, b = getattr(plain, name)(x), getattr(wrapped, name)(y)
            if name == "peek":  # what a peek shows depends on how the socket's bytes came
                assert data[consumed:].startswith(b) and (b or consumed == len(data)), n
                continue
            assert (a, x) == (b, y), (name, n)
            consumed += a if type(a) is int else len(a)
        taken = len(sink.fed)
        assert bytes(sink.fed) == data[:taken] and taken >= consumed
        assert (1 in sink.ends) <= (taken == len(data))
        wrapped.close()
        assert sink.ends[-1:] == [0] and raw.closed and wrapped.closed
    finally:
        ours.close()


def test_http_client_response_over_a_socket_reads_through_and_lets_the_socket_go():
    """http.client's response made with the reading class: the reader gets the response, the
    socket's file is what a client reaches through (fileno, raw._sock) and closing the response
    drops the file's hold on the socket, as the file it replaces would."""
    import http.client

    ours, theirs = socket.socketpair()
    reader = ResponseReader()
    request = WireRequest(b"GET / HTTP/1.1", None, ("http", "h", None))
    reader.pending.append(request)
    theirs.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b\r\n\r\nhello")
    response = _reading_response(http.client.HTTPResponse)(reader, ours, method="GET")
    try:
        response.begin()
        assert response.fp.raw._sock is ours and response.fileno() == ours.fileno()
        assert ours._io_refs == 1
        assert response.read(2) == b"he" and response.read() == b"llo"
        assert request.response == WireResponse(200, "OK", [(b"Content-Length", b"5"), (b"X-A", b"b")], b"hello")
        response.close()
        assert ours._io_refs == 0 and ours.fileno() >= 0  # the socket itself is still the connection's
    finally:
        ours.close()
        theirs.close()


_LINE = st.binary(max_size=12).map(lambda b: b.replace(b"\n", b"")) | st.sampled_from(
    [b"A: b", b" folded", b"\tx", b"X :y", b": v", b"Name:", b"N: v \t", b"N:\r", b"K:a:b"])


@settings(max_examples=300, deadline=None)
@given(st.lists(_LINE, min_size=1, max_size=6), st.booleans())
def test_crlf_header_lines_read_as_the_line_by_line_reading(lines, bare):
    """Where the split of CRLF heads reads a head, it reads what the line by line reading does;
    whatever that one refuses (or folds) the split leaves to it."""
    head = b"HTTP/1.1 200 OK\r\n" + b"\r\n".join(lines) + (b"\n" if bare else b"\r")
    first = head.find(b"\n")
    try:
        expected = _header_lines(head[first:])
    except _Garbled:
        expected = None
    found = _crlf_headers(head, first)
    assert found is None or found == expected


_ODD_LINE = _LINE | st.sampled_from([b"Content-Length: 3", b"content-length:3 ", b"Content-Length: 3, 3", b"Content-Length: 03",
                                     b"Content-Length: x", b"Transfer-Encoding: chunked", b"CONTENT-LENGTH :3", b"A:\rb"])


@settings(max_examples=300, deadline=None)
@given(st.sampled_from([b"HTTP/1.1 200 OK", b"HTTP/1.0 204 No", b"HTTP/1.1 100 Go", b"HTTP/1.1 200", b"HTTP/1.1 200 \r",
                        b"HTTP/1.1 302 a:b"]),
       st.lists(_ODD_LINE, max_size=5), st.sampled_from([b"\r\n", b"\n"]), st.binary(max_size=8),
       st.sampled_from(["GET", "HEAD", "\r\nGET"]))
def test_head_read_at_once_reads_as_line_by_line(status, lines, eol, rest, method):
    """A head read in one piece (the few C calls for plain heads) gives what the same bytes give
    a byte at a time (every head read line by line), for plain and odd heads alike."""
    stream = status + b"".join(eol + line for line in lines) + b"\r\n\r\nabc" + rest
    pending = [WireRequest(method.encode() + b" / HTTP/1.1", None, ("http", "h", None))]

    def read(cuts):
        reader = ResponseReader()
        reader.pending.extend(pending)
        for a, b in zip([0, *cuts], [*cuts, len(stream)]):
            reader.feed(stream[a:b])
        reader.end()
        found = pending[0].response
        pending[0].response = None
        return found if found is None else (found.status, found.reason, found.headers, found.body)

    assert read(()) == read(range(1, len(stream)))
