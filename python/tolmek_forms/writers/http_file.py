"""A `.http` file (httpyac, REST Client, JetBrains), each request written for httpyac 6.16 to send as recorded."""

from __future__ import annotations

import copy
import re

from tolmek_http.methods import is_token

from ..literals import comment_text
from ..output import Unfit, Written
from ..request import whatwg_target

FORM = "http"
MAIN = "requests.http"
FOLDER = False

# An inline body longer than this goes in a file beside the .http file (where there is room for one).
INLINE_LIMIT = 4096

_HEAD = """\
# Requests written by tolmek, one per ### block: run them all with httpyac 6.16
# (httpyac send requests.http --all), or one by one in VS Code (REST Client, httpYac) or a JetBrains IDE.
# A body a block cannot hold as it is comes from a file beside this one (< ./bodies/NNN.bin); template
# braces in a header are escaped as httpyac reads them (\\{\\{...\\}\\}; the IDEs' own clients send the
# backslashes). "not exact" comments name what httpyac sends otherwise than it was recorded.
"""

# The methods httpyac's request line takes (any other line is read as a URL); GRAPHQL is its own.
_METHODS = frozenset("GET POST PUT DELETE PATCH HEAD OPTIONS CONNECT TRACE PROPFIND PROPPATCH MKCOL COPY MOVE LOCK "
                     "UNLOCK CHECKOUT CHECKIN REPORT MERGE MKACTIVITY MKWORKSPACE VERSION-CONTROL BASELINE-CONTROL "
                     "MKCALENDAR ACL SEARCH".split())
# Names a JavaScript object already answers to: httpyac's parser would take the answer for an earlier line.
_OBJECT_NAMES = frozenset("__proto__ __defineGetter__ __defineSetter__ __lookupGetter__ __lookupSetter__ constructor "
                          "hasOwnProperty isPrototypeOf propertyIsEnumerable toLocaleString toString valueOf".split())

# httpyac evaluates {{...}} in a header as a variable or JavaScript, and turns \{\{...\}\} into {{...}}.
_TEMPLATE = re.compile(r"\{\{\s*(.+?)\s*\}\}")
_ESCAPED = re.compile(r"(?:\\\{){2}([^}]+?)(?:\\\}){2}")

# Authorization values httpyac replaces: a user and password it encodes or signs with, an OAuth2 flow.
_AUTH_REWRITTEN = [re.compile(p, re.I) for p in (
    r"^\s*basic\s+\S*\s+\S+.*$", r"^\s*basic\s+.*:.*$",
    r"^\s*digest\s+\S*\s+\S+.*$", r"^\s*digest\s+.*:.*$",
    r"^\s*aws\s+\S*\s+\S*",
    r"^\s*(openid|oauth2)(\s|$)",
)]

# A line of text httpyac keeps as it is for a body: it reads no other kind of line into it (a comment,
# a variable, a request or response line, a script, a file, GraphQL) and changes nothing in it.
_BODY_START = re.compile(r"[{\[\"0-9A-Za-z]")
_BODY_WORDS = re.compile(r"(?:[A-Z][A-Z-]*|HTTP/\S*|query|mutation|fragment|subscription|gql)(?:\s|\(|$)")
# What encodeurl (httpyac runs it over a form body) would escape.
_URL_UNSAFE = re.compile(r"[^\x21\x23-\x3B\x3D\x3F-\x5F\x61-\x7A\x7C\x7E]|%(?:[^0-9A-Fa-f]|[0-9A-Fa-f][^0-9A-Fa-f]|$)")
_FORM = "application/x-www-form-urlencoded"


def head(out):
    return _HEAD


def tail(out):
    return ""


def one(request, out):
    method = request.method
    if method.upper() not in _METHODS:
        raise Unfit(f"httpyac sends no method {method!r}: its request line takes a fixed list")
    if not re.fullmatch(r"https?://[\x21-\x7e]+", request.origin):
        raise Unfit("httpyac's request line takes a plain http or https URL")
    plan = _plan(request, out)
    _name_losses(request, out, plan)

    label = comment_text(request.name)
    if label.lstrip().startswith("@"):
        label = "\\u0040" + label.lstrip()[1:]  # else httpyac would read a setting
    lines = ["\n###\n", f"# {label}\n"]
    lines.extend(f"# not exact: {comment_text(loss)}\n" for loss in request.losses)
    lines.extend(plan.meta)
    lines.append(f"{method.upper()} {request.url} HTTP/1.1\n")
    lines.extend(f"{n}: {t}\n" if t else f"{n}:\n" for n, t, _ in plan.lines)
    if plan.body_line is not None:
        lines.append(f"\n{plan.body_line}\n")
    return "".join(lines)


class _Plan:
    """How a request is written: its setting and variable lines, its header lines as (name, text
    written, value meant), its body line, the body httpyac sends and whether as text."""

    def __init__(self):
        self.meta = ["# @no-redirect\n", "# @no-cookie-jar\n"]  # a cookie jar would take the Cookie header in
        self.lines = []
        self.left_out = set()  # lower-case names of the lines left out, with the loss named
        self.body_line = None
        self.body = None
        self.text = False


def _plan(request, out):
    plan = _Plan()
    body = request.body
    framing = request.has("Transfer-Encoding")
    if body and request.method.upper() == "HEAD":
        out.lose(request, "httpyac (got) sends no body with a HEAD: left out")
        body = None
    for name, value in request.headers:
        if not is_token(name) or name in _OBJECT_NAMES:
            raise Unfit(f"httpyac reads a header line only with a token for its name, not {name!r}")
        lower = name.lower()
        if lower.endswith("clientcert") and "# @no-client-cert\n" not in plan.meta:
            plan.meta.append("# @no-client-cert\n")  # else httpyac reads the header as a certificate to use
        if lower == "authorization" and any(p.match(value) for p in _AUTH_REWRITTEN):
            raise Unfit("httpyac reads this Authorization value as credentials to encode, sign with or fetch a "
                        "token for")
        why = None
        if lower == "host" and any(n.lower() == "host" for n, _, _ in plan.lines):
            why = "Node sends one Host line"
        elif lower == "content-length" and not framing and value.strip(" \t") != str(len(body or b"")):
            why = "it does not count the body sent, and a .http file holding it would keep the request waiting"
        elif not all(c == " " or "\x21" <= c <= "\x7e" or "\xa0" <= c <= "\xff" for c in value):
            why = "httpyac (Node) sends no header value beyond Latin-1 or holding a control character"
        elif (text := _untemplated(value)) is None:
            why = "it holds template braces httpyac would evaluate and that it has no escape for"
        if why:
            out.lose(request, f"{name} left out: {why}")
            plan.left_out.add(lower)
            continue
        plan.lines.append((name, text.strip(" "), value))
    if body is not None and not body and not framing and not request.has("Content-Length"):
        plan.lines.append(("Content-Length", "0", "0"))  # else no length at all with a GET
    if not body:
        return plan

    plan.body = body
    # httpyac takes the type from the first name that is Content-Type in any case, as parsed: one value
    content_type = next((v for n, v in _parsed(plan.lines).items() if n.lower() == "content-type"), None)
    if type(content_type) is not str:
        content_type = None
    mime = content_type.split(";")[0].strip() if content_type else None
    plan.body_line = _inline(body, mime)
    plan.text = plan.body_line is not None
    if not plan.text:
        plan.body_line = f"< ./{out.body_file(request)}"
        if mime == _FORM:
            # httpyac drops a file from a form body; it takes the type from the line as written, so a
            # variable holding it keeps the body as it is.
            if "{" in content_type:
                raise Unfit("its form body goes in a file, which httpyac keeps only with a Content-Type written "
                            "through a variable, and this one holds a brace")
            plan.meta.append(f"@form_content_type = {content_type}\n")
            plan.lines = [(n, "{{form_content_type}}" if n.lower() == "content-type" and _value(v) == content_type
                           else t, v) for n, t, v in plan.lines]
    return plan


def _untemplated(value):
    """The value as a header line writes it for httpyac to send it back unchanged, or None."""
    if not _TEMPLATE.search(value) and not _ESCAPED.search(value):
        return value
    escaped = re.sub(r"\{\{([^}]+?)\}\}", lambda m: "\\{\\{" + m.group(1) + "\\}\\}", value)
    if _TEMPLATE.search(escaped) or _ESCAPED.sub(lambda m: "{{" + m.group(1) + "}}", escaped) != value:
        return None
    return escaped


def _inline(body, mime):
    """The body as one line of the block when httpyac sends that line exactly, else None."""
    if len(body) > INLINE_LIMIT:
        return None
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        return None
    if comment_text(text) != text or "{{" in text or "\\{" in text or text != text.rstrip():
        return None  # a line break, a hidden character, a template, trailing space
    if not _BODY_START.match(text) or _BODY_WORDS.match(text):
        return None
    if mime == _FORM and _URL_UNSAFE.search(text) or mime in ("application/x-ndjson", "multipart/mixed"):
        return None  # httpyac escapes a form body; it ends an NDJSON one with a line break
    return text


_JS_SPACE = " \xa0"  # JavaScript's \s among the characters a value may hold here


def _value(text):
    """A header line's value as httpyac's pattern takes it: trimmed, one trailing comma dropped."""
    text = text.strip(_JS_SPACE)
    return text[:-1] if text.endswith(",") else text


def _parsed(lines):
    """The header lines as httpyac's parser keeps them: by name as written, a repeated name's values in
    a list, an empty value replaced by the next one."""
    values = {}
    for name, _, value in lines:
        have = values.get(name)
        if have:
            values[name] = (have if type(have) is list else [have]) + [_value(value)]
        else:
            values[name] = _value(value)
    return values


def sent(request):
    """(method, target, headers, body) as httpyac sends the request written here, the headers as
    (name, value) bytes with Host only where the request lists it."""
    request = copy.copy(request)
    request.losses = []
    plan = _plan(request, Written(FORM, MAIN))
    return request.method.upper(), whatwg_target(request.target), _headers(request, plan), plan.body or b""


def _headers(request, plan):
    """The headers (name, value) as bytes that httpyac sends for the plan's header lines, then Node's own
    (User-Agent first, Accept, Content-Length, Accept-Encoding after the lines, Connection last; and
    Host, left out here, before it).

    httpyac keeps the lines in an object by name as written (a repeated name's values together, an
    empty one replaced by the next), adds Accept and User-Agent where none has a value; got lowercases
    the names, a later name differing only in case taking an earlier one's values, and puts its
    user-agent first (JavaScript puts names that are array indexes before the others). Node writes the
    values as Latin-1, or as UTF-8 when it sends them with a body of text."""
    values = _parsed(plan.lines)
    for name, default in (("Accept", "*/*"), ("User-Agent", "httpyac")):
        if not next((v for k, v in values.items() if k.lower() == name.lower()), None):
            values[name] = default
    wire = {"user-agent": None}
    for name in _js_order(values):
        wire[name.lower()] = values[name]
    has = {k for k, v in wire.items() if v is not None}
    body = plan.body
    if body and not has & {"content-length", "transfer-encoding"}:
        wire["content-length"] = str(len(body))
    if "accept-encoding" not in has:
        wire["accept-encoding"] = "gzip, deflate, br"
    # Node writes the head with a body of text in one piece, in the body's encoding, unless in chunks.
    encoding = "utf-8" if plan.text and "transfer-encoding" not in has else "latin-1"
    out = []
    for name, value in _js_items(wire):
        if name == "cookie" and type(value) is list:
            value = "; ".join(value)  # Node joins Cookie lines
        for v in value if type(value) is list else [value]:
            out.append((name.encode(), v.encode(encoding).strip(b" \t")))
    if "connection" not in has:
        out.append((b"Connection", b"keep-alive"))
    if body is None and not has & {"content-length", "transfer-encoding"} and \
            request.method.upper() not in ("GET", "HEAD", "DELETE", "OPTIONS", "TRACE", "CONNECT"):
        out.append((b"Content-Length", b"0"))  # Node's, for a method that usually has a body
    return out


def _is_index(name):
    return re.fullmatch(r"0|[1-9][0-9]*", name) is not None and int(name) < 2 ** 32 - 1


def _js_order(mapping):
    return sorted((k for k in mapping if _is_index(k)), key=int) + [k for k in mapping if not _is_index(k)]


def _js_items(mapping):
    return [(k, mapping[k]) for k in _js_order(mapping) if mapping[k] is not None]


def _name_losses(request, out, plan):
    if request.method != request.method.upper():
        out.lose(request, f"httpyac sends the method {request.method!r} in upper case")
    if (target := whatwg_target(request.target)) != request.target:
        out.lose(request, f"httpyac (a WHATWG URL) sends the target as {target}")
    if not request.has("Host") and (host := _whatwg_host(request)) != request.host:
        out.lose(request, f"httpyac sends Host: {host}")
    wire = _headers(request, plan)
    recorded = [(n.encode(), v.encode("utf-8", "surrogateescape").strip(b" \t")) for n, v in request.headers]
    if request.body is None and request.method.upper() not in ("GET", "HEAD", "DELETE", "OPTIONS", "TRACE",
                                                                "CONNECT", "POST", "PUT", "PATCH") \
            and not request.has("Content-Length") and not request.has("Transfer-Encoding"):
        out.lose(request, f"httpyac (Node) sends Content-Length: 0 with a {request.method.upper()} without a body")
    # Host, and a Content-Length the request lists none of, may go anywhere.
    extra = {b"host": request.has("Host"), b"content-length": request.has("Content-Length")}
    wire = [(n, v) for n, v in wire if extra.get(n.lower(), True)]
    if wire == recorded:
        return
    if any(n != n.lower() for n, _ in request.headers):
        out.lose(request, "httpyac sends header names in lower case")
    names = {n.lower() for n, _ in request.headers}
    added = [f"{n}: {v}" for n, v in (("User-Agent", "httpyac"), ("Accept", "*/*"),
                                      ("Accept-Encoding", "gzip, deflate, br"), ("Connection", "keep-alive"))
             if n.lower() not in names]
    if added:
        out.lose(request, "httpyac adds " + ", ".join(added))
    lowered = [(n.lower(), v) for n, v in wire if n.lower() not in {a.split(":")[0].lower().encode() for a in added}]
    mine = [(n.lower(), v) for n, v in recorded]
    changed = False
    for name in dict.fromkeys(n for n, _ in lowered + mine):
        theirs, ours = [v for n, v in lowered if n == name], [v for n, v in mine if n == name]
        if sorted(theirs) == sorted(ours) or name.decode() in plan.left_out:
            continue
        changed = True
        if [v.decode("latin-1") for v in theirs] == [v.decode("utf-8", "replace") for v in ours]:
            out.lose(request, f"httpyac (Node) sends the {name.decode()} value in Latin-1, not UTF-8")
        elif theirs:
            out.lose(request, f"httpyac sends {name.decode()}: " + " / ".join(v.decode("latin-1") for v in theirs))
        else:
            out.lose(request, f"httpyac sends no {name.decode()}")
    if not changed and lowered != mine:
        out.lose(request, "httpyac sends the headers in another order: "
                 + ", ".join(n.decode() for n, _ in lowered)
                 + " (its user-agent first, a repeated header's lines together, names that are numbers first)")


def _whatwg_host(request):
    scheme, _, host = request.origin.partition("://")
    default = {"http": ":80", "https": ":443"}[scheme]
    host = host.lower()
    return host[:-len(default)] if host.endswith(default) else host


