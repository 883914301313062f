"""What the cassette readers (vcrpy, betamax) share: the label of an interaction, its recorded headers as a list, its body as sent."""

from .fields import Bad, Note, Skip, at, expected, shown, surrogate_reason, text, unexpected


class Label(str):
    """The name of an interaction. `exact`: its headers are all the client sent but Host, so the
    command keeps curl from adding its own (User-Agent, Accept) where the client sent none."""

    __slots__ = ()
    exact = True


class Chunks(list):
    """The chunks of an iterator body (vcrpy writes `!!python/object/apply:builtins.iter`)."""

    __slots__ = ()


def header_list(raw, path):
    """A recorded header mapping (name -> list of values, or one value) as (name, value) pairs in
    its order; a missing or null mapping is empty."""
    if raw is None:
        return []
    if type(raw) is not dict:
        raise expected(path, "an object (header name -> values)", raw)
    out = []
    for name, values in raw.items():
        if type(name) is not str:
            raise expected(f"{path} (a name)", "a string", name)
        where = f"{path}[{shown(name, 40)}]"
        if type(values) is str:
            values = (values,)
        elif type(values) is not list:
            raise expected(where, "an array of strings", values)
        for i, value in enumerate(values):
            if type(value) is not str:
                raise expected(f"{where}[{i}]", "a string", value)
            out.append((name, value))
    return out


def length_of(headers):
    """The first recorded Content-Length value, or None. The header stays in its place: a body
    carried at all is the recorded one, of that length (see `sized`)."""
    for name, value in headers:
        if name.lower() == "content-length":
            return value
    return None


def as_sent(body):
    """Recorded bytes as the command takes them: text when they are UTF-8 without NUL (which no
    argument holds), else the bytes."""
    if type(body) is bytes and b"\x00" not in body:
        try:
            return body.decode("utf-8")
        except UnicodeDecodeError:
            pass
    elif type(body) is str and "\x00" in body:
        return body.encode("utf-8")
    return body


def _size(length):
    """A Content-Length value as a number; None when there is none or it is not one."""
    if length is None:
        return None
    length = length.strip()
    if not (length.isascii() and length.isdigit()) or len(length) > 30:
        return None
    return int(length)


def sized(body, length, rewritten=""):
    """(body, None, None), or (None, why it cannot be carried, None), given the recorded
    Content-Length: an empty body is sent only when that says 0 (a recorder writes no body and an
    empty one alike). A body of another length was changed after recording: (body, None, what
    changed) when a filter did it, the length then curl's own; one `rewritten` by its recorder
    (betamax's U+FFFD in place of bytes; the text says how) is not carried."""
    size = _size(length)
    if not body:
        if size:
            return None, f"the body was not recorded (Content-Length: {size})", None
        return ("" if size == 0 else None), None, None
    if size is not None:
        n = len(body) if type(body) is bytes else len(body.encode("utf-8"))
        if n != size:
            differs = f"the recorded body is {n} bytes{'' if type(body) is bytes else ' in UTF-8'} but was sent " \
                      f"with Content-Length: {size}: "
            if rewritten:
                return None, f"{differs}it was not recorded as sent{rewritten}", None
            return body, None, (f"{differs}a filter changed it after recording; it goes without the recorded "
                                "Content-Length, its length computed from the body sent")
    return body, None, None


# What newman sends in place of characters of a target's path and query as its default URL encoding
# writes them (newman 6); an item holding them is marked to send its URL as written instead.
_NEWMAN_ENCODES_PATH = frozenset('<>{}`"')
_NEWMAN_ENCODES_QUERY = frozenset("<>\"'")


def carried(url, headers, method, body, label, offset, options, edited):
    """The notes and the request of an interaction as the readers yield them, made for the run's
    command: a body a filter changed goes without the recorded Content-Length; placeholders a
    filter wrote become variables; what curl or newman send otherwise than recorded (Host's case
    and place, Expect: 100-continue, a backslash in the path) is named or left out with a note."""
    notes = []
    postman = getattr(options, "command", "curl") == "postman"
    if edited is not None:
        notes.append(edited)
    found = _placeholders(options)
    if found is not None:
        url = found.replaced(url)
        headers = [(n, found.replaced(v, n)) for n, v in headers]
        if type(body) is str:
            from tolmek_http.compose import TEXT_LIMIT

            replaced = found.replaced(body)
            if len(replaced) <= TEXT_LIMIT // 4 or len(replaced.encode("utf-8")) <= TEXT_LIMIT:
                body = replaced
        if found.tokens:
            names = ", ".join(f"{p} ({n})" for p, n in found.found)
            notes.append(f"a filter wrote placeholders in place of what was sent: {names}; "
                         + ("the collection sends them as {{variables}}: give their values as newman's --env-var "
                            "NAME=VALUE or in an environment" if postman else
                            "the script reads them from those shell variables and stops where one is not set"))
            label = Holding(label)
            label.holders = found.tokens
            edited = edited or (body is not None and any(t in body for t in found.tokens))
    if edited:
        headers = [(n, v) for n, v in headers if n.lower() != "content-length"]
    host = next(((i, n) for i, (n, _) in enumerate(headers) if n.lower() == "host"), None)
    if host is not None and not postman and host != (0, "Host"):
        notes.append(f"the cassette holds Host as {host[1]!r}, header {host[0] + 1} of {len(headers)}: curl sends "
                     "the Host header first and spelt Host")
    if postman:
        if any(n.lower() == "expect" and v.strip().lower() == "100-continue" for n, v in headers):
            headers = [(n, v) for n, v in headers if n.lower() != "expect"]
            notes.append("newman cannot send Expect: 100-continue (its client fails once the server answers "
                         "100 Continue): the collection leaves the header out")
        after = url.split("://", 1)[-1]
        cut = [at for at in (after.find("/"), after.find("?")) if at >= 0]
        target = after[min(cut):].split("#", 1)[0] if cut else ""
        path, _, query = target.partition("?")
        if "\\" in path:
            notes.append("newman sends a backslash in the path as /")
        if all("!" <= c <= "~" for c in target) and (_NEWMAN_ENCODES_PATH.intersection(path)
                                                      or _NEWMAN_ENCODES_QUERY.intersection(query)):
            label = label if type(label) is Holding else Holding(label)
            label.as_written = True
    return (*(Note(n, label, offset) for n in notes), (url, headers, method, body, label, offset))


class Holding(Label):
    """A label whose request holds tokens for variables (`holders`: token -> name), or whose URL
    newman is to send as written (`as_written`)."""

    holders = None
    as_written = False


def _placeholders(options):
    if options is None:
        return None
    from .placeholders import Placeholders

    return Placeholders(options)


def recorded_request(entry):
    """(the request object, its method, uri, headers as a list, their Content-Length) of one
    interaction; Bad when it has no request object."""
    if type(entry) is not dict:
        raise expected("", "an object", entry)
    request = entry.get("request")
    if type(request) is not dict:
        raise Bad("request", "is missing") if request is None else expected("request", "an object", request)
    headers = header_list(request.get("headers"), "request.headers")
    return request, text(request, "method", "request"), text(request, "uri", "request"), headers, length_of(headers)


def interaction(read, entry, label, offset):
    """What `read(entry, label, offset)` makes of one interaction (its notes and request, as a
    tuple), or the Skip naming why it could not: one interaction written oddly does not cost the others."""
    try:
        return read(entry, label, offset)
    except Bad as e:
        return (Skip(at(e.path, e.message), label, offset),)
    except UnicodeEncodeError as e:
        return (Skip(surrogate_reason(e), label, offset),)
    except MemoryError:
        raise
    except Exception as e:  # noqa: BLE001 - whatever else an odd interaction sets off costs it alone
        return (Skip(unexpected(e), label, offset),)
