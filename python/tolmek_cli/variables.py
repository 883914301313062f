"""Postman variables: the scopes (globals, collection, environment) and `{{name}}` substitution."""

from .fields import Pattern, file_name, shown
from .source import RunError, encoding

# A reference holds no braces, so `{{{{inner}}}}` resolves the inner name first, then the name it made.
_REF = Pattern(r"\{\{([^{}]*?)\}\}")
# Postman gives up after this many rounds of substitution; more rounds than this means a loop.
_ROUNDS = 20
# A text that grows past this in substitution is taken for a loop too (a value that names itself
# twice doubles each round).
_GROWTH = 1 << 20
# What substitution may make of one request: this many times its own texts and every value in scope
# together. Values that name each other twice over double at each step; beyond this, the output of a
# small file would be a bomb.
EXPANSION = 64
# And what it may add over a whole run, however many requests share it. Both hold for every expansion
# of the input: YAML aliases in a cassette too.
RUN_GROWTH = 1 << 30


def run_growth(options):
    """What expansion has added to the run's requests so far, in characters: a one-item list shared
    by every file the run reads."""
    shared = getattr(options, "shared", None)
    return [0] if shared is None else shared.setdefault("growth", [0])


def run_budget():
    """RUN_GROWTH in words."""
    return f"{RUN_GROWTH >> 30} GiB" if RUN_GROWTH >= 1 << 30 else f"{RUN_GROWTH >> 20} MiB"


# newman's dynamic variables that need no word list: drawn here once per reference, in the forms
# newman writes them (a function of a random source, `r`, each).
_HEX = "0123456789abcdef"


def _uuid(r):
    """A version 4 UUID in lower case, as uuid.v4() writes it."""
    h = f"{r.getrandbits(128):032x}"
    return f"{h[:8]}-{h[8:12]}-4{h[13:16]}-{'89ab'[r.randrange(4)]}{h[17:20]}-{h[20:]}"


def _now_seconds(r):
    """The time now in whole seconds since 1970."""
    import time

    return str(int(time.time() + 0.5))  # JavaScript's Math.round(Date.now() / 1000)


def _now_iso(r):
    """The time now in UTC as JavaScript's toISOString() writes it (milliseconds, "Z")."""
    from datetime import datetime, timezone

    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


DRAWN = {
    "$guid": _uuid,
    "$randomUUID": _uuid,
    "$timestamp": _now_seconds,
    "$isoTimestamp": _now_iso,
    "$randomInt": lambda r: str(r.randrange(1001)),
    "$randomBoolean": lambda r: r.choice(("true", "false")),
    "$randomAlphaNumeric": lambda r: r.choice("0123456789abcdefghijklmnopqrstuvwxyz"),
    "$randomHexColor": lambda r: "#" + "".join(f"{r.randrange(257) // 2:02x}" for _ in range(3)),
    "$randomIP": lambda r: ".".join(str(r.randrange(256)) for _ in range(4)),
    "$randomIPV6": lambda r: ":".join("".join(r.choice(_HEX) for _ in range(4)) for _ in range(8)),
    "$randomMACAddress": lambda r: ":".join(f"{r.randrange(16):x}{r.randrange(16):x}" for _ in range(6)),
    "$randomBankAccount": lambda r: "".join(str(r.randrange(10)) for _ in range(8)),
    "$randomSemver": lambda r: ".".join(str(r.randrange(10)) for _ in range(3)),
}
# The rest of newman's dynamic variables: faker's words, names, addresses and dates, which tolmek does not hold.
_WORDS = frozenset(("$" + n for n in """randomPhoneNumber randomPhoneNumberExt randomLocale randomWords
    randomFilePath randomDirectoryPath randomCity randomStreetName randomStreetAddress randomCountry randomCountryCode
    randomLatitude randomLongitude randomColor randomDepartment randomProductName randomProductAdjective
    randomProductMaterial randomProduct randomCompanyName randomCompanySuffix randomCatchPhrase randomBs
    randomCatchPhraseAdjective randomCatchPhraseDescriptor randomCatchPhraseNoun randomBsAdjective randomBsBuzz
    randomBsNoun randomDatabaseColumn randomDatabaseType randomDatabaseCollation randomDatabaseEngine randomDatePast
    randomDateFuture randomDateRecent randomMonth randomWeekday randomBankAccountName randomCreditCardMask
    randomPrice randomTransactionType randomCurrencyCode randomCurrencyName randomCurrencySymbol randomBitcoin
    randomBankAccountIban randomBankAccountBic randomAbbreviation randomAdjective randomNoun randomVerb
    randomIngverb randomPhrase randomAvatarImage randomImageUrl randomAbstractImage randomAnimalsImage
    randomBusinessImage randomCatsImage randomCityImage randomFoodImage randomNightlifeImage randomFashionImage
    randomPeopleImage randomNatureImage randomSportsImage randomTransportImage randomImageDataUri randomEmail
    randomExampleEmail randomUserName randomProtocol randomUrl randomDomainName randomDomainSuffix randomDomainWord
    randomUserAgent randomPassword randomLoremWord randomLoremWords randomLoremSentence randomLoremSlug
    randomLoremSentences randomLoremParagraph randomLoremParagraphs randomLoremText randomLoremLines
    randomFirstName randomLastName randomFullName randomJobTitle randomNamePrefix randomNameSuffix
    randomJobDescriptor randomJobArea randomJobType randomWord randomFileName randomCommonFileName randomMimeType
    randomCommonFileType randomCommonFileExt randomFileType randomFileExt""".split()))


class Unresolved(Exception):
    """A text still holds a reference after substitution: `reason` says which and why."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason


def value_text(value):
    """A value as the text Postman puts in its place (JavaScript's String(value))."""
    if type(value) is str:
        return value
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    from . import deep  # only for values that are not text: json and its regular expressions

    if isinstance(value, (int, float)):
        return deep.js_number(value)
    return deep.encode(value)


def read_list(values, off_key):
    """{name: text} of a list of {"key", "value"} objects; those marked off (`off_key` true, or
    "enabled": false) are left out. Entries that are not objects with a string key are passed over."""
    out = {}
    if type(values) is not list:
        return out
    for v in values:
        if type(v) is not dict or type(v.get("key")) is not str:
            continue
        if v.get(off_key) is True or v.get("enabled") is False:
            continue
        out[v["key"]] = value_text(v.get("value"))
    return out


def load_file(path, what):
    """The enabled values of a Postman globals or environment export."""
    import json

    from . import deep

    shown_path = file_name(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise RunError(f"cannot read {shown_path}: {e.strerror}") from None
    # Read as the main input is: UTF-8, or UTF-16 or UTF-32 by their byte order mark or zero bytes.
    codec, name, mark = encoding(data[:4])
    try:
        text = data[mark:].decode(codec)
        # As the main input is read: nesting as deep as memory allows, integers of any length.
        start = deep.WHITE_SPACE.match(text).end()
        doc, end = deep.decode(text, start)
        if deep.WHITE_SPACE.match(text, end).end() != len(text):
            raise json.JSONDecodeError("Extra data", text, end)
    except UnicodeDecodeError:
        raise RunError(f"{shown_path}: not {name} text") from None
    except ValueError as e:
        raise RunError(f"{shown_path}: not valid JSON: {getattr(e, 'msg', e)}") from None
    if type(doc) is not dict or type(doc.get("values")) is not list:
        raise RunError(f'{shown_path}: not a Postman {what} export (an object with a "values" array)')
    return read_list(doc["values"], "disabled")


def assignments(pairs, flag):
    """{name: value} of NAME=VALUE arguments, later ones winning."""
    out = {}
    for pair in pairs or ():
        name, eq, value = pair.partition("=")
        if not eq or not name:
            raise RunError(f"{flag} {shown(pair)}: expected NAME=VALUE")
        out[name] = value
    return out


class Scope:
    """Every variable a request can see, narrower scopes winning: globals, then the collection's,
    then the environment (each file's values overridden by the matching NAME=VALUE arguments)."""

    def __init__(self, options):
        self.keep = bool(getattr(options, "keep_variables", False))
        # A collection written keeps dynamic variables as written, for newman to draw; commands get
        # a value drawn now.
        self.writes_collection = getattr(options, "command", None) == "postman"
        self._random = None
        # The collections of one run share the files' values, read once, and the run's budget.
        shared = getattr(options, "shared", None)
        if shared is not None and "variables" in shared:
            self.outer, self.inner = shared["variables"]
        else:
            self._read(options)
            if shared is not None:
                shared["variables"] = (self.outer, self.inner)
        self._added = run_growth(options)
        self.values = dict(self.outer)
        self.values.update(self.inner)
        self._scope_size = sum(map(len, self.values.values()))
        self.begin_request()

    def _read(self, options):
        self.outer = {}
        if options is not None:
            if getattr(options, "globals", None):
                self.outer.update(load_file(options.globals, "globals"))
            self.outer.update(assignments(getattr(options, "global_var", None), "--global-var"))
        self.inner = {}
        if options is not None:
            if getattr(options, "environment", None):
                self.inner.update(load_file(options.environment, "environment"))
            self.inner.update(assignments(getattr(options, "env_var", None), "--env-var"))

    def begin_request(self):
        """Start the budget of another request."""
        self._own = self._made = 0
        self.drawn = []  # (name, value) of each dynamic variable drawn for the request, in order

    def set_collection(self, variables):
        """The collection's own variables, between the globals and the environment."""
        self.values = dict(self.outer)
        self.values.update(variables)
        self.values.update(self.inner)
        self._scope_size = sum(map(len, self.values.values()))

    def _spent(self, made, given):
        self._made += len(made)
        self._added[0] += max(len(made) - given, 0)

    def resolve(self, text):
        """`text` with every reference replaced; raises Unresolved for one that cannot be (unless
        the references are kept as written)."""
        given = len(text)
        self._own += given
        if "{{" not in text:
            self._made += len(text)
            return text
        values = self.values
        seen = set()
        request_room = EXPANSION * (self._own + self._scope_size) - self._made
        run_room = RUN_GROWTH - self._added[0] + given
        limit = min(len(text) + _GROWTH, request_room, run_room)
        for _ in range(_ROUNDS):
            changed = False

            def swap(m):
                nonlocal changed
                got = values.get(m.group(1))
                if got is None:
                    got = self._draw(m.group(1))
                    if got is None:
                        return m.group(0)
                changed = True
                seen.add(m.group(1))
                return got

            text = _REF.sub(swap, text)
            if not changed:
                break
            if len(text) > limit:
                names = ", ".join(sorted(set("{{" + n + "}}" for n in seen)))
                if len(text) > request_room:
                    raise Unresolved(f"the variables expand the request to more than {EXPANSION} times its own "
                                     f"text and the values in scope ({names})")
                if len(text) > run_room:
                    raise Unresolved(f"the variables expand the run's requests by more than {run_budget()} ({names})")
                raise Unresolved(f"the variables refer to each other in a loop ({names})")
        else:
            if not self.keep:
                names = ", ".join(sorted(set("{{" + n + "}}" for n in seen)))
                raise Unresolved(f"the variables refer to each other in a loop ({names})")
            self._spent(text, given)
            return text
        if not self.keep:
            for m in _REF.finditer(text):
                name = m.group(1)
                if name in _WORDS or name in DRAWN:
                    if self.writes_collection:
                        continue  # newman draws it
                    raise Unresolved(f"{{{{{name}}}}} is a dynamic variable newman draws from faker's word lists, "
                                     "which tolmek does not hold; --keep-variables prints it as written")
                raise Unresolved(f"the variable {{{{{name}}}}} is not defined (-e, --env-var, -g and "
                                 "--global-var define variables; --keep-variables prints it as written)")
        self._spent(text, given)
        return text

    def _draw(self, name):
        """A value for the dynamic variable `name`, drawn now for a command; None for other names, and
        in a collection written (newman draws its own)."""
        make = DRAWN.get(name)
        if make is None or self.writes_collection:
            return None
        if self._random is None:
            import random

            self._random = random.SystemRandom()
        value = make(self._random)
        self.drawn.append((name, value))
        return value
