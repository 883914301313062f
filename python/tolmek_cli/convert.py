"""Recognising the input format and turning its requests into curl commands or a collection."""

from tolmek import HTTPMETHOD, Tolmek, TolmekCollection
from tolmek_http.compose import TEXT_LIMIT, command, held_back

from . import har, jsonl, postman, pruning
from .carry import credentials_reason, scheme_reason
from .fields import NAMES, RESTART, Skip, shown, surrogate_reason
from .source import kind_at

READERS = {"har": har.read, "postman": postman.read, "jsonl": jsonl.read}

# The first member that tells the formats apart; other members are passed over until one does.
_FORMAT_BY_KEY = {"log": "har", "url": "jsonl", "method": "jsonl", "headers": "jsonl", "body": "jsonl"} | dict.fromkeys(
    ("info", "item", "event", "variable", "auth", "protocolProfileBehavior", "requests", "folders", "order"), "postman")


def detect(src):
    """The format of the input, from its first object's members; the input is left unread."""
    c = src.peek()
    if not c:
        raise src.error("the input is empty")
    if c != "{":
        found = kind_at(c)
        if found is None:
            raise src.bad_json("Expecting value")
        raise src.error(f"unknown input format: the input starts with {found}, not an object")
    start, offset = src.pos, src.offset()
    src.hold = True
    try:
        for key in src.members(""):
            fmt = _FORMAT_BY_KEY.get(key)
            if fmt is not None:
                return fmt
            src.value()
    finally:
        src.hold = False
        src.pos = start
    raise src.error('unknown input format: the object has none of "log" (HAR), "item" (Postman collection) '
                    'or "url" (JSON Lines); --from names the format', offset)


class Report:
    """The skipped requests, one line each, and the count of converted ones."""

    def __init__(self, src):
        self.src = src
        self.lines = []
        self.converted = 0

    def restart(self):
        self.lines.clear()
        self.converted = 0

    def skip(self, item):
        # Named now: the place must be taken while the entry's text is still buffered.
        label = f" {item.label}" if item.label else ""
        self.lines.append(f"{self.src.place(item.offset)}: skipped{label}: {item.reason}")


# A text body this long (in characters) may be longer than one argument takes in UTF-8.
_PIPED_FROM = TEXT_LIMIT // 4
_PRUNED = (HTTPMETHOD.GET, HTTPMETHOD.HEAD)
# curl sends a body with a form's Content-Type unless told otherwise: a record without one did not.
_NO_CONTENT_TYPE = held_back(("Content-Type",))


def _requests(items, report, restart, curl=False):
    """(Tolmek, label, offset, whether it is a GET or HEAD with a body, whether curl's Content-Type
    is to be held back) for each request that can be made, or (the request's fields, label, offset,
    the same two) for one whose body the module's command may not carry; the others are reported.
    `curl`: the requests become commands (URL credentials that curl would send as Basic auth must be
    the record's own, and a body goes without a Content-Type the record lacks)."""
    for item in items:
        if item is RESTART:
            report.restart()
            restart()
            continue
        if type(item) is Skip:
            report.skip(item)
            continue
        url, headers, method, body, label, offset = item
        reason = scheme_reason(url) if type(url) is str else None
        if reason is None and curl and type(url) is str:
            reason = credentials_reason(url, headers)
        if reason is not None:
            report.skip(Skip(reason, label, offset))
            continue
        pruned = bool(body) and method in _PRUNED
        # curl would add a Content-Type to a body that the record has none for.
        untyped = curl and body is not None and not any(k.lower() == "content-type" for k, _ in headers)
        if type(body) is bytes or (body is not None and len(body) > _PIPED_FROM) or type(method) is str:
            # Binary, or perhaps too long for one argument, or a method beyond the module's: the
            # composer decides how it goes to curl.
            yield (url, headers, method, body), label, offset, pruned, untyped
            continue
        try:
            request = Tolmek(url, headers, method, body)
        except ValueError as e:  # UnicodeEncodeError: a lone surrogate; else a request the module refuses
            reason = surrogate_reason(e) if isinstance(e, UnicodeEncodeError) else str(e)
            report.skip(Skip(reason, label, offset))
            continue
        yield request, label, offset, pruned, untyped


def commands(items, report):
    """The curl command of each request, in order."""
    render = Tolmek.get_request_command
    out = []
    append = out.append
    for request, label, offset, _, untyped in _requests(items, report, out.clear, curl=True):
        try:
            line = render(request) if type(request) is Tolmek else command(*request)
            if getattr(label, "curl", None) is not None:
                line = label.curl(line)  # options for what curl reads or answers by itself
            append(line + _NO_CONTENT_TYPE if untyped else line)
        except ValueError as e:  # a request no command line can carry; the message says why
            if isinstance(e, UnicodeEncodeError):
                e = surrogate_reason(e)
            report.skip(Skip(str(e), label, offset))
    report.converted = len(out)
    return out


def document(items, report):
    """The collection document of the requests, in order; a GET or HEAD keeps its body in newman too."""
    made = [TolmekCollection()]
    kept = []

    def restart():
        made[0] = TolmekCollection()
        kept.clear()

    for request, label, offset, pruned, _ in _requests(items, report, restart):
        if getattr(label, "curl", None) is not None:
            report.skip(Skip("its file body, file fields, digest or awsv4 auth are curl's to send, which a collection's "
                             "request cannot hold", label, offset))
            continue
        if type(request) is not Tolmek:
            url, headers, method, body = request
            if type(method) is str:
                report.skip(Skip(f"method {shown(method)} is not one of {', '.join(NAMES)}, the methods a "
                                 "collection document holds", label, offset))
                continue
            if type(body) is bytes:
                report.skip(Skip("the body is binary data, which a collection's raw body cannot hold", label, offset))
                continue
            try:
                request = Tolmek(url, headers, method, body)
            except ValueError as e:
                report.skip(Skip(surrogate_reason(e) if isinstance(e, UnicodeEncodeError) else str(e), label, offset))
                continue
        if pruned:
            kept.append(report.converted)
        made[0].add_request(request)
        report.converted += 1
    return pruning.keep_bodies(made[0].export_collection(), kept)
