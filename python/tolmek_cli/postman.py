"""Postman v2.1.0 collections (tolmek's own exports among them): items and folders in order."""

import json
import re

from .fields import (METHODS, RESTART, Bad, Skip, at, expected, form, join, kind, method_or_skip, shown,
                     surrogate_reason, text)
from .source import InputError

_SCHEMA = re.compile(r"/collection/v2\.[01]\.0/")
_GET = METHODS["GET"]


def read(src):
    """Yield (url, headers, method, body, label, offset) per request, or a Skip."""
    # Named now: the text there is let go as the members are read.
    src.peek()
    start = src.place(src.offset())
    found = False
    for key in src.members(""):
        if key == "info":
            offset = src.offset()
            _check_info(src.value(), src, offset)
        elif key == "item":
            if found:
                yield RESTART
            found = True
            for i, offset in enumerate(src.elements("item")):
                top = f"item[{i}]"
                try:
                    yield from _item(src.value(), top, "", offset)
                except Bad as e:
                    raise src.error(at(join(top, e.path), e.message), offset) from None
        else:
            src.value()
    if not found:
        raise InputError(f'{start}: "item" is missing: not a Postman collection')
    src.finish()


def _check_info(info, src, offset):
    if type(info) is not dict:
        raise src.error(f"info: expected an object, got {kind(info)}", offset)
    schema = info.get("schema")
    if schema is None:
        return
    if type(schema) is not str:
        raise src.error(f"info.schema: expected a string, got {kind(schema)}", offset)
    if not _SCHEMA.search(schema):
        raise src.error(f"info.schema: {shown(schema)} is not a v2.1.0 (or v2.0.0) collection", offset)


def _item(item, top, rel, offset):
    """The requests of one item: itself, or those of the items inside a folder."""
    if type(item) is not dict:
        raise expected(rel, "an object", item)
    children = item.get("item")
    if children is not None:
        if type(children) is not list:
            raise expected(join(rel, "item"), "an array", children)
        for j, child in enumerate(children):
            yield from _item(child, top, f"{rel}.item[{j}]" if rel else f"item[{j}]", offset)
        return
    if "request" not in item:
        raise Bad(rel, 'an item needs "request" (or "item", for a folder)')
    label = _Label(top, rel, item.get("name"))
    try:
        got = _request(item["request"], label, offset)
    except UnicodeEncodeError as e:
        got = Skip(surrogate_reason(e), label, offset)
    except Bad as e:
        # The request's paths are its own, made whole here for the one that fails.
        raise Bad(join(join(rel, "request"), e.path), e.message) from None
    yield got


class _Label:
    """How a skip names an item: its path and, when it has one, its name. Formatted only when a
    request is skipped, which few are."""

    __slots__ = ("top", "rel", "name")

    def __init__(self, top, rel, name):
        self.top = top
        self.rel = rel
        self.name = name

    def __str__(self):
        path = join(self.top, self.rel)
        if type(self.name) is not str:
            return path
        shown = json.dumps(self.name, ensure_ascii=False)
        if not shown.isprintable():
            # Every character a terminal would not show as itself escaped (C1 controls such as
            # U+009B start escape sequences in some terminals; U+0085 and U+2028 break lines).
            shown = "".join(c if c.isprintable() else f"\\u{ord(c):04x}" if ord(c) < 0x10000 else f"\\U{ord(c):08x}"
                            for c in shown)
        return f"{path} {shown if len(shown) <= 60 else shown[:56] + '..."'}"


def _request(request, label, offset):
    """The request; the paths of its fields are relative to it."""
    if type(request) is str:
        return request, [], _GET, None, label, offset
    if type(request) is not dict:
        raise expected("", "an object or a string", request)
    name = text(request, "method", "", default="GET")
    url = _url(request.get("url"))
    headers = _headers(request.get("header"))
    body, reason = _body(request.get("body"))
    if reason is None:
        method, reason = method_or_skip(name)
    if reason is not None:
        return Skip(reason, label, offset)
    return url, headers, method, body, label, offset


def _url(url):
    """The URL: a string, the "raw" of an object, or, when that is missing, rebuilt from the parts."""
    if url is None:
        return ""
    if type(url) is str:
        return url
    if type(url) is not dict:
        raise expected("url", "a string or an object", url)
    if "raw" in url and url["raw"] is not None:
        return text(url, "raw", "url")
    out = []
    protocol = _optional(url, "protocol", "url")
    if protocol:
        out.append(protocol if protocol.endswith("://") else protocol + "://")
    out.append(_joined(url.get("host"), ".", "url.host"))
    port = _optional(url, "port", "url")
    if port:
        out.append(":" + port)
    segments = _joined(url.get("path"), "/", "url.path")
    if segments or type(url.get("path")) is list and url["path"]:
        out.append(segments if segments.startswith("/") else "/" + segments)
    query = url.get("query")
    if query is not None:
        pairs = _enabled(query, "url.query", _query)
        if pairs:
            out.append("?" + "&".join(pairs))
    fragment = _optional(url, "hash", "url")
    if fragment is not None:
        out.append("#" + fragment)
    return "".join(out)


def _optional(obj, key, path):
    """obj[key]: a str, or None when missing or null."""
    value = obj.get(key)
    if value is None or type(value) is str:
        return value
    raise expected(join(path, key), "a string", value)


def _joined(parts, sep, path):
    """A host or path given as a string or as a list of parts (strings, or objects with "value")."""
    if parts is None:
        return ""
    if type(parts) is str:
        return parts
    if type(parts) is not list:
        raise expected(path, "a string or an array", parts)
    out = []
    for i, part in enumerate(parts):
        if type(part) is dict:
            part = part.get("value", "")
        if type(part) is not str:
            raise expected(f"{path}[{i}]", "a string", part)
        out.append(part)
    return sep.join(out)


def _enabled(items, path, take, what="an array"):
    """take(object) for each object of a list that is not marked "disabled" (Postman sends those not)."""
    if type(items) is not list:
        raise expected(path, what, items)
    out = []
    for i, obj in enumerate(items):
        try:
            if type(obj) is not dict:
                raise expected("", "an object", obj)
            if obj.get("disabled") is not True:
                out.append(take(obj))
        except Bad as e:
            raise Bad(join(join(path, i), e.path), e.message) from None
    return out


def _pair(obj):
    """A header or form field: "key", and "value" ("" when missing or null)."""
    return text(obj, "key", ""), text(obj, "value", "", default="", null="")


def _query(obj):
    """A query parameter: "key" ("" when missing or null), and "=value" unless "value" is missing or null."""
    key = text(obj, "key", "", default="", null="")
    value = _optional(obj, "value", "")
    return key if value is None else f"{key}={value}"


def _headers(headers):
    if headers is None:
        return []
    if type(headers) is str:
        # Raw header lines, "Name: value" each.
        return [(k.strip(), v.strip()) for k, _, v in (line.partition(":") for line in headers.splitlines())
                if k.strip()]
    return _enabled(headers, "header", _pair, "an array or a string")


def _body(body):
    """(body, None), or (None, why it cannot be carried). An empty raw body reads as no body: the
    collection format writes the same for both."""
    if body is None:
        return None, None
    if type(body) is not dict:
        raise expected("body", "an object", body)
    if body.get("disabled") is True:
        return None, None
    mode = _optional(body, "mode", "body")
    if mode is None:
        return None, None
    if mode == "raw":
        return text(body, "raw", "body", default="", null="") or None, None
    if mode == "urlencoded":
        params = body.get("urlencoded")
        if params is None:
            return None, None
        return form(_enabled(params, "body.urlencoded", _pair)) or None, None
    return None, f"a {shown(mode)} body cannot be carried (raw and urlencoded bodies are)"
