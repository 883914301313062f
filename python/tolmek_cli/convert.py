"""Recognising the input format and turning its requests into curl commands or a collection."""

from tolmek import HTTPMETHOD, Tolmek, TolmekCollection

from .carry import credentials_reason, scheme_reason
from .fields import NAMES, RESTART, Note, Skip, shown, surrogate_reason
from .source import kind_at


def reader(fmt):
    """The reader of a format: only its module is imported, the others cost a run nothing."""
    if fmt == "har":
        from .har import read
    elif fmt == "postman":
        from .postman import read
    elif fmt == "vcr":
        from .vcr import read
    elif fmt == "betamax":
        from .betamax import read
    elif fmt == "curl":
        from .curl_in import read
    else:
        from .jsonl import read
    return read


# The first member that tells the formats apart; other members are passed over until one does.
_FORMAT_BY_KEY = {"log": "har", "url": "jsonl", "method": "jsonl", "headers": "jsonl", "body": "jsonl"} | dict.fromkeys(
    ("info", "item", "event", "variable", "auth", "protocolProfileBehavior", "requests", "folders", "order"), "postman"
) | {"interactions": "vcr", "http_interactions": "betamax", "recorded_with": "betamax"}

# The first keys a vcrpy cassette in YAML may start with (vcrpy writes them sorted: "interactions" first).
_YAML_KEYS = ("interactions:", "version:")


def _yaml_cassette(src):
    """Whether the text ahead starts as a vcrpy cassette in YAML: past comments, directives and a
    document start, a top-level key of one. Only the first buffered chunk is looked at."""
    head = src.buf[src.pos:src.pos + 4096]
    for line in head.splitlines():
        stripped = line.strip()
        if not stripped or stripped.startswith(("#", "%")) or stripped == "---":
            continue
        return line.startswith(_YAML_KEYS)
    return False


def _curl_command(src):
    """Whether the text ahead is curl command lines: past blank and comment lines, its first word
    is curl. Only the first buffered chunk is looked at."""
    head = src.buf[src.pos:src.pos + 4096]
    for line in head.splitlines():
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        word = stripped.split(None, 1)[0]
        if word in ("printf", "{") and "| curl " in stripped:
            return True  # a body piped into curl, as tolmek writes a binary one
        return word in ("curl", "curl.exe") or word.startswith(("curl^", "curl.exe^"))
    return False


def detect(src):
    """The format of the input, from its first object's members; the input is left unread."""
    c = src.peek()
    if not c:
        raise src.error("the input is empty")
    if c != "{":
        if _yaml_cassette(src):
            return "vcr"
        if _curl_command(src):
            return "curl"
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
    raise src.error('unknown input format: the object has none of "log" (HAR), "item" (Postman collection), '
                    '"url" (JSON Lines), "interactions" (vcrpy cassette) or "http_interactions" (betamax '
                    'cassette); --from names the format', offset)


class Report:
    """The skipped requests and the losses of carried ones, one line each, in order; the count of
    skipped and of converted ones."""

    def __init__(self, src):
        self.src = src
        self.lines = []
        self.skipped = 0
        self.converted = 0

    def restart(self):
        self.lines.clear()
        self.skipped = self.converted = 0

    def note(self, item):
        where = f"{item.label} carried as recorded" if item.label else "note"
        self.lines.append(f"{self.src.place(item.offset)}: {where}: {item.reason}")

    def skip(self, item):
        # Named now: the place must be taken while the entry's text is still buffered.
        label = f" {item.label}" if item.label else ""
        self.lines.append(f"{self.src.place(item.offset)}: skipped{label}: {item.reason}")
        self.skipped += 1


_PRUNED = (HTTPMETHOD.GET, HTTPMETHOD.HEAD)


def _piped_from():
    """A text body this long (in characters) may be longer than one argument takes in UTF-8. The
    composer is imported only once a request has a body: a run of GETs does without it."""
    from tolmek_http.compose import TEXT_LIMIT

    return TEXT_LIMIT // 4


# Texts of at most this many characters (URL, a header's name and value together) surely make
# arguments within the composer's ARG_LIMIT: the composer need not count them.
_SURELY_SHORT = (128 * 1024 - 1) // 4


def _held_back(names):
    """The options keeping curl from sending these headers of its own accord, as the composer's
    held_back writes them: written here, as the composer brings the regular expressions with it."""
    return "".join(f" -H '{name}:'" for name in names)


# What curl sends by itself that a record listing every header the client sent (a label with
# `exact`) would name if the client had sent it; Host is left to curl, as recorders leave it out.
_CURL_OWN = ("User-Agent", "Accept")
_CURL_BODY_OWN = ("Expect",)


def _entries(items, report, restart):
    """The reader's request tuples; its skips and notes reported, a restart passed on."""
    for item in items:
        if item is RESTART:
            report.restart()
            restart()
        elif type(item) is Skip:
            report.skip(item)
        elif type(item) is Note:
            report.note(item)
        else:
            yield item


def _requests(items, report, restart, curl=False):
    """(Tolmek, label, offset, whether it is a GET or HEAD with a body, the names of the headers
    curl is to be kept from adding) for each request that can be made, or (the request's fields,
    label, offset, the same two) for one whose body the module's command may not carry; the others
    are reported (skips, and notes of losses).
    `curl`: the requests become commands (URL credentials that curl would send as Basic auth must be
    the record's own, and a body goes without a Content-Type the record lacks)."""
    piped_from = None
    for url, headers, method, body, label, offset in _entries(items, report, restart):
        reason = scheme_reason(url) if type(url) is str else None
        if reason is None and curl and type(url) is str:
            reason = credentials_reason(url, headers)
            if reason is None and (len(url) > _SURELY_SHORT
                                   or any(len(n) + len(v) > _SURELY_SHORT for n, v in headers)):
                from tolmek_http.compose import argument_reason

                reason = argument_reason(url, headers)
        if reason is not None:
            report.skip(Skip(reason, label, offset))
            continue
        pruned = bool(body) and method in _PRUNED
        held = ()
        exact = curl and getattr(label, "exact", False)
        if exact or curl and body is not None:  # a GET of a HAR or JSON Lines file needs none of this
            present = {k.lower() for k, _ in headers}
            # curl would add a Content-Type to a body that the record has none for.
            if body is not None and "content-type" not in present:
                held = ("Content-Type",)
            if exact:
                own = _CURL_OWN + _CURL_BODY_OWN if body is not None else _CURL_OWN
                held += tuple(name for name in own if name.lower() not in present)
        if body is not None and piped_from is None:
            piped_from = _piped_from()
        if type(body) is bytes or (body is not None and len(body) > piped_from) or type(method) is str \
                or (exact and "%" in url):
            # Binary, or perhaps too long for one argument, or a method beyond the module's, or a
            # recorded target whose escapes curl 8 would write in upper case: the composer decides
            # how it goes to curl.
            yield (url, headers, method, body), label, offset, pruned, held
            continue
        try:
            request = Tolmek(url, headers, method, body)
        except ValueError as e:  # UnicodeEncodeError: a lone surrogate; else a request the module refuses
            reason = surrogate_reason(e) if isinstance(e, UnicodeEncodeError) else str(e)
            report.skip(Skip(reason, label, offset))
            continue
        yield request, label, offset, pruned, held


def commands(items, report, extra="", comments=False):
    """The curl command of each request, in order, each followed by `extra` (checked curl options)
    and, with `comments`, after a comment line naming where its request comes from."""
    render = Tolmek.get_request_command
    out = []
    append = out.append
    checked = set()  # the variables the script has made sure are set
    if comments:
        from tolmek_http.script_out import comment
    for request, label, offset, _, held in _requests(items, report, out.clear, curl=True):
        try:
            if type(request) is Tolmek:
                line = render(request)
            else:
                from tolmek_http.compose import command

                line = command(*request)
            if getattr(label, "curl", None) is not None:
                line = label.curl(line)  # options for what curl reads or answers by itself
            if held:
                line += _held_back(held)
            holders = getattr(label, "holders", None)
            if holders:
                line = _with_variables(line, holders, checked)
            if comments:
                line = comment(f"{report.src.place(offset)}: {label}" if label else report.src.place(offset)) \
                    + "\n" + line
            append(line + extra)
        except ValueError as e:  # a request no command line can carry; the message says why
            if isinstance(e, UnicodeEncodeError):
                e = surrogate_reason(e)
            report.skip(Skip(str(e), label, offset))
    report.converted = len(out)
    return out


def _with_variables(line, holders, checked):
    """The command with each token replaced by its shell variable (quoted as recording's script quotes
    its secrets), after a line stopping the script where one it has not yet named is not set."""
    from tolmek_http.script_out import _splice

    line = _splice(line, holders)
    new = [name for name in dict.fromkeys(holders.values()) if name not in checked]
    checked.update(new)
    checks = "".join(f': "${{{name}?is not set: export it with the value the cassette holds a placeholder for}}"\n'
                     for name in new)
    return checks + line


class Collection:
    """The collection of a run's requests, made as the files are read: the module copies each request
    in, so none is held beyond its own conversion. A file's requests can be taken out again (the
    file failed, or a repeated member starts it over); those of the files before it stay."""

    def __init__(self):
        self.made = TolmekCollection()
        self.count = 0
        self.kept = []  # the positions of GET and HEAD requests whose body newman is to keep
        self.as_written = []  # the positions of requests whose URL newman is to send as written
        self.holders = {}  # token -> the variable it stands for

    def _back_to(self, start):
        if self.count > start:
            self.made = TolmekCollection(self.made.get_collection()[:start]) if start else TolmekCollection()
            self.count = start
            self.kept = [i for i in self.kept if i < start]
            self.as_written = [i for i in self.as_written if i < start]

    def add(self, items, report):
        """Add the requests of one file, in order; on a failure, none of them is kept."""
        start = self.count
        try:
            self._add(items, report, start)
        except BaseException:
            self._back_to(start)
            raise

    def _add(self, items, report, start):
        for request, label, offset, pruned, _ in _requests(items, report, lambda: self._back_to(start)):
            if getattr(label, "curl", None) is not None:
                report.skip(Skip("its file body, file fields, digest or awsv4 auth are curl's to send, which a "
                                 "collection's request cannot hold", label, offset))
                continue
            if type(request) is not Tolmek:
                url, headers, method, body = request
                if type(method) is str:
                    report.skip(Skip(f"method {shown(method)} is not one of {', '.join(NAMES)}, the methods a "
                                     "collection document holds", label, offset))
                    continue
                if type(body) is bytes:
                    report.skip(Skip("the body is binary data, which a collection's raw body cannot hold", label,
                                     offset))
                    continue
                try:
                    request = Tolmek(url, headers, method, body)
                except ValueError as e:
                    report.skip(Skip(surrogate_reason(e) if isinstance(e, UnicodeEncodeError) else str(e), label,
                                     offset))
                    continue
            if pruned:
                self.kept.append(self.count)
            if getattr(label, "as_written", False):
                self.as_written.append(self.count)
            self.holders.update(getattr(label, "holders", None) or ())
            self.made.add_request(request)
            self.count += 1
            report.converted += 1

    def document(self):
        """The collection document; a GET or HEAD keeps its body in newman too."""
        text = self.made.export_collection()
        for token, name in self.holders.items():
            text = text.replace(token, "{{" + name + "}}")
        if not self.kept and not self.as_written:
            return text
        from .pruning import keep_bodies

        return keep_bodies(text, self.kept, self.as_written)


# Why a request whose reader left curl something to do (label.curl) goes to no other form.
_CURL_ONLY = "its file body, file fields, digest or AWS signature, or proxy are curl's to send"


def values(items, report, restart, first=0):
    """The request value (tolmek_forms.Request) of each request that can be made, numbered on from
    `first`; the others are reported. Each value keeps its report and its place, named now while the
    entry's text is still buffered."""
    from tolmek_forms import Request

    index = first

    def again():
        nonlocal index
        index = first
        restart()

    for url, headers, method, body, label, offset in _entries(items, report, again):
        reason = scheme_reason(url) if type(url) is str else None
        if reason is None:
            reason = credentials_reason(url, headers)
        if reason is None and type(body) is str:
            try:
                body = body.encode("utf-8")
            except UnicodeEncodeError as e:
                reason = surrogate_reason(e)
        if reason is None:
            try:
                for name, value in headers:
                    name.encode("utf-8")
                    value.encode("utf-8")
                url.encode("utf-8")
            except UnicodeEncodeError as e:
                reason = surrogate_reason(e)
        if reason is not None:
            report.skip(Skip(reason, label, offset))
            continue
        name = method if type(method) is str else NAMES[int(method)]  # a member's number is its place in NAMES
        value = Request(name, url, headers, body, label=label, offset=report.src.place(offset), index=index,
                        needs_curl=_CURL_ONLY if getattr(label, "curl", None) is not None else None,
                        holders=getattr(label, "holders", None))
        value.report = report
        index += 1
        yield value
