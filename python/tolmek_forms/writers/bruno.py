"""Bruno collections: bruno.json and a Bru file a request, which the Bruno CLI (4.x) sends exactly.

The files (001.bru, 002.bru, ... in the order of the run) are run with `bru run --disable-cookies`
inside the folder (without it Bruno adds the cookies its jar got from earlier answers) or opened in
the Bruno app. Each shows the request as Bruno shows one (method, URL, headers, body) and holds a
pre-request script that makes the CLI, which sends with axios over Node's http, send it as it is:

- the headers go out as the script lists them, each value as its bytes (Node writes a header line as
  Latin-1, so a value's UTF-8 bytes are written as the characters of those bytes) in a list: Bruno
  fills in {{variables}} in texts only, and Node sends a list as one line a value. Host alone must be
  a text;
- the headers Bruno and axios add by themselves are removed (User-Agent, Accept, Accept-Encoding, and
  request-start-time, which Bruno times the answer with: its report then shows no response time);
- a body goes from a file beside it (bodies/NNN.bin, sent as read: never filled in or re-encoded),
  unless it is short text that Bruno sends as written, which a body block then shows.

What the CLI still changes is written in the file's docs block and named as the request's loss: Node's
own Connection header (unless the request has one), the place and name of Accept, Content-Type and
User-Agent (axios sends them first), a repeated header's lines (together, at the first one's place),
the method's case, the target as the WHATWG URL parser reads it (dot segments such as %2e%2e
resolved, ' in the query escaped, an empty query dropped) and a Host header made from that URL."""

from __future__ import annotations

import ipaddress
import json
import re

from tolmek_http.methods import is_token

from ..literals import comment_text
from ..output import Unfit
from ..request import whatwg_target

FORM = "bruno"
MAIN = "bruno.json"
FOLDER = True

_STANDARD = ("GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "HEAD", "TRACE")
# Node's http sends these without a body and without a Content-Length; any other method without a
# body gets "Content-Length: 0", which a POST, PUT or PATCH may carry without meaning anything else.
_NO_LENGTH = frozenset(("GET", "HEAD", "DELETE", "OPTIONS", "TRACE"))
_EMPTY_LENGTH_SAME = frozenset(("POST", "PUT", "PATCH"))
# The headers axios puts first (its defaults, in this order and with this case) and the ones the
# script removes when the request has none of its own.
_AXIOS_FIRST = ("Accept", "Content-Type", "User-Agent")
_REMOVED = ("Accept", "Content-Type", "User-Agent", "Accept-Encoding", "request-start-time")
# Names the header objects on the way (a JavaScript object, axios's AxiosHeaders) take for their own.
_OWN_NAMES = frozenset((
    "__proto__ constructor set get has delete clear normalize concat toJSON toString getSetCookie "
    "getContentType setContentType hasContentType getContentLength setContentLength hasContentLength "
    "getAccept setAccept hasAccept getAcceptEncoding setAcceptEncoding hasAcceptEncoding getUserAgent "
    "setUserAgent hasUserAgent getAuthorization setAuthorization hasAuthorization hasOwnProperty "
    "isPrototypeOf propertyIsEnumerable toLocaleString valueOf __defineGetter__ __defineSetter__ "
    "__lookupGetter__ __lookupSetter__").split())
_TEMPLATE = re.compile(r"\{\{[^}]+\}\}")
_CONTROLS = re.compile(rb"[\x00-\x08\x0a-\x1f\x7f]")
_INLINE_MAX = 64 * 1024

_HEAD = {"version": "1", "name": "tolmek requests", "type": "collection", "ignore": ["node_modules", ".git"]}


def head(out):
    out.files[MAIN] = (json.dumps(_HEAD, indent=2) + "\n").encode("utf-8")
    return ""


def tail(out):
    return ""


def one(request, out):
    n = request.index + 1
    scheme, _, authority = request.origin.partition("://")
    if scheme not in ("http", "https"):
        raise Unfit(f"Bruno sends http and https requests only, not {scheme}")
    if not is_token(request.method):
        raise Unfit(f"its method {request.method!r} is no token, which Node refuses")
    if request.method.upper() == "CONNECT":
        # Node takes the answer for a tunnel nobody listens to, and the Bruno CLI's run ends there.
        raise Unfit("Bruno's run stops at a CONNECT's answer, before the requests after it")
    url_host = _url_host(scheme, authority)
    for name, _ in request.headers:
        if not is_token(name):
            raise Unfit(f"its header name {name!r} is no token, which Node refuses")
        if name in _OWN_NAMES:
            raise Unfit(f"its header {name!r} has a name the JavaScript objects on Bruno's way take for their own")
    lose = lambda reason: out.lose(request, reason)  # noqa: E731

    method = request.method.upper()
    if method != request.method:
        lose(f"Bruno sends the method in upper case ({method})")
    target = whatwg_target(request.target)
    if target != request.target:
        lose(f"Bruno's URL parsing sends the target as {target}")
    if not request.has("Host") and url_host != request.host:
        lose(f"Bruno's URL parsing makes the Host header {url_host}")

    groups = _groups(request, lose)
    _header_losses(request, groups, lose)
    names = {name.lower() for name, _ in request.headers}
    if "connection" not in names:
        lose("Node's http adds a Connection header")
    if request.body is None and method not in _NO_LENGTH and request.method not in _EMPTY_LENGTH_SAME and not (
            {"content-length", "transfer-encoding"} & names):
        lose(f"Node's http adds Content-Length: 0 to {method} requests without a body")
    removed = [name for name in _REMOVED if name.lower() not in names]
    if "transfer-encoding" in names and "content-length" not in names:
        removed.append("Content-Length")  # axios would add one beside it; Node frames the body itself
        if request.body and not any(re.search(r"(?:^|\W)chunked(?:$|\W)", v, re.I)
                                    for nm, v in request.headers if nm.lower() == "transfer-encoding"):
            lose("Node's http sends the body unframed under a Transfer-Encoding without chunked")

    body_mode, body_block = _body(request, out)

    text = [f"meta {{\n  name: {_line(request.name)}\n  type: http\n  seq: {n}\n}}\n\n"]
    block = method.lower() if method in _STANDARD else "http"
    text.append(f"{block} {{\n")
    if block == "http":
        text.append(f"  method: {method}\n")
    text.append(f"  url: {request.origin}{request.target}\n  body: {body_mode}\n  auth: none\n}}\n\n")
    shown = [(name, value) for name, value in request.headers if _showable(name, value)]
    if shown:
        text.append("headers {\n" + "".join(f"  {name}: {value}\n" for name, value in shown) + "}\n\n")
    text.append(body_block)
    text.append("settings {\n  encodeUrl: false\n  followRedirects: false\n  maxRedirects: 0\n}\n\n")
    text.append(_script(request, method, groups, removed))
    text.append(_docs(request, len(shown) < len(request.headers)))
    out.files[f"{n:03d}.bru"] = "".join(text).encode("utf-8")
    return ""


def _groups(request, lose):
    """The headers as the script's object holds them: [name, [values], is_text], one entry a name
    (compared without case) in the place of its first line, with that line's name."""
    groups = {}
    for name, value in request.headers:
        raw = value.encode("utf-8", "surrogateescape")
        if _CONTROLS.search(raw):
            lose(f"axios drops the control characters of the {name} header's value")
            raw = _CONTROLS.sub(b"", raw)
        groups.setdefault(name.lower(), [name, [], False])[1].append(raw.decode("latin-1"))
    for lower, group in groups.items():
        values = group[1]
        if lower == "host":
            # Node takes Host as a text only; a text is where Bruno fills in {{variables}}.
            group[2] = True
            if len(values) > 1:
                lose("Bruno sends one Host header, the first")
                del values[1:]
            if _TEMPLATE.search(values[0]):
                lose("Bruno fills in a {{variable}} in the Host header")
        elif lower == "cookie":
            if len(values) > 1:
                lose("Node's http joins the Cookie headers into one, with '; '")
                values[:] = ["; ".join(values)]
            group[2] = "{{" not in values[0]  # a text, which Bruno can join to its cookie jar's (a list it cannot)
    return list(groups.values())


def _header_losses(request, groups, lose):
    """Names what the script's object, axios and Node do to the headers' order and names."""
    slots = {name.lower(): [name, None] for name in _AXIOS_FIRST}
    rest = []
    for name, values, _ in groups:
        if name.lower() in slots:
            slots[name.lower()][1] = values
            if name != slots[name.lower()][0]:
                lose(f"axios names the {name} header {slots[name.lower()][0]}")
        else:
            rest.append((name, values))
    first = [(name, values) for name, values in slots.values() if values is not None] + rest
    # A JavaScript object keeps the names that are array indexes first, in numeric order.
    wire = sorted((g for g in first if _index(g[0])), key=lambda g: int(g[0]))
    wire += [g for g in first if not _index(g[0])]
    lines = lambda gs: [name.lower() for name, values in gs for _ in values]  # noqa: E731
    kept = [(name, values) for name, values, _ in groups]
    sent = [name.lower() for name, _ in request.headers]
    sent = [n for i, n in enumerate(sent) if n not in ("host", "cookie") or n not in sent[:i]]  # one line each
    if lines(wire) != sent:
        causes = []
        if lines(kept) != sent:
            causes.append("a repeated header's lines go out together, in the first one's place")
        if first != kept:
            causes.append("axios sends Accept, Content-Type and User-Agent before the others")
        if wire != first:
            causes.append("a JavaScript object puts names that are numbers first")
        lose("the headers arrive in the order " + ", ".join(name for name, values in wire for _ in values)
             + f" ({'; '.join(causes)})")
    for name, values in wire:
        if len(values) > 1 and any(n != name for n, _ in request.headers if n.lower() == name.lower()):
            lose(f"Bruno names every {name} header as the first")


def _index(name):
    """Whether a JavaScript object takes the name for an array index."""
    return (name == "0" or name[0] in "123456789") and name.isdigit() and name.isascii() and int(name) < 2**32 - 1


def _body(request, out):
    """(the http block's body mode, the body block)."""
    body = request.body
    if body is None:
        return "none", ""
    # The values as axios holds them: without controls and the white space around them.
    types = [_CONTROLS.sub(b"", v.encode("utf-8", "surrogateescape")).decode("utf-8", "replace").strip(" \t")
             for n, v in request.headers if n.lower() == "content-type"]
    text = _inline(body, types)
    if text is None:
        path = out.body_file(request)
        return "file", f"body:file {{\n  file: @file({path})\n}}\n\n"
    first = types[0].lower() if types else ""
    mode = "json" if "json" in first and _json(text) else "xml" if "xml" in first else "text"
    return mode, f"body:{mode} {{\n" + "".join(f"  {line}\n" for line in text.split("\n")) + "}\n\n"


def _inline(body, types):
    """The body as the text a body block holds and Bruno sends as those bytes, or None: short UTF-8
    text without CR (a Bru line ends at CR LF too), other controls, hidden characters or
    {{ (Bruno fills in variables in a text body)."""
    if not body or len(body) > _INLINE_MAX:
        return None
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        return None
    if "{{" in text or "\r" in text or any(comment_text(line) != line
                                           for line in text.replace("\t", " ").split("\n")):
        return None
    # axios re-writes a text body under exactly "application/json" unless it is JSON without
    # white space around it (it trims one, quotes anything else).
    if "application/json" in types and not (_json(text) and text == text.strip(" \t\n\r")):
        return None
    return text


def _json(text):
    try:
        json.loads(text, parse_constant=_refuse)
    except ValueError:
        return False
    return True


def _refuse(name):
    raise ValueError(name)


def _script(request, method, groups, removed):
    lines = ["script:pre-request {\n",
             "  // Written by tolmek: sends the request exactly (see docs). The headers below replace\n",
             "  // those listed above and Bruno's own; each value is its bytes, one line a value.\n"]
    if method not in _STANDARD:
        lines.append(f"  req.setMethod({_js(method)});\n")
    lines.append(f"  req.deleteHeaders([{', '.join(_js(name) for name in removed)}]);\n")
    if groups:
        items = [f"    {_js(name)}: " + (_js(values[0]) if is_text else f"[{', '.join(_js(v) for v in values)}]")
                 for name, values, is_text in groups]
        lines.append("  req.setHeaders({\n" + ",\n".join(items) + "\n  });\n")
    else:
        lines.append("  req.setHeaders({});\n")
    lines.append("}\n\n")
    return "".join(lines)


def _docs(request, hidden):
    notes = ["Written by tolmek. The pre-request script sets the headers as they are sent"
             + (" (some are not shown in the headers block)" if hidden else "") + ".",
             "Run with: bru run --disable-cookies (else Bruno adds its cookie jar's cookies)."]
    notes.extend(f"not exact: {loss}" for loss in request.losses)
    return "docs {\n" + "".join(f"  {comment_text(note)}\n" for note in notes) + "}\n"


def _js(text):
    """A JavaScript string literal, ASCII only, with no {{ (Bruno skips a request whose script seems
    to ask for a {{?prompt}})."""
    return re.sub(r"\{(?=\{)", r"\\u007b", json.dumps(text, ensure_ascii=True))


def _line(text):
    """A label as a Bru value on one line: nothing that ends it, starts a multi-line value or makes a
    {{template}} (Bruno would skip a request whose name asks for a {{?prompt}})."""
    text = comment_text(text).strip()
    while "{{" in text:
        text = text.replace("{{", "{ {")
    return text.replace("'''", "'' '") or "request"


def _showable(name, value):
    """Whether the headers block can show the header as it is sent (the script sends it anyway)."""
    return (name[0] not in "~@" and value == value.strip() and comment_text(value) == value
            and "{{" not in value and not value.startswith("'''"))




def _url_host(scheme, authority):
    """The Host header Node makes from the URL as the WHATWG URL parser reads it."""
    if authority.startswith("["):
        host, sep, port = authority[1:].partition("]")
        if not sep or (port and not port.startswith(":")) or "%" in host:
            raise Unfit(f"its host {authority!r} is no address Bruno's URL parser reads")
        try:
            host = f"[{ipaddress.IPv6Address(host).compressed}]"
        except ValueError:
            raise Unfit(f"its host {authority!r} is no address Bruno's URL parser reads") from None
        port = port[1:]
    else:
        host, _, port = authority.partition(":")
        if not re.fullmatch(r"[A-Za-z0-9._~-]+", host) or ":" in port:
            raise Unfit(f"its host {authority!r} is one Bruno's URL parser reads otherwise")
        host = _ipv4(host.lower())
    if port:
        if not (port.isascii() and port.isdigit()) or int(port) > 65535:
            raise Unfit(f"its port {port!r} is none Bruno's URL parser reads")
        if int(port) != {"http": 80, "https": 443}[scheme]:
            return f"{host}:{int(port)}"
    return host


def _ipv4(host):
    """A host name as WHATWG reads it: one ending in a number is an IPv4 address (parts in decimal,
    0x hexadecimal or 0 octal), written in its dotted form."""
    labels = host.split(".")
    if len(labels) > 1 and labels[-1] == "":
        labels.pop()
    if not re.fullmatch(r"[0-9]+|0x[0-9a-f]*", labels[-1]):
        return host
    numbers = []
    for label in labels:
        try:
            if label.startswith("0x"):
                numbers.append(int(label[2:] or "0", 16))
            elif len(label) > 1 and label.startswith("0"):
                numbers.append(int(label[1:], 8))
            else:
                numbers.append(int(label, 10))
        except ValueError:
            raise Unfit(f"its host {host!r} is no address Bruno's URL parser reads") from None
    if len(numbers) > 4 or any(x > 255 for x in numbers[:-1]) or numbers[-1] >= 256 ** (5 - len(numbers)):
        raise Unfit(f"its host {host!r} is no address Bruno's URL parser reads")
    address = numbers[-1] + sum(x * 256 ** (3 - i) for i, x in enumerate(numbers[:-1]))
    return str(ipaddress.IPv4Address(address))
