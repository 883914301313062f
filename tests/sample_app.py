"""The sample suite's loopback app: deterministic answers on top of the recorder, and the secrets it knows."""

import base64
import gzip
import hashlib
import json
from urllib.parse import parse_qsl

from recorder import Recorder

USER = "alice"
PASSWORD = "hunter2-Pa55word"          # /login and /token
SESSION = "s3ss-0a1b2c3d4e5f"          # the cookie /login sets
TOKEN = "tok-9f8e7d6c5b4a"             # what /token hands out, /bearer asks for
BASIC_PASSWORD = "b4sic-Secr3t"        # /basic
QUERY_KEY = "qkey-55aa66bb"            # /key/query?api_key=
HEADER_KEY = "hkey-77cc88dd"           # /key/header X-API-Key
NEW_PASSWORD = "n3w-Passw0rd-x"        # /account's JSON body
REFRESH = "rfr-1234abcd5678"           # /account's JSON body
BASIC = base64.b64encode(f"{USER}:{BASIC_PASSWORD}".encode()).decode()

# Every value that must never be written outside the secrets files.
SECRETS = {"password": PASSWORD, "session": SESSION, "token": TOKEN, "basic password": BASIC_PASSWORD,
           "basic credentials": BASIC, "query key": QUERY_KEY, "header key": HEADER_KEY,
           "new password": NEW_PASSWORD, "refresh token": REFRESH}

# Not text in any encoding: a body that can only go into a file.
DOWNLOAD = bytes(range(256))[::-1] * 8
_REASONS = {200: "OK", 201: "Created", 204: "No Content", 301: "Moved Permanently", 302: "Found",
            303: "See Other", 307: "Temporary Redirect", 400: "Bad Request", 401: "Unauthorized",
            403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed"}


def _response(status, headers=(), body=b"", head_only=False, chunks=None):
    lines = [f"HTTP/1.1 {status} {_REASONS[status]}".encode()]
    lines += [f"{n}: {v}".encode() for n, v in headers]
    if chunks is not None:
        lines.append(b"Transfer-Encoding: chunked")
        body = b"".join(b"%x\r\n%s\r\n" % (len(c), c) for c in chunks) + b"0\r\n\r\n"
    elif status != 204:
        lines.append(f"Content-Length: {len(body)}".encode())
    return b"\r\n".join(lines) + b"\r\n\r\n" + (b"" if head_only or status == 204 else body)


def _json(status, value, headers=(), head_only=False):
    body = json.dumps(value, sort_keys=True).encode()
    return _response(status, [("Content-Type", "application/json"), *headers], body, head_only)


def _header(arrival, name):
    return next((v.decode("latin-1") for n, v in arrival.headers if n.lower() == name), None)


def _cookies(arrival):
    out = {}
    for n, v in arrival.headers:
        if n.lower() == b"cookie":
            for pair in v.decode("latin-1").split(";"):
                k, _, val = pair.strip().partition("=")
                out[k] = val
    return out


def _fields(arrival):
    """The body's fields: a form or a JSON object (anything else: empty)."""
    kind = _header(arrival, b"content-type") or ""
    try:
        if kind.startswith("application/x-www-form-urlencoded"):
            return dict(parse_qsl(arrival.body.decode(), keep_blank_values=True))
        if kind.startswith("application/json"):
            value = json.loads(arrival.body)
            return value if type(value) is dict else {}
    except (UnicodeDecodeError, ValueError):
        pass
    return {}


class App:
    """Routes one arrival to its answer. The answers depend on the request alone (no date, no
    counter), so that a recording of them is the same however often and in whatever order the
    requests come; absolute redirects name `base`."""

    def __init__(self):
        self.base = ""

    def __call__(self, a):
        method = a.method.decode()
        path, _, query = a.target.decode("latin-1").partition("?")
        params = dict(parse_qsl(query, keep_blank_values=True))
        head = method == "HEAD"
        if path == "/echo":
            body = a.body.decode("utf-8", "replace")
            return _json(200, {"method": method, "target": a.target.decode("latin-1"), "body": body}, head_only=head)
        if path == "/login" and method == "POST":
            if _fields(a) != {"user": USER, "password": PASSWORD}:
                return _json(401, {"error": "bad credentials"})
            return _json(200, {"user": USER}, [("Set-Cookie", f"session={SESSION}; Path=/; HttpOnly")])
        if path in ("/me", "/logout"):
            if _cookies(a).get("session") != SESSION:
                return _json(401, {"error": "no session"})
            if path == "/logout":
                return _json(200, {"bye": USER}, [("Set-Cookie", "session=; Path=/; Max-Age=0")])
            return _json(200, {"user": USER, "items": [1, 2, 3]})
        if path == "/token" and method == "POST":
            f = _fields(a)
            if (f.get("grant_type"), f.get("username"), f.get("password")) != ("password", USER, PASSWORD):
                return _json(401, {"error": "invalid_grant"})
            return _json(200, {"access_token": TOKEN, "token_type": "bearer"})
        if path == "/bearer":
            if _header(a, b"authorization") != f"Bearer {TOKEN}":
                return _json(401, {"error": "token"}, [("WWW-Authenticate", 'Bearer realm="sample"')])
            return _json(200, {"scope": "read"})
        if path == "/basic":
            if _header(a, b"authorization") != f"Basic {BASIC}":
                return _json(401, {"error": "basic"}, [("WWW-Authenticate", 'Basic realm="sample"')])
            return _json(200, {"user": USER})
        if path == "/key/query":
            return _json(200, {"key": "ok"}) if params.get("api_key") == QUERY_KEY else _json(403, {"error": "key"})
        if path == "/key/header":
            return _json(200, {"key": "ok"}) if _header(a, b"x-api-key") == HEADER_KEY else _json(403, {"error": "key"})
        if path == "/account" and method == "POST":
            f = _fields(a)
            if (f.get("password"), f.get("refresh_token")) != (NEW_PASSWORD, REFRESH):
                return _json(400, {"error": "fields"})
            return _json(201, {"created": f.get("user")})
        if path == "/form" and method == "POST":
            return _json(200, {"fields": _fields(a)})
        if path == "/upload" and method in ("POST", "PUT"):
            kind = _header(a, b"content-type") or ""
            return _json(200, {"size": len(a.body), "sha256": hashlib.sha256(a.body).hexdigest(), "type": kind})
        if path == "/download":
            return _response(200, [("Content-Type", "application/octet-stream")], DOWNLOAD, head)
        if path.startswith("/redirect/"):
            code = path.rpartition("/")[2]
            if code not in ("301", "302", "303", "307"):
                return _json(404, {"error": "code"})
            where = f"/echo?from={code}"
            if params.get("to") == "absolute":
                where = self.base + where
            return _response(int(code), [("Location", where)])
        if path == "/resource":
            return _response(200, [("Content-Type", "text/plain; charset=utf-8"), ("ETag", '"r1"')],
                             "résumé\n".encode() * 10, head)
        if path.startswith("/items/") and method == "DELETE":
            return _response(204, [("X-Deleted", path.rpartition("/")[2])])
        if path == "/chunked":
            return _response(200, [("Content-Type", "text/plain")], chunks=[b"first,", b"second,", b"third\n"])
        if path == "/gzip":
            data = json.dumps({"compressed": True, "n": list(range(20))}).encode()
            return _response(200, [("Content-Type", "application/json"), ("Content-Encoding", "gzip")],
                             gzip.compress(data, mtime=0), head)
        return _json(404, {"error": "no such path", "path": path})


def start():
    """A running Recorder that answers as App: use as a context manager."""
    app = App()
    rec = Recorder(answer=app)
    app.base = rec.base
    return rec



if __name__ == "__main__":
    # For running the sample suite by hand: prints its address, then serves until interrupted.
    import threading

    with start() as running:
        print(running.base, flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
