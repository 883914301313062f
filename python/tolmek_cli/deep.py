"""JSON values decoded without the interpreter's limits: nesting as deep as memory allows, integers of any length."""

import json
import re
import sys

from json.decoder import scanstring

_WS = re.compile(r"[ \t\n\r]*")
WHITE_SPACE = _WS
_NUMBER = re.compile(r"(-?(?:0|[1-9][0-9]*))(\.[0-9]+)?([eE][-+]?[0-9]+)?")
_CONSTANTS = (("null", None), ("true", True), ("false", False), ("NaN", float("nan")),
              ("Infinity", float("inf")), ("-Infinity", float("-inf")))


def _integer(digits):
    """An integer; one longer than the interpreter converts becomes the nearest float (inf when
    out of range): the command uses no number, it only names a number's type."""
    if len(digits) <= sys.get_int_max_str_digits() or not sys.get_int_max_str_digits():
        return int(digits)
    return float(digits)


def _fail(message, text, pos):
    raise json.JSONDecodeError(message, text, pos)


def _scalar(text, pos):
    """(value, end) of the string, number or constant at `pos`."""
    if text.startswith('"', pos):
        return scanstring(text, pos + 1)
    m = _NUMBER.match(text, pos)
    if m:
        whole, fraction, exponent = m.groups()
        if fraction or exponent:
            return float(m.group()), m.end()
        return _integer(whole), m.end()
    for word, value in _CONSTANTS:
        if text.startswith(word, pos):
            return value, pos + len(word)
    _fail("Expecting value", text, pos)


def _key(text, pos, ws):
    """(key, position of its value) of the member at `pos`."""
    if not text.startswith('"', pos):
        _fail("Expecting property name enclosed in double quotes", text, pos)
    key, pos = scanstring(text, pos + 1)
    pos = ws(text, pos).end()
    if not text.startswith(":", pos):
        _fail("Expecting ':' delimiter", text, pos)
    return key, ws(text, pos + 1).end()


_FAST = json.JSONDecoder().raw_decode
# Levels of a chain of containers too deep for the C decoder that are decoded here before it is
# tried again: each try scans as deep as the interpreter's limit before it gives up.
_RETRY = 1024


def decode(text, pos, ws=_WS.match):
    """(value, end) of the JSON value at `pos`, with an explicit stack instead of recursion; fails
    with the json module's JSONDecodeError messages. Each container is first given to the C
    decoder, so that only the chains too deep for it (or holding integers too long for it) are
    decoded here, and a large entry with one deep member costs little more than without it."""
    stack = []  # [container, key] of each array or object being filled, innermost last
    failed = -2  # depth of the last container on this path that the C decoder gave up on (-2: none)
    skip_below = 0  # inside a chain of such containers: no tries above this depth
    while True:
        c = text[pos:pos + 1]
        done = False
        if (c == "{" or c == "[") and len(stack) >= skip_below:
            try:
                value, pos = _FAST(text, pos)
                done = True
            except json.JSONDecodeError:
                raise
            except (RecursionError, ValueError):
                depth = len(stack)
                if depth == failed + 1:
                    skip_below = depth + _RETRY  # its parent failed too: a chain
                failed = depth
        if done:
            pass
        elif c == "{":
            pos = ws(text, pos + 1).end()
            if not text.startswith("}", pos):
                key, pos = _key(text, pos, ws)
                stack.append([{}, key])
                continue
            value, pos = {}, pos + 1
        elif c == "[":
            pos = ws(text, pos + 1).end()
            if not text.startswith("]", pos):
                stack.append([[], None])
                continue
            value, pos = [], pos + 1
        else:
            value, pos = _scalar(text, pos)
        # Put the value in its container; close every container that ends after it.
        while True:
            if not stack:
                return value, pos
            top = stack[-1]
            container = top[0]
            if type(container) is list:
                container.append(value)
                closing = "]"
            else:
                container[top[1]] = value
                closing = "}"
            pos = ws(text, pos).end()
            if text.startswith(",", pos):
                pos = ws(text, pos + 1).end()
                if closing == "}":
                    top[1], pos = _key(text, pos, ws)
                break
            if not text.startswith(closing, pos):
                _fail("Expecting ',' delimiter", text, pos)
            pos += 1
            stack.pop()
            if len(stack) <= failed:
                failed, skip_below = -2, 0  # back above the failure: its siblings are tried anew
            value = container


_END = object()


def encode(value):
    """The value as JavaScript's JSON.stringify writes it (json.dumps(value, ensure_ascii=False,
    separators=(",", ":")) but for numbers), with an explicit stack: a value decoded as deep as
    memory allows is written back as deep."""
    out = []
    stack = []  # [children left, closing bracket, first child still to come] of each open container
    while True:
        if type(value) is dict:
            out.append("{")
            stack.append([iter(value.items()), "}", True])
        elif type(value) is list:
            out.append("[")
            stack.append([iter(value), "]", True])
        elif isinstance(value, (int, float)) and not isinstance(value, bool):
            # As JavaScript's JSON.stringify writes the double the number was read as.
            text = js_number(value)
            out.append("null" if text.endswith(("Infinity", "NaN")) else text)
        else:
            out.append(json.dumps(value, ensure_ascii=False))
        while stack:
            top = stack[-1]
            child = next(top[0], _END)
            if child is _END:
                out.append(top[1])
                stack.pop()
                continue
            if not top[2]:
                out.append(",")
            top[2] = False
            if top[1] == "}":
                key, child = child
                out.append(json.dumps(key, ensure_ascii=False) + ":")
            value = child
            break
        else:
            return "".join(out)


def js_number(number):
    """A JSON number as JavaScript writes it once parsed as a double: 0.00001 stays "0.00001",
    1e21 is "1e+21", an integer beyond a double's range is "Infinity"."""
    try:
        x = float(number)
    except OverflowError:
        x = float("inf") if number > 0 else float("-inf")
    if x != x:
        return "NaN"
    if x in (float("inf"), float("-inf")):
        return "Infinity" if x > 0 else "-Infinity"
    if x == 0:
        return "0"
    sign = "-" if x < 0 else ""
    # The shortest digits that read back as the double, as both languages find them.
    digits, n = _decimal_digits(abs(x))
    k = len(digits)
    if k <= n <= 21:
        return sign + digits + "0" * (n - k)
    if 0 < n <= 21:
        return sign + digits[:n] + "." + digits[n:]
    if -6 < n <= 0:
        return sign + "0." + "0" * -n + digits
    e = n - 1
    return sign + (digits if k == 1 else digits[0] + "." + digits[1:]) + "e" + ("+" if e > 0 else "-") + str(abs(e))


def _decimal_digits(x):
    """(digits without trailing zeros, n) of a positive finite double: x = 0.DIGITS * 10**n, with
    the shortest digits that read back as x (what repr finds)."""
    from decimal import Decimal

    sign, digits, exponent = Decimal(repr(x)).as_tuple()
    text = "".join(map(str, digits))
    stripped = text.rstrip("0")
    exponent += len(text) - len(stripped)
    text = stripped.lstrip("0") or "0"
    return text, len(text) + exponent
