"""Placeholders a cassette's filters wrote in place of what was sent, made variables the output asks for."""

# Written without regular expressions: a cassette in JSON is read without importing them.

# Whole words filters write (vcrpy's and betamax's documentation use them; also "[FILTERED]").
_WORDS = ("FILTERED", "REDACTED")
# `<name>` in lower case is a placeholder only as one of these; in upper case any name is.
_LOWER_NAMED = ("redacted", "filtered", "secret", "token", "password")
_STARS = 4  # a run of at least this many `*` ("**********")
_NAME_CHARACTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-")
_LONGEST_NAME = 64
_KEY_CHARACTERS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-")
_PER_TEXT = 200  # placeholders made variables in one text; any beyond stay as written
_NAME_ROOM = 40


def _word_character(c):
    return c.isascii() and (c.isalnum() or c == "_")


def _named(inner):
    """Whether `<inner>` is a placeholder: an upper-case name (`<REFRESH_TOKEN>`) or a known word."""
    if inner.lower() in _LOWER_NAMED and (inner.islower() or inner.isupper()):
        return True
    return len(inner) >= 3 and "A" <= inner[0] <= "Z" and all(c in _NAME_CHARACTERS for c in inner)


def spans(text, given=()):
    """[(start, end)] of the placeholders in `text`, in order and apart: `<NAME>` (upper case, not
    a markup element: no `</NAME` in the text), FILTERED and REDACTED as words (with brackets
    around them when there are), a run of four `*` or more, and each text of `given`."""
    found = []
    closed = {}
    i = text.find("<")
    while i >= 0 and len(found) < _PER_TEXT:
        j = text.find(">", i + 1, i + 2 + _LONGEST_NAME)
        inner = text[i + 1:j] if j > i + 1 else ""
        if inner and _named(inner):
            if inner not in closed:
                closed[inner] = ("</" + inner) in text
            if not closed[inner]:
                found.append((i, j + 1))
        i = text.find("<", i + 1)
    for word in _WORDS:
        i = text.find(word)
        while i >= 0 and len(found) < _PER_TEXT:
            end = i + len(word)
            if not (i and _word_character(text[i - 1])) and not (end < len(text) and _word_character(text[end])):
                bracketed = i and text[i - 1] == "[" and text[end:end + 1] == "]"
                found.append((i - 1, end + 1) if bracketed else (i, end))
            i = text.find(word, end)
    i = text.find("*" * _STARS)
    while i >= 0 and len(found) < _PER_TEXT:
        end = i + _STARS
        while end < len(text) and text[end] == "*":
            end += 1
        found.append((i, end))
        i = text.find("*" * _STARS, end)
    for literal in given:
        i = text.find(literal) if literal else -1
        while i >= 0 and len(found) < _PER_TEXT:
            found.append((i, i + len(literal)))
            i = text.find(literal, i + len(literal))
    out, last = [], 0
    for start, end in sorted(found, key=lambda s: (s[0], -s[1])):
        if start >= last:
            out.append((start, end))
            last = end
    return out


def _field_before(text, start):
    """The key a placeholder is the value of (`key=`, `"key": "`), or None."""
    j = start
    if j and text[j - 1] == '"':
        j -= 1
        k = j
        while k and text[k - 1] in " \t":
            k -= 1
        if not (k and text[k - 1] == ":"):
            return None
        k -= 1
        while k and text[k - 1] in " \t":
            k -= 1
        if not (k and text[k - 1] == '"'):
            return None
        end = k - 1
    elif j and text[j - 1] == "=":
        end = j - 1
    else:
        return None
    k = end
    while k > 0 and end - k < _LONGEST_NAME and text[k - 1] in _KEY_CHARACTERS:
        k -= 1
    return text[k:end] or None


def _sanitised(name):
    out = "".join(c if c.isascii() and c.isalnum() else "_" for c in name.upper()[:_NAME_ROOM])
    while "__" in out:
        out = out.replace("__", "_")
    return out.strip("_")


def _base(placeholder, field, given):
    """The variable's name after the prefix: a placeholder's own name (`<REFRESH_TOKEN>`, a given
    text), else the field it stands in (a header's name, a key), else the word."""
    inner = placeholder.strip("<>[]")
    if placeholder in given or placeholder.startswith("<") and inner.lower() not in _LOWER_NAMED[:2]:
        return _sanitised(inner) or "PLACEHOLDER"
    return _sanitised(field or "") or ("REDACTED" if placeholder.startswith("*") else _sanitised(inner))


class Placeholders:
    """The variables of a run's placeholders: the same placeholder in the same field keeps its
    variable across the run's files; each stands in the fields as a token of random letters that
    the output replaces by the variable (tokens: token -> name)."""

    def __init__(self, options):
        shared = getattr(options, "shared", None)
        if type(shared) is not dict:
            shared = {}
        self.state = shared.setdefault("placeholders", {"keys": {}, "taken": set(), "nonce": None})
        self.given = tuple(getattr(options, "placeholder", None) or ())
        self.tokens = {}
        self.found = {}  # (placeholder, variable name) -> None, in order, for the note

    def _variable(self, placeholder, field):
        state = self.state
        base = _base(placeholder, field, self.given)
        key = (placeholder, base)
        made = state["keys"].get(key)
        if made is None:
            if state["nonce"] is None:
                import os

                state["nonce"] = os.urandom(8).hex().upper()
            from tolmek_http.redact import PREFIX

            name, n = PREFIX + base, 1
            while name in state["taken"]:
                n += 1
                name = f"{PREFIX}{base}_{n}"
            state["taken"].add(name)
            made = state["keys"][key] = (name, f"TZ{state['nonce']}{len(state['keys'])}ZT")
        self.tokens[made[1]] = made[0]
        self.found[(placeholder, made[0])] = None
        return made[1]

    def replaced(self, text, field=None):
        """`text` with each placeholder replaced by its variable's token."""
        if type(text) is not str:
            return text
        found = spans(text, self.given)
        if not found:
            return text
        out, pos = [], 0
        for start, end in found:
            out += [text[pos:start], self._variable(text[start:end], field or _field_before(text, start))]
            pos = end
        out.append(text[pos:])
        return "".join(out)
