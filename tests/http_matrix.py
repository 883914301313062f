"""Differential harness for the HTTP clients: each real client sends a matrix of cases to a loopback
recorder, and the command made for each request it sent, run by bash, dash and zsh with the real
curl, must deliver the same method, target bytes, header list and body bytes."""

import asyncio
import base64
import hashlib
import os
import random
import shlex
import shutil
import subprocess
from dataclasses import dataclass, field

import tolmek_http

CURL = shutil.which("curl")
SHELLS = ("bash", "dash", "zsh")
CURL_SECONDS = float(os.environ.get("TOLMEK_CURL_TIMEOUT", "60"))

USER, PASSWORD = "alice", "s3cr3t:'$x"
REALM, NONCE = "matrix", "5f2b9c0d"
_rand = random.Random(27)
BIG = bytes(_rand.getrandbits(8) for _ in range(200 * 1024))
HUGE = _rand.randbytes(16 << 20)
QUOTING_PATH = "/it's/$HOME/`id`/a[1-3]/{x,y}/b/../%2e%2e/c/=ls?q='v'&r=\"s\"&t=%25&u=*"
QUOTING_HEADERS = [("X-Quote", "it's \"$HOME\" `id` !x \\ %s"), ("X-Empty", ""), ("x-lower-case", "v")]


@dataclass
class Case:
    """One thing a client is asked to send; each client does it with its own API."""

    method: str = "POST"
    path: str = "/"
    headers: list = field(default_factory=list)  # duplicates on purpose in one case
    content: bytes | None = None
    json: object = None
    form: dict | None = None
    files: dict | None = None  # name: (file name, bytes, content type); `form` goes with it
    chunks: list | None = None  # a generator body
    cookies: dict | None = None  # in the client's cookie jar
    auth: str | None = None  # "basic", "digest", "netrc"
    proxy: bool = False
    big: bool = False  # run only a few of these: each costs seconds in each shell


CASES = {
    "get": Case("GET", "/items?page=1&limit=50"),
    "head": Case("HEAD", "/h"),
    "delete": Case("DELETE", "/items/7"),
    "quoting": Case("PUT", QUOTING_PATH, headers=QUOTING_HEADERS, content="'; rm -rf ~; echo '\n✓".encode()),
    "json": Case(json={"name": "box", "note": "it's \"fragile\"", "ok": True, "n": [1, 2.5, None], "é": "✓"}),
    "form": Case(form={"a": "1 2", "b": "it's & = %", "c": "✓"}),
    "text": Case(content="plain text, it's $HOME `id` !x \\ é✓".encode()),
    "NUL": Case(content=b"a\x00b\x00"),
    "non-UTF-8": Case(content=bytes(range(256))),
    "CR LF": Case(content=b"line 1\r\nline 2\r\n\r"),
    "percent": Case(content=b"-n 100% %s %d %% %b \\n \\0 -- -x"),
    "trailing newlines": Case(content=b"x\n\n\n"),
    "0 B": Case(content=b""),
    "200 KiB": Case(content=BIG),
    "16 MiB": Case(content=HUGE, big=True),
    "multipart": Case(form={"field": "it's ✓"}, files={"upload": ("a'b.bin", b"\x00\xff\r\n--x--\r\n", "application/octet-stream")}),
    "generator": Case(chunks=[b"first,", b"\x00\xffsecond,", b"", b"third\n"]),
    "cookie jar": Case("GET", "/c", cookies={"session": "abc123", "theme": "dark"}),
    "basic auth": Case("GET", "/basic", auth="basic"),
    "digest auth": Case("GET", "/digest?x=1", auth="digest"),
    ".netrc": Case("GET", "/netrc", auth="netrc"),
    "redirect": Case("GET", "/redirect"),
    "duplicate headers": Case("GET", "/dup", headers=[("X-Dup", "1"), ("X-Other", "a"), ("X-Dup", "2"), ("x-dup", "3")]),
    "proxy": Case("POST", "/via-proxy?x=1", content=b"through\x00the proxy", proxy=True),
}


class NotApplicable(Exception):
    """The client has no way to send this case (no cookie jar, no digest auth, ...)."""


def answer(arrival):
    """The recorder's answers beyond its plain 200: a redirect, and the digest challenge."""
    if arrival.target == b"/redirect":
        return b"HTTP/1.1 302 Found\r\nLocation: /landed\r\nContent-Length: 0\r\n\r\n"
    if arrival.target.startswith(b"/digest"):
        auth = [v for n, v in arrival.headers if n.lower() == b"authorization"]
        if not auth or not auth[0].startswith(b"Digest "):
            return (b'HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm="' + REALM.encode()
                    + b'", nonce="' + NONCE.encode() + b'", qop="auth", algorithm=MD5\r\nContent-Length: 0\r\n\r\n')
    return None


def netrc_home(home):
    """A private HOME whose .netrc names the loopback address, for the clients that read it."""
    path = home / ".netrc"
    path.write_text(f"machine 127.0.0.1\nlogin {USER}\npassword {PASSWORD}\n")
    path.chmod(0o600)


# --- the clients ---------------------------------------------------------------------------

def _requests(case, base, proxy, got):
    import requests
    import requests.auth

    if len({n.lower() for n, _ in case.headers}) < len(case.headers):
        raise NotApplicable("requests keeps one value per header name")
    s = requests.Session()
    s.trust_env = case.auth == "netrc"  # the environment holds no proxy settings here
    tolmek_http.capture(s, got.append)
    kw = _body_kwargs(case, gen=lambda: iter(case.chunks))
    if case.files:
        kw["files"] = case.files
    if case.cookies:
        s.cookies.update(case.cookies)
    if case.auth == "basic":
        kw["auth"] = (USER, PASSWORD)
    elif case.auth == "digest":
        kw["auth"] = requests.auth.HTTPDigestAuth(USER, PASSWORD)
    if case.proxy:
        kw["proxies"] = {"http": proxy}
    r = s.request(case.method, base + case.path, headers=dict(case.headers), **kw)
    return [h.request for h in [*r.history, r]]


def _body_kwargs(case, gen):
    kw = {}
    if case.content is not None:
        kw["data"] = case.content
    elif case.json is not None:
        kw["json"] = case.json
    elif case.form is not None:
        kw["data"] = case.form
    elif case.chunks is not None:
        kw["data"] = gen()
    return kw


def _httpx_kwargs(case, proxy):
    import httpx

    client = {"trust_env": False, "follow_redirects": True}
    if case.proxy:
        client["proxy"] = proxy
    if case.cookies:
        client["cookies"] = case.cookies
    if case.auth == "basic":
        client["auth"] = (USER, PASSWORD)
    elif case.auth == "digest":
        client["auth"] = httpx.DigestAuth(USER, PASSWORD)
    elif case.auth == "netrc":
        client["auth"] = httpx.NetRCAuth()
    kw = {"headers": list(case.headers)}
    if case.content is not None:
        kw["content"] = case.content
    elif case.json is not None:
        kw["json"] = case.json
    elif case.form is not None:
        kw["data"] = case.form
    if case.files:
        kw["files"] = case.files
    return client, kw


def _httpx(case, base, proxy, got):
    import httpx

    client, kw = _httpx_kwargs(case, proxy)
    if case.chunks is not None:
        kw["content"] = iter(case.chunks)
    with httpx.Client(**client) as c:
        tolmek_http.capture(c, got.append)
        r = c.request(case.method, base + case.path, **kw)
        return [h.request for h in [*r.history, r]]


def _httpx_async(case, base, proxy, got):
    import httpx

    client, kw = _httpx_kwargs(case, proxy)

    async def chunks():
        for c in case.chunks:
            yield c

    async def run():
        if case.chunks is not None:
            kw["content"] = chunks()
        async with httpx.AsyncClient(**client) as c:
            tolmek_http.capture(c, got.append)
            r = await c.request(case.method, base + case.path, **kw)
            return [h.request for h in [*r.history, r]]

    return asyncio.run(run())


def _aiohttp(case, base, proxy, got):
    import aiohttp
    from multidict import CIMultiDict

    if len({n.lower() for n, _ in case.headers}) < len(case.headers):
        raise NotApplicable("aiohttp sends one value per header name (the last one given)")
    seen = []

    async def keep(req, handler):
        seen.append(req)  # the ClientRequest objects, for the peers that read them
        return await handler(req)

    async def chunks():
        for c in case.chunks:
            yield c

    async def run():
        middlewares = [keep]
        session = {"trust_env": case.auth == "netrc"}
        if case.auth == "digest":
            middlewares.insert(0, aiohttp.DigestAuthMiddleware(USER, PASSWORD))
        if case.auth == "basic":
            session["headers"] = {"Authorization": aiohttp.encode_basic_auth(USER, PASSWORD)}
        if case.cookies:
            session["cookies"] = case.cookies
        kw = {"headers": CIMultiDict(case.headers)}
        if case.content is not None:
            kw["data"] = case.content
        elif case.json is not None:
            kw["json"] = case.json
        elif case.chunks is not None:
            kw["data"] = chunks()
        elif case.files:
            form = aiohttp.FormData()
            for k, v in case.form.items():
                form.add_field(k, v)
            for k, (name, data, ctype) in case.files.items():
                form.add_field(k, data, filename=name, content_type=ctype)
            kw["data"] = form
        elif case.form is not None:
            kw["data"] = case.form
        if case.proxy:
            kw["proxy"] = proxy
        async with aiohttp.ClientSession(middlewares=tuple(middlewares), **session) as s:
            tolmek_http.capture(s, got.append)
            async with s.request(case.method, base + case.path, **kw) as r:
                await r.read()
        return seen

    return asyncio.run(run())


def _urllib3(case, base, proxy, got):
    import urllib3

    if case.cookies or case.auth in ("digest", "netrc"):
        raise NotApplicable("urllib3 has no cookie jar, digest auth or .netrc")
    pm = urllib3.ProxyManager(proxy) if case.proxy else urllib3.PoolManager()
    tolmek_http.capture(pm, got.append)
    headers = urllib3.HTTPHeaderDict()
    for n, v in case.headers:
        headers.add(n, v)
    if case.auth == "basic":
        headers.update(urllib3.make_headers(basic_auth=f"{USER}:{PASSWORD}"))
    kw = {}
    if case.content is not None:
        kw["body"] = case.content
    elif case.json is not None:
        kw["json"] = case.json
    elif case.files:
        kw["fields"] = {**case.form, **case.files}
    elif case.form is not None:
        kw["fields"] = case.form
        kw["encode_multipart"] = False
    elif case.chunks is not None:
        kw["body"] = iter(case.chunks)
    pm.request(case.method, base + case.path, headers=headers, retries=urllib3.Retry(None, connect=0, read=0, other=0, redirect=3), **kw)
    return []


def _urllib(case, base, proxy, got):
    import http.cookiejar
    import json
    import urllib.parse
    import urllib.request

    if len({n.lower() for n, _ in case.headers}) < len(case.headers) or case.files or case.auth == "netrc":
        raise NotApplicable("urllib.request keeps one value per header name and has no multipart or .netrc")
    handlers = [urllib.request.ProxyHandler({"http": proxy} if case.proxy else {})]
    if case.cookies:
        jar = http.cookiejar.CookieJar()
        for k, v in case.cookies.items():
            jar.set_cookie(http.cookiejar.Cookie(0, k, v, None, False, "127.0.0.1", True, False, "/", True, False,
                                                 None, False, None, None, {}))
        handlers.append(urllib.request.HTTPCookieProcessor(jar))
    if case.auth:
        mgr = urllib.request.HTTPPasswordMgrWithPriorAuth()
        mgr.add_password(REALM if case.auth == "digest" else None, base, USER, PASSWORD,
                         is_authenticated=case.auth == "basic")
        handlers.append(urllib.request.HTTPDigestAuthHandler(mgr) if case.auth == "digest"
                        else urllib.request.HTTPBasicAuthHandler(mgr))
    opener = urllib.request.build_opener(*handlers)
    tolmek_http.capture(opener, got.append)
    data = case.content
    headers = dict(case.headers)
    if case.json is not None:
        data = json.dumps(case.json).encode()
        headers["Content-Type"] = "application/json"
    elif case.form is not None:
        data = urllib.parse.urlencode(case.form).encode()
    elif case.chunks is not None:
        data = iter(case.chunks)
    req = urllib.request.Request(base + case.path, data=data, headers=headers, method=case.method)
    seen = [req]
    with opener.open(req) as r:
        r.read()
    return seen


CLIENTS = {"requests": _requests, "httpx": _httpx, "httpx-async": _httpx_async, "aiohttp": _aiohttp,
           "urllib3": _urllib3, "urllib.request": _urllib}


# --- running and comparing -----------------------------------------------------------------

def send(client, case, recorders):
    """(requests the client sent as the recorders got them, captured WireRequests, objects for
    the peers), or NotApplicable."""
    origin, proxy = recorders
    origin.take(), proxy.take()
    got = []
    objects = CLIENTS[client](case, origin.base, proxy.base, got)
    return origin.take() + proxy.take(), got, objects


def run_commands(shell, commands, scratch, recorders):
    """The commands in one script of `shell`, each tagged with its index; the arrivals by index
    and the shell's stderr."""
    tag = scratch / ".tag"
    q = shlex.quote
    lines = [f'curl() {{ timeout {CURL_SECONDS} {q(CURL)} -sS "$@" >/dev/null; }}\n']
    for i, cmd in enumerate(commands):
        lines.append(f"printf '%s' {i} >{q(str(tag))}\n{cmd}\n")
    script = scratch / f"commands.{shell}"
    script.write_text("".join(lines), encoding="utf-8")
    for r in recorders:
        r.tag_file = tag
        r.take()
    proc = subprocess.run([shell, str(script)], cwd=scratch, capture_output=True, stdin=subprocess.DEVNULL,
                          timeout=CURL_SECONDS * len(commands) + 60,
                          env={"PATH": os.environ.get("PATH", os.defpath), "HOME": str(scratch), "LC_ALL": "C.UTF-8"})
    by_index = {}
    for r in recorders:
        for a in r.take():
            by_index.setdefault(int(a.tag), []).append(a)
        r.tag_file = None
    return by_index, proc.stderr.decode(errors="replace")


def _curl_major():
    try:
        return int(subprocess.run([CURL, "--version"], capture_output=True, timeout=20).stdout.split()[1].split(b".")[0])
    except (TypeError, OSError, IndexError, ValueError):
        return 0


# Headers whose place curl decides: Host it writes first; Connection curl 8 writes after all the
# others (it merges its own tokens into it). Their values are compared, their places not.
PLACED_BY_CURL = (b"host", b"connection") if _curl_major() >= 8 else (b"host",)


def differences(sent, arrived, fold_case=False):
    """What differs between a request as the client sent it and as the command sent it: the
    method, target, header list (the headers in PLACED_BY_CURL compared apart) and body bytes.
    `fold_case`: header names compared without letter case (HTTP does; the client's case is lost)."""
    out = []
    if (sent.method, sent.target) != (arrived.method, arrived.target):
        out.append(f"request line {arrived.method!r} {arrived.target!r} instead of {sent.method!r} {sent.target!r}")

    def split(headers):
        return ([(n.lower() if fold_case else n, v) for n, v in headers if n.lower() in PLACED_BY_CURL],
                [(n.lower() if fold_case else n, v) for n, v in headers if n.lower() not in PLACED_BY_CURL])

    (h1, rest1), (h2, rest2) = split(sent.headers), split(arrived.headers)
    if sorted(h1) != sorted(h2):
        out.append(f"{h2} instead of {h1}")
    if rest1 != rest2:
        out.append(f"headers {rest2}\n    instead of {rest1}")
    if sent.body != arrived.body:
        out.append(f"body {arrived.body[:120]!r} ({len(arrived.body)} B) instead of {sent.body[:120]!r} ({len(sent.body)} B)")
    if arrived.faults:
        out.append(f"framing: {arrived.faults}")
    return out


def digest_ok(arrival):
    """The client's digest answer is right for what the recorder asked (so the case proves something)."""
    auth = next(v for n, v in arrival.headers if n.lower() == b"authorization").decode()
    f = dict(p.strip().split("=", 1) for p in auth[len("Digest "):].split(","))
    f = {k: v.strip('"') for k, v in f.items()}
    h = lambda s: hashlib.md5(s.encode()).hexdigest()  # noqa: E731
    ha1, ha2 = h(f"{USER}:{REALM}:{PASSWORD}"), h(f"{arrival.method.decode()}:{f['uri']}")
    return f["response"] == h(f"{ha1}:{NONCE}:{f['nc']}:{f['cnonce']}:{f['qop']}:{ha2}")


def basic_header():
    return b"Basic " + base64.b64encode(f"{USER}:{PASSWORD}".encode())
