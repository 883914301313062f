"""Postman v2.0 and v2.1 collections (tolmek's own exports among them): each request as newman sends it."""

from . import auth, bodies, urls
from .fields import (Bad, Note, Pattern, Skip, at, expected, join, kind, method_or_skip, shown, surrogate_reason,
                     text, unexpected)
from .source import InputError
from .variables import _REF, Scope, Unresolved, read_list

# Every form of schema address Postman has written for v2.0 and v2.1 ("…/json/collection/v2.1.0/…",
# "…/collection/json/v2.1.0/draft-07/…", "…/collection/v2/…").
_V2 = Pattern(r"/(?:json/collection|collection/json|collection)/v2(?:\.[01](?:\.\d+)*)?/")
_V1 = Pattern(r"/(?:json/collection|collection/json|collection)/v1(?:[./]|$)")
# The addresses Postman writes today, known without the pattern.
_V2_USUAL = frozenset(f"{scheme}://schema.getpostman.com/json/collection/v{v}/collection.json"
                      for scheme in ("https", "http") for v in ("2.1.0", "2.0.0"))
_HOW_TO_V21 = ("tolmek reads v2.0 and v2.1: import it into Postman and export it again as Collection v2.1 "
               "(the collection's ... menu, Export)")


class _Context:
    """What a folder passes on to the items inside it: its auth, whether GET and HEAD keep their body,
    and whether the address goes out without percent-encoding."""

    __slots__ = ("auth", "keep_body", "raw_url")

    def __init__(self, auth, keep_body, raw_url=False):
        self.auth = auth
        self.keep_body = keep_body
        self.raw_url = raw_url

    def inside(self, folder):
        own = folder.get("auth")
        behaviour = folder.get("protocolProfileBehavior")
        keep = raw = None
        if type(behaviour) is dict:
            keep, raw = behaviour.get("disableBodyPruning"), behaviour.get("disableUrlEncoding")
        if not auth.applies(own) and type(keep) is not bool and type(raw) is not bool:
            return self
        return _Context(own if auth.applies(own) else self.auth, keep if type(keep) is bool else self.keep_body,
                        raw if type(raw) is bool else self.raw_url)


def read(src, options=None):
    """Yield (url, headers, method, body, label, offset) per request, or a Skip."""
    scope = Scope(options)
    files = bodies.Files(getattr(options, "working_dir", None), getattr(options, "insecure_file_read", False))
    # Named now: the text there is let go as the members are read.
    src.peek()
    start = src.place(src.offset())
    items = None
    top = {}
    held = src.hold
    for key in src.members(""):
        if key == "item":
            # The collection's variables, auth and body rule usually follow its items: the items
            # are kept, with their text for naming places, until the whole object has been read.
            src.hold = True
            items = [(src.value(), offset) for offset in src.elements("item")]
        elif key in ("info", "variable", "auth", "protocolProfileBehavior", "requests", "event"):
            # Kept, not checked yet: a later member of the same name replaces it, as in json.load.
            offset = src.offset()
            top[key] = (src.value(), offset)
        else:
            src.value()
    if "info" in top:
        _check_info(*top["info"], src)
    if items is None:
        if "requests" in top:
            raise InputError(f'{start}: a Postman v1 collection ("requests", no "item"): {_HOW_TO_V21}')
        raise InputError(f'{start}: "item" is missing: not a Postman collection')
    variables, offset = top.get("variable", ([], 0))
    if type(variables) is not list:
        raise src.error(f"variable: expected an array, got {kind(variables)}", offset)
    scope.set_collection(read_list(variables, "disabled"))
    own, offset = top.get("auth", (None, 0))
    if own is not None and type(own) is not dict:
        raise src.error(f"auth: expected an object, got {kind(own)}", offset)
    root = _Context(own if auth.applies(own) else None, False).inside({"protocolProfileBehavior": top.get(
        "protocolProfileBehavior", (None, 0))[0]})
    try:
        kinds = _scripts(top.get("event", (None, 0))[0], items)
        if kinds and items:
            done = ("the collection written holds none of them: its requests are as written" if scope.writes_collection
                    else "newman runs scripts; the commands send the requests as written")
            yield Note(f"the collection has {kinds} scripts: {done}", "", items[0][1])
        for i, (item, offset) in enumerate(items):
            yield from _walk(item, i, offset, root, scope, files)
    finally:
        src.hold = held
    src.finish()


# What newman names the scripts it runs, by the `listen` of their event.
_SCRIPT_KINDS = {"prerequest": "pre-request", "test": "test"}


def _scripts(events, items):
    """The kinds of script ("pre-request", "test", or both) the collection, its folders and its
    requests hold, in words; "" for none. Scripts left empty, as Postman's app writes them, are none."""
    found = set()
    stack = [events] + [item for item, _ in items]
    while stack and len(found) < len(_SCRIPT_KINDS):
        node = stack.pop()
        if type(node) is dict:
            stack.append(node.get("event"))
            stack.extend(v for v in (node.get("request"), node.get("item")) if type(v) in (dict, list))
        elif type(node) is list:
            for event in node:
                if type(event) is dict and "listen" in event:
                    found.update(filter(None, (_script_kind(event),)))
                else:
                    stack.append(event)
    return " and ".join(sorted(found))


def _script_kind(event):
    """What kind of script a runnable event holds, or None (disabled, empty or not a script newman runs)."""
    script = event.get("script")
    code = script.get("exec") if type(script) is dict else None
    if type(code) is list:
        code = "".join(line for line in code if type(line) is str)
    listen = event.get("listen")
    if event.get("disabled") is True or type(code) is not str or not code.strip() or type(listen) is not str:
        return None
    return _SCRIPT_KINDS.get(listen)


def _check_info(info, offset, src):
    if type(info) is not dict:
        raise src.error(f"info: expected an object, got {kind(info)}", offset)
    schema = info.get("schema")
    if schema is None:
        return
    if type(schema) is not str:
        raise src.error(f"info.schema: expected a string, got {kind(schema)}", offset)
    if schema in _V2_USUAL or _V2.search(schema):
        return
    if _V1.search(schema):
        raise src.error(f"info.schema: {shown(schema)} is a Postman v1 collection: {_HOW_TO_V21}", offset)
    raise src.error(f"info.schema: {shown(schema)} is not a v2.1.0 (or v2.0.0) collection", offset)


class _Path:
    """Where an item lies, as a chain to its folder: a path is spelled out only for a skip, so a
    deep tree costs a link per level, not a string per level."""

    __slots__ = ("parent", "index")

    def __init__(self, parent, index):
        self.parent = parent
        self.index = index

    def __str__(self):
        indices = []
        node = self
        while node is not None:
            indices.append(node.index)
            node = node.parent
        return ".".join(f"item[{i}]" for i in reversed(indices))


def _walk(top, i, offset, root, scope, files=None):
    """The requests of one top-level item, folders walked in order without recursion."""
    stack = [(iter(((top, _Path(None, i)),)), root)]
    while stack:
        children, context = stack[-1]
        step = next(children, None)
        if step is None:
            stack.pop()
            continue
        item, path = step
        if type(item) is not dict:
            yield Skip(f"expected an object, got {kind(item)}", _Label(path, None), offset)
            continue
        inner = item.get("item")
        if inner is not None:
            if type(inner) is not list:
                yield Skip(f"item: expected an array, got {kind(inner)}", _Label(path, item.get("name")), offset)
                continue
            stack.append((_children(inner, path), context.inside(item)))
            continue
        label = _Label(path, item.get("name"))
        if "request" not in item:
            yield Skip('an item needs "request" (or "item", for a folder)', label, offset)
            continue
        try:
            made = _request(item["request"], context.inside(item), scope, label, offset, files)
        except Bad as e:
            made = Skip(at(join("request", e.path), e.message), label, offset)
        except Unresolved as e:
            made = Skip(e.reason, label, offset)
        except UnicodeEncodeError as e:
            made = Skip(surrogate_reason(e), label, offset)
        except MemoryError:
            raise
        except Exception as e:  # noqa: BLE001 - whatever else an odd item sets off costs it alone
            made = Skip(unexpected(e), label, offset)
        yield made
        if scope.drawn and type(made) is not Skip:
            yield Note(_drawn(label, scope.drawn), "", offset)


_DRAWN_SHOWN = 4  # the values a note names; the count of the rest follows


def _drawn(label, drawn):
    """The note of the dynamic variables drawn for a request: each with its value."""
    named = ", ".join(f"{{{{{name}}}}} as {shown(value)}" for name, value in drawn[:_DRAWN_SHOWN])
    more = f" and {len(drawn) - _DRAWN_SHOWN} more" if len(drawn) > _DRAWN_SHOWN else ""
    return (f"{label}: {named}{more}, drawn once at conversion (newman draws a new value each time it sends "
            "the request)")


def _children(items, parent):
    """(item, path) for each item of a folder, named from the folder's path."""
    for j, child in enumerate(items):
        yield child, _Path(parent, j)


class _Label:
    """How a skip names an item: its path and, when it has one, its name. Formatted only when a
    request is skipped, which few are."""

    __slots__ = ("path", "name", "curl")

    def __init__(self, path, name):
        self.path = path
        self.name = name
        # What curl does by itself for the request, put around the module's command: command -> command.
        self.curl = None

    def __str__(self):
        path = str(self.path)
        if type(self.name) is not str:
            return path
        import json

        shown = json.dumps(self.name, ensure_ascii=False)
        if not shown.isprintable():
            # Every character a terminal would not show as itself escaped (C1 controls such as
            # U+009B start escape sequences in some terminals; U+0085 and U+2028 break lines).
            shown = "".join(c if c.isprintable() else f"\\u{ord(c):04x}" if ord(c) < 0x10000 else f"\\U{ord(c):08x}"
                            for c in shown)
        return f"{path} {shown if len(shown) <= 60 else shown[:56] + '...' + chr(34)}"


def _request(request, context, scope, label, offset, files=None):
    """The request as newman sends it; the paths of its fields are relative to it."""
    scope.begin_request()
    resolve = scope.resolve
    if type(request) is str:
        request = {"url": request}
    elif type(request) is not dict:
        raise expected("", "an object or a string", request)
    name = text(request, "method", "", default="GET", null="GET").upper()
    url, userinfo = urls.without_userinfo(urls.from_parts(request.get("url"), resolve))
    headers = _headers(request.get("header"), resolve)
    if scope.keep and not scope.writes_collection:
        for key, _ in headers:
            if "{{" in key and _REF.search(key):
                # Node refuses braces in a header name: newman sends nothing.
                return Skip(f"the header name {shown(key)} keeps a variable as written, which newman refuses (a "
                            "header name is an HTTP token)", label, offset)
    body, reason = bodies.read(request.get("body"), resolve, files)
    own = request.get("auth")
    added = None
    if reason is None:
        added, reason = auth.apply(own if auth.applies(own) else context.auth, resolve)
    if reason is None:
        method, reason = method_or_skip(name)
    if reason is not None:
        return Skip(reason, label, offset)
    # newman hashes the body for an AWS signature before a GET or HEAD body is dropped.
    hashed = body.text if body is not None else None
    if name in bodies.PRUNED and not context.keep_body:
        body = None
    if body is not None and body.curl is not None:
        # curl reads the files and writes the body itself; a form's type with its boundary too.
        typed = any(k.lower() == "content-type" for k, _ in headers)
        if body.content_type is None:
            own = [i for i, (k, _) in enumerate(headers) if k.lower() == "content-type"]
            if own and (own[-1] < len(headers) - 1 or added is not None and added.header is not None):
                # newman puts the form's type where the request's own stood; curl writes it last.
                return Skip("the request's own Content-Type comes before other headers, where curl cannot put "
                            "its form's type", label, offset)
            headers = [h for i, h in enumerate(headers) if i not in own]
        label.curl = body.curl
        # A file body's type, when the request names none, goes where newman puts it: last.
        late = None if typed or body.content_type is None else ("Content-Type", body.content_type)
        body = None
    else:
        late = None
    signed = None
    if added is not None and added.aws is not None:
        if label.curl is not None:
            return Skip("the awsv4 auth would sign a body that curl reads from files", label, offset)
        headers = [h for h in headers if h[0].lower() not in auth.Aws.REMOVED]
        signed = added.aws.headers(hashed)
        if added.aws.service == "s3" and not hashed:
            return Skip("the awsv4 auth for s3 has no body, where curl 8 adds a hash header newman does not",
                        label, offset)
    if added is not None and added.curl is not None:
        # curl answers the server's challenge itself, after whatever the body asks of it.
        first, answer = label.curl, added.curl
        label.curl = answer if first is None else lambda command: answer(first(command))
        added = None
    # newman's order: the request's headers, the Content-Type of a raw body marked JSON, the auth
    # header, then any other Content-Type it adds.
    content_type = late
    if body is not None:
        given = [i for i, (k, _) in enumerate(headers) if k.lower() == "content-type"]
        for i in given:
            if not body.keeps(headers[i][1]):
                headers[i] = (headers[i][0], body.content_type)
        if not given:
            content_type = ("Content-Type", body.content_type)
            if body.early:
                headers.append(content_type)
                content_type = None
    if added is not None:
        if added.header is not None:
            lower = added.header[0].lower()
            headers = [h for h in headers if h[0].lower() != lower]
            headers.append(added.header)
        else:
            url = urls.add_query(url, added.query)
    if signed:
        headers += signed
    if content_type is not None:
        headers.append(content_type)
    # Credentials of a `url` object, or in the address, go out as Basic auth, unless an Authorization
    # header is sent anyway.
    basic = urls.basic_auth(request.get("url"), resolve)
    if basic is None and userinfo:
        basic = urls.basic(userinfo)
    if basic is not None and not any(k.lower() == "authorization" for k, _ in headers):
        headers.append(("Authorization", basic))
    if context.raw_url:
        url, reason = urls.unencoded(url)
        if reason is not None:
            return Skip(reason, label, offset)
    else:
        # A reference kept as written stays readable in a collection written, for newman to read again.
        url = urls.as_sent(url, keep_references=scope.writes_collection)
    if signed is not None:
        if basic is not None:
            return Skip("the url's credentials beside the awsv4 auth", label, offset)
        reason = auth.aws_reason(url)
        if reason is not None:
            return Skip(reason, label, offset)
    return url, headers, method, None if body is None else body.text, label, offset


def _headers(headers, resolve):
    """The enabled headers, names and values with variables replaced; those with an empty name
    (as written or once replaced), which Postman does not send, left out."""
    if headers is None:
        return []
    if type(headers) is str:
        # Raw header lines, "Name: value" each, split only where Postman splits them.
        # (U+2028, U+0085, vertical tab and the like are text inside a value, not line ends.)
        lines = headers.replace("\r\n", "\n").replace("\r", "\n").split("\n")
        pairs = ((k.strip(), v.strip()) for k, colon, v in (line.partition(":") for line in lines) if colon)
        return [(name, resolve(v)) for k, v in pairs if k and (name := resolve(k))]
    if type(headers) is not list:
        raise expected("header", "an array or a string", headers)
    out = []
    for i, obj in enumerate(headers):
        if type(obj) is not dict:
            raise expected(f"header[{i}]", "an object", obj)
        if obj.get("disabled") is True:
            continue
        key = text(obj, "key", f"header[{i}]", default="", null="")
        value = text(obj, "value", f"header[{i}]", default="", null="")
        if key and (name := resolve(key)):
            out.append((name, resolve(value)))
    return out
