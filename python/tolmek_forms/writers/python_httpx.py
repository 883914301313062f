"""Python code sending each request with httpx, exactly: the headers as a list, the body as bytes, the target raw."""

from __future__ import annotations

from ..literals import heading, py_bytes, py_str
from ..variables import python_head

FORM = "httpx"
MAIN = "requests_httpx.py"
FOLDER = False
VARIABLES = True  # fill() puts each variable's value in at run time

_HEAD = '''\
#!/usr/bin/env python3
# Requests written by tolmek; run with Python 3.8 or later and httpx (pip install httpx).
# Each goes out exactly: the headers listed are all that is sent (httpx adds none of its own but
# Host and Content-Length where they are not listed), the target as written, the body as bytes.
import httpx

{fill}
def send(client, method, origin, target, headers, body):
{filled}    request = httpx.Request(method, origin + "/", headers=headers, content=body,
                            extensions={"target": target})
    request.method = method  # httpx writes the method in upper case
    listed = {name.lower() for name, _ in headers}
    if b"content-length" not in listed and (body is None or b"transfer-encoding" in listed):
        # httpx gives a POST without a body a length of 0, and a chunked body a length too
        request.headers.pop("Content-Length", None)
    response = client.send(request)
    print(method, origin, target.decode("ascii"), "->", response.status_code)
    return response


with httpx.Client(timeout=30) as client:
'''


def head(out):
    return python_head(_HEAD, out.holders)


def one(request, out):
    if any(n.lower() == "host" for n, _ in request.headers[1:]):
        out.lose(request, "httpx sends Host first, not in its recorded place")
    lines = [heading(request, indent="    ")]
    headers = ", ".join(f"({py_bytes(_utf8(n))}, {py_bytes(_utf8(v))})" for n, v in request.headers)
    body = "None" if request.body is None else py_bytes(request.body)
    lines.append(f"    send(client, {py_str(request.method)}, {py_str(request.origin)}, "
                 f"{py_bytes(request.target.encode('ascii'))}, [{headers}], {body})\n")
    return "".join(lines)


def _utf8(text):
    return text.encode("utf-8", "surrogateescape")


def tail(out):
    return "" if out.converted else "    pass\n"
