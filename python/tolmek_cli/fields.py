"""What the readers share: field checks that name the JSON path, skips, methods and form encoding."""

from tolmek import HTTPMETHOD

NAMES = ("GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT")
METHODS = {name: getattr(HTTPMETHOD, name) for name in NAMES}


# Yielded by a reader when a member it converted is repeated: as in json.load, the last one counts,
# so what was converted from the earlier one is dropped.
RESTART = object()


def shown(value, limit=100):
    """A text echoed in a message: its repr, cut to `limit` characters or so, with its length;
    for a value of another type, the name of its type."""
    if type(value) is not str:
        return kind(value)
    if len(value) <= limit:
        return repr(value)
    head = repr(value[: limit - 10])
    return f"{head[:-1]}...{head[-1]} ({len(value)} characters)"


class Bad(Exception):
    """A field of the wrong type or shape; `path` is relative to the entry being read."""

    def __init__(self, path, message):
        super().__init__(path, message)
        self.path = path
        self.message = message


class Skip:
    """A request that cannot be carried: `label` names the entry, `offset` is where it starts."""

    __slots__ = ("reason", "label", "offset")

    def __init__(self, reason, label, offset):
        self.reason = reason
        self.label = label
        self.offset = offset


class Note:
    """A loss a request is carried with (the recording did not keep it all): `label` names the
    request, or is empty for what holds for every request of the file; `offset` is where it starts."""

    __slots__ = ("reason", "label", "offset")

    def __init__(self, reason, label, offset):
        self.reason = reason
        self.label = label
        self.offset = offset


def file_name(name):
    """A file name as a one-line message shows it: characters that do not show as themselves (ESC,
    line breaks, bytes that are not UTF-8) written as escapes."""
    if name.isprintable():
        return name
    return "".join(c if c.isprintable() else f"\\x{ord(c) - 0xDC00:02x}" if 0xDC80 <= ord(c) <= 0xDCFF
                   else f"\\x{ord(c):02x}" if ord(c) < 0x100 else f"\\u{ord(c):04x}" if ord(c) < 0x10000
                   else f"\\U{ord(c):08x}" for c in name)


def unexpected(error):
    """The reason of a skip for a fault no check foresaw, raised while one entry was converted."""
    return f"the entry cannot be converted ({type(error).__name__}: {shown(str(error))})"


def kind(value):
    """The JSON name of a decoded value's type, for messages."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def join(path, key):
    """The path of `key` (a name, an index, or a path relative to `path`) inside the value at `path`;
    an empty path names the value being read as a whole."""
    if isinstance(key, int):
        return f"{path}[{key}]"
    return f"{path}.{key}" if path and key else path or key


def at(path, message):
    """A message about the value at `path`."""
    return f"{path}: {message}" if path else message


def expected(path, what, value):
    return Bad(path, f"expected {what}, got {kind(value)}")


def a_or_an(word):
    """The indefinite article for `word`, as it is spoken ("an application/json", "a multipart/...")."""
    return "an" if word[:1].lower() in ("a", "e", "i", "o", "u") else "a"


def text(obj, key, path, default=None, null=None):
    """obj[key] as a str. A missing key gives `default` (an error when None); null gives `null`
    (an error when None)."""
    value = obj.get(key, default)
    if type(value) is str:
        return value
    where = join(path, key)
    if value is None:
        if key not in obj:
            raise Bad(where, "is missing")
        if null is not None:
            return null
    raise expected(where, "a string", value)


def method_or_skip(name):
    """The HTTPMETHOD member for a method name; a name beyond them that is an HTTP token as it is
    (curl sends any token); or the reason it cannot be carried."""
    member = METHODS.get(name)
    if member is not None:
        return member, None
    # Imported here: a run whose methods are all among the nine does without the composer.
    from tolmek_http.compose import TEXT_LIMIT
    from tolmek_http.methods import is_token

    if len(name) > TEXT_LIMIT:
        return None, f"method {shown(name)} is longer than one argument of a command line may be"
    if is_token(name):
        return name, None
    return None, f"method {shown(name)} is not an HTTP token, which a request line cannot hold"


def surrogate_reason(error):
    """Why a text with a lone surrogate (from a \\udxxx escape) cannot be carried."""
    return f"the text holds a lone surrogate (U+{ord(error.object[error.start]):04X}), which UTF-8 cannot carry"


def form(pairs):
    """Name/value pairs as an application/x-www-form-urlencoded body (UTF-8, spaces as '+')."""
    from urllib.parse import quote_plus

    return "&".join(f"{quote_plus(k)}={quote_plus(v)}" for k, v in pairs)


# Percent-escapes as urllib.parse writes and reads them, without importing it: urllib.parse brings
# ipaddress and more, which cost more start-up than a small conversion.
_HEX = frozenset("0123456789abcdefABCDEF")
_UNRESERVED = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-~")


def escape(text, safe=""):
    """urllib.parse.quote(text, safe=safe): UTF-8 bytes outside the unreserved and `safe` ones as %XX."""
    keep = _UNRESERVED.union(safe)
    if all(c in keep for c in text):
        return text
    return "".join(c if c in keep else "".join(f"%{b:02X}" for b in c.encode("utf-8"))
                   for c in text)


def unescape(text):
    """urllib.parse.unquote(text): each run of %XX escapes decoded as UTF-8, an invalid sequence as U+FFFD."""
    if "%" not in text:
        return text
    out, i, n = [], 0, len(text)
    while i < n:
        j = text.find("%", i)
        if j < 0:
            out.append(text[i:])
            break
        out.append(text[i:j])
        run = bytearray()
        while j + 2 < n and text[j] == "%" and text[j + 1] in _HEX and text[j + 2] in _HEX:
            run.append(int(text[j + 1:j + 3], 16))
            j += 3
        if run:
            out.append(run.decode("utf-8", "replace"))
            i = j
        else:
            out.append("%")
            i = j + 1
    return "".join(out)


def query_pairs(query):
    """urllib.parse.parse_qsl(query, keep_blank_values=True): (name, value) per "&"-separated
    piece that is not empty, "+" read as a space, escapes decoded."""
    out = []
    for piece in query.split("&"):
        if piece:
            name, _, value = piece.partition("=")
            out.append((unescape(name.replace("+", " ")), unescape(value.replace("+", " "))))
    return out


class Pattern:
    """A regular expression compiled on first use: `re` brings enum and more with it, which cost more
    start-up than converting a small file whose texts never need the pattern."""

    __slots__ = ("_source", "_compiled")

    def __init__(self, source):
        self._source = source
        self._compiled = None

    def __getattr__(self, name):  # match, search, sub, split, ... of the compiled pattern
        if self._compiled is None:
            import re

            self._compiled = re.compile(self._source)
        return getattr(self._compiled, name)
