"""The deterministic request set the benchmarks run on, and plain-Python counterparts.

Every input string is built here, before any timing starts. Request i has
- URL https://api.example.com/v1/users/<i>/orders?page=<i % 100>&limit=50,
- four headers, the Authorization and X-Request-Id values derived from a hash of i,
- method number i % 9 (GET, POST, ..., CONNECT in turn),
- no body for GET, else a JSON text of 100 to 250 characters with escaped quotes,
  a line break and non-ASCII text.
"""

import hashlib
import os
import sys

from tolmek import HTTPMETHOD

# The plain-Python collection document is the one the tests check the export against.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from reference import reference_document, reference_text  # noqa: E402,F401

METHOD_NAMES = ("GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT")
METHODS = tuple(getattr(HTTPMETHOD, name) for name in METHOD_NAMES)

CONTENT_TYPE = ("Content-Type", "application/json")
ACCEPT = ("Accept", "*/*")
NOTE = 'she said \\"ok\\" \u2014 caf\u00e9 \u2713'  # \" as written inside a JSON string
PAD = "abcdefghijklmnopqrstuvwxyz0123456789" * 8


def _body(i):
    """A JSON object text of 100 to 250 characters, its length varying with i."""
    size = 100 + (i * 7919) % 151
    head = f'{{"id": {i}, "note": "{NOTE}",\n "pad": "'
    return head + PAD[: size - len(head) - 2] + '"}'


def fresh(s):
    """A new str object equal to `s`, as a parser hands over a text it has just decoded."""
    return s.encode().decode()


def request(i, fresh_texts=False):
    """(url, headers, method member, method name, body) for request number i.

    With fresh_texts every header text is a new str object too (the constant names and
    values are otherwise shared by all requests, as a program's literals would be)."""
    digest = hashlib.sha512(i.to_bytes(8, "little")).hexdigest()  # 128 hex digits
    headers = [
        CONTENT_TYPE,
        ("Authorization", "Bearer " + digest[:40]),
        ("X-Request-Id", digest[40:72]),
        ACCEPT,
    ]
    if fresh_texts:
        headers = [(fresh(k), fresh(v)) for k, v in headers]
    kind = i % 9
    body = None if kind == 0 else _body(i)
    url = f"https://api.example.com/v1/users/{i}/orders?page={i % 100}&limit=50"
    return url, headers, METHODS[kind], METHOD_NAMES[kind], body


def requests(n, fresh_texts=False):
    return [request(i, fresh_texts) for i in range(n)]


def text_bytes(reqs):
    """UTF-8 size of what a request carries: URL, header names and values, body."""
    total = 0
    for url, headers, _, _, body in reqs:
        total += len(url.encode()) + sum(len(k.encode()) + len(v.encode()) for k, v in headers)
        if body is not None:
            total += len(body.encode())
    return total


class PyRequest:
    """What a plain-Python request class does: keep the four values, copy the headers."""

    __slots__ = ("url", "headers", "method", "body")

    def __init__(self, url, headers, method, body=None):
        self.url = url
        self.headers = tuple(headers)
        self.method = method
        self.body = body


def naive_command(url, headers, method, body):
    """The f-string curl rendering with no quoting at all (method given as its name)."""
    return (
        f"curl -X {method} {url}"
        + "".join(f' -H "{k}: {v}"' for k, v in headers)
        + (f" -d '{body}'" if body is not None else "")
    )
