"""The curl options `tolmek curl --curl-option` may add to every command: the allow-list, its checks and the quoting."""

# Only options that leave the request as it is: what curl prints, how long it waits, whether it
# tries again. Refused among others: -k (the same bytes, but to whoever answers, certificate
# unchecked: tokens and cookies included), --compressed (adds Accept-Encoding), -L (sends more
# requests, elsewhere), -H, -d, -X, -u, -b, -K, --next and every option that names what is sent.
_FLAGS = ("--silent", "--show-error", "--fail", "--fail-with-body", "--verbose", "--include", "--no-progress-meter")
# Short flags, alone or run together as curl reads them (-sS, -fsS).
_SHORT = "sSfvi"
_SECONDS = "seconds, such as 10 or 2.5"
_COUNT = "a whole number"
_FORMAT = "a format (not @FILE, which curl reads from a file or standard input)"
_FILE = "a file name"
# Options taking a value, which comes as the next --curl-option, and what that value must be.
_VALUED = {
    "-w": _FORMAT, "--write-out": _FORMAT,
    "-o": _FILE, "--output": _FILE,
    "-m": _SECONDS, "--max-time": _SECONDS, "--connect-timeout": _SECONDS,
    "--retry": _COUNT, "--retry-delay": _COUNT, "--retry-max-time": _COUNT,
}
ALLOWED = "-s, -S, -f, -v, -i (or run together: -sS), " + ", ".join(_FLAGS) + ", " + ", ".join(
    f"{name} {'FMT' if kind is _FORMAT else 'FILE' if kind is _FILE else 'N'}" for name, kind in _VALUED.items())
# Words written as they are; any other goes in the module's quotes.
_BARE = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._")


def _value_reason(kind, value):
    """Why `value` is not a value of this kind, or None."""
    if not value:
        return "is empty"
    if any(c < " " or "\x7f" <= c <= "\x9f" for c in value):
        return r"holds a control character (write a line break in a format as \n, which curl reads)"
    if any("\udc80" <= c <= "\udcff" for c in value):
        return "is not UTF-8 text"
    if kind is _SECONDS:
        whole, dot, part = value.partition(".")
        ok = whole.isascii() and whole.isdigit() and (not dot or part.isascii() and part.isdigit())
        return None if ok else f"is not {kind}"
    if kind is _COUNT:
        return None if value.isascii() and value.isdigit() else f"is not {kind}"
    if kind is _FORMAT and value.startswith("@"):
        return f"is not {kind}"
    return None


def checked(words):
    """The words, each one curl argument, when every option is allowed and followed by its value;
    ValueError naming the first fault and the allowed options otherwise."""
    from .fields import shown

    # argparse hands `--curl-option=--` on as an empty list.
    words = [w if type(w) is str else "--" for w in words]
    i = 0
    while i < len(words):
        word = words[i]
        kind = _VALUED.get(word)
        if kind is not None:
            if i + 1 == len(words):
                raise ValueError(f"--curl-option {word} needs its value ({kind}) as the next --curl-option: "
                                 f"--curl-option={word} --curl-option=VALUE")
            reason = _value_reason(kind, words[i + 1])
            if reason is not None:
                raise ValueError(f"--curl-option: the value {shown(words[i + 1])} of {word} {reason}")
            i += 2
            continue
        short = len(word) > 1 and word[0] == "-" and all(c in _SHORT for c in word[1:])
        if not (short or word in _FLAGS):
            raise ValueError(f"--curl-option: {shown(word)} is not an option that leaves the request as it is; "
                             f"allowed: {ALLOWED}")
        i += 1
    return words


def suffix(words):
    """The checked words as they follow each command: a space before each, quoted where needed."""
    from tolmek_http.compose import _quoted

    return "".join(" " + (w if set(w) <= _BARE else _quoted(w)) for w in words)
