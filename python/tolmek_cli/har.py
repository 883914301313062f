"""HAR 1.2 (browser developer tools, proxies, test recorders): log.entries[].request, one entry at a time."""

from .fields import (RESTART, Bad, Skip, a_or_an, at, escape, expected, form, join, method_or_skip, query_pairs,
                     shown, surrogate_reason, text, unescape, unexpected)
from .source import InputError

_MAX_SIZE = 1 << 63  # no body is longer: a Content-Length from here on is out of range

# What a query parameter appended from "queryString" keeps as itself (the rest is percent-encoded).
_QUERY_SAFE = "!$'()*,/:;?@[]~"


def read(src, options=None):
    """Yield (url, headers, method, body, label, offset) per entry, or a Skip."""
    # Named now: the text there is let go as the members are read.
    src.peek()
    start = src.place(src.offset())
    found = False
    for key in src.members(""):
        if key == "log":
            if found:
                yield RESTART
            found = True
            yield from _log(src)
        else:
            src.value()
    if not found:
        raise InputError(f'{start}: "log" is missing: not a HAR file')
    src.finish()


def _log(src):
    found = False
    for key in src.members("log"):
        if key != "entries":
            src.value()
            continue
        if found:
            yield RESTART
        found = True
        for i, offset in enumerate(src.elements("log.entries")):
            label = f"log.entries[{i}]"
            entry = src.value()
            try:
                item = _entry(entry, label, offset)
            except Bad as e:
                # One entry a tool wrote oddly does not cost the others.
                item = Skip(at(e.path, e.message), label, offset)
            except UnicodeEncodeError as e:
                item = Skip(surrogate_reason(e), label, offset)
            except MemoryError:
                raise
            except Exception as e:  # noqa: BLE001 - whatever else an odd entry sets off costs it alone
                item = Skip(unexpected(e), label, offset)
            yield item
    if not found:
        raise src.error('log: "entries" is missing')


def _entry(entry, label, offset):
    if type(entry) is not dict:
        raise expected("", "an object", entry)
    request = entry.get("request")
    if type(request) is not dict:
        raise Bad("request", "is missing") if request is None else expected("request", "an object", request)
    name = text(request, "method", "request")
    url = text(request, "url", "request")
    if url[:5].lower() in ("ws://", "wss:/") or entry.get("_resourceType") == "websocket":
        return Skip("a WebSocket connection, which a curl command does not replay", label, offset)
    raw_headers = _list(request, "headers")
    headers = []
    length = None
    chunked = False
    for i, h in enumerate(raw_headers):
        if type(h) is not dict:
            raise expected(f"request.headers[{i}]", "an object", h)
        key = h.get("name")
        value = h.get("value")
        if type(key) is not str:
            raise expected(f"request.headers[{i}].name", "a string", key)
        if type(value) is not str:
            raise expected(f"request.headers[{i}].value", "a string", value)
        if key[:1] == ":":
            continue  # an HTTP/2 pseudo-header: curl makes its own from the URL and method
        lower = key.lower()
        if lower == "content-length":
            if length is None:
                length = value
            continue  # curl computes it from the body it sends
        if lower == "transfer-encoding":
            chunked = True
        if lower == "upgrade" and value.strip().lower() == "websocket":
            return Skip("a WebSocket connection, which a curl command does not replay", label, offset)
        headers.append((key, value))
    url = _with_query(url, _list(request, "queryString"))
    cookies = _list(request, "cookies")
    if cookies and not any(k.lower() == "cookie" for k, _ in headers):
        pairs = []
        for i, c in enumerate(cookies):
            if type(c) is not dict:
                raise expected(f"request.cookies[{i}]", "an object", c)
            pairs.append(f"{text(c, 'name', f'request.cookies[{i}]')}="
                         f"{text(c, 'value', f'request.cookies[{i}]', default='', null='')}")
        headers.append(("Cookie", "; ".join(pairs)))
    post = request.get("postData")
    try:
        body, reason = _body(post, length, chunked)
    except UnicodeEncodeError as e:
        body, reason = None, surrogate_reason(e)
    if reason is None:
        method, reason = method_or_skip(name)
    if reason is not None:
        return Skip(reason, label, offset)
    return url, headers, method, body, label, offset


_BASE64_SPACE = dict.fromkeys(map(ord, " \t\r\n"))


def _body(post, length, chunked):
    """(body, None), or (None, why the body cannot be carried); a body that is not text comes as
    bytes. `length` is the recorded
    Content-Length value, if any: it tells an empty body from none, and a body the recorder
    changed or left out from one it kept."""
    recorded = None
    if post is not None:
        if type(post) is not dict:
            raise expected("request.postData", "an object", post)
        recorded = post.get("text")
        if recorded is not None and type(recorded) is not str:
            raise expected("request.postData.text", "a string", recorded)
        encoding = post.get("encoding")
        if encoding is not None and recorded:
            if encoding != "base64":
                return None, f"the body is in an encoding tolmek does not read ({shown(encoding)})"
            import base64  # here: it brings the regular expressions, which most runs do without

            try:
                # Line breaks and spaces are how MIME writes base64; they carry nothing.
                recorded = base64.b64decode(recorded.translate(_BASE64_SPACE), validate=True)
            except ValueError:  # not base64 (binascii.Error, or text beyond ASCII)
                return None, "the body is marked base64 but is not base64 text"
            if b"\x00" not in recorded:  # a NUL no argument holds: carried as bytes like any binary body
                try:
                    recorded = recorded.decode("utf-8")
                except UnicodeDecodeError:
                    pass  # binary data, carried as its bytes
        if not recorded:
            params = post.get("params")
            if params is not None and type(params) is not list:
                raise expected("request.postData.params", "an array", params)
            if params:
                rebuilt, reason = _params(params, post)
                size = _size(length)
                if rebuilt is not None and size is not None and size != len(rebuilt.encode()):
                    return None, (f"the body rebuilt from postData.params is {len(rebuilt.encode())} bytes in "
                                  f"UTF-8 but was sent with Content-Length: {size}: the params do not say how "
                                  f"it was encoded")
                return rebuilt, reason
    size = _size(length)
    if size is not None and size >= _MAX_SIZE:
        return None, f"the recorded Content-Length is out of range ({_short(length.strip())})"
    if recorded:
        recorded_size = len(recorded) if type(recorded) is bytes else len(recorded.encode())
        if size is not None and size != recorded_size:
            in_utf8 = "" if type(recorded) is bytes else " in UTF-8"
            return None, (f"the recorded body is {recorded_size} bytes{in_utf8} but was sent "
                          f"with Content-Length: {size}: it was not recorded as sent")
        return recorded, None
    if chunked or size:
        return None, "the body was not recorded" + ("" if chunked else f" (Content-Length: {size})")
    # A recorded Content-Length: 0 is an empty body that was sent; without one there was none.
    return ("" if size == 0 else None), None


def _list(request, key):
    """request[key] as a list; missing or null reads as empty, as several tools write it."""
    value = request.get(key)
    if value is None:
        return []
    if type(value) is not list:
        raise expected(f"request.{key}", "an array", value)
    return value


def _respelled(name):
    """A parameter's name as PHP's query parser spells it (the one recording tools are seen to
    use): leading spaces dropped, `a[x][y]` as `a` (its value then written `Array`), and `.`,
    space and an unclosed `[` as `_`."""
    name = name.lstrip(" ")
    cut = name.find("[")
    if cut > 0 and "]" in name[cut:]:
        name = name[:cut]
    return name.replace(".", "_").replace(" ", "_").replace("[", "_")


def _with_query(url, params):
    """The URL with each "queryString" parameter whose name its query lacks appended (some tools
    record the parameters there alone). Names are compared as written, decoded, and as a tool
    that parsed the query again respells them; values not at all: such a tool rewrites them (an
    array as `Array`, a repeated name as its last value), and the URL holds what was sent."""
    if not params:
        return url
    # The query as urlsplit() finds it, without its checks of the rest (a bad IPv6 host is curl's to refuse).
    query = url.split("#", 1)[0].partition("?")[2]
    present = {pair.partition("=")[0] for pair in query.split("&") if pair}
    for name, _ in query_pairs(query):
        present.add(name)
        present.add(_respelled(name))
    missing = []
    for i, p in enumerate(params):
        path = f"request.queryString[{i}]"
        if type(p) is not dict:
            raise expected(path, "an object", p)
        name, value = text(p, "name", path), text(p, "value", path, default="", null="")
        decoded = unescape(name.replace("+", " "))
        if name not in present and decoded not in present and _respelled(decoded) not in present:
            missing.append(f"{escape(name, _QUERY_SAFE)}={escape(value, _QUERY_SAFE)}")
    if not missing:
        return url
    cut = url.find("#")
    head, tail = (url, "") if cut < 0 else (url[:cut], url[cut:])
    joiner = "" if head.endswith(("?", "&")) else "&" if "?" in head else "?"
    return head + joiner + "&".join(missing) + tail


def _size(length):
    """The Content-Length value as a number, None when there is none or it is not one."""
    if length is None:
        return None
    length = length.strip()
    if not (length.isascii() and length.isdigit()):
        return None
    # Digits past what any body could need are not converted (there may be too many to convert).
    digits = length.lstrip("0")
    return int(digits or "0") if len(digits) < len(str(_MAX_SIZE)) else _MAX_SIZE


def _short(value):
    """A value named in a message: as it is when short, else cut."""
    return value if len(value) <= 100 and value.isprintable() else shown(value)


def _params(params, post):
    mime = text(post, "mimeType", "request.postData", default="", null="")
    if mime and not mime.lower().startswith("application/x-www-form-urlencoded"):
        mime = mime.split(";")[0].strip()
        return None, f"the body is given only as params of {a_or_an(mime)} {_short(mime)} form, which cannot be rebuilt"
    pairs = []
    for i, p in enumerate(params):
        path = f"request.postData.params[{i}]"
        if type(p) is not dict:
            raise expected(path, "an object", p)
        if "fileName" in p:
            return None, "the body is a file upload, which cannot be rebuilt"
        pairs.append((text(p, "name", path), text(p, "value", path, default="")))
    return form(pairs), None
