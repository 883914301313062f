"""Secrets out of a recording: which fields hold them, their exact spans, and the variables that stand for them."""

from __future__ import annotations

import base64
import binascii
import json
import re
from collections.abc import Iterable
from urllib.parse import quote, unquote, unquote_plus

from .content import decoded

__all__ = ["SECRET_NAMES", "SHORT", "PREFIX", "Ref", "Vault"]

# Field names (matched case-insensitively, ignoring "-", "_" and spaces, anywhere in the name)
# whose values are secrets. "auth" is not among them: "author" would match it.
SECRET_NAMES = ("token", "password", "passwd", "pwd", "passphrase", "secret", "api key", "access key", "private key",
                "credential", "session", "signature")
# With the default names, "key" counts too, but only as a word of the name (key, api_key, apiKey,
# subscription-key, keys) or joined to a word that makes it a credential (apikey, accesskey):
# "monkey", "keyboard" and "turkey" hold it without being one.
_KEY_WORD = re.compile(r"(?<![a-z])(?:api|app|access|auth|client|consumer|licen[cs]e|master|private|secret|signing|"
                       r"subscription)?keys?(?![a-z])")
# A name that matches but ends in one of these tells something about a secret, not the secret
# itself: OAuth's token_type ("bearer"), expires_in, a token_type_hint, a password_hint.
_DESCRIBING = ("type", "kind", "hint", "expires", "expiresin", "expiry", "ttl", "url", "uri", "endpoint", "length",
               "count", "format", "name", "scope")
# Headers whose values are secrets whatever the list says: any whose name holds one of these
# (X-Authorization, Ocp-Apim-Subscription-Key, X-CSRF-Token); after a scheme word where the name
# holds "authorization".
_SECRET_HEADERS = (b"authorization", b"token", b"secret", b"key", b"cookie")
# A value shorter than this ("1", "yes") would match all over a recording: it is replaced only in
# the field that holds it, never searched for elsewhere.
SHORT = 6

_SCHEME_WORD = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+ +(?=\S)")
# Credentials in a URL: scheme://user:password@ (the password is the secret).
# The scheme is tried only where a run of its characters starts: from every letter of a long
# run the search would take time growing with the square of the run.
_USERINFO = re.compile(r"(?<![A-Za-z0-9+.-])[A-Za-z][A-Za-z0-9+.-]*://[^\s/?#@:'\"<>]*:([^\s/?#@'\"<>]+)@")
# Where a response header holds URLs: Refresh's after "url=", Link's between angle brackets.
_REFRESH_URL = re.compile(r"url\s*=\s*['\"]?([^'\"\s]*)", re.I)
_LINKED = re.compile(r"<([^>]*)>")
_URL_HEADERS = (b"location", b"content-location")
_POLICY = b"access-control-"
# What servers put before JSON so that a page cannot run it as a script (Angular's and Google's,
# Facebook's); the JSON after it is read as any other.
_XSSI = (")]}'", "while(1);", "while (1);", "for(;;);", "for (;;);", "{}&&")
_BOUNDARY = re.compile(r"boundary=(?:\"([^\"]+)\"|([^;\s]+))", re.I)
_PART_NAME = re.compile(r"\bname=\"([^\"]*)\"", re.I)


def checked_names(names, what: str = "secret_names") -> list[str] | None:
    """`names` as a list, None for None; TypeError for a single text (each of its letters would be
    taken for a name, and nearly every field for a secret) or for a name that is not a str."""
    if names is None:
        return None
    if isinstance(names, (str, bytes)):
        raise TypeError(f"{what} takes a list of names, not a {type(names).__name__}: {what}=[{names!r}]")
    try:
        out = list(names)
    except TypeError:
        raise TypeError(f"{what} takes a list of names, not {type(names).__name__}") from None
    for n in out:
        if type(n) is not str:
            raise TypeError(f"{what} takes names as str, not {type(n).__name__}: {n!r}")
    return out


def _norm(name: str) -> str:
    return name.lower().replace("-", "").replace("_", "").replace(" ", "")


def _words(name: str) -> str:
    """The name in lower case with its camelCase humps apart: apiKey -> api_key."""
    return re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", name).lower()


class Ref(str):
    """A chunk of text that is a variable's name, standing for a secret value."""

    __slots__ = ()


# Every variable's name starts so: a recorded party chooses the field names (a cookie's is the
# server's), and a name of its choosing must never be one the shell, curl, a proxy or the dynamic
# loader reads (ALL_PROXY, PATH, IFS, LD_PRELOAD, RANDOM...).
PREFIX = "TOLMEK_"
# Characters of the field's name a variable's name keeps after PREFIX.
_NAME_ROOM = 40


class Vault:
    """The secrets found: value -> variable name, given out as fields are found. Names are PREFIX
    and the field's name, upper-cased, cut to [A-Z0-9_] and to _NAME_ROOM characters, made unique
    (TOLMEK_TOKEN, TOLMEK_TOKEN_2); the same value keeps its first name wherever it shows up again."""

    def __init__(self, names: Iterable[str] | None = None, extra: Iterable[str] = ()):
        """`names` in place of SECRET_NAMES (None: the default list), `extra` added to either."""
        names, extra = checked_names(names), checked_names(extra, "extra_secret_names")
        self.patterns = [p for p in (_norm(n) for n in [*(SECRET_NAMES if names is None else names), *extra]) if p]
        self.key_word = names is None
        self.names: dict[str, str] = {}  # value -> name
        # Values a secret stands for once its spelling is undone (percent, JSON escapes, Basic's
        # base64): searched for in every spelling, a variable only where one shows up. value -> field
        self.decoded: dict[str, str] = {}
        self.values: dict[str, str] = {}  # name -> value, in the order found
        self._long: re.Pattern | bool | None = None
        self._forms: dict[str, str] = {}  # a value's form -> the value's variable
        # While the first pass only gathers the values, nothing is searched for elsewhere.
        self.gathering = False
        self.unheld: list[str] = []  # fields whose values could not become variables

    def sensitive(self, field: str) -> bool:
        n = _norm(field)
        if n.endswith(_DESCRIBING):
            return False
        return any(p in n for p in self.patterns) or self.key_word and "key" in n \
            and _KEY_WORD.search(_words(field)) is not None

    def searched(self, field: str, value: str) -> None:
        """Have `value` (a secret's decoded value) searched for everywhere, in every spelling."""
        if len(value) >= SHORT and "\x00" not in value and value not in self.names and value not in self.decoded:
            self.decoded[value] = field
            self._long = None

    def name(self, field: str, value: str) -> str | None:
        """The variable for `value` found in the field `field`; None for an empty value."""
        if not value:
            return None
        if "\x00" in value:
            # No shell variable can hold a NUL: the value stays where it is, named by the writer.
            self.unheld.append(field)
            return None
        found = self.names.get(value)
        if found is not None:
            return found
        base = PREFIX + (re.sub(r"[^A-Z0-9]+", "_", field.upper()[:_NAME_ROOM]).strip("_") or "SECRET")
        name, n = base, 1
        while name in self.values:
            n += 1
            name = f"{base}_{n}"
        self.names[value] = name
        self.values[name] = value
        self._long = None
        return name

    # --- where secrets are, as [(start, end, field)] spans of a text ---

    def header(self, name: str, value: str, response: bool = False) -> list[tuple[int, int, str]]:
        low = name.lower().encode("latin-1", "replace")
        if low.startswith(_POLICY):
            # CORS names what may be sent (Access-Control-Allow-Credentials: true), never a value of it.
            return self.userinfo(value)
        if b"authorization" in low and not _norm(name).endswith(_DESCRIBING):
            m = _SCHEME_WORD.match(value)
            start = m.end() if m else 0
            if m and m.group().strip().lower() == "basic":
                self._basic(name, value[start:])
            # Digest and similar carry parameters: the whole rest is the credential.
            return [(start, len(value), name)]
        if low == b"cookie":
            return self._pairs(value, ";", all_values=True)
        if low == b"set-cookie":
            first = value.split(";", 1)[0]
            key, eq, val = first.partition("=")
            if eq and val.strip():
                start = len(key) + 1 + (len(val) - len(val.lstrip()))
                return [(start, start + len(val.strip()), key.strip())]
            return []
        if response:
            # Where a server hands over tokens in URLs: a redirect's (OAuth's implicit flow puts the
            # token in the fragment), a refresh's, a link's.
            if low in _URL_HEADERS:
                return self.url(value)
            if low == b"refresh":
                m = _REFRESH_URL.search(value)
                return self.url(m.group(1), m.start(1)) if m else []
            if low == b"link":
                return [span for m in _LINKED.finditer(value) for span in self.url(m.group(1), m.start(1))]
        if self.sensitive(name) or any(w in low for w in _SECRET_HEADERS) \
                and not _norm(name).endswith(_DESCRIBING):
            return [(0, len(value), name)]
        return self.userinfo(value)

    def _basic(self, field: str, token: str) -> None:
        """Basic's user:password and the password alone are secrets of their own, searched for everywhere."""
        try:
            plain = base64.b64decode(token.strip(), validate=True).decode("utf-8", "surrogateescape")
        except (ValueError, binascii.Error):
            return
        self.searched(field, plain)
        user, colon, password = plain.partition(":")
        if colon:
            self.searched(field + " password", password)

    def _pairs(self, text: str, sep: str, all_values: bool = False, plus: bool = False,
               offset: int = 0) -> list[tuple[int, int, str]]:
        out, pos = [], 0
        for piece in text.split(sep):
            key, eq, _ = piece.partition("=")
            field = (unquote_plus(key) if plus else key).strip()
            if eq and (all_values or self.sensitive(field)):
                start = pos + len(key) + 1
                end = pos + len(piece)
                # Cookie values may have white space around them that is not theirs.
                while start < end and text[start] in " \t":
                    start += 1
                while end > start and text[end - 1] in " \t":
                    end -= 1
                if end > start:
                    out.append((offset + start, offset + end, field))
            pos += len(piece) + len(sep)
        return out

    def target(self, target: str) -> list[tuple[int, int, str]]:
        """The query's secret parameters and a URL's credentials."""
        return self.url(target)

    def url(self, text: str, offset: int = 0) -> list[tuple[int, int, str]]:
        """A URL's credentials and the secret parameters of its query and of its fragment, spans
        counted from `offset`."""
        out = [(offset + start, offset + end, field) for start, end, field in self.userinfo(text)]
        hash_ = text.find("#")
        end = hash_ if hash_ >= 0 else len(text)
        q = text.find("?", 0, end)
        if q >= 0:
            out += self._pairs(text[q + 1:end], "&", plus=True, offset=offset + q + 1)
        if hash_ >= 0:
            out += self._pairs(text[hash_ + 1:], "&", plus=True, offset=offset + hash_ + 1)
        return out

    def userinfo(self, text: str) -> list[tuple[int, int, str]]:
        if "://" not in text:
            return []
        return [(m.start(1), m.end(1), "url password") for m in _USERINFO.finditer(text)]

    def body(self, text: str, content_type: str) -> list[tuple[int, int, str]]:
        """Secret fields of a body by its type (urlencoded, multipart, JSON), and URL credentials in it."""
        ct = content_type.lower()
        out = []
        if "x-www-form-urlencoded" in ct:
            out = self._pairs(text, "&", plus=True)
        elif "multipart/" in ct:
            out = self._multipart(text, content_type)
        else:
            lead = text.lstrip()
            guard = next((p for p in _XSSI if lead.startswith(p)), None)
            if guard is not None:
                out = self._json(text, len(text) - len(lead) + len(guard))
            elif "json" in ct or lead[:1] in ("{", "["):
                out = self._json(text)
            elif not ct.strip() and _form_like(text):
                out = self._pairs(text, "&", plus=True)  # a form sent without its type (a str body)
        return out + self.userinfo(text)

    def _multipart(self, text: str, content_type: str) -> list[tuple[int, int, str]]:
        m = _BOUNDARY.search(content_type)
        if not m:
            return []
        delimiter = "--" + (m.group(1) or m.group(2))
        out: list[tuple[int, int, str]] = []
        pos = text.find(delimiter)
        while pos >= 0:
            start = pos + len(delimiter)
            nxt = text.find("\r\n" + delimiter, start)
            if nxt < 0:
                break
            head_end = text.find("\r\n\r\n", start)
            if 0 <= head_end < nxt:
                head = text[start:head_end]
                disposition = next((line for line in head.split("\r\n")
                                    if line.lower().startswith("content-disposition:")), "")
                named = _PART_NAME.search(disposition)
                if named and "filename" not in disposition.lower() and self.sensitive(named.group(1)) \
                        and nxt > head_end + 4:
                    out.append((head_end + 4, nxt, named.group(1)))
            pos = nxt + 2
        return out

    def _json(self, text: str, i: int = 0) -> list[tuple[int, int, str]]:
        """Scalars under a secret-named key, at any depth (everything under such a key counts),
        as their spans in the text as written: a string's characters between its quotes, escapes
        as written, so that putting the value back gives the same text. Read token by token, so
        nesting depth costs no stack; text that is not JSON yields what was read before it."""
        out: list[tuple[int, int, str]] = []
        # Each frame: [is_object, key of the member being read, secret field in effect or None]
        stack: list[list] = []
        expect_key = False
        n = len(text)

        def field_here():
            if not stack:
                return None
            top = stack[-1]
            if top[0] and top[1] is not None and self.sensitive(top[1]):
                return top[1]
            return top[2]

        while i < n:
            c = text[i]
            if c in " \t\r\n,:":
                if c == "," and stack and stack[-1][0]:
                    expect_key = True
                elif c == ":":
                    expect_key = False
                i += 1
            elif c in "{[":
                stack.append([c == "{", None, field_here()])
                expect_key = c == "{"
                i += 1
            elif c in "}]":
                if not stack:
                    return out
                stack.pop()
                expect_key = False
                i += 1
            elif c == '"':
                j = i + 1
                while j < n and text[j] != '"':
                    j += 2 if text[j] == "\\" else 1
                if j >= n:
                    return out
                if expect_key and stack and stack[-1][0]:
                    raw = text[i + 1:j]
                    try:
                        stack[-1][1] = json.loads(f'"{raw}"')
                    except ValueError:
                        stack[-1][1] = raw
                else:
                    field = field_here()
                    if field is not None and j > i + 1:
                        out.append((i + 1, j, field))
                i = j + 1
            else:
                j = i
                while j < n and text[j] not in " \t\r\n,:]}":
                    j += 1
                if j == i:
                    return out
                field = field_here()
                if field is not None and text[i:j] != "null":
                    out.append((i, j, field))
                i = j
        return out

    # --- replacing ---

    def chunks(self, text: str, spans: Iterable[tuple[int, int, str]] = ()) -> list[str]:
        """`text` as literal pieces and Refs: each span's value registered and replaced, then every
        known value at least SHORT long replaced wherever else it shows up."""
        out: list[str] = []
        pos = 0
        for start, end, field in sorted(spans):
            if start < pos:
                continue  # overlaps a span already replaced
            value = text[start:end]
            name = self.name(field, value)
            if name is None:
                continue
            for plain in _undone(value):
                self.searched(field, plain)
            out += self._anywhere(text[pos:start])
            out.append(Ref(name))
            pos = end
        out += self._anywhere(text[pos:])
        return out

    def _pattern(self) -> re.Pattern | None:
        if self._long is None:
            self._forms = {}
            for value, name in self.names.items():
                if len(value) >= SHORT:
                    for form in _forms(value):
                        self._forms.setdefault(form, name)
            for value, field in self.decoded.items():
                for form in _forms(value):
                    self._forms.setdefault(form, field)
            self._long = _alternatives(self._forms) if self._forms else False
        return self._long if isinstance(self._long, re.Pattern) else None

    def holds(self, text: str, spans: list) -> bool:
        """Whether `text` holds a secret (a span, or a known value in any spelling); while
        gathering, the spans' values are registered."""
        if self.gathering:
            return any(type(c) is Ref for c in self.chunks(text, spans))
        pattern = self._pattern()
        return any(e > s for s, e, _ in spans) or pattern is not None and pattern.search(text) is not None

    def _anywhere(self, text: str) -> list[str]:
        if not text or self.gathering:
            return [text] if text else []
        pattern = self._pattern()
        if pattern is None:
            return [text]
        out, pos = [], 0
        for m in pattern.finditer(text):
            if m.start() > pos:
                out.append(text[pos:m.start()])
            found = m.group()
            # The value written another way (a JSON string's escapes, percent-encoding) is a
            # secret of its own, its variable named after the value's: putting it back gives those bytes.
            name = self.names.get(found)
            if name is None:
                name = self.name(self._forms[found], found)
                self._long = m.re  # the pattern holds this form already
            out.append(Ref(name))
            pos = m.end()
        if pos < len(text):
            out.append(text[pos:])
        return out


def _alternatives(words) -> re.Pattern:
    """A pattern matching the longest of the words at each place, written as a tree of their common
    prefixes: the engine then tries one branch per character, not every word at every position."""
    trie: dict = {}
    for w in words:
        node = trie
        for ch in w:
            node = node.setdefault(ch, {})
        node[""] = {}
    # Built without recursion (a value may be thousands of characters long): each node's text once its children's are.
    text: dict[int, str] = {}
    stack = [(trie, False)]
    while stack:
        node, ready = stack.pop()
        if not ready:
            stack.append((node, True))
            stack.extend((child, False) for key, child in node.items() if key)
            continue
        alts = [re.escape(k) + text.pop(id(child)) for k, child in sorted(node.items()) if k]
        body = alts[0] if len(alts) == 1 else "(?:" + "|".join(alts) + ")" if alts else ""
        text[id(node)] = f"(?:{body})?" if "" in node and body else body
    return re.compile(text[id(trie)])


# The characters percent-encoders leave as they are besides letters, digits and "-._~": none (a
# form's value), "/" (a path), JavaScript's encodeURIComponent, and what requests keeps in a URL.
_SAFE = ("", "/", "!'()*", "!#$&'()*+,/:;=?@[]")
_HEX = re.compile(r"%[0-9A-F]{2}")


def _forms(value: str) -> set[str]:
    """The ways a text commonly shows up written inside other texts: as itself, as a JSON string's
    content (with and without ASCII escapes, "/" escaped or not), with Python's escapes (pytest's
    ids), and percent-encoded (each encoder's safe characters, space as %20 or "+", escapes in
    upper or lower case)."""
    forms = {value, value.encode("unicode_escape").decode("ascii")}
    for ascii_only in (True, False):
        inner = json.dumps(value, ensure_ascii=ascii_only)[1:-1]
        forms.update((inner, inner.replace("/", "\\/")))
    raw = value.encode("utf-8", "surrogateescape")
    for safe in _SAFE:
        encoded = quote(raw, safe=safe)
        lower = _HEX.sub(lambda m: m.group().lower(), encoded)
        forms.update((encoded, encoded.replace("%20", "+"), lower, lower.replace("%20", "+")))
    return forms


def _undone(value: str) -> set[str]:
    """The value with its spelling undone, each way it may be spelt: percent-encoded (space as
    "+" or not) or a JSON string's content."""
    out = set()
    if "%" in value or "+" in value:
        out.update((unquote(value, errors="surrogateescape"), unquote_plus(value, errors="surrogateescape")))
    if "\\" in value:
        try:
            out.add(json.loads(f'"{value}"'))
        except ValueError:
            pass
    out.discard(value)
    return out


def _form_like(text: str) -> bool:
    """Whether a body without a type reads as a urlencoded form: name=value pairs joined by "&"."""
    return "=" in text and re.search(r"\s", text) is None and all("=" in p for p in text.split("&") if p)


def joined(chunks: list[str], ref) -> str:
    """The chunks as one text, each Ref written by `ref(name)`."""
    return "".join(ref(c) if type(c) is Ref else c for c in chunks)


class Parts:
    """A request's texts with its secrets as Refs: the target, each header's value, and the body
    (`text` says whether it is text the outputs can carry as such, else bytes for a file or printf).
    Texts are UTF-8 decoded with surrogateescape, so that bytes that are not UTF-8 come back as they were."""

    __slots__ = ("method", "target", "headers", "body", "text", "names", "withheld")

    def __init__(self, method, target, headers, body, text, names=None, withheld=None):
        self.method = method
        self.target = target
        self.headers = headers
        self.body = body
        self.text = text
        self.names = names  # each header's name as chunks (a name may hold a secret too)
        # Why the body is not written anywhere (secrets inside compressed bytes), or None.
        self.withheld = withheld


def _decode(b: bytes) -> str:
    return b.decode("utf-8", "surrogateescape")


def _header_chunks(vault: Vault, raw_headers, response: bool = False) -> tuple[list, str, list]:
    """[(name, value chunks)] of a message's headers, its Content-Type, and its header names as chunks."""
    headers = []
    names = []
    content_type = ""
    for name, value in raw_headers:
        n, v = _decode(name), _decode(value)
        if n.lower() == "content-type":
            content_type = v
        headers.append((n, vault.chunks(v, vault.header(n, v, response=response))))
        names.append(vault.chunks(n))
    return headers, content_type, names


def request_parts(vault: Vault, request, is_text) -> Parts:
    target = _decode(request.target)
    headers, content_type, names = _header_chunks(vault, request.headers)
    body = None
    text = True
    withheld = None
    if request.body is not None:
        text = is_text(request.body)
        b = _decode(request.body)
        body = vault.chunks(b, vault.body(b, content_type))
        codings = [c.strip().lower() for n, v in request.headers if n.lower() == b"content-encoding"
                   for c in v.decode("latin-1").split(",") if c.strip()]
        if request.body and any(c != "identity" for c in codings):
            # No secret can be put in place inside compressed bytes: a body holding one is written nowhere.
            plain, why = decoded(request.body, request.headers, whole=True)
            if plain is None:
                withheld = f"a {why}, so it could not be searched for secrets"
            else:
                inner = _decode(plain)
                if vault.holds(inner, vault.body(inner, content_type)):
                    withheld = f"{' and '.join(codings)}-encoded, and holds secrets that cannot be replaced " \
                               f"inside the encoded bytes"
    return Parts(request.method, vault.chunks(target, vault.target(target)), headers, body, text, names, withheld)


def response_parts(vault: Vault, response, body_text: str | None) -> tuple[list, list | None]:
    """[(name as chunks, value chunks)] of a response's headers, and its decoded body's chunks (None when it is not text)."""
    headers, content_type, names = _header_chunks(vault, response.headers, response=True)
    body = None if body_text is None else vault.chunks(body_text, vault.body(body_text, content_type))
    return [(n, c) for n, (_, c) in zip(names, headers)], body


def gather(vault: Vault, exchanges) -> None:
    """Registers the secrets of the exchanges' requests and responses, replacing nothing yet."""
    from .compose import is_text
    from .content import as_text

    vault.gathering = True
    try:
        for ex in exchanges:
            request_parts(vault, ex.request, is_text)
            response = ex.response if ex.response is not None else getattr(ex.request, "response", None)
            if response is not None:
                text, _ = as_text(response.body, response.headers)
                response_parts(vault, response, text)
    finally:
        vault.gathering = False
