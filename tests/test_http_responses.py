"""Responses read back from what each client read: every client against one loopback server whose
answers are known byte for byte, each request's .response compared with what the server wrote and
with what the client itself made of it; the reader alone against h11 and against hostile bytes."""

import asyncio
import gzip
import io
import random
import select
import shutil
import socket
import ssl
import subprocess
import threading
from dataclasses import dataclass, field
from importlib import import_module

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tolmek_http
from conftest import missing
from recorder import Recorder
from tolmek_http.exchange import WireResponse
from tolmek_http.reading import ResponseReader
from tolmek_http.wire import WireRequest

_rand = random.Random(28)
TEXT = b"".join(b"line %d: the quick brown fox\n" % i for i in range(2000))


@dataclass
class Answer:
    """A response the server writes: `headers` as the server names them, framing headers added by
    `framing` ("length", "chunked", "close": a body up to the connection's end, "none")."""

    status: int
    reason: bytes
    headers: list = field(default_factory=list)
    body: bytes = b""
    framing: str = "length"
    padded: bool = False  # header values written with white space around them

    def _head(self, extra):
        sep, end = (b":\t  ", b" \t") if self.padded else (b": ", b"")
        lines = [b"HTTP/1.1 %d %s" % (self.status, self.reason)]
        lines += [name + sep + value + end for name, value in self.headers + extra]
        return b"\r\n".join(lines) + b"\r\n\r\n"

    def framing_headers(self):
        return {"length": [(b"Content-Length", b"%d" % len(self.body))], "chunked": [(b"Transfer-Encoding", b"chunked")],
                "close": [(b"Connection", b"close")], "none": []}[self.framing]

    def wire(self, method):
        head = self._head(self.framing_headers())
        if method == b"HEAD" or self.framing == "none":
            return head
        if self.framing == "chunked":
            out, pos, rand = [head], 0, random.Random(len(self.body))
            while pos < len(self.body):
                size = rand.choice((1, 7, 300, 4096, 65536, 100_000))
                piece = self.body[pos:pos + size]
                ext = b";ext=%d" % pos if pos == 0 else b""
                out.append(b"%X%s\r\n%s\r\n" % (len(piece), ext, piece))
                pos += size
            out.append(b"0\r\nX-Trailer: dropped\r\n\r\n")
            return b"".join(out)
        if self.framing == "close":
            return head + self.body, True
        return head + self.body

    def expected(self, method):
        return WireResponse(self.status, self.reason.decode("latin-1"), self.headers + self.framing_headers(),
                            b"" if method == "HEAD" or self.framing == "none" else self.body)


ANSWERS = {
    "/length": Answer(200, b"OK", [(b"Content-Type", b"application/octet-stream")], bytes(range(256)) * 4),
    "/chunked": Answer(201, b"Created", [(b"Content-Type", b"text/plain")], TEXT[:70_000], "chunked"),
    "/gzip": Answer(200, b"OK", [(b"Content-Type", b"text/plain"), (b"Content-Encoding", b"gzip")],
                    gzip.compress(TEXT, mtime=0)),
    "/head": Answer(200, b"OK", [(b"Content-Length", b"4096"), (b"X-Head", b"yes")], framing="none"),
    "/204": Answer(204, b"No Content", [(b"X-Deleted", b"yes")], framing="none"),
    # A 304 says the length a 200 would have had; no body follows it.
    "/304": Answer(304, b"Not Modified", [(b"ETag", b'"v1"'), (b"Content-Length", b"10")], framing="none"),
    "/redirect": Answer(302, b"Found", [(b"Location", b"/landed")], b"moved"),
    "/landed": Answer(200, b"OK", [], b"landed here"),
    "/cookies": Answer(200, b"OK", [(b"Set-Cookie", b"a=1; Path=/"), (b"X-Pad", b"padded  value"),
                                    (b"set-cookie", b"b=2"), (b"Set-Cookie", b"c=3; HttpOnly"), (b"X-Empty", b"")],
                       b"cookies", padded=True),
    "/large": Answer(200, b"OK", [], _rand.randbytes(3 << 20), "chunked"),
    "/large-length": Answer(200, b"OK", [], _rand.randbytes(2 << 20)),
    "/continue": Answer(200, b"OK", [(b"X-After", b"100")], b"continued"),
    "/teapot": Answer(418, b"I'm a teapot", [], b"short and stout"),
    "/close": Answer(200, b"OK", [(b"Content-Type", b"text/plain")], TEXT[:100_000], "close"),
}
# Sent by each client in turn on one client object: (method, path, request headers, request body).
PLAN = [("GET", "/length", {}, None), ("POST", "/chunked", {}, b"payload"), ("GET", "/gzip", {}, None),
        ("HEAD", "/head", {}, None), ("DELETE", "/204", {}, None), ("GET", "/304", {"If-None-Match": '"v1"'}, None),
        ("GET", "/redirect", {}, None), ("GET", "/cookies", {}, None), ("GET", "/large", {}, None),
        ("GET", "/large-length", {}, None), ("PUT", "/continue", {"Expect": "100-continue"}, b"body after 100"),
        ("GET", "/teapot", {}, None), ("GET", "/close", {}, None), ("GET", "/length", {}, None)]
FAULTS = {
    "/truncated": (b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten b", True),
    "/garbage": (b"\x00\xffNOT HTTP AT ALL\r\nwhat: ever\r\n\r\n", True),
    "/truncated-chunk": (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nshort", True),
}


def _answer(arrival):
    path = arrival.target.decode()
    if path in FAULTS:
        return FAULTS[path]
    return ANSWERS[path].wire(arrival.method)


def reading(client, callback):
    """Capture with the responses read, through the client's own adapter."""
    name = tolmek_http._CLIENTS[type(client).__module__.partition(".")[0]]
    import_module(f"tolmek_http.{name}").capture(client, callback, responses=True)


def upgraded(client, callback):
    """Captured first without responses (the public capture), then again with them."""
    tolmek_http.capture(client, lambda wire: None)
    reading(client, callback)


# --- the clients: each sends a plan on one client object and gives what it made of each answer ---

def _requests(base, plan, capture, got, tls=None):
    import requests

    s = requests.Session()
    s.trust_env = False
    if tls:
        s.proxies, s.verify = {"https": tls.proxy}, tls.cafile
    view = []
    capture(s, got.append)
    for method, path, headers, body in plan:
        r = s.request(method, base + path, headers=headers, data=body)
        view.append((r.status_code, r.content))
    return view


def _httpx(base, plan, capture, got, tls=None):
    import httpx

    view = []
    with httpx.Client(trust_env=False, follow_redirects=True, **_httpx_tls(tls)) as c:
        capture(c, got.append)
        for method, path, headers, body in plan:
            r = c.request(method, base + path, headers=headers, content=body)
            view.append((r.status_code, r.content))
    return view


def _httpx_tls(tls):
    return {"proxy": tls.proxy, "verify": tls.context()} if tls else {}


def _httpx_async(base, plan, capture, got, tls=None):
    import httpx

    async def run():
        view = []
        async with httpx.AsyncClient(trust_env=False, follow_redirects=True, **_httpx_tls(tls)) as c:
            capture(c, got.append)
            for method, path, headers, body in plan:
                r = await c.request(method, base + path, headers=headers, content=body)
                view.append((r.status_code, r.content))
        return view

    return asyncio.run(run())


def _aiohttp(base, plan, capture, got, tls=None):
    import aiohttp

    through = {"proxy": tls.proxy, "ssl": tls.context()} if tls else {}

    async def run():
        view = []
        async with aiohttp.ClientSession() as s:
            capture(s, got.append)
            for method, path, headers, body in plan:
                expect = headers.get("Expect") == "100-continue"  # aiohttp's own way: it waits for the 100
                headers = {k: v for k, v in headers.items() if k != "Expect"}
                async with s.request(method, base + path, headers=headers, data=body, expect100=expect,
                                     **through) as r:
                    view.append((r.status, await r.read()))
        return view

    return asyncio.run(run())


def _urllib3(base, plan, capture, got, tls=None):
    import urllib3

    retries = urllib3.Retry(None, connect=0, read=0, other=0, redirect=3)
    pm = (urllib3.ProxyManager(tls.proxy, retries=retries, ca_certs=tls.cafile) if tls else
          urllib3.PoolManager(retries=retries))
    view = []
    capture(pm, got.append)
    for method, path, headers, body in plan:
        r = pm.request(method, base + path, headers=headers, body=body)
        view.append((r.status, r.data))
    return view


def _urllib(base, plan, capture, got, tls=None):
    import urllib.error
    import urllib.request

    opener = urllib.request.build_opener(urllib.request.ProxyHandler({"https": tls.proxy} if tls else {}),
                                         *[urllib.request.HTTPSHandler(context=tls.context())] if tls else [])
    view = []
    capture(opener, got.append)
    for method, path, headers, body in plan:
        try:
            with opener.open(urllib.request.Request(base + path, data=body, headers=headers, method=method)) as r:
                view.append((r.status, r.read()))
        except urllib.error.HTTPError as e:  # 304, 418: an answer all the same
            view.append((e.code, e.read()))
    return view


CLIENTS = {"requests": _requests, "httpx": _httpx, "httpx-async": _httpx_async, "aiohttp": _aiohttp,
           "urllib3": _urllib3, "urllib.request": _urllib}
_PACKAGE = {"httpx-async": "httpx"}


@pytest.fixture(scope="module")
def server():
    with Recorder(answer=_answer) as rec:
        yield rec


def _sent(client, server, plan, capture=reading, got=None, tls=None):
    """(the requests captured, what the client made of each final answer, the server's arrivals)."""
    pytest.importorskip(_PACKAGE.get(client, client))
    server.take()
    got = [] if got is None else got
    base = server.base.replace("http:", "https:") if tls else server.base
    view = CLIENTS[client](base, plan, capture, got, tls)
    return got, view, server.take()


# --- every client against the server ---------------------------------------------------------

@pytest.mark.parametrize("capture", [reading, upgraded], ids=["reading", "captured before without"])
@pytest.mark.parametrize("client", list(CLIENTS))
def test_each_response_as_the_server_wrote_it(client, capture, server):
    """Every request of the plan has its response: status, reason, every header line in order
    (duplicates and the server's case kept), the body de-chunked but still content-encoded; and
    it agrees with what the client itself made of the answer."""
    got, view, arrivals = _sent(client, server, PLAN, capture)
    assert [(w.method, w.target) for w in got] == [(a.method.decode(), a.target) for a in arrivals]
    problems = []
    for wire in got:
        expected = ANSWERS[wire.target.decode()].expected(wire.method)
        if wire.response != expected:
            r = wire.response
            problems.append(f"{wire.method} {wire.target!r}: "
                            + ("no response" if r is None else
                               f"{r.status} {r.reason!r} {r.headers} {r.body[:60]!r} ({len(r.body)} B)")
                            + f"\n  instead of {expected.status} {expected.reason!r} {expected.headers} "
                              f"{expected.body[:60]!r} ({len(expected.body)} B)")
    assert not problems, "\n".join(problems)
    # The client's own reading of each final answer: its status, and its body as sent or decoded.
    finals = [w for w in got if w.target != b"/redirect"]
    assert len(finals) == len(view)
    for wire, (status, body) in zip(finals, view):
        assert wire.response.status == status, wire.target
        raw = wire.response.body
        assert body == (gzip.decompress(raw) if body != raw and raw[:2] == b"\x1f\x8b" else raw), wire.target
    if client != "urllib.request":  # which asks for a connection per request
        per_connection = [sum(a.peer == p for a in arrivals) for p in {a.peer for a in arrivals}]
        assert max(per_connection) >= 4, f"no connection was kept alive: {per_connection}"


@pytest.mark.parametrize("client", list(CLIENTS))
def test_public_capture_reads_no_response(client, server):
    got, _, _ = _sent(client, server, PLAN[:3], lambda c, cb: tolmek_http.capture(c, cb))
    assert len(got) == 3 and [w.response for w in got] == [None] * 3


@pytest.mark.parametrize("client", list(CLIENTS))
@pytest.mark.parametrize("path", list(FAULTS))
def test_response_not_read_whole_stays_none(client, path, server):
    """A body cut short, bytes that are no response: the client fails as it would (not in the
    reader), and the request keeps None."""
    got = []
    with pytest.raises(Exception) as raised:
        _sent(client, server, [("GET", path, {}, None)], got=got)
    assert "tolmek_http" not in "".join(str(t.path) for t in raised.traceback[-3:])
    assert got and [w.response for w in got] == [None] * len(got)


def test_streamed_response_closed_unread_stays_none(server):
    requests = pytest.importorskip("requests")
    s = requests.Session()
    got = []
    reading(s, got.append)
    with s.get(server.base + "/large-length", stream=True) as r:
        r.raw.read(1000)
    with s.get(server.base + "/length", stream=True) as r:
        r.raw.read()
    assert [w.response for w in got][0] is None and got[1].response == ANSWERS["/length"].expected("GET")


class TunnelProxy:
    """An HTTP proxy that answers each CONNECT with 200, then ends the client's TLS itself (a
    certificate made here for 127.0.0.1) and hands the plain bytes to `port` and back."""

    def __init__(self, port, directory):
        self.port = port
        self.cafile = str(directory / "cert.pem")
        key = str(directory / "key.pem")
        made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                               "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                               "-out", self.cafile], capture_output=True, timeout=60)
        if made.returncode:
            missing(f"openssl made no certificate: {made.stderr.decode(errors='replace')[:300]}")
        self._tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._tls.load_cert_chain(self.cafile, key)
        self._sock = socket.create_server(("127.0.0.1", 0))
        self.proxy = f"http://127.0.0.1:{self._sock.getsockname()[1]}"
        self.connects = []
        threading.Thread(target=self._accept, daemon=True).start()

    def context(self):
        return ssl.create_default_context(cafile=self.cafile)

    def _accept(self):
        while True:
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            head = b""
            while b"\r\n\r\n" not in head:
                head += conn.recv(1)
            self.connects.append(head.split(b"\r\n")[0])
            conn.sendall(b"HTTP/1.1 200 Connection established\r\nVia: tunnel\r\n\r\n")
            tls = self._tls.wrap_socket(conn, server_side=True)
            with socket.create_connection(("127.0.0.1", self.port)) as up:
                while True:
                    ready, _, _ = select.select([tls, up], [], [], 30)
                    if not ready:
                        return
                    if tls in ready or tls.pending():
                        if not (data := tls.recv(65536)):
                            return
                        up.sendall(data)
                    if up in ready:
                        if not (data := up.recv(65536)):
                            return
                        tls.sendall(data)
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()

    def close(self):
        self._sock.close()


@pytest.fixture(scope="module")
def tunnel(server, tmp_path_factory):
    if not shutil.which("openssl"):
        missing("not installed: openssl")
    proxy = TunnelProxy(server.port, tmp_path_factory.mktemp("tls"))
    yield proxy
    proxy.close()


@pytest.mark.parametrize("client", list(CLIENTS))
def test_responses_through_a_tunnel(client, server, tunnel):
    """Over HTTPS through a proxy: the CONNECT's answer is nobody's, what the tunnel carries is
    read after TLS, as the requests are."""
    plan = [p for p in PLAN if p[1] in ("/length", "/chunked", "/head", "/redirect", "/cookies")]
    tunnel.connects.clear()
    got, view, _ = _sent(client, server, plan, tls=tunnel)
    assert tunnel.connects and len(got) == len(plan) + 1  # the redirect's second request
    assert [w.response for w in got] == [ANSWERS[w.target.decode()].expected(w.method) for w in got]
    assert all(w.url.startswith("https://127.0.0.1:") for w in got)


# --- the reader alone --------------------------------------------------------------------------

def _request(method):
    return WireRequest(method.encode() + b" / HTTP/1.1\r\nHost: h", None, ("http", "h", None))


def _read(stream, methods, cuts=(), end=True):
    """The responses the reader set for requests of `methods`, fed `stream` cut at `cuts`."""
    reader = ResponseReader()
    requests = [_request(m) for m in methods]
    reader.pending.extend(requests)
    for a, b in zip([0, *cuts], [*cuts, len(stream)]):
        reader.feed(stream[a:b])
    if end:
        reader.end()
    return [r.response for r in requests]


def _h11(stream, methods):
    """What h11, a client's parser written apart from this one, reads from the same bytes: the
    responses it read whole (1xx skipped), then None for the rest."""
    h11 = pytest.importorskip("h11")
    conn = h11.Connection(h11.CLIENT)
    out = []
    conn.receive_data(stream)
    conn.receive_data(b"")
    try:
        for method in methods:
            conn.send(h11.Request(method=method, target="/", headers=[("Host", "h")]))
            conn.send(h11.EndOfMessage())
            head, body = None, b""
            while True:
                event = conn.next_event()
                if isinstance(event, h11.Response):
                    head = event
                elif isinstance(event, h11.Data):
                    body += event.data
                elif isinstance(event, h11.EndOfMessage):
                    break
                elif event in (h11.NEED_DATA, h11.PAUSED) or isinstance(event, h11.ConnectionClosed):
                    return out + [None] * (len(methods) - len(out))
            out.append(WireResponse(head.status_code, head.reason.decode("latin-1"),
                                    [(n, v) for n, v in head.headers.raw_items()], body))
            if conn.our_state is h11.MUST_CLOSE:
                break
            conn.start_next_cycle()
    except h11.RemoteProtocolError:
        pass
    return out + [None] * (len(methods) - len(out))


_names = st.sampled_from([b"Content-Type", b"X-A", b"set-cookie", b"Set-Cookie", b"ETag", b"x-b"])
_values = st.binary(max_size=12).map(lambda b: bytes(c for c in b if c > 32 and c != 127) or b"v")


@st.composite
def exchanges(draw):
    """Responses on one connection as a server may write them, with the methods of their requests."""
    methods, parts = [], []
    n = draw(st.integers(1, 4))
    for i in range(n):
        for _ in range(draw(st.integers(0, 2))):
            parts.append(b"HTTP/1.1 %d Interim\r\nX-I: 1\r\n\r\n" % draw(st.sampled_from([100, 102, 103])))
        method = draw(st.sampled_from(["GET", "POST", "HEAD"]))
        status = draw(st.sampled_from([200, 201, 204, 301, 304, 404, 500]))
        headers = draw(st.lists(st.tuples(_names, _values), max_size=4))
        body = draw(st.binary(max_size=300))
        framing = draw(st.sampled_from(["length", "chunked", "close"] if i == n - 1 else ["length", "chunked"]))
        answer = Answer(status, draw(st.sampled_from([b"OK", b"Some Reason", b""])), headers, body, framing)
        if status in (204, 304):
            answer.framing = "none"
        wire = answer.wire(method.encode())
        parts.append(wire[0] if isinstance(wire, tuple) else wire)
        methods.append(method)
        if framing == "close":
            break
    return b"".join(parts), methods


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(exchanges(), st.lists(st.integers(1, 10_000), max_size=8))
def test_reader_reads_as_h11_does_however_the_reads_split(exchange, cuts):
    stream, methods = exchange
    cuts = sorted({c % len(stream) for c in cuts} - {0})
    expected = _h11(stream, methods)
    assert None not in expected, "the generated answers must all be readable"
    assert _read(stream, methods, cuts) == expected
    assert _read(stream, methods, range(1, len(stream))) == expected  # a byte per read


@settings(max_examples=400, deadline=None)
@given(exchanges(), st.lists(st.tuples(st.integers(0, 10_000), st.binary(max_size=6)), max_size=4),
       st.lists(st.integers(1, 10_000), max_size=6), st.binary(max_size=200), st.booleans())
def test_reader_never_raises_on_hostile_bytes(exchange, edits, cuts, noise, end):
    """Valid answers with bytes changed, and noise: never an exception, and whatever is set is a
    response of the right types."""
    stream, methods = exchange
    for at, new in edits:
        at %= len(stream) + 1
        stream = stream[:at] + new + stream[at + len(new):]
    for data in (stream, noise, stream + noise):
        reader_cuts = sorted({c % max(len(data), 1) for c in cuts} - {0})
        got = _read(data, methods + ["CONNECT"], reader_cuts, end)
        for r in got:
            assert r is None or (type(r.status) is int and type(r.reason) is str and type(r.body) is bytes
                                 and all(type(n) is bytes and type(v) is bytes for n, v in r.headers))


def test_reader_framing_edges():
    """What the generated answers do not reach: a tunnel, a 101, LF line ends, folded lines,
    lengths that disagree, a response to no request, a body cut off by the end or by close."""
    ok = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
    # The CONNECT's 2xx is nobody's response; the tunnelled one is the next request's.
    reader = ResponseReader()
    get = _request("GET")
    reader.pending.extend([reading_tunnel(), get])
    reader.feed(b"HTTP/1.1 200 Connection established\r\n\r\n" + ok)
    assert get.response == WireResponse(200, "OK", [(b"Content-Length", b"2")], b"ok")
    # A refused tunnel's body is read through, for no request.
    reader = ResponseReader()
    reader.pending.extend([reading_tunnel(), get := _request("GET")])
    reader.feed(b"HTTP/1.1 407 Proxy Auth\r\nContent-Length: 3\r\n\r\nnoo" + ok)
    assert get.response == WireResponse(200, "OK", [(b"Content-Length", b"2")], b"ok")
    # A CONNECT request given to the reader gets its answer when the tunnel is refused.
    assert _read(b"HTTP/1.1 200 OK\r\n\r\n" + ok, ["CONNECT", "GET"])[1].body == b"ok"
    assert _read(b"HTTP/1.1 403 No\r\nContent-Length: 1\r\n\r\n!", ["CONNECT"])[0].body == b"!"
    assert _read(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n" + ok, ["GET"]) == [None]
    assert _read(b"HTTP/1.1 200 OK\nContent-Length: 2\nX: a\n  b\n\nok", ["GET"]) == \
        [WireResponse(200, "OK", [(b"Content-Length", b"2"), (b"X", b"a b")], b"ok")]
    assert _read(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok!", ["GET"]) == [None]
    assert _read(b"HTTP/1.1 200 OK\r\nContent-Length: 2, 2\r\n\r\nok", ["GET"])[0].body == b"ok"
    assert _read(ok, []) == []
    assert _read(ok + ok, ["GET"])[0] is not None  # the second answers nothing: reading stops there
    # Transfer-Encoding outranks Content-Length; a last coding other than chunked runs to the end.
    assert _read(b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n",
                 ["GET"])[0].body == b"ok"
    assert _read(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nzz", ["GET"])[0].body == b"zz"
    # Cut off: by the connection's end mid-body, or by the client closing what it reads.
    assert _read(ok[:-1], ["GET"]) == [None]
    assert _read(b"HTTP/1.1 200 OK\r\n\r\nto the end", ["GET"], end=False) == [None]
    reader = ResponseReader()
    reader.pending.extend([get := _request("GET"), later := _request("GET")])
    reader.feed(ok[:-1])
    reader.close()
    reader.feed(b"k" + ok)
    assert (get.response, later.response, reader.stopped) == (None, None, True)


def reading_tunnel():
    """What a ReadingTap queues for a CONNECT it saw written."""
    from tolmek_http.reading import ReadingTap

    tap = ReadingTap(lambda wire: None, "http", "proxy", 3128)
    tap.feed(b"CONNECT o.example:443 HTTP/1.1\r\nHost: o.example:443\r\n\r\n")
    return tap.reader.pending.popleft()


@settings(max_examples=200, deadline=None)
@given(st.binary(min_size=1, max_size=3000),
       st.lists(st.tuples(st.sampled_from(["read", "read1", "readline", "readinto", "readinto1", "peek"]),
                          st.integers(-1, 700)), max_size=25))
def test_reading_file_reads_as_the_file_it_wraps(data, calls):
    """The file a connection's responses read through returns what the buffered file would, call
    for call, and hands over exactly the bytes returned, in order (peek: none)."""
    from tolmek_http.connections import _ReadingFile

    class Sink:
        def __init__(self):
            self.fed, self.ended, self.closed = bytearray(), 0, False

        def feed(self, b):
            self.fed += b

        def end(self):
            self.ended += 1

        def close(self):
            self.closed = True

    plain = io.BufferedReader(io.BytesIO(data), buffer_size=64)
    sink = Sink()
    wrapped = _ReadingFile(io.BufferedReader(io.BytesIO(data), buffer_size=64), sink)
    consumed = 0
    for name, n in calls:
        if name.startswith("readinto"):
            a, b = bytearray(max(n, 0)), bytearray(max(n, 0))
            got = (getattr(plain, name)(a), bytes(a)), (getattr(wrapped, name)(b), bytes(b))
            consumed += got[0][0]
        else:
            got = getattr(plain, name)(n), getattr(wrapped, name)(n)
            consumed += 0 if name == "peek" else len(got[0])
        assert got[0] == got[1], (name, n)
    assert bytes(sink.fed) == data[:consumed]
    assert not sink.ended or consumed == len(data), "the end told before the last byte was read"
    wrapped.close()
    assert sink.closed and wrapped.closed
