"""Input text read in chunks and walked one JSON value at a time, with places given as line and column."""

import codecs

from .fields import at

try:
    # The scanner json.JSONDecoder uses, made here: the json package brings the regular expression
    # engine with it, which costs more start-up than a whole small conversion. json is imported
    # only when a value fails to decode, to name the error (the scanner imports it then itself).
    from _json import make_scanner
except ImportError:  # an interpreter without the accelerator: json's own decoder
    make_scanner = None

# Bytes read at a time; a value longer than what is buffered makes the next read as long as the
# value so far, so that a huge value is still read in a number of steps logarithmic in its size.
CHUNK = 1 << 20
_DEEP_GROWTH = 3  # the text read at least fourfold per try, for values the slow decoder reads

_WINDOW = 64  # characters looked at a time when skipping white space


def _skipper(chars):
    """skip(text, pos): the index of the first character from `pos` on that is not one of `chars`."""
    def skip(text, pos):
        while True:
            window = text[pos:pos + _WINDOW]
            rest = window.lstrip(chars)
            pos += len(window) - len(rest)
            if rest or len(window) < _WINDOW:
                return pos

    return skip


_WS = _skipper(" \t\n\r")
_BLANK = _skipper(" \t\r")


class _Context:
    """What json.JSONDecoder() hands the scanner: its default settings (array_hook since 3.15; a
    setting a later interpreter asks for that is not here makes the reader use json's own decoder)."""

    strict = True
    object_hook = object_pairs_hook = array_hook = None
    parse_float = float
    parse_int = int
    parse_constant = {"-Infinity": float("-inf"), "Infinity": float("inf"), "NaN": float("nan")}.__getitem__


def _scanner():
    """The C scanner with json's default settings, or None (json's own decoder is used then)."""
    if make_scanner is None:
        return None
    try:
        return make_scanner(_Context())
    except AttributeError:
        return None


def _json_error(error):
    """Whether `error` is a syntax error of the JSON text (json.JSONDecodeError)."""
    from json import JSONDecodeError

    return isinstance(error, JSONDecodeError)
# How near the end of the buffered text a decoding error may be and still be the text being cut
# short rather than wrong: the longest token that fails when cut is a surrogate pair escape.
_CUT_MARGIN = 16


def encoding(head):
    """(codec, name, length of the byte order mark) for a text starting with `head`: UTF-8, or
    UTF-16 or UTF-32 (which Windows tools write) told by their mark or, as json.loads tells
    them, by the zero bytes around the first ASCII character."""
    marks = ((codecs.BOM_UTF8, "utf-8", "UTF-8"), (codecs.BOM_UTF32_LE, "utf-32-le", "UTF-32"),
             (codecs.BOM_UTF32_BE, "utf-32-be", "UTF-32"), (codecs.BOM_UTF16_LE, "utf-16-le", "UTF-16"),
             (codecs.BOM_UTF16_BE, "utf-16-be", "UTF-16"))
    for mark, codec, name in marks:
        if head.startswith(mark):
            return codec, name, len(mark)
    # Without a mark, the zeros of the first two characters tell (both ASCII in any JSON text the
    # command reads, which starts with "{"); other zeros are no encoding, and a NUL is named as such.
    if len(head) >= 4 and not head[0]:
        if head[1] and not head[2]:
            return "utf-16-be", "UTF-16", 0
        if not head[1] and not head[2] and head[3]:
            return "utf-32-be", "UTF-32", 0
    if len(head) >= 4 and head[0] and not head[1]:
        if head[2] and not head[3]:
            return "utf-16-le", "UTF-16", 0
        if not head[2] and not head[3]:
            return "utf-32-le", "UTF-32", 0
    return "utf-8", "UTF-8", 0


def _named(c):
    """The words naming a character that a message would not show as itself; "" for others."""
    if not c or " " <= c <= "~":
        return ""
    if c == "\ufeff":
        return " (found U+FEFF, a byte order mark)"
    import unicodedata

    name = unicodedata.name(c, "")
    return f" (found U+{ord(c):04X}{' ' + name if name else ''})"


class InputError(Exception):
    """Input that cannot be read; the message starts with the file's name and the place."""


class RunError(InputError):
    """Input that every file's conversion rests on (a variables file, a NAME=VALUE argument): it
    stops the whole run, not only the file being read."""


_KIND_BY_FIRST = {"{": "an object", "[": "an array", '"': "a string", "t": "a boolean", "f": "a boolean",
                  "n": "null"}


def kind_at(c):
    """The JSON name of the type of a value starting with the character `c`; None when none can."""
    return _KIND_BY_FIRST.get(c) or ("a number" if c and c in "-0123456789" else None)


class Source:
    """A UTF-8 JSON text read from a binary stream.

    Only the text from the value being read onwards is kept, so memory follows the largest value
    read at once, not the input. Offsets handed out are absolute character offsets; `place` turns
    one into "name:line:column" as long as it lies in or after the value being read."""

    def __init__(self, stream, name):
        self.name = name
        self.buf = ""
        self.pos = 0       # index in buf of the next unread character
        self._stream = stream
        self._decoder = None  # chosen from the first bytes
        self._encoding = "UTF-8"
        self._base = 0     # absolute offset of buf[0]
        self._line = 1     # line of buf[0]
        self._col = 0      # characters before buf[0] on its line
        self._eof = False
        self._scan = _scanner()
        self._last = (-1, 0, 0)  # (offset, line, offset of the line's start) of the last place named
        self.hold = False  # keep all text from here on (a look ahead that will be undone)
        self._went_deep = False  # the value being read needed the decoder of deep values

    # -- places and errors --------------------------------------------------------------------

    def offset(self):
        return self._base + self.pos

    def place(self, offset):
        if offset < self._base:
            # The text there has been let go; a place counted from it would be wrong.
            raise AssertionError(f"offset {offset} lies before the text kept (from {self._base})")
        # Count on from the last place named when it lies before this one in the same buffer,
        # so that naming many places in order costs one pass over the text.
        known, line, line_start = self._last
        if not self._base <= known <= offset:
            known, line, line_start = self._base, self._line, self._base - self._col
        i, j = known - self._base, offset - self._base
        newlines = self.buf.count("\n", i, j)
        if newlines:
            line += newlines
            line_start = self._base + self.buf.rfind("\n", i, j) + 1
        self._last = (offset, line, line_start)
        return f"{self.name}:{line}:{offset - line_start + 1}"

    def error(self, message, offset=None):
        return InputError(f"{self.place(self.offset() if offset is None else offset)}: {message}")

    # -- reading ------------------------------------------------------------------------------

    def _fill(self, want=0):
        """Append at least `want` more bytes of input (CHUNK at the least); False at its end."""
        if self._eof:
            return False
        if not self.hold and self.pos:
            dropped = self.buf[: self.pos]
            newlines = dropped.count("\n")
            if newlines:
                self._line += newlines
                self._col = len(dropped) - dropped.rfind("\n") - 1
            else:
                self._col += len(dropped)
            self._base += self.pos
            self.buf = self.buf[self.pos:]
            self.pos = 0
        data = self._stream.read(max(want, CHUNK, 4))
        if self._decoder is None:
            codec, self._encoding, mark = encoding(data)
            self._decoder = codecs.getincrementaldecoder(codec)()
            data = data[mark:]
        try:
            text = self._decoder.decode(data, not data)
        except UnicodeDecodeError as e:
            # The text before the bad byte decodes; append it so the place can be named.
            self.buf += e.object[: e.start].decode(e.encoding)
            self._eof = True
            raise self.error(f"not {self._encoding} text: {e.reason} (byte 0x{e.object[e.start]:02x})",
                             self._base + len(self.buf)) from None
        if not data:
            self._eof = True
        self.buf += text
        return True

    def peek(self, _skip=_WS):
        """Skip white space; the next character, or "" at the end of the input."""
        while True:
            self.pos = _skip(self.buf, self.pos)
            if self.pos < len(self.buf):
                return self.buf[self.pos]
            if not self._fill():
                return ""

    def rest(self):
        """(all the text from the current position to the end of the input, its offset): for a
        format read as a whole (YAML). The text stays kept, so that any place in it can be named."""
        self.hold = True
        # Each read as long as the text so far: copies stay within twice the input.
        while self._fill(len(self.buf)):
            pass
        return self.buf[self.pos:], self.offset()

    def skip_blanks(self):
        """Skip spaces, tabs and carriage returns; the next character, or "" at the end."""
        return self.peek(_BLANK)

    def value(self):
        """Decode the JSON value at the current position (after `peek`) and step past it."""
        start = self.offset()
        self._went_deep = False
        try:
            while True:
                try:
                    obj, end = self._decode(self.buf, self.pos)
                except ValueError as e:
                    if not _json_error(e):
                        raise
                    cut = e.pos >= len(self.buf) - _CUT_MARGIN or e.msg.startswith("Unterminated string")
                    # Decoding starts over with more text each time: the text read grows by a
                    # factor, so the work stays within a few times the value's size (a larger
                    # factor where the slow decoder of deep values had to go over it).
                    grow = (len(self.buf) - self.pos) * (_DEEP_GROWTH if self._went_deep else 1)
                    if cut and self._fill(grow):
                        continue
                    raise self.bad_json(e.msg, self._base + e.pos) from None
                # A number may go on in text not read yet.
                if end == len(self.buf) and self._fill():
                    continue
                self.pos = end
                return obj
        except MemoryError:
            raise self.error("out of memory: the value starting here needs more than there is", start) from None

    def _decode(self, text, pos):
        try:
            if self._scan is None:
                from json import JSONDecoder

                self._scan = JSONDecoder().raw_decode
            return self._scan(text, pos)
        except StopIteration as e:  # what json.JSONDecoder.raw_decode says of no value at `pos`
            from json import JSONDecodeError

            raise JSONDecodeError("Expecting value", text, e.value) from None
        except (RecursionError, ValueError) as e:
            if _json_error(e):
                raise
            # Nesting deeper than the interpreter's stack, or an integer longer than it converts:
            # decoded again without either limit, in any member, used or not.
            from . import deep

            self._went_deep = True
            return deep.decode(text, pos)

    def bad_json(self, message, offset=None):
        """An InputError for a syntax error at `offset`, naming a character that does not show as itself."""
        offset = self.offset() if offset is None else offset
        i = offset - self._base
        c = self.buf[i] if 0 <= i < len(self.buf) else ""
        return self.error(f"not valid JSON: {message}{_named(c)}", offset)

    def expect(self, first, path, offset):
        """Step past `first` ("{" or "["), or fail: the value at `path` is of another type."""
        c = self.peek()
        if c == first:
            self.pos += 1
            return
        found = kind_at(c)
        if found is None:
            raise self.bad_json("Expecting value")
        wanted = "an object" if first == "{" else "an array"
        raise self.error(at(path, f"expected {wanted}, got {found}"), offset)

    def members(self, path):
        """Walk the object at the current position, yielding each key; the caller reads or skips
        the member's value before asking for the next key."""
        self.expect("{", path, self.offset())
        c = self.peek()
        if c == "}":
            self.pos += 1
            return
        while True:
            if c != '"':
                raise self.bad_json("Expecting property name enclosed in double quotes")
            key = self.value()
            if self.peek() != ":":
                raise self.bad_json("Expecting ':' delimiter")
            self.pos += 1
            self.peek()
            yield key
            c = self.peek()
            if c == ",":
                self.pos += 1
                c = self.peek()
            elif c == "}":
                self.pos += 1
                return
            else:
                raise self.bad_json("Expecting ',' delimiter")

    def elements(self, path):
        """Walk the array at the current position, yielding the offset of each element; the caller
        reads or skips the element before asking for the next one."""
        self.expect("[", path, self.offset())
        if self.peek() == "]":
            self.pos += 1
            return
        while True:
            yield self.offset()
            c = self.peek()
            if c == ",":
                self.pos += 1
                self.peek()
            elif c == "]":
                self.pos += 1
                return
            else:
                raise self.bad_json("Expecting ',' delimiter")

    def finish(self):
        """Fail unless only white space is left."""
        if self.peek():
            raise self.bad_json("Extra data")
