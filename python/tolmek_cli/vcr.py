"""vcrpy cassettes: interactions[].request, from YAML (vcrpy's default) or JSON (its json serializer)."""

from .cassettes import Chunks, Label, as_sent, carried, interaction, recorded_request, sized
from .fields import RESTART, Bad, Note, Skip, expected, method_or_skip, shown, unexpected
from .source import InputError
from . import variables

# What no vcrpy cassette keeps, said once a file: vcrpy holds a request's headers in a dict.
_ONE_VALUE = ("keeps one value per header name (from httpx the values joined with ', ', from the others "
              "the last one) and from httpx the names in lower case: a header sent more than once, and the case "
              "of httpx's names, go as the cassette has them")
_LOSS_YAML = "a vcrpy cassette in YAML lists each request's headers sorted by name and " + _ONE_VALUE
_LOSS_JSON = "a vcrpy cassette " + _ONE_VALUE

_NO_AGENT = ("the cassette has no User-Agent: from aiohttp and urllib3 vcrpy records only the headers a request "
             "was given, not those the client adds itself (User-Agent, Accept-Encoding, and aiohttp's Accept, a "
             "body's Content-Type and its framing, Content-Length or Transfer-Encoding); they are not sent, and "
             "curl frames the body itself")

_NO_IDENTITY = ("the cassette has no Accept-Encoding: vcrpy does not record the one http.client adds for "
               "urllib.request (identity); none is sent")


def read(src, options=None):
    """Yield (url, headers, method, body, label, offset) per interaction, or a Skip or Note."""
    def entry(raw, label, offset):
        return _entry(raw, label, offset, options)

    if src.peek() == "{":
        yield from _json(src, entry)
    else:
        yield from _yaml(src, variables.run_growth(options), entry)


def _json(src, entry):
    start = src.place(src.offset())
    found, version = False, None
    for key in src.members(""):
        if key == "interactions":
            if found:
                yield RESTART
            found = True
            yield Note(_LOSS_JSON, "", src.offset())
            for i, offset in enumerate(src.elements("interactions")):
                yield from interaction(entry, src.value(), Label(f"interactions[{i}]"), offset)
        elif key == "version":
            version = src.value()
            version = str(version) if type(version) is int else shown(version)
        else:
            src.value()
    if not found:
        raise InputError(f'{start}: "interactions" is missing: not a vcrpy cassette')
    src.finish()
    _check_version(version, start)


def _check_version(version, place):
    if version is not None and version != "1":
        raise InputError(f"{place}: version {version}: tolmek reads vcrpy cassettes of version 1")


def _yaml(src, added, read_one):
    text, base = src.rest()
    from .yamlload import Cassette, reason, refused

    cassette = Cassette(src, text, base)
    try:
        interactions, version = cassette.top()
        _check_version(version, src.place(base))
        yield Note(_LOSS_YAML, "", cassette.offset(interactions.start_mark))
        for i, node in enumerate(interactions.value):
            label, offset = Label(f"interactions[{i}]"), cassette.offset(node.start_mark)
            too_large = _expanded(cassette, node, added)
            if too_large is not None:
                yield Skip(too_large, label, offset)
                continue
            try:
                made = cassette.make(node)
            except RecursionError:
                yield Skip("nested deeper than the reader goes", label, offset)
                continue
            except Exception as e:  # noqa: BLE001 - PyYAML's own errors, and what a hostile node sets off
                yield Skip(reason(e) if refused(e) else unexpected(e), label, offset)
                continue
            yield from interaction(read_one, made, label, offset)
    finally:
        cassette.close()


def _expanded(cassette, node, added):
    """Why YAML aliases make the interaction too large, or None; a request's and the run's budgets are
    those of a collection's variables, the interaction's own text (that of the node an alias names)
    taken for the request's, and what aliases repeat charged to the run."""
    made, new = cassette.expansion(node)
    if made > variables.EXPANSION * max(node.end_mark.index - node.start_mark.index, 1):
        return f"YAML aliases expand the interaction to more than {variables.EXPANSION} times its own text"
    if added[0] + made - new > variables.RUN_GROWTH:
        return f"YAML aliases expand the run's requests by more than {variables.run_budget()}"
    added[0] += made - new
    return None


def _entry(entry, label, offset, options):
    request, name, url, headers, length = recorded_request(entry)
    body, loss = _body(request.get("body"))
    body, reason, edited = sized(body, length)
    scheme, sep, _ = url.partition("://")
    if reason is None and not (sep and scheme[:1].isalpha() and all(c.isalnum() or c in "+-." for c in scheme)):
        reason = (f"the uri {shown(url)} has no scheme and host (vcrpy records a request of an aiohttp session "
                  "with base_url by its path alone): there is no server to send it to")
    if reason is None:
        method, reason = method_or_skip(name)
    if reason is not None:
        return (Skip(reason, label, offset),)
    notes = []
    if loss is not None:
        notes.append(Note(loss, label, offset))
    agent = [v for k, v in headers if k.lower() == "user-agent"]
    if not agent:
        notes.append(Note(_NO_AGENT, label, offset))
    elif agent[0].startswith("Python-urllib/") and not any(k.lower() == "accept-encoding" for k, _ in headers):
        notes.append(Note(_NO_IDENTITY, label, offset))
    return (*notes, *carried(url, headers, method, body, label, offset, options, edited))


def _body(raw):
    """(the body as sent, or None; the loss it is carried with, or None)."""
    if raw is None or type(raw) in (str, bytes):
        return as_sent(raw), None
    if type(raw) is Chunks:
        # An iterator body, as vcrpy kept its chunks: sent whole (chunked when the headers say so).
        parts = []
        for i, chunk in enumerate(raw):
            if type(chunk) is str:
                chunk = chunk.encode("utf-8")
            elif type(chunk) is not bytes:
                raise expected(f"request.body[{i}]", "a string or bytes", chunk)
            parts.append(chunk)
        return as_sent(b"".join(parts)), None
    if type(raw) in (dict, list):
        return _mapping(raw), ("the body is recorded as data (aiohttp's json= or data=), not as the bytes sent: "
                               "it is sent as JSON text as json.dumps writes it (keys in the cassette's order, "
                               "which YAML sorts), without the Content-Type aiohttp added")
    raise expected("request.body", "a string, bytes, a mapping or null", raw)


def _mapping(data):
    """A body recorded as data, as JSON text (aiohttp's json= writes it with json.dumps)."""
    import json

    try:
        return json.dumps(data)
    except (TypeError, ValueError) as e:  # a value JSON has no form for, or data holding itself
        raise Bad("request.body", f"the recorded data has no JSON form ({e})") from None
