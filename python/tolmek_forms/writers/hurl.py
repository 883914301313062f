"""A Hurl file (https://hurl.dev, Hurl 7.1 or later), one entry per request: the method, the URL as
written, every header in order, the body as exact bytes.

What Hurl sends, found on the wire with Hurl 7.1.0 and its libcurl 8:

- Hurl adds User-Agent: hurl/VERSION and libcurl Accept: */* unless the entry names them. A header
  whose value is blank (`Accept: \\u{20}`) is one libcurl leaves out, so each entry names the two
  it does not send (a header written `Name:` goes empty instead). Hurl removes libcurl's form
  Content-Type and its Expect: 100-continue itself. libcurl puts a Host header first and the
  Connection headers last, and names the first of each so.
- libcurl resolves `.` and `..` segments (`%2e` counts as a dot) unless the entry's option
  `path-as-is` says not to; it writes the path's percent-escapes in upper case (`%2f` goes as `%2F`)
  and leaves the query as written.
- A one-line string (`` `...` ``) is sent as it is, with Hurl's escapes (`\\n`, `\\u{7b}`) read; a
  multi-line string (```) is every line up to the closing ```, each with its line break, escapes
  not read; `{{` starts a template in both, and in a header or the URL. `base64,...;` and
  `file,...;` (read beside the Hurl file) give any bytes. An empty body is no body at all to
  Hurl, so Content-Length: 0 is written for it. None of these adds a Content-Type.
- A method is capital letters only; HEAD goes without a body; cookies a response sets are sent
  with the later requests of the file.
"""

from __future__ import annotations

import base64
import re

from ..literals import _HIDDEN, comment_text, heading
from ..output import Unfit

FORM = "hurl"
MAIN = "requests.hurl"
FOLDER = False

# A body longer than this goes in a file beside the Hurl file (where there may be one).
INLINE_LIMIT = 64 * 1024

_HEAD = f'''\
# Requests written by tolmek, one Hurl entry each (Hurl 7.1 or later). Run:
#   hurl {MAIN}
# (with --continue-on-error, the requests after one that fails are sent too).
# Each goes out as recorded: the headers in order, the body as its bytes, the target as written.
# `Accept: \\u{{20}}` and `User-Agent: \\u{{20}}` (a blank value) keep libcurl's Accept and Hurl's
# User-Agent from being sent; `path-as-is` keeps the path's dot segments. Body files
# (bodies/NNN.bin) are read beside this file. Cookies a response sets go with the later requests
# of this file. A request that does not arrive exactly as recorded says why in a "not exact"
# comment above it.
'''

# Characters Hurl's URL takes besides letters and digits (its own list): all that the target as it
# goes on the wire can hold.
_URL_MARKS = frozenset(":/.-?=&_%*,@~+!$'();[]")
_LOWER_ESCAPE = re.compile(r"%[0-9A-Fa-f]{2}")
# A path segment libcurl takes for `.` or `..`.
_DOT_SEGMENT = re.compile(r"(?:^|/)(?:\.|%2e){1,2}(?=/|$)", re.IGNORECASE)
_DEFAULT_PORTS = {"http": "80", "https": "443"}
# What a header name keeps as it is; anything else is written as an escape.
_KEY_PLAIN = re.compile(r"[0-9A-Za-z_.$@-]")


def head(out):
    return _HEAD


def one(request, out):
    scheme = request.origin.partition("://")[0]
    if scheme not in _DEFAULT_PORTS:
        raise Unfit(f"Hurl sends HTTP requests to http and https URLs only, not {scheme}")
    if not all(c.isalnum() or c in _URL_MARKS for c in request.url):
        raise Unfit("its URL holds characters a Hurl URL cannot")
    method = request.method
    if not re.fullmatch(r"[A-Za-z]+", method):
        raise Unfit(f"Hurl takes a method of letters only, not {method!r}")
    if method != method.upper():
        out.lose(request, f"Hurl takes a method in capital letters only: it goes as {method.upper()}")
        method = method.upper()
    for name, value in request.headers:
        if not name or _surrogate(name + value) or any(c in value for c in "\r\n"):
            raise Unfit(f"Hurl cannot send its header {comment_text(name)!r} as it is (a name and a value "
                        f"of UTF-8 on one line)")

    lines = [f"{method} {request.url}\n"]
    lines += [f"{_key(name)}:{' ' + _value(_ows(value)) if _ows(value) else ''}\n"
              for name, value in request.headers]
    body = request.body
    if body == b"" and not request.has("Content-Length") and not request.has("Transfer-Encoding"):
        lines.append("Content-Length: 0\n")  # Hurl sends an empty body as none, without a length
    if not request.has("Accept"):
        lines.append("Accept: \\u{20}\n")
    if not request.has("User-Agent"):
        lines.append("User-Agent: \\u{20}\n")
    options = []
    path = request.target.partition("?")[0]
    if _DOT_SEGMENT.search(path):
        options.append("path-as-is: true\n")
    if scheme == "https":
        options.append("http1.1: true\n")  # as recorded, names in their case, not HTTP/2's lower case
    if options:
        lines += ["[Options]\n", *options]
    if body and method == "HEAD":
        out.lose(request, "Hurl sends a HEAD without its body")
    elif body:
        lines.append(_body(request, out))

    sent_path = _LOWER_ESCAPE.sub(lambda m: m.group().upper(), path)
    if sent_path != path:
        out.lose(request, "libcurl writes the path's percent-escapes in upper case: it goes as " + sent_path)
    host = request.made_host()
    if request.has("Host"):
        if request.headers[0][0] != "Host" or sum(n.lower() == "host" for n, _ in request.headers) > 1:
            out.lose(request, "libcurl sends one Host header, first, and names it Host")
    elif host != request.host:
        out.lose(request, f"libcurl sends Host: {host}")
    at = [i for i, (n, _) in enumerate(request.headers) if n.lower() == "connection"]
    if at and (request.headers[at[0]][0] != "Connection" or at != list(range(len(request.headers) - len(at),
                                                                                len(request.headers)))):
        out.lose(request, "libcurl sends the Connection header after all the others, and names it Connection")
    if not request.host.isascii():
        out.lose(request, "libcurl sends the host name in its IDNA form")

    return "\n" + heading(request) + "".join(lines)


def tail(out):
    return ""


def _ows(value: str) -> str:
    """The value without the white space around it, which no header carries (Hurl drops it too)."""
    return value.strip(" \t")


def _surrogate(text: str) -> bool:
    return any("\ud800" <= c <= "\udfff" for c in text)


def _escape(c: str) -> str:
    return f"\\u{{{ord(c):x}}}"


def _key(name: str) -> str:
    """A header name as Hurl's key string: letters, digits and `_.$@-` as they are, the rest escaped."""
    return "".join(c if _KEY_PLAIN.match(c) else _escape(c) for c in name)


def _text(text: str, short: dict[str, str]) -> str:
    """`text` in a Hurl string: the characters of `short` in their short escapes, hidden ones and a
    `{` that a `{` follows (so that no template starts) as `\\u{...}`."""
    out = []
    for i, c in enumerate(text):
        if c in short:
            out.append(short[c])
        elif _HIDDEN.match(c) or (c == "{" and text.startswith("{", i + 1)):
            out.append(_escape(c))
        else:
            out.append(c)
    return "".join(out)


def _value(value: str) -> str:
    """A header value (no white space around it) as Hurl's value string: `#` starts a comment there."""
    return _text(value, {"#": "\\#", "\\": "\\\\", "\t": "\\t"})


def _body(request, out) -> str:
    """The body section: a multi-line string for lines of plain text, a one-line string for other
    text, base64 for other bytes, a file for a long body where the output may have files."""
    body = request.body
    if len(body) > INLINE_LIMIT and out.allow_files:
        return f"file,{out.body_file(request)};\n"
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        return f"base64,{base64.b64encode(body).decode('ascii')};\n"
    if (text.endswith("\n") and "```" not in text and "{{" not in text
            and not any(_HIDDEN.match(c) for c in text.replace("\n", ""))):
        return f"```\n{text}```\n"
    return "`" + _text(text, {"`": "\\`", "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}) + "`\n"


