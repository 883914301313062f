"""Command lines as bash, zsh and Windows cmd read them into words, without running anything: what
depends on the shell at run time (expansions, globs, redirections) is named, not guessed."""

# Characters that end an unquoted word in bash, and those of its operators.
_BLANK = " \t"
_OPERATORS = ";&|<>()"
_NAME_START = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_")
_NAME = _NAME_START | frozenset("0123456789")
_SPECIAL_PARAMETERS = frozenset("@*#?$!-0123456789")
_HEX = "0123456789abcdefABCDEF"
_OCT = "01234567"
# $'...' escapes with a fixed meaning.
_ANSI = {"a": b"\a", "b": b"\b", "e": b"\x1b", "E": b"\x1b", "f": b"\f", "n": b"\n", "r": b"\r", "t": b"\t",
         "v": b"\v", "\\": b"\\", "'": b"'", '"': b'"', "?": b"?"}


class Command:
    """One command line: `start` (its index in the text), `tokens` ((kind, bytes, index) with kind
    "word" or "op"), and `reason`: why its words are not certain (None when they are)."""

    __slots__ = ("start", "tokens", "reason", "cmd")

    def __init__(self, start, cmd=False):
        self.start = start
        self.tokens = []
        self.reason = None
        self.cmd = cmd

    def refuse(self, reason):
        if self.reason is None:
            self.reason = reason


def commands(text):
    """Each command line of `text` in order (comments and blank lines passed over)."""
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c in " \t\r\n":
            i += 1
        elif c == "#":
            end = text.find("\n", i)
            i = n if end < 0 else end + 1
        elif _cmd_style(text, i):
            command = Command(i, cmd=True)
            i = _cmd_line(text, i, command)
            yield command
        else:
            command = Command(i)
            i = _posix_line(text, i, command)
            yield command


def _cmd_style(text, i):
    """Whether the command at `i` is a Windows cmd copy: its first argument starts with ^", or its
    first line, without a single quote, ends with " ^"."""
    end = text.find("\n", i)
    line = text[i:] if end < 0 else text[i:end]
    first, _, rest = line.partition(" ")
    if first.lower() in ("curl", "curl.exe") and rest.lstrip(" \t").startswith('^"'):
        return True
    return "'" not in line and line.rstrip(" \t\r").endswith(" ^")


# -- bash and zsh --------------------------------------------------------------------------------

def _posix_line(text, i, command):
    """Read one command line from `i` into `command`; the index after it."""
    n = len(text)
    word = None  # bytearray of the word being read, None between words
    word_at = i
    tokens = command.tokens

    def end_word():
        nonlocal word
        if word is not None:
            if 0 in word:
                command.refuse("a NUL byte ends the word in bash but not in zsh")
            tokens.append(("word", bytes(word), word_at))
            word = None

    while i < n:
        c = text[i]
        if c in _BLANK:
            end_word()
            i += 1
            continue
        if c == "\n" or c == "\r" and text.startswith("\r\n", i):
            end_word()
            return i + (2 if c == "\r" else 1)
        if c == "\\" and (text.startswith("\n", i + 1) or text.startswith("\r\n", i + 1)):
            i += 2 if text[i + 1] == "\n" else 3  # a line continued: nothing, not even a word break
            continue
        if c in _OPERATORS:
            end_word()
            op = c
            if text.startswith(c * 2, i) and c in "&|<>;":
                op = c * 2
            if op == "<<" and text.startswith("<", i + 2):
                op = "<<<"
            tokens.append(("op", op.encode(), i))
            i += len(op)
            continue
        if word is None:
            if c == "#":
                end = text.find("\n", i)
                return n if end < 0 else end + 1
            word, word_at = bytearray(), i
            if c == "~":
                command.refuse("~ at the start of a word is the home directory, which only the shell knows")
        if c == "\\":
            if i + 1 < n:
                word += text[i + 1].encode()
                i += 2
            else:
                word += b"\\"
                i += 1
            continue
        if c == "'":
            end = text.find("'", i + 1)
            if end < 0:
                command.refuse("a single quote is not closed")
                return n
            word += text[i + 1:end].encode()
            i = end + 1
            continue
        if c == '"':
            i = _double(text, i + 1, word, command)
            continue
        if c == "$":
            nxt = text[i + 1:i + 2]
            if nxt == "'":
                i = _ansi(text, i + 2, word, command)
                continue
            if nxt == '"':  # a translated string: as itself in any locale without translations
                i = _double(text, i + 2, word, command)
                continue
            i = _dollar(text, i, word, command)
            continue
        if c == "`":
            command.refuse("a `command` substitution would run a program")
            word += b"`"
            i += 1
            continue
        if c in "*?[":
            command.refuse(f"the unquoted {c} makes a glob pattern, which the shell matches against files")
        elif c == "{" and _braces(text, i):
            command.refuse("the unquoted {...} is a brace expansion, which the shell turns into several words")
        elif c == "~" and word[-1:] in (b"=", b":"):
            command.refuse("~ after = or : may be the home directory, which only the shell knows")
        word += c.encode()
        i += 1
    end_word()
    return n


def _braces(text, i):
    """Whether the { at `i` opens a brace expansion: a } further in the same run of text, with a
    comma or .. between."""
    j = i + 1
    n = len(text)
    while j < n and text[j] not in " \t\n'\"":
        if text[j] == "}":
            inner = text[i + 1:j]
            return "," in inner or ".." in inner
        j += 1
    return False


def _double(text, i, word, command):
    """Read a double-quoted text from `i` (after its quote) into `word`; the index after it."""
    n = len(text)
    while i < n:
        c = text[i]
        if c == '"':
            return i + 1
        if c == "\\":
            nxt = text[i + 1:i + 2]
            if nxt == "\n":
                i += 2
                continue
            if nxt in ("$", "`", '"', "\\"):
                word += nxt.encode()
                i += 2
                continue
            word += b"\\"
            i += 1
            continue
        if c == "$":
            i = _dollar(text, i, word, command)
            continue
        if c == "`":
            command.refuse("a `command` substitution would run a program")
        word += c.encode()
        i += 1
    command.refuse("a double quote is not closed")
    return n


def _dollar(text, i, word, command):
    """Read what starts with the $ at `i`: a literal $, tolmek's own $(printf '...') of bytes, or
    an expansion (refused); the index after it."""
    nxt = text[i + 1:i + 2]
    if nxt == "(":
        printed = _printf_substitution(text, i)
        if printed is not None:
            data, end = printed
            word += data.rstrip(b"\n")  # as a command substitution drops trailing line breaks
            return end
        command.refuse("a $(command) substitution would run a program")
    elif nxt == "{" or nxt in _NAME_START or nxt in _SPECIAL_PARAMETERS and nxt:
        j = i + 2
        while nxt in _NAME_START and j < len(text) and text[j] in _NAME:
            j += 1
        command.refuse(f"{text[i:j]} is a shell expansion, whose value only the shell knows")
    word += b"$"
    return i + 1


def _printf_substitution(text, i):
    """(the bytes, the index after it) of a $(printf 'FORMAT') at `i` whose format holds only
    literal text and escapes (what tolmek writes for bytes a terminal would act on); else None."""
    if not text.startswith("$(printf '", i):
        return None
    end = text.find("'", i + 10)
    if end < 0 or not text.startswith(")", end + 1):
        return None
    data = printf_format(text[i + 10:end])
    return None if data is None else (data, end + 2)


def printf_format(fmt):
    """The bytes the shell's printf writes for a format without arguments, or None when the format
    converts anything (a % other than %%) or holds an escape the shells read apart."""
    out = bytearray()
    i, n = 0, len(fmt)
    while i < n:
        c = fmt[i]
        if c == "%":
            if not fmt.startswith("%%", i):
                return None
            out += b"%"
            i += 2
        elif c == "\\":
            j = i + 1
            while j < n and j < i + 4 and fmt[j] in _OCT:
                j += 1
            if j > i + 1:
                out.append(int(fmt[i + 1:j], 8) & 0xFF)
                i = j
                continue
            nxt = fmt[i + 1:i + 2]
            if nxt not in _ANSI or nxt in ("e", "E", "'", "?"):
                return None
            out += _ANSI[nxt]
            i += 2
        else:
            out += c.encode()
            i += 1
    return bytes(out)


def _ansi(text, i, word, command):
    """Read a $'...' text from `i` (after its quote) into `word`, as bash decodes its escapes; the
    index after it."""
    n = len(text)
    while i < n:
        c = text[i]
        if c == "'":
            return i + 1
        if c != "\\":
            word += c.encode()
            i += 1
            continue
        nxt = text[i + 1:i + 2]
        if nxt in _ANSI:
            word += _ANSI[nxt]
            i += 2
        elif nxt and nxt in _OCT:
            j = i + 1
            while j < n and j < i + 4 and text[j] in _OCT:
                j += 1
            word.append(int(text[i + 1:j], 8) & 0xFF)
            i = j
        elif nxt in ("x", "u", "U") and nxt:
            most = {"x": 2, "u": 4, "U": 8}[nxt]
            j = i + 2
            while j < n and j < i + 2 + most and text[j] in _HEX:
                j += 1
            if j == i + 2:
                word += ("\\" + nxt).encode()
            elif nxt == "x":
                word.append(int(text[i + 2:j], 16))
            else:
                point = int(text[i + 2:j], 16)
                if point > 0x10FFFF or 0xD800 <= point <= 0xDFFF:
                    command.refuse(f"$'\\{text[i + 1:j]}' is no character, which bash and zsh write apart")
                else:
                    word += chr(point).encode()
            i = j
        elif nxt == "c" and i + 2 < n:
            word.append(ord(text[i + 2].upper()) & 0x1F if text[i + 2] != "?" else 0x7F)
            i += 3
        else:
            word += b"\\"
            i += 1
    command.refuse("a $'...' quote is not closed")
    return n


# -- Windows cmd ---------------------------------------------------------------------------------

def _cmd_line(text, i, command):
    """Read one cmd command line from `i` into `command`: cmd's ^ escapes and quotes first, then
    the words as the C runtime of curl.exe splits them; the index after it."""
    n = len(text)
    out = []
    quoted = False
    while i < n:
        c = text[i]
        if c == "\r" and text.startswith("\r\n", i):
            i += 1
            continue
        if c == "\n":
            i += 1
            break
        if quoted:
            if c == '"':
                quoted = False
            elif c == "%":
                _cmd_percent(text, i, command)
            out.append(c)
            i += 1
            continue
        if c == "^":
            i += 1
            if text.startswith("\r\n", i):
                i += 1
            if i < n and text[i] == "\n":
                # A line continued: the first character of the next line is taken as it is.
                i += 1
                if text.startswith("\r\n", i):
                    i += 1
            if i < n:
                out.append(text[i])
                i += 1
            continue
        if c == '"':
            quoted = True
        elif c in "&|<>":
            command.refuse(f"the unescaped {c} is a cmd operator (a pipe, a redirection or a second command)")
        elif c == "%":
            _cmd_percent(text, i, command)
        out.append(c)
        i += 1
    else:
        if quoted:
            command.refuse("a double quote is not closed")
    for word, at in _crt_words("".join(out)):
        command.tokens.append(("word", word.encode(), command.start + at))
    return i


def _cmd_percent(text, i, command):
    """A %NAME% at `i` is a cmd variable, whose value only cmd knows."""
    j = i + 1
    while j < len(text) and (text[j] in _NAME or text[j] in "-."):
        j += 1
    if j > i + 1 and text.startswith("%", j):
        command.refuse(f"{text[i:j + 1]} is a cmd variable, whose value only cmd knows")


def _crt_words(line):
    """The words of a command line as the Microsoft C runtime splits it: blanks apart outside
    double quotes; 2n backslashes before a quote are n and the quote toggles, 2n+1 are n and a
    literal quote; "" inside quotes is one quote. (word, index in the line) each."""
    words = []
    i, n = 0, len(line)
    while i < n:
        while i < n and line[i] in _BLANK:
            i += 1
        if i >= n:
            break
        start = i
        buf = []
        quoted = False
        while i < n and (quoted or line[i] not in _BLANK):
            c = line[i]
            if c == "\\":
                j = i
                while j < n and line[j] == "\\":
                    j += 1
                count = j - i
                if j < n and line[j] == '"':
                    buf.append("\\" * (count // 2))
                    if count % 2:
                        buf.append('"')
                        j += 1
                else:
                    buf.append("\\" * count)
                i = j
            elif c == '"':
                if quoted and line.startswith('""', i):
                    buf.append('"')
                    i += 2
                else:
                    quoted = not quoted
                    i += 1
            else:
                buf.append(c)
                i += 1
        words.append(("".join(buf), start))
    return words
