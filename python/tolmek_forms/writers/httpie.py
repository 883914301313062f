"""A POSIX shell script of HTTPie 3.2.4 commands, each request sent as recorded where HTTPie can."""

from __future__ import annotations

import re

from tolmek_http.methods import is_token

from ..literals import comment_text, heading, sh_printf, sh_word
from ..output import Unfit

FORM = "httpie"
MAIN = "requests_httpie.sh"
FOLDER = False

# A body longer than this goes in a file beside the script (where the output has room for one).
PRINTF_LIMIT = 16 * 1024

_HEAD = '''\
#!/bin/sh
# Requests written by tolmek; run with HTTPie 3.2.4 (pip install httpie==3.2.4): sh requests_httpie.sh
# (or bash, dash, zsh). Each request goes out as recorded where HTTPie can send it so: the headers
# HTTPie adds of its own accord are held back with `Name:` items (`Name;` sends an empty value), the
# body goes byte for byte on standard input, the path as written (--path-as-is), no redirect is
# followed. HTTPie reads no .netrc (--ignore-netrc) and none of your configuration: its folder is an
# empty one made here (which also keeps it from asking the network for a newer version).
# "not exact" comments name what HTTPie cannot send as it was recorded.
here=$(dirname "$0")
HTTPIE_CONFIG_DIR=$(mktemp -d) || exit 1
export HTTPIE_CONFIG_DIR
trap 'rm -rf "$HTTPIE_CONFIG_DIR"' EXIT
trap 'exit 1' HUP INT TERM
printf '{"disable_update_warnings": true}\\n' >"$HTTPIE_CONFIG_DIR/config.json"
'''

_OPTIONS = "--ignore-netrc --path-as-is --print=h"

# The headers of the requests session, in its order; HTTPie's own User-Agent takes the first place.
_SESSION = ("user-agent", "accept-encoding", "accept", "connection")
# The headers HTTPie or its libraries add unless an item holds them back (urllib3 skips Host,
# User-Agent and Accept-Encoding when told; requests drops Accept and Connection set to None).
_HELD_BACK = ("User-Agent", "Accept-Encoding", "Accept", "Connection")

_END = "TOLMEK_VALUE_END"  # a here-document's end; no header value is a line of its own
_METHOD = re.compile(r"[A-Za-z]+\Z")

# HTTPie's request item separators, and the characters a backslash escapes in an item.
_SEPARATORS = (":", ";", ":@", "==", "==@", "=", ":=", "@", "=@", ":=@")
_SPECIAL = frozenset("".join(_SEPARATORS))
_BY_LENGTH = sorted(_SEPARATORS, key=len)


def head(out):
    return _HEAD


def tail(out):
    return "" if out.converted else ":\n"


def one(request, out):
    method = request.method
    if not _METHOD.match(method):
        raise Unfit(f"HTTPie takes a method of letters alone, not {method!r}")
    if not request.origin.startswith(("http://", "https://")):
        raise Unfit("HTTPie sends http and https requests only")
    items, front, reads = _plan(request)
    args, heredocs = [], []
    for name, value in items:
        args.append(_item(name, value, heredocs))
    given = {name.lower() for name, _ in items}
    held = [n for n in _HELD_BACK if n.lower() not in given]
    if reads and "content-type" not in given:
        held.append("Content-Type")  # else HTTPie's JSON one
    args.extend(f"{n}:" for n in held)
    _name_losses(request, out, items, front, reads)

    words = ["http", _OPTIONS]
    if request.has("Transfer-Encoding"):
        words.append("--chunked")
    if not reads:
        words.append("--ignore-stdin")  # else HTTPie reads standard input, from a pipe or not
    if any(a.startswith("-") for a in args):
        words.append("--")
    words += [method, sh_word(request.url, "the URL")]
    words += [sh_word(a, "a header item") for a in args]
    command = " ".join(words)
    if reads:
        command = _stdin(request, out, request.body or b"") + command
    command += "".join(f" {fd}<<'{_END}'" for fd, _ in heredocs)
    command += "".join(f"\n{value}\n{_END}" for _, value in heredocs)

    lines = [heading(request)]
    lines.append(command + "\n")
    return "".join(lines)


def _plan(request):
    """(the header items to give, the framing headers HTTPie puts before them, whether the body
    comes on standard input). HTTPie frames a body itself: chunks with --chunked, or the
    Content-Length it counts; an empty body gets a Content-Length: 0 item, which HTTPie would not
    send with a GET. A framing item given with a body on standard input keeps HTTPie from reading
    it whole, and the request hangs."""
    body = request.body
    chunked = request.has("Transfer-Encoding")
    reads = chunked or bool(body)
    framing = ("content-length", "transfer-encoding") if reads else ()
    items = [(name, value) for name, value in request.headers if name.lower() not in framing]
    front = []
    if chunked:
        front.append(("Transfer-Encoding", "chunked"))
    elif body:
        front.append(("Content-Length", str(len(body))))
    elif body is not None and not request.has("Content-Length"):
        items.append(("Content-Length", "0"))
    elif body is None and not request.has("Content-Length") and \
            request.method.upper() not in ("GET", "HEAD", "OPTIONS"):
        front.append(("Content-Length", "0"))  # requests' own
    return items, front, reads


def sent(request):
    """(method, target, headers, body) as HTTPie sends the request written here, the headers as
    (name, value) bytes with Host only where the request lists it."""
    items, front, reads = _plan(request)
    headers = [(n.encode(), v.encode()) for n, v in wire_headers(items, front, reads)]
    return request.method.upper(), _target(request.target), headers, request.body or b""


def _stdin(request, out, body):
    if len(body) > PRINTF_LIMIT and out.allow_files:
        return f'<"$here"/{out.body_file(request)} '  # bodies/NNN.bin: nothing to quote
    return sh_printf(body) + " | "


def _item(name, value, heredocs):
    """The request item sending this header, as HTTPie reads it back; a value that an item cannot
    hold as text is read from a here-document (appended to `heredocs`)."""
    if not is_token(name):
        raise Unfit(f"HTTPie reads request items by their separators; the header name {name!r} is not a token")
    if "\x00" in value or "\r" in value or "\n" in value:
        raise Unfit(f"the value of {name} holds a line break or NUL, which no HTTPie item carries")
    if any("\ud800" <= c <= "\udfff" for c in value):
        raise Unfit(f"the value of {name} is not UTF-8, which HTTPie sends header values as")
    stripped = value.strip(" \t")
    if not stripped:
        return f"{name};"
    text = stripped
    if text[0] in "=@":
        text = "\\" + text
    item = f"{name}:{text}"
    if parse_item(item) == (name, ":", stripped):
        return item
    # A backslash before a separator's character would escape it: read the value from a file.
    if len(heredocs) == 7 or comment_text(stripped) != stripped or stripped == _END:
        raise Unfit(f"the value of {name} holds a backslash before one of HTTPie's separators, "
                    f"which no request item carries as text")
    fd = 3 + len(heredocs)
    heredocs.append((fd, stripped))
    return f"{name}:@/dev/fd/{fd}"


def parse_item(text):
    """(key, separator, value) as HTTPie 3.2.4 reads a request item: the first separator found,
    the longest at its place; a backslash escapes a separator's character (and is dropped), any
    other character keeps it."""
    tokens = [""]
    chars = iter(text)
    for char in chars:
        if char == "\\":
            char = next(chars, "")
            if char in _SPECIAL and char:
                tokens.extend([("escaped", char), ""])
            else:
                tokens[-1] += "\\" + char
        else:
            tokens[-1] += char
    for i, token in enumerate(tokens):
        if type(token) is tuple:
            continue
        found = {}
        for sep in _BY_LENGTH:
            pos = token.find(sep)
            if pos != -1:
                found[pos] = sep
        if found:
            sep = found[min(found)]
            key, value = token.split(sep, 1)
            key = "".join(t[1] if type(t) is tuple else t for t in tokens[:i]) + key
            value += "".join(t[1] if type(t) is tuple else t for t in tokens[i + 1:])
            return key, sep, value
    return None


def wire_headers(items, front, reads):
    """The headers (name, value) HTTPie sends for these items, Host among them only when given.

    HTTPie's requests session keeps its own headers' places (User-Agent, Accept-Encoding, Accept,
    Connection) for the values given to them, then HTTPie's own Content-Type's when a body is read,
    then the rest in the order given; HTTPie then moves every given header to the end in that order,
    with all of its lines, so a repeated header's lines go together. What it counts itself
    (Content-Length, chunked Transfer-Encoding) stays before them. Values are trimmed (str.strip)."""
    order = ["user-agent"] + (["accept", "content-type"] if reads else [])
    for name, _ in items:
        if name.lower() not in order:
            order.append(name.lower())
    order = list(_SESSION) + [k for k in order if k not in _SESSION]
    out = list(front)
    for key in order:
        out.extend((n, v.strip()) for n, v in items if n.lower() == key)
    return out


def _name_losses(request, out, items, front, reads):
    method = request.method
    if method != method.upper():
        out.lose(request, f"HTTPie sends the method {method!r} in upper case")
    if (target := _target(request.target)) != request.target:
        out.lose(request, f"HTTPie sends the target as {target}")
    if request.body is None and not reads and not request.has("Content-Length") and \
            method.upper() not in ("GET", "HEAD", "OPTIONS", "POST", "PUT", "PATCH"):
        out.lose(request, f"HTTPie sends Content-Length: 0 with a {method.upper()} without a body")
    framing = {"content-length", "transfer-encoding"}
    wire = [h for h in wire_headers(items, front, reads) if h[0].lower() not in framing or request.has(h[0])]
    recorded = [(n, v.strip(" \t")) for n, v in request.headers]
    if wire == recorded:
        return
    if [h for h in enumerate(wire) if h[1][0].lower() in framing] != \
            [h for h in enumerate(recorded) if h[1][0].lower() in framing]:
        out.lose(request, "HTTPie writes the framing header itself, before the other headers: "
                          + ", ".join(f"{n}: {v}" for n, v in front))
    if any(v.strip() != v.strip(" \t") for _, v in request.headers):
        out.lose(request, "HTTPie trims every kind of white space around a header value")
    wire = [(n, v.strip()) for n, v in wire if n.lower() not in framing]
    recorded = [(n, v.strip()) for n, v in recorded if n.lower() not in framing]
    if wire != recorded:
        out.lose(request, "HTTPie sends the headers in another order: "
                          + ", ".join(comment_text(n) for n, _ in wire)
                          + " (User-Agent, Accept-Encoding, Accept and Connection first, then Content-Type "
                            "when there is a body, the lines of a repeated header together)")


# The request target as HTTPie sends it with --path-as-is: requests re-quotes the URL (decoding the
# escapes of unreserved characters, dropping an empty query), HTTPie puts the path back as given,
# and urllib3 writes every escape in upper case and escapes what RFC 3986 leaves out of a path or
# query ([ and ], and every % once one of them is not an escape).
_ESCAPE = re.compile(r"%[0-9A-Fa-f]{2}")
_UNRESERVED = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-~")
_PATH_CHARS = _UNRESERVED | frozenset("!$&'()*+,;=:@/")
_QUERY_CHARS = _PATH_CHARS | {"?"}


def _encode(component, allowed):
    """urllib3's _encode_invalid_chars: escapes in upper case; every % escaped when one is stray."""
    escapes = len(_ESCAPE.findall(component))
    component = _ESCAPE.sub(lambda m: m.group().upper(), component)
    valid = escapes == component.count("%")
    return "".join(c if c in allowed or (valid and c == "%") else "".join(f"%{b:02X}" for b in c.encode())
                   for c in component)


def _unquote_unreserved(text):
    return _ESCAPE.sub(lambda m: chr(int(m.group()[1:], 16)) if chr(int(m.group()[1:], 16)) in _UNRESERVED
                       else m.group(), text)


def _target(target):
    path, mark, query = target.partition("?")
    # urlparse takes what follows a ";" in the last segment for parameters, which the prepared URL gives back
    slash = path.rfind("/")
    semi = path.find(";", slash + 1)
    if semi >= 0:
        path = path[:semi] + ";" + _unquote_unreserved(_encode(path[semi + 1:], _PATH_CHARS))
    path = _encode(path, _PATH_CHARS)
    if not mark:
        return path
    query = _encode(query, _QUERY_CHARS)
    if not query:
        return path
    return path + "?" + _encode(_unquote_unreserved(query), _QUERY_CHARS)
