"""The HTTP clients' captured requests as commands: the matrix of http_matrix.py, every client in
bash, dash and zsh with the real curl; capture when sending fails, and capture kept to its client.

TOLMEK_HTTP_BIG=all sends the 16 MiB body with every client (default: two of them)."""

import base64
import os
import re
import socket
import subprocess
import threading
import urllib.request

import httpx
import pytest
import requests
import urllib3

import http_matrix
import tolmek_http
from conftest import HOSTILE_FRAMING, loopback_env, missing, with_and_without_capture
from http_matrix import CASES, CLIENTS, SHELLS, Case, NotApplicable
from recorder import Recorder

_PACKAGE = {"httpx-async": "httpx", "urllib.request": "urllib.request"}
BIG_CLIENTS = set(CLIENTS) if os.environ.get("TOLMEK_HTTP_BIG") == "all" else {"requests", "aiohttp"}

# (client, shell) -> [passed, run]; (client, "n/a") -> cases the client has no way to send.
TALLY = {}


@pytest.fixture(scope="module")
def recorders():
    with Recorder(answer=http_matrix.answer) as origin, Recorder() as proxy:
        yield origin, proxy


@pytest.fixture(scope="module")
def private_home(tmp_path_factory):
    """A HOME of the tests' own (its .netrc names the recorder), and no proxy settings."""
    home = tmp_path_factory.mktemp("home")
    http_matrix.netrc_home(home)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("HOME", str(home))
        for k in list(os.environ):
            if "proxy" in k.lower() or k in ("NETRC", "CURL_HOME"):
                mp.delenv(k)
        yield home


def _need(client):
    pytest.importorskip(_PACKAGE.get(client, client))
    if absent := [t for t in (*SHELLS, "curl", "timeout") if not http_matrix.shutil.which(t)]:
        missing(f"not installed: {', '.join(absent)}")


def _sanity(name, sent):
    """What the case itself must have made the client send, so that passing means something."""
    auth = [v for r in sent for n, v in r.headers if n.lower() == b"authorization"]
    if name == "digest auth":
        return len(sent) == 2 and http_matrix.digest_ok(sent[1])
    if name in ("basic auth", ".netrc"):
        return auth == [http_matrix.basic_header()]
    if name == "redirect":
        return [r.target for r in sent] == [b"/redirect", b"/landed"]
    if name == "cookie jar":
        return any(n.lower() == b"cookie" for n, _ in sent[0].headers)
    if name == "proxy":
        return sent[0].target.startswith(b"http://127.0.0.1:")
    if name == "generator":
        return sent[0].body == b"first,\x00\xffsecond,third\n"
    if name == "duplicate headers":
        return sum(n.lower() == b"x-dup" for n, _ in sent[0].headers) == 3
    return True


@pytest.mark.parametrize("client", list(CLIENTS))
def test_matrix(client, recorders, private_home, tmp_path):
    _need(client)
    problems, commands, expected = [], [], []
    TALLY[(client, "n/a")] = []
    for name, case in CASES.items():
        if case.big and client not in BIG_CLIENTS:
            continue
        try:
            sent, captured, _ = http_matrix.send(client, case, recorders)
        except NotApplicable:
            TALLY[(client, "n/a")].append(name)
            continue
        if len(sent) != len(captured) or not sent:
            problems.append(f"{name}: the client sent {len(sent)} requests, {len(captured)} were captured")
            continue
        if not _sanity(name, sent):
            problems.append(f"{name}: the client did not send what the case is about: {sent}")
        for arrival, wire in zip(sent, captured):
            try:
                commands.append(wire.curl)
            except ValueError as e:
                problems.append(f"{name}: {e}")
                continue
            expected.append((name, arrival))
    for shell in SHELLS:
        by_index, stderr = http_matrix.run_commands(shell, commands, tmp_path, recorders)
        passed = 0
        for i, (name, sent) in enumerate(expected):
            got = by_index.get(i, [])
            diff = ["arrived %d times" % len(got)] if len(got) != 1 else http_matrix.differences(sent, got[0])
            if diff:
                problems.append(f"{shell}, {name}:\n  " + "\n  ".join(diff) + f"\n  command: {commands[i][:400]}")
            else:
                passed += 1
        TALLY[(client, shell)] = [passed, len(expected)]
        if stderr.strip():
            problems.append(f"{shell} wrote: {stderr[:1000]}")
    assert not problems, "\n".join(problems)


def _hang_up_server():
    """A server that reads one request's head and body, then closes without answering."""
    sock = socket.create_server(("127.0.0.1", 0))

    def serve():
        conn, _ = sock.accept()
        data = b""
        while b"\r\n\r\n" not in data or not data.endswith(b"body!"):
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        conn.close()
        sock.close()

    threading.Thread(target=serve, daemon=True).start()
    return f"http://127.0.0.1:{sock.getsockname()[1]}"


@pytest.mark.parametrize("client", list(CLIENTS))
def test_capture_when_sending_fails(client, private_home):
    _need(client)
    got = []
    with pytest.raises(Exception):
        CLIENTS[client](Case("PUT", "/gone", content=b"body!"), _hang_up_server(), "http://127.0.0.1:9", got)
    assert got and got[0].method == "PUT" and got[0].body == b"body!" and got[0].target == b"/gone"
    # No connection, nothing written: nothing reported.
    closed = socket.create_server(("127.0.0.1", 0))
    port = closed.getsockname()[1]
    closed.close()
    got.clear()
    with pytest.raises(Exception):
        CLIENTS[client](Case("PUT", "/never", content=b"x"), f"http://127.0.0.1:{port}", "http://127.0.0.1:9", got)
    assert got == []


@pytest.mark.parametrize("name, what", [("", "the module requests"), ("get", "the function requests.api.get"),
                                        ("Session", "the class requests.sessions.Session")])
def test_capture_of_what_is_no_client_names_the_clients_and_record(name, what):
    requests = pytest.importorskip("requests")
    with pytest.raises(TypeError) as e:
        tolmek_http.capture(getattr(requests, name) if name else requests, print)
    assert all(w in str(e.value) for w in (f"got {what}", "takes a client or session: a requests.Session, an httpx.Client",
                                           "urllib.request opener", "`with tolmek_http.record(directory):`"))


def test_capture_is_per_client_and_per_thread(recorders, private_home):
    """Only the captured client reports, and each request of threads sharing it reports once, whole."""
    requests = pytest.importorskip("requests")
    origin, _ = recorders
    got = []
    captured, other = tolmek_http.capture(requests.Session(), got.append), requests.Session()
    other.post(origin.base + "/other", data=b"x")

    def send(i):
        captured.post(origin.base + f"/t{i}", data=bytes([i]) * (1000 + i))

    threads = [threading.Thread(target=send, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    origin.take()
    assert sorted((w.target, w.body) for w in got) == sorted((f"/t{i}".encode(), bytes([i]) * (1000 + i)) for i in range(8))


def test_capture_with_concurrent_tasks(recorders, private_home):
    """Tasks sending at once over one captured AsyncClient and one ClientSession (several
    connections, writes interleaved on the loop) each report their own request, whole."""
    import asyncio

    httpx = pytest.importorskip("httpx")
    aiohttp = pytest.importorskip("aiohttp")
    origin, _ = recorders
    got = []
    bodies = [bytes([i]) * (5000 + i) for i in range(12)]

    async def run():
        async with httpx.AsyncClient() as client, aiohttp.ClientSession() as session:
            tolmek_http.capture(client, got.append)
            tolmek_http.capture(session, got.append)

            async def via_aiohttp(i):
                async with session.put(f"{origin.base}/a{i}", data=bodies[i]) as r:
                    await r.read()

            await asyncio.gather(*(client.put(f"{origin.base}/x{i}", content=bodies[i]) for i in range(12)),
                                 *(via_aiohttp(i) for i in range(12)))

    asyncio.run(run())
    origin.take()
    assert sorted((w.target, w.body) for w in got) == sorted(
        [(f"/x{i}".encode(), b) for i, b in enumerate(bodies)] + [(f"/a{i}".encode(), b) for i, b in enumerate(bodies)])


def test_requests_read_alike_however_the_writes_split():
    """The reader of a connection's writes reports the same requests for one write of everything,
    for every place of a single split, for one byte at a time and for random pieces of the three
    buffer types: its shortcuts for whole heads and bodies must agree with its long way."""
    import random

    from tolmek_http.wire import Tap

    # Each request as the clients write it: its head, then its body (if any) in a write of its own.
    writes = [(b"\r\nGET /a HTTP/1.1\r\nHost: h\r\n\r\n", b""),
              (b"POST /b HTTP/1.1\r\nContent-Length: 5\r\n\r\n", b"hello"),
              (b"PUT /c HTTP/1.1\r\ncontent-length:  3 \r\nX: y\r\n\r\n", b"abc"),
              (b"POST /d HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", b"4;x=1\r\nwiki\r\n5\r\npedia\r\n0\r\nT: t\r\n\r\n"),
              (b"GET http://o.example/e HTTP/1.1\r\nHost: o.example\r\n\r\n", b""),
              (b"COPY /h HTTP/1.1\r\nContent-Length: 2\r\n\r\n", b"hi"),
              (b"CONNECT o.example:443 HTTP/1.1\r\nHost: o.example:443\r\n\r\n", b""),
              (b"POST /f HTTP/1.1\r\nContent-Length: 0\r\n\r\n", b""),
              (b"GET /g HTTP/1.1\r\nContent-Length: 4\r\n\r\n", b"\r\n\r\n")]
    stream = b"".join(head + body for head, body in writes)
    expected = [("GET", b"/a", None, False, "https://127.0.0.1:8080/a", None),
                ("POST", b"/b", b"hello", False, "https://127.0.0.1:8080/b", None),
                ("PUT", b"/c", b"abc", False, "https://127.0.0.1:8080/c", None),
                ("POST", b"/d", b"wikipedia", True, "https://127.0.0.1:8080/d", None),
                ("GET", b"http://o.example/e", None, False, "http://o.example/e", "http://127.0.0.1:8080"),
                ("COPY", b"/h", b"hi", False, "https://127.0.0.1:8080/h", None),
                ("POST", b"/f", b"", False, "https://o.example:443/f", "http://127.0.0.1:8080"),
                ("GET", b"/g", b"\r\n\r\n", False, "https://o.example:443/g", "http://127.0.0.1:8080")]

    def read(pieces):
        got = []
        tap = Tap(got.append, "https", "127.0.0.1", 8080)
        for piece in pieces:
            tap.feed(piece)
        return [(w.method, w.target, w.body, w.chunked, w.url, w.proxy) for w in got]

    assert read([stream]) == expected
    assert read([head + body for head, body in writes]) == expected
    assert read([part for pair in writes for part in pair if part]) == expected
    assert read([stream[i:i + 1] for i in range(len(stream))]) == expected
    for cut in range(1, len(stream)):
        assert read([stream[:cut], stream[cut:]]) == expected, cut
    rand = random.Random(7)
    for _ in range(200):
        cuts = sorted(rand.sample(range(1, len(stream)), rand.randrange(1, 12)))
        pieces = [stream[a:b] for a, b in zip([0, *cuts], [*cuts, len(stream)])]
        assert read([rand.choice((bytes, bytearray, memoryview))(p) for p in pieces]) == expected, cuts
    got = []
    tap = Tap(got.append, "https", "127.0.0.1", 8080)
    for n, (head, body) in enumerate(writes):
        for part in (head, body) if body else (head,):
            tap.feed(part)
        assert len(got) == n + (n < 6), f"request {n} not reported once its last byte was written"  # 6: CONNECT
    got = []
    Tap(got.append, "http", "h", None).feed(stream[:150])
    assert [w.headers for w in got] == [[(b"Host", b"h")], [(b"Content-Length", b"5")],
                                        [(b"content-length", b"3"), (b"X", b"y")]]



BODY = b"0123456789"


def _sent_to(client, case, recorders):
    """What `client` made of sending `case` ("answered", or the type it raised) and what arrived."""
    recorders[0].take()
    try:
        CLIENTS[client](case, recorders[0].base, recorders[1].base, [])
        outcome = "answered"
    except Exception as e:
        outcome = type(e)
    return outcome, [(a.method, a.target, a.headers, a.body) for a in recorders[0].take()]


@pytest.mark.parametrize("client", list(CLIENTS))
@pytest.mark.parametrize("row", HOSTILE_FRAMING["request"], ids=lambda row: row["id"])
def test_hostile_request_framing_goes_on_as_without_capture(client, row, recorders, private_home, monkeypatch):
    """A Content-Length int() reads and HTTP does not, or a fault planted in capture: the client
    and the server see with capture what they see without; the request is recorded when its
    framing reads as one length in digits, and what capture could not do is said once."""
    _need(client)
    monkeypatch.setattr(tolmek_http, "capture", lambda c, callback: c)  # the recording captures them all
    if "plant" in row:
        monkeypatch.setattr(row["plant"], lambda *args, **kwargs: 1 / 0)
    case = Case("POST", "/hostile", headers=[tuple(h) for h in row["headers"]], content=BODY)
    on, recording, off = with_and_without_capture(lambda: _sent_to(client, case, recorders))
    if on[0] is NotApplicable:
        pytest.skip(f"{client} sends one value per header name")
    assert on == off
    lengths = [v for arrival in on[1] for n, v in arrival[2] if n.lower() == b"content-length"]
    if lengths != [v.strip(" \t").encode() for _, v in row["headers"]]:  # the client wrote its own framing, or none
        assert not recording.warnings
        return
    assert [e.request.body for e in recording.exchanges] == [BODY] * row["recorded"]
    assert [row.get("says", "") in w for w in recording.warnings] == [True] * ("says" in row), recording.warnings


@pytest.mark.parametrize("row", HOSTILE_FRAMING["request chunk"], ids=lambda row: repr(row["line"]))
def test_request_chunk_sizes_read_as_hex_digits_only(row):
    """A chunk size not in hex digits leaves its request and those after it unreported, said."""
    from tolmek_http.wire import Tap

    got, said = [], []
    keep = lambda wire: got.append(wire)  # noqa: E731 (a function, to carry a warn)
    keep.warn = said.append
    tap = Tap(keep, "http", "h", None)
    for piece in (b"POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", row["line"].encode() + b"\r\n",
                  BODY + b"\r\n0\r\n\r\n", b"GET /next HTTP/1.1\r\n\r\n"):
        tap.feed(piece)
    assert [(w.target, w.body) for w in got] == [(b"/c", BODY), (b"/next", None)] * row["reads"]
    why = f"the chunk size line {row['line'].encode()!r} is not hex digits"
    assert [why in text for text in said] == [True] * (not row["reads"])


# Each unsent or captured request with secrets, and the variables its redacted command names.
REDACTED = {
    "requests": (lambda base: requests.Request("POST", base + "/a?api_key=QUERY-KEY-1&x=1", data={"password": "p@ss w0rd!"},
                                               headers={"Authorization": "Bearer TOKEN-ABC-2", "Cookie": "sid=COOKIE-33333"}
                                               ).prepare(),
                 {"TOLMEK_API_KEY": "QUERY-KEY-1", "TOLMEK_PASSWORD": "p%40ss+w0rd%21",
                  "TOLMEK_AUTHORIZATION": "TOKEN-ABC-2", "TOLMEK_SID": "COOKIE-33333"}),
    "httpx": (lambda base: httpx.Request("PUT", base.replace("//", "//alice:URL-PW-4@") + "/b", json={"client_secret": "CS-5"}),
              {"TOLMEK_AUTHORIZATION": "YWxpY2U6VVJMLVBXLTQ=", "TOLMEK_CLIENT_SECRET": "CS-5"}),
    "urllib": (lambda base: urllib.request.Request(base + "/c", headers={"X-Api-Key": "XKEY-66666"}),
               {"TOLMEK_X_API_KEY": "XKEY-66666"}),
}


@pytest.mark.parametrize("kind", list(REDACTED) + ["captured"])
def test_to_curl_redacted_sends_the_same_with_its_variables_set(kind, recorders, private_home):
    """A command to log: no secret in any spelling, and with its variables set it sends what the
    plain command sends."""
    rec = recorders[0]
    if kind == "captured":
        sent = []
        tolmek_http.capture(urllib3.PoolManager(), sent.append).request(
            "GET", rec.base + "/d", headers={"Authorization": "Basic " + base64.b64encode(b"carol:BASIC-PW-7").decode()})
        request, variables = sent[0], {"TOLMEK_AUTHORIZATION": base64.b64encode(b"carol:BASIC-PW-7").decode()}
    else:
        make, variables = REDACTED[kind]
        request = make(rec.base)
    rec.take()
    plain, redacted = tolmek_http.to_curl(request), tolmek_http.to_curl(request, redact=True)
    assert sorted(set(re.findall(r"\$\{(TOLMEK_[A-Z0-9_]+)\}", redacted))) == sorted(variables)
    for secret in ("QUERY-KEY", "p@ss", "p%40ss", "TOKEN-ABC", "COOKIE-3", "URL-PW", "CS-5", "XKEY", "BASIC-PW",
                   *variables.values()):
        assert secret not in redacted
    subprocess.run(["bash", "-c", plain], capture_output=True, timeout=60, env=loopback_env(), check=True)
    setting = "".join(f"{k}='{v}'\n" for k, v in variables.items())
    subprocess.run(["bash", "-c", setting + redacted], capture_output=True, timeout=60, env=loopback_env(), check=True)
    first, second = rec.take()
    assert (first.method, first.target, sorted(first.headers), first.body) == \
        (second.method, second.target, sorted(second.headers), second.body)
