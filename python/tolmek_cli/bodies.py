"""Postman request bodies: raw, urlencoded, graphql and formdata as the bytes and Content-Type Postman sends."""

import json
from urllib.parse import quote

from . import deep
from .fields import a_or_an, expected, join, shown

# The Content-Type Postman gives a raw body, by the language the editor was set to.
_RAW_TYPES = {"json": "application/json", "javascript": "application/javascript", "xml": "application/xml",
              "html": "text/html", "text": "text/plain"}
# Methods whose body Postman drops unless protocolProfileBehavior.disableBodyPruning is set.
PRUNED = frozenset({"GET", "HEAD"})


class Body:
    """A body as sent: its text and the Content-Type Postman adds when the request has none.
    `early`: newman adds that Content-Type before an auth header (for a raw body marked JSON),
    not after it as for every other body. `keeps(value)`: whether the request's own Content-Type
    stays; a form's is replaced where it stands by one the body can be read with."""

    __slots__ = ("text", "content_type", "early", "keeps")

    def __init__(self, text, content_type, early=False, keeps=lambda value: True):
        self.text = text
        self.content_type = content_type
        self.early = early
        self.keeps = keeps


def _string(obj, key, path, resolve):
    value = obj.get(key)
    if value is None:
        return ""
    if type(value) is str:
        return resolve(value)
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return str(value)
    raise expected(join(path, key), "a string", value)


def _fields(params, path):
    """The enabled objects of a urlencoded or formdata list ("" and null read as an empty list)."""
    if params is None or params == "":
        return []
    if type(params) is not list:
        raise expected(path, "an array", params)
    out = []
    for i, p in enumerate(params):
        if type(p) is not dict:
            raise expected(f"{path}[{i}]", "an object", p)
        if p.get("disabled") is not True:
            out.append((f"{path}[{i}]", p))
    return out


def read(body, resolve):
    """(Body or None, None), or (None, why the body cannot be carried)."""
    if body is None:
        return None, None
    if type(body) is not dict:
        raise expected("body", "an object", body)
    if body.get("disabled") is True:
        return None, None
    mode = body.get("mode")
    if mode is None:
        return None, None
    if type(mode) is not str:
        raise expected("body.mode", "a string", mode)
    if mode == "raw":
        text = _string(body, "raw", "body", resolve)
        if not text:
            # An empty raw body and none are the same document; Postman sends no Content-Type for either.
            return None, None
        options = body.get("options")
        language = None
        if type(options) is dict and type(options.get("raw")) is dict:
            language = options["raw"].get("language")
        if type(language) is not str:
            language = None  # Postman's editor knows no other kind of language: plain text
        return Body(text, _RAW_TYPES.get(language, "text/plain"), language == "json"), None
    if mode == "urlencoded":
        pairs = [(_string(p, "key", path, resolve), _string(p, "value", path, resolve))
                 for path, p in _fields(body.get("urlencoded"), "body.urlencoded")]
        if not pairs:
            return None, None
        text = "&".join(f"{quote(k, safe='')}={quote(v, safe='')}" for k, v in pairs)
        return Body(text, "application/x-www-form-urlencoded",
                    keeps=lambda value: value.lower().startswith("application/x-www-form-urlencoded")), None
    if mode == "graphql":
        return _graphql(body.get("graphql"), resolve), None
    if mode == "formdata":
        return _formdata(body.get("formdata"), resolve)
    if mode == "file":
        return None, "the body is a file (mode 'file'), which tolmek does not carry"
    return None, f"{a_or_an(mode)} {shown(mode)} body cannot be carried (raw, urlencoded, graphql and formdata bodies are)"


def _graphql(graphql, resolve):
    if graphql is None:
        graphql = {}
    if type(graphql) is not dict:
        raise expected("body.graphql", "an object", graphql)
    query = _string(graphql, "query", "body.graphql", resolve)
    text = '{"query":' + json.dumps(query, ensure_ascii=False)
    variables = graphql.get("variables")
    if type(variables) is str:
        variables = resolve(variables)
    elif variables is not None:
        variables = deep.encode(variables)
    if variables:
        # Postman puts the variables text in as written, without reading it as JSON.
        text += ',"variables":' + variables
    return Body(text + "}", "application/json")


def _formdata(params, resolve):
    parts = []
    for path, p in _fields(params, "body.formdata"):
        key = _string(p, "key", path, resolve)
        if p.get("type") == "file" or "src" in p and p.get("type") != "text":
            return None, f"the formdata field {shown(key)} is a file, which tolmek does not carry"
        # As browsers write a field name: its quote and line breaks would end the header.
        name = key.replace('"', "%22").replace("\r", "%0D").replace("\n", "%0A")
        head = f'Content-Disposition: form-data; name="{name}"\r\n'
        content_type = p.get("contentType")
        if type(content_type) is str and content_type:
            content_type = resolve(content_type)
            if "\r" in content_type or "\n" in content_type:
                return None, (f"the formdata field {shown(key)} has a line break in its contentType, "
                              "which would add part headers")
            head += f"Content-Type: {content_type}\r\n"
        parts.append(head + "\r\n" + _string(p, "value", path, resolve))
    if not parts:
        return None, None
    boundary = _boundary(parts)
    text = "".join(f"--{boundary}\r\n{part}\r\n" for part in parts) + f"--{boundary}--\r\n"
    # Only the boundary written here can part the body.
    return Body(text, f"multipart/form-data; boundary={boundary}", keeps=lambda value: False), None


def _boundary(parts):
    """A boundary of the shape Postman's uses (26 dashes, 24 digits), the same for the same fields
    so that output is reproducible, and found in none of them."""
    import hashlib  # only a formdata body needs it, and its OpenSSL binding is slow to load

    seed = hashlib.sha256("\0".join(parts).encode("utf-8", "surrogatepass")).digest()
    while True:
        digits = str(int.from_bytes(seed[:12], "big")).zfill(24)[-24:]
        boundary = "-" * 26 + digits
        if not any(boundary in part for part in parts):
            return boundary
        seed = hashlib.sha256(seed).digest()
