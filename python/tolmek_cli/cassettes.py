"""What the cassette readers (vcrpy, betamax) share: the label of an interaction, its recorded headers as a list, its body as sent."""

from .fields import Bad, Skip, at, expected, shown, surrogate_reason, text, unexpected


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


def sized(body, length, why=""):
    """(body, None), or (None, why it cannot be carried), given the recorded Content-Length: an
    empty body is sent only when that says 0 (a recorder writes no body and an empty one alike),
    and a body of another length was not recorded as sent (`why` may say how it came to be so)."""
    size = _size(length)
    if not body:
        if size:
            return None, f"the body was not recorded (Content-Length: {size})"
        return ("" if size == 0 else None), None
    if size is not None:
        n = len(body) if type(body) is bytes else len(body.encode("utf-8"))
        if n != size:
            in_utf8 = "" if type(body) is bytes else " in UTF-8"
            return None, (f"the recorded body is {n} bytes{in_utf8} but was sent with Content-Length: {size}: "
                          f"it was not recorded as sent{why}")
    return body, None


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
