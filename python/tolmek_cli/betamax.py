"""betamax cassettes (JSON): http_interactions[].request, one interaction at a time."""

import codecs

from .cassettes import Label, as_sent, carried, interaction, recorded_request, sized
from .fields import RESTART, Note, Skip, expected, method_or_skip, shown
from .source import InputError

# Codecs that are no charset a body is sent in, and take time growing with the square of a text's
# distinct characters: a small cassette would keep the command busy for hours.
_NOT_CHARSETS = ("idna", "punycode")
_BASE64_SPACE = dict.fromkeys(map(ord, " \t\r\n"))
_REWRITTEN = (": betamax writes U+FFFD in place of bytes that are not UTF-8 unless it records with "
              "preserve_exact_body_bytes")
_MAYBE_REWRITTEN = "the body holds U+FFFD" + _REWRITTEN + ": it is sent as recorded"


def read(src, options=None):
    """Yield (url, headers, method, body, label, offset) per interaction, or a Skip or Note."""
    def entry(raw, label, offset):
        return _entry(raw, label, offset, options)

    src.peek()
    start = src.place(src.offset())
    found = False
    for key in src.members(""):
        if key == "http_interactions":
            if found:
                yield RESTART
            found = True
            for i, offset in enumerate(src.elements("http_interactions")):
                label = Label(f"http_interactions[{i}]")
                yield from interaction(entry, src.value(), label, offset)
        else:
            src.value()
    if not found:
        raise InputError(f'{start}: "http_interactions" is missing: not a betamax cassette')
    src.finish()


def _entry(entry, label, offset, options):
    request, name, url, headers, length = recorded_request(entry)
    body, reason = _body(request.get("body"))
    # A body holding NUL comes as bytes: U+FFFD is looked for in either.
    rewritten = "\ufffd" in body if type(body) is str else type(body) is bytes and "\ufffd".encode() in body
    edited = None
    if reason is None:
        body, reason, edited = sized(body, length, _REWRITTEN if rewritten else "")
    if reason is None:
        method, reason = method_or_skip(name)
    if reason is not None:
        return (Skip(reason, label, offset),)
    item = carried(url, headers, method, body, label, offset, options, edited)
    return (Note(_MAYBE_REWRITTEN, label, offset), *item) if rewritten else item


def _body(raw):
    """(the body as sent, None) or (None, why it cannot be carried). betamax writes {"encoding",
    "string"} or, keeping the exact bytes, {"encoding", "base64_string"}; a plain string is read too."""
    if raw is None or type(raw) is str:
        return as_sent(raw), None
    if type(raw) is not dict:
        raise expected("request.body", "an object or a string", raw)
    string = raw.get("string")
    if string is not None and type(string) is not str:
        raise expected("request.body.string", "a string", string)
    if string:  # betamax reads the text first, the base64 text when the text is empty
        encoding = raw.get("encoding")
        if encoding is None or type(encoding) is str and encoding.lower().replace("_", "-") in ("utf-8", "utf8"):
            return as_sent(string), None
        if type(encoding) is not str:
            raise expected("request.body.encoding", "a string", encoding)
        try:
            if codecs.lookup(encoding).name in _NOT_CHARSETS:
                raise LookupError(encoding)
            return as_sent(string.encode(encoding)), None
        except LookupError:  # no such codec, or one that does not make bytes of text
            return None, f"the body is in an encoding tolmek does not know ({shown(encoding)})"
        except UnicodeEncodeError:
            return None, f"the body's text has characters its encoding ({shown(encoding)}) cannot hold"
    encoded = raw.get("base64_string")
    if encoded is None:
        return ("" if string == "" else None), None
    if type(encoded) is not str:
        raise expected("request.body.base64_string", "a string", encoded)
    import base64  # here: it brings the regular expressions, which most runs do without

    try:
        return as_sent(base64.b64decode(encoded.translate(_BASE64_SPACE), validate=True)), None
    except ValueError:  # not base64 (binascii.Error, or text beyond ASCII)
        return None, "the body is marked base64 but is not base64 text"
