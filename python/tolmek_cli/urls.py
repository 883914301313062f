"""The address of a Postman request: built from its parts, path variables filled in, encoded as Postman sends it."""

import binascii

from .fields import Pattern, expected, join, unescape

# What Postman percent-encodes in a path and in a query (the URL standard's sets; the fragment is
# never sent). A "%" is left alone, so text that is already encoded is not encoded twice.
_PATH_SET = frozenset(range(0x21)) | frozenset(b'"#<>?`{}') | frozenset(range(0x7F, 0x100))
_QUERY_SET = frozenset(range(0x21)) | frozenset(b"\"#<>'") | frozenset(range(0x7F, 0x100))
# Characters a query parameter built from its parts cannot hold as themselves.
_KEY_SET = frozenset(b"&=#")
_VALUE_SET = frozenset(b"&#")
_KEPT_REF = Pattern(r"(\{\{[^{}]*?\}\})")
_SPECIAL = ("http://", "https://", "ws://", "wss://", "ftp://", "file://")
# A fragment's "#": one outside a variable reference, whose name may hold any character.
_FRAGMENT = Pattern(r"\{\{[^{}]*\}\}|#")
# What newman can put in an address it does not encode: Node.js refuses the rest.
_UNENCODED = Pattern(r"[^\x21-\x7e]")
_SCHEME_FIRST = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")
_SCHEME_REST = _SCHEME_FIRST | frozenset("0123456789+.-")


def _scheme(address):
    """The address's scheme with its "://" (`[A-Za-z][A-Za-z0-9+.-]*://` at its start), or "".
    Read without a regular expression, which this module needs only for rarer texts."""
    end = address.find("://")
    if end <= 0 or address[0] not in _SCHEME_FIRST or not all(c in _SCHEME_REST for c in address[1:end]):
        return ""
    return address[:end + 3]


def _encode(text, unsafe):
    if text.isascii() and not any(ord(c) in unsafe for c in text):
        return text
    return "".join(c if ord(c) < 0x80 and ord(c) not in unsafe
                   else "".join(f"%{b:02X}" for b in c.encode()) for c in text)


def _optional(obj, key, path, resolve):
    """obj[key] resolved: a str, or None when missing or null."""
    value = obj.get(key)
    if value is None:
        return None
    if type(value) is str:
        return resolve(value)
    if isinstance(value, (int, float)) and not isinstance(value, bool) and key == "port":
        return str(value)
    raise expected(join(path, key), "a string", value)


def _parts(parts, sep, path, resolve):
    """A host or path given as a string or as a list of parts (strings, or objects with "value")."""
    if parts is None:
        return None
    if type(parts) is str:
        return [resolve(parts)]
    if type(parts) is not list:
        raise expected(path, "a string or an array", parts)
    out = []
    for i, part in enumerate(parts):
        if type(part) is dict:
            part = part.get("value", "")
        if type(part) is not str:
            raise expected(f"{path}[{i}]", "a string", part)
        out.append(resolve(part))
    return out


def _variables(url, resolve):
    """{name: value} of the object's path variables."""
    values = url.get("variable")
    if values is None:
        return {}
    if type(values) is not list:
        raise expected("url.variable", "an array", values)
    out = {}
    for i, v in enumerate(values):
        if type(v) is not dict:
            raise expected(f"url.variable[{i}]", "an object", v)
        key, value = v.get("key"), v.get("value")
        if type(key) is str and type(value) is str and value and v.get("disabled") is not True:
            out[key] = resolve(value)
    return out


def _fill(segments, variables):
    """Each `:name` segment with a value given replaced by it, as Postman does."""
    if not variables:
        return segments
    return [variables.get(s[1:], s) if s[:1] == ":" else s for s in segments]


def from_parts(url, resolve):
    """The address Postman sends for a request's `url` (a string or an object), before encoding."""
    if url is None:
        return ""
    if type(url) is str:
        return resolve(_without_fragment(url))
    if type(url) is not dict:
        raise expected("url", "a string or an object", url)
    variables = _variables(url, resolve)
    host = _parts(url.get("host"), ".", "url.host", resolve)
    if not any(host or ()):
        # No host among the parts: "raw" is the address (Postman's app reads it whole; the parts
        # would give none).
        raw = url.get("raw")
        if raw is not None:
            if type(raw) is not str:
                raise expected("url.raw", "a string", raw)
            return _fill_text(resolve(_without_fragment(raw)), variables)
    out = []
    protocol = _optional(url, "protocol", "url", resolve)
    if protocol:
        out.append(protocol if protocol.endswith("://") else protocol + "://")
    out.append(".".join(host or ()))
    port = _optional(url, "port", "url", resolve)
    if port:
        out.append(":" + port)
    path = url.get("path")
    segments = _parts(path, "/", "url.path", resolve)
    if type(path) is str:
        segments = segments[0].lstrip("/").split("/") if segments[0] else []
    if segments:
        out.append("/" + "/".join(_fill(segments, variables)))
    query = url.get("query")
    if query is not None:
        pairs = _query(query, resolve)
        if pairs:
            out.append("?" + "&".join(pairs))
    return "".join(out)


def _without_fragment(text):
    """An address as written without its fragment, which is never sent (so a variable only there
    needs no value)."""
    if "#" not in text:
        return text
    for m in _FRAGMENT.finditer(text):
        if m.group() == "#":
            return text[:m.start()]
    return text


def basic_auth(url, resolve):
    """The Authorization value newman sends for the credentials of a `url` object ({user, password}),
    or None. They go out as the address's user information: percent-escapes decoded, the password
    after the first ":"."""
    given = url.get("auth") if type(url) is dict else None
    if given is None:
        return None
    if type(given) is not dict:
        raise expected("url.auth", "an object", given)
    info = []
    for key, lead in (("user", ""), ("password", ":")):
        value = given.get(key)
        if value is None:
            continue
        if type(value) is not str:
            raise expected(f"url.auth.{key}", "a string", value)
        info.append(lead + resolve(value))
    userinfo = "".join(info)
    return basic(userinfo) if userinfo else None


def basic(userinfo):
    """The Authorization value newman sends for an address's user information: percent-escapes
    decoded, the password after the first ":" (none: empty)."""
    user, _, password = userinfo.partition(":")
    # Invalid UTF-8 after decoding reads as U+FFFD, as in newman.
    pair = f"{unescape(user)}:{unescape(password)}".encode("utf-8")
    return "Basic " + binascii.b2a_base64(pair, newline=False).decode("ascii")


def without_userinfo(address):
    """(the address without its user information, that user information or None), the parts found
    as newman's parser finds them: the query from the first "?", the scheme before the first "://",
    the host up to the next "/" (or "\\"), the user information up to its last "@"."""
    if "@" not in address:
        return address, None
    end = address.find("?")
    if end < 0:
        end = len(address)
    start = address.find("://", 0, end)
    start = 0 if start < 0 else start + 3
    while start < end and address[start] in "/\\":
        start += 1
    for c in "/\\":
        i = address.find(c, start, end)
        if i >= 0:
            end = i
    at = address.rfind("@", start, end)
    if at < 0:
        return address, None
    return address[:start] + address[at + 1:], address[start:at]


def unencoded(address):
    """(the address as newman sends it with URL encoding turned off, None), or (None, why it cannot be
    sent so): no fragment, nothing encoded."""
    scheme = _scheme(address)
    cut = address.find("#", len(scheme))
    if cut >= 0:
        address = address[:cut]
    if (scheme.lower() or "http://") in _SPECIAL:
        start = _path_start(address)
        q = address.find("?", start)
        end = len(address) if q < 0 else q
        address = address[:start] + address[start:end].replace("\\", "/") + address[end:]
    bad = _UNENCODED.search(address)
    if bad is not None:
        c = bad.group()
        return None, (f"the address holds {'a space' if c == ' ' else f'U+{ord(c):04X}'}, which newman cannot "
                      f"send with protocolProfileBehavior.disableUrlEncoding")
    return address, None


def _fill_text(address, variables):
    """Path variables in an address given as text."""
    if not variables:
        return address
    start = _path_start(address)
    end = len(address)
    for c in "?#":
        i = address.find(c, start)
        if i >= 0:
            end = min(end, i)
    return address[:start] + "/".join(_fill(address[start:end].split("/"), variables)) + address[end:]


def query_pair(key, value):
    """A query parameter added by an auth, encoded as Postman encodes one built from parts."""
    return f"{_encode(key, _KEY_SET)}={_encode(value, _VALUE_SET)}"


def _query(query, resolve):
    if type(query) is not list:
        raise expected("url.query", "an array", query)
    out = []
    for i, q in enumerate(query):
        if type(q) is not dict:
            raise expected(f"url.query[{i}]", "an object", q)
        if q.get("disabled") is True:
            continue
        key, value = q.get("key"), q.get("value")
        for name, v in (("key", key), ("value", value)):
            if v is not None and type(v) is not str:
                raise expected(f"url.query[{i}].{name}", "a string", v)
        key = _encode(resolve(key), _KEY_SET) if key is not None else ""
        out.append(key if value is None else f"{key}={_encode(resolve(value), _VALUE_SET)}")
    return out


def _path_start(address):
    """Where the path of an address starts (after the scheme and the host)."""
    i = len(_scheme(address))
    ends = [j for j in (address.find(c, i) for c in "/?#") if j >= 0]
    return min(ends) if ends else len(address)


def add_query(address, pair):
    """The address with one more query parameter (before any fragment)."""
    cut = address.find("#")
    head, tail = (address, "") if cut < 0 else (address[:cut], address[cut:])
    if "?" not in head:
        return f"{head}?{pair}{tail}"
    return f"{head}{'' if head.endswith(('?', '&')) else '&'}{pair}{tail}"


def as_sent(address, keep_references=False):
    """The address as Postman puts it on the wire: no fragment,
    "\\" as "/" in the path, and path and query percent-encoded where the URL standard says;
    `keep_references`: a `{{name}}` left in the path stays as written, not encoded."""
    if not address:
        return address
    given = _scheme(address)
    # Without a scheme Postman and curl both take http.
    scheme = given.lower() or "http://"
    cut = address.find("#", len(given))
    if cut >= 0:
        address = address[:cut]
    start = _path_start(address)
    q = address.find("?", start)
    path, query = (address[start:], None) if q < 0 else (address[start:q], address[q + 1:])
    if scheme in _SPECIAL:
        path = path.replace("\\", "/")
    pieces = _KEPT_REF.split(path) if keep_references and "{{" in path else (path,)
    out = address[:start] + "".join(p if i % 2 else _encode(p, _PATH_SET) for i, p in enumerate(pieces))
    if query is not None:
        out += "?" + _encode(query, _QUERY_SET)
    return out

