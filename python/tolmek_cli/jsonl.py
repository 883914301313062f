"""JSON Lines: one object a line with "url", "headers" (a list of [name, value] pairs), "method" and
an optional "body"."""

from .fields import Bad, Skip, at, expected, method_or_skip, text


def read(src, options=None):
    """Yield (url, headers, method, body, label, offset) per line, or a Skip; blank lines are passed over."""
    while src.peek():
        offset = src.offset()
        obj = src.value()
        # The line stays buffered until the place of a skip or error on it has been named.
        src.hold = True
        end = src.skip_blanks()
        src.hold = False
        if end not in ("\n", ""):
            raise src.error("not valid JSON Lines: more text after the value on its line")
        try:
            item = _request(obj, offset)
        except Bad as e:
            raise src.error(at(e.path, e.message), offset) from None
        yield item


def _request(obj, offset):
    if type(obj) is not dict:
        raise expected("", "an object", obj)
    url = text(obj, "url", "")
    name = text(obj, "method", "")
    raw_headers = obj.get("headers")
    if type(raw_headers) is not list:
        raise Bad("headers", "is missing") if "headers" not in obj else expected("headers", "an array", raw_headers)
    headers = []
    for i, pair in enumerate(raw_headers):
        if type(pair) is not list or len(pair) != 2:
            raise Bad(f"headers[{i}]", "expected a [name, value] pair")
        for j in (0, 1):
            if type(pair[j]) is not str:
                raise expected(f"headers[{i}][{j}]", "a string", pair[j])
        headers.append((pair[0], pair[1]))
    body = obj.get("body")
    if body is not None and type(body) is not str:
        raise expected("body", "a string or null", body)
    method, reason = method_or_skip(name)
    if reason is not None:
        return Skip(reason, "", offset)
    return url, headers, method, body, "", offset
