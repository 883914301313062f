"""Python code sending each request with requests, as exactly as requests can: the headers in order with
their case and none of requests' own, the body as bytes, the target as written where urllib3 leaves it."""

from __future__ import annotations

import re

from tolmek_http.methods import is_token

from ..literals import heading, py_bytes, py_str
from ..variables import python_head
from ..output import Unfit

FORM = "requests"
MAIN = "requests_requests.py"
FOLDER = False
VARIABLES = True  # fill() puts each variable's value in at run time

_HEAD = '''\
#!/usr/bin/env python3
# Requests written by tolmek; run with Python 3.10 or later, requests 2.34 and urllib3 2.7 or later
# (pip install "requests>=2.34" "urllib3>=2.7").
# Each goes out as exactly as requests can send it: the headers listed are all that is sent (Host
# first where they list none, Content-Length for a body they give no length for; not the
# User-Agent, Accept-Encoding, Accept and Connection that requests, urllib3 and http.client add),
# the target as written, the body as bytes. What requests cannot carry is said above the request.
import requests
from urllib3 import HTTPHeaderDict
from urllib3.util import SKIP_HEADER

{fill}
def send(session, method, origin, target, headers, body):
{filled}    # Prepared bare, then given the request as it is to go out: prepare() would upper-case the
    # method, re-quote the target and add headers of its own.
    prepared = requests.Request("GET", origin + "/").prepare()
    prepared.method = method
    prepared.url = origin + target
    names = {name.lower() for name, _ in headers}
    prepared.headers = HTTPHeaderDict()  # a line for each value, a repeated header's too
    if "host" not in names:
        prepared.headers.add("Host", origin.partition("://")[2])
    for name, value in headers:
        # http.client writes a str value in Latin-1: one character for each byte of the value's UTF-8.
        prepared.headers.add(name, value.encode("utf-8", "surrogateescape").decode("latin-1"))
    for name in ("User-Agent", "Accept-Encoding"):
        if name.lower() not in names:
            prepared.headers[name] = SKIP_HEADER  # neither urllib3's nor http.client's own
    if body is not None and not names & {"content-length", "transfer-encoding"}:
        prepared.headers["Content-Length"] = str(len(body))  # else requests sends the body chunked
    prepared.body = body
    response = session.send(prepared, allow_redirects=False, timeout=30)
    print(method, origin, target, "->", response.status_code)
    return response


with requests.Session() as session:
    session.trust_env = False  # no proxy from the environment: the target goes out as written
'''


# What urllib3 (2.7 and later) leaves of a target: it upper-cases the hex of escapes, writes every
# other byte beyond these characters as an escape, and every "%" as "%25" when some "%" starts
# no escape.
_PERCENT = re.compile(r"%[a-fA-F0-9]{2}")
_PATH_CHARS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-~!$&'()*+,;=:@/")
_QUERY_CHARS = _PATH_CHARS | {"?"}
# Methods urllib3 sends without a Content-Length when there is no body; any other gets "Content-Length: 0".
_NO_LENGTH = frozenset(("GET", "HEAD", "DELETE", "TRACE", "OPTIONS", "CONNECT"))
# Methods whose empty body may be told by "Content-Length: 0" as well as by no length at all.
_ZERO_LENGTH_SAME = frozenset(("POST", "PUT", "PATCH"))


def head(out):
    return python_head(_HEAD, out.holders)


def one(request, out):
    if request.origin.partition("://")[0] not in ("http", "https"):
        raise Unfit(f"requests sends only http and https, not {request.origin.partition('://')[0]}")
    if not is_token(request.method):
        raise Unfit(f"its method {request.method!r} is not an HTTP token")
    for name, value in request.headers:
        if not is_token(name):
            raise Unfit(f"its header name {name!r} is not an HTTP token")
        if "\r" in value or "\n" in value:
            raise Unfit(f"its header {name} holds a line break")
    _losses(request, out)
    lines = [heading(request, indent="    ")]
    if request.target.startswith("//"):
        lines.append("    # requests before 2.34, or urllib3 before 2.7, may send a target beginning with // otherwise\n")
    headers = ", ".join(f"({py_str(n)}, {py_str(v)})" for n, v in request.headers)
    lines.append(f"    send(session, {py_str(request.method)}, {py_str(request.origin)}, {py_str(request.target)}, "
                 f"[{headers}], {_body(request.body)})\n")
    return "".join(lines)


def tail(out):
    return "" if out.converted else "    pass\n"


def _losses(request, out):
    # urllib3 writes an HTTPHeaderDict's lines name by name: a repeated header's at its first place.
    places = {}
    for k, (name, _) in enumerate(request.headers):
        places.setdefault(name.lower(), []).append(k)
    for ks in places.values():
        name = request.headers[ks[0]][0]
        if ks[-1] - ks[0] != len(ks) - 1 or any(request.headers[k][0] != name for k in ks):
            out.lose(request, f"requests sends the lines of the repeated header {name} together, at its first "
                              f"place and spelt as there")
    target = _urllib3_target(request.target)
    if target != request.target:
        out.lose(request, f"requests and urllib3 send the target as {target}")
    if (request.body is None and request.method.upper() not in _NO_LENGTH
            and request.method not in _ZERO_LENGTH_SAME
            and not (request.has("Content-Length") or request.has("Transfer-Encoding"))):
        out.lose(request, f"urllib3 adds Content-Length: 0 to a {request.method} without a body")


def _urllib3_target(target):
    # requests' path_url drops the "?" of an empty query; urllib3 encodes the path and the query apart.
    path, _, query = target.partition("?")
    sent = _encoded(path, _PATH_CHARS)
    return sent + "?" + _encoded(query, _QUERY_CHARS) if query else sent


def _encoded(component, allowed):
    if "%" not in component and all(c in allowed for c in component):
        return component
    component, escapes = _PERCENT.subn(lambda m: m.group().upper(), component)
    data = component.encode("utf-8", "surrogatepass")
    whole = escapes == data.count(b"%")
    return "".join(chr(b) if (whole and b == 0x25) or (b < 0x80 and chr(b) in allowed) else f"%{b:02X}"
                   for b in data)


def _body(body):
    if body is None:
        return "None"
    if not body.isascii():
        try:
            return f"{py_str(body.decode('utf-8'))}.encode()"
        except UnicodeDecodeError:
            pass
    return py_bytes(body)
