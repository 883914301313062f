"""curl command lines as people paste them: each read as curl 7.88 reads its options, into the request it sends."""

import os

from .fields import Note, Skip, method_or_skip, shown
from .shellwords import commands, printf_format

# What curl sends of its own accord, written into the request: the version documented as read.
# The curl whose own User-Agent a command without -A gets, unless --curl-version names another.
CURL_VERSION = "7.88.1"
USER_AGENT = "curl/" + CURL_VERSION
# curl 7.88's --compressed with every decoder built in (Debian's and most distributions' build).
ACCEPT_ENCODING = "deflate, gzip, br, zstd"
FORM_TYPE = "application/x-www-form-urlencoded"
# A body above this many bytes makes curl 7.88 ask for 100-continue first.
_EXPECT_ABOVE = 1024 * 1024
_UNRESERVED = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~")
# The part types curl's -F guesses from a file name's extension; any other file is octet-stream.
_PART_TYPES = {"gif": "image/gif", "jpg": "image/jpeg", "jpeg": "image/jpeg", "png": "image/png",
               "svg": "image/svg+xml", "txt": "text/plain", "htm": "text/html", "html": "text/html",
               "pdf": "application/pdf", "xml": "application/xml"}
# Characters a proxy address may hold to be written bare after --proxy.
_BARE = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_%+=:,./-[]")

# Options taking a value, by their long name; the short letters curl gives them.
_VALUED = frozenset((
    "request", "header", "data", "data-ascii", "data-raw", "data-binary", "data-urlencode", "json", "form",
    "form-string", "cookie", "user", "user-agent", "referer", "url", "request-target", "proxy", "aws-sigv4",
    "oauth2-bearer",
    # Those whose value changes nothing that is sent.
    "output", "max-time", "connect-timeout", "write-out", "retry", "retry-delay", "retry-max-time", "max-redirs",
    "dump-header", "stderr", "trace", "trace-ascii", "cacert", "capath", "limit-rate", "keepalive-time",
    "cookie-jar", "expect100-timeout", "output-dir",
))
_FLAGS = frozenset((
    "get", "head", "compressed", "globoff", "path-as-is", "digest", "basic",
    # Those that change nothing that is sent.
    "silent", "show-error", "insecure", "location", "verbose", "include", "http1.1", "fail", "fail-with-body",
    "progress-bar", "no-progress-meter", "no-buffer", "remote-name", "remote-name-all", "remote-header-name",
    "create-dirs", "ipv4", "ipv6", "tcp-nodelay", "keepalive", "sessionid", "parallel", "location-trusted",
    "ssl-no-revoke", "tlsv1", "tlsv1.2", "tlsv1.3", "alpn", "disable", "styled-output", "post301", "post302",
    "post303", "fail-early", "tcp-fastopen", "buffer", "progress-meter", "raw", "retry-connrefused",
    "retry-all-errors", "show-headers",
))
_SHORT = {"X": "request", "H": "header", "d": "data", "F": "form", "b": "cookie", "u": "user", "A": "user-agent",
          "e": "referer", "x": "proxy", "G": "get", "I": "head", "g": "globoff", "o": "output", "m": "max-time",
          "w": "write-out", "D": "dump-header", "c": "cookie-jar", "s": "silent", "S": "show-error",
          "k": "insecure", "L": "location", "v": "verbose", "i": "include", "f": "fail", "#": "progress-bar",
          "N": "no-buffer", "O": "remote-name", "J": "remote-header-name", "4": "ipv4", "6": "ipv6",
          "Z": "parallel", "q": "disable"}
# Options curl has that change the request in ways tolmek does not model: why each is refused.
_WHY = {
    "upload-file": "sends a file as an upload", "config": "reads options from a file", "next": "starts another "
    "set of options", "netrc": "takes credentials from ~/.netrc", "netrc-file": "takes credentials from a file",
    "netrc-optional": "takes credentials from ~/.netrc", "range": "asks for a range", "time-cond": "asks for "
    "a time condition", "continue-at": "resumes a transfer", "http1.0": "speaks HTTP/1.0", "http2": "asks to "
    "upgrade to HTTP/2", "http2-prior-knowledge": "speaks HTTP/2", "http3": "speaks HTTP/3", "resolve": "connects "
    "elsewhere than the URL names", "connect-to": "connects elsewhere than the URL names", "unix-socket": "connects "
    "to a socket", "ntlm": "answers NTLM", "negotiate": "answers Negotiate", "anyauth": "picks an auth by the "
    "server's answer", "proxy-user": "authenticates to the proxy", "tr-encoding": "asks for a transfer encoding",
    "variable": "sets variables", "url-query": "adds to the query", "cert": "sends a client certificate",
}
_LETTER_WHY = {"T": "upload-file", "K": "config", ":": "next", "n": "netrc", "r": "range", "z": "time-cond",
               "C": "continue-at", "0": "http1.0", "U": "proxy-user", "E": "cert"}


class Refused(Exception):
    """A command tolmek does not read into a request; the message says why."""


class Label:
    """How a command is named in messages. `exact`: its headers are all that curl sends but Host,
    so the command written from it holds back what curl would add; `curl`: what curl does
    itself for it (digest, AWS signing, a proxy), put around the written command."""

    __slots__ = ("text", "curl")
    exact = True

    def __init__(self, text):
        self.text = text
        self.curl = None

    def __str__(self):
        return self.text


def read(src, options=None):
    """Yield (url, headers, method, body, label, offset) per request of each command, a Skip for a
    command that cannot be read, or a Note of what curl drops."""
    from .bodies import Files

    text, base = src.rest()
    files = Files(getattr(options, "working_dir", None), getattr(options, "insecure_file_read", False))
    version = getattr(options, "curl_version", None) or CURL_VERSION
    agent = "curl/" + version
    number = 0
    for command in commands(text):
        for tokens, start in _split(command):
            number += 1
            label = Label(f"command {number}")
            offset = base + start
            try:
                words, stdin = _words(command, tokens)
                yield from _requests(words, stdin, files, label, offset, agent)
            except Refused as e:
                yield Skip(str(e), label, offset)
            except UnicodeError:
                yield Skip("a URL, header or name is not UTF-8 text", label, offset)
            except MemoryError:
                raise
            except Exception as e:  # noqa: BLE001 - a command no check foresaw costs itself alone
                from .fields import unexpected

                yield Skip(unexpected(e), label, offset)


def _split(command):
    """(tokens, index) of each command of a line, apart at a ; outside { }."""
    if command.reason is not None:
        yield command.tokens, command.start
        return
    piece, depth = [], 0
    for token in command.tokens:
        kind, value, _ = token
        if kind == "op" and value == b";" and not depth:
            if piece:
                yield piece, piece[0][2]
            piece = []
            continue
        depth += (value == b"{") - (value == b"}") if kind == "word" else 0
        piece.append(token)
    if piece:
        yield piece, piece[0][2]


def _words(command, tokens):
    """(curl's arguments as texts, the bytes piped into it or None): the command must be curl, or
    printf output piped into curl."""
    if command.reason is not None:
        raise Refused(command.reason)
    ops = [i for i, (kind, _, _) in enumerate(tokens) if kind == "op"]
    stdin = None
    if ops:
        pipe = ops[-1]
        if tokens[pipe][1] != b"|":
            raise Refused(f"the shell operator {tokens[pipe][1].decode()} makes it more than one curl command")
        after = tokens[pipe + 1:pipe + 2]
        if after and after[0][1] not in (b"curl", b"curl.exe"):
            raise Refused(f"the pipe | runs {shown(after[0][1].decode('utf-8', 'replace'))}, which tolmek does not")
        stdin = _printed(tokens[:pipe])
        tokens = tokens[pipe + 1:]
    words = [value.decode("utf-8", "surrogateescape") for _, value, _ in tokens]
    if not words:
        raise Refused("no curl command follows the pipe")
    if words[0] not in ("curl", "curl.exe"):
        if "=" in words[0] and words[0].split("=", 1)[0].isidentifier():
            raise Refused("a variable assignment before the command changes its environment")
        raise Refused(f"{shown(words[0])} is not curl")
    return words[1:], stdin


def _printed(tokens):
    """The bytes that `printf 'F'` or `{ printf 'F'; printf 'F'; }` writes; Refused for any other
    command before a pipe."""
    parts = [value for _, value, _ in tokens]
    if parts[:1] == [b"{"] and parts[-1:] == [b"}"]:
        parts = parts[1:-1]
    out = bytearray()
    i = 0
    while i < len(parts):
        if parts[i] == b";":
            i += 1
            continue
        if parts[i] != b"printf" or i + 1 >= len(parts) or parts[i + 1] in (b";", b"|"):
            raise Refused("only a printf of a body may be piped into curl")
        data = printf_format(parts[i + 1].decode("utf-8", "surrogateescape"))
        if data is None or i + 2 < len(parts) and parts[i + 2] != b";":
            raise Refused("the printf piped into curl converts arguments, whose output tolmek does not compute")
        out += data
        i += 2
    return bytes(out)


class _Options:
    """What a curl command's options set."""

    def __init__(self):
        self.method = None
        self.headers = []  # (name, value or None to hold curl's own back) in order
        self.data = []  # (kind, bytes): "data" pieces joined with &, "json" ones concatenated
        self.form = []  # bytes of multipart parts
        self.urls = []
        self.flags = set()
        self.cookies = []
        self.user = None
        self.agent = None
        self.referer = None
        self.target = None
        self.proxy = None
        self.sigv4 = None
        self.bearer = None


def _parse(words):
    """The options of curl's arguments, each read as curl 7.88 reads it; Refused for one tolmek does
    not model."""
    opts = _Options()
    i, n = 0, len(words)
    while i < n:
        word = words[i]
        i += 1
        if word[:1] != "-" or word == "-":
            opts.urls.append(word)
            continue
        if word.startswith("--"):
            name = word[2:]
            if name in _FLAGS:
                opts.flags.add(name)
                continue
            if name.startswith("no-") and name[3:] in _FLAGS:
                opts.flags.discard(name[3:])
                continue
            if name not in _VALUED:
                why = _WHY.get(name)
                raise Refused(f"the option {shown(word)} " + (f"{why}, which tolmek does not model" if why else
                                                             "is not one tolmek reads"))
            if i >= n:
                raise Refused(f"the option {shown(word)} has no value, which curl refuses")
            _valued(opts, name, words[i], word)
            i += 1
            continue
        j = 1
        while j < len(word):
            letter = word[j]
            name = _SHORT.get(letter)
            if name is None:
                why = _WHY.get(_LETTER_WHY.get(letter, ""))
                raise Refused(f"the option -{letter} " + (f"{why}, which tolmek does not model" if why else
                                                           "is not one tolmek reads"))
            if name in _FLAGS:
                opts.flags.add(name)
                j += 1
                continue
            value = word[j + 1:]
            if not value:
                if i >= n:
                    raise Refused(f"the option -{letter} has no value, which curl refuses")
                value = words[i]
                i += 1
            _valued(opts, name, value, f"-{letter}")
            break
    return opts


# Options whose last value is the one curl uses, and where it is kept.
_LAST_WINS = {"user": "user", "user-agent": "agent", "request-target": "target", "proxy": "proxy",
              "aws-sigv4": "sigv4", "oauth2-bearer": "bearer"}


def _valued(opts, name, value, given):
    if name == "request":
        opts.method = value
    elif name == "header":
        _header(opts, value)
    elif name in ("data", "data-ascii", "data-raw", "data-binary", "data-urlencode", "json"):
        opts.data.append((name, value))
    elif name in ("form", "form-string"):
        opts.form.append((name, value))
    elif name == "cookie":
        if "=" not in value:
            raise Refused(f"{given} {shown(value)} reads cookies from a file, which tolmek does not")
        opts.cookies.append(value)
    elif name == "referer":
        opts.referer = value[:-5] if value.endswith(";auto") else value
    elif name == "url":
        opts.urls.append(value)
    elif name in _LAST_WINS:
        setattr(opts, _LAST_WINS[name], value)
    # The rest change nothing that is sent.


def _header(opts, value):
    if value.startswith("@"):
        raise Refused(f"-H {shown(value)} reads headers from a file, which tolmek does not")
    colon, semi = value.find(":"), value.find(";")
    if colon > 0:  # as curl looks for the colon first, and for a ; only without one
        name, rest = value[:colon], value[colon + 1:].lstrip(" \t")
        # Nothing but blanks after the colon holds curl's own header of that name back.
        opts.headers.append((name, rest if rest.strip(" \t") else None))
    elif colon < 0 and semi > 0 and not value[semi + 1:].strip(" \t"):
        opts.headers.append((value[:semi], ""))
    else:
        opts.headers.append((value, False))  # no colon: curl sends nothing


def _requests(words, stdin, files, label, offset, agent=USER_AGENT):
    opts = _parse(words)
    # What curl 8 writes otherwise: "; " between -b cookies, a longer multipart boundary.
    opts.curl8 = not agent.startswith(("curl/7.", "curl/6.", "curl/5."))
    if opts.agent is None:
        opts.agent = agent  # curl's own, made explicit
    if not opts.urls:
        raise Refused("the command names no URL")
    stdin = [stdin]  # read once: a second @- gets nothing, as from a pipe
    method, body, headers, own_body = _shape(opts, stdin, files, label, offset)
    notes = [Note(f"-H {shown(name)} is no 'Name: value' (no colon, or nothing before it), so curl sends nothing "
                  "for it", label, offset)
             for name, value in opts.headers if value is False]
    yield from notes
    several = len(opts.urls) > 1
    # -G: the data once, as curl reads it, put on every URL.
    query = b"&".join(value for _, value in _pieces(opts, stdin, files)).decode("utf-8") \
        if "get" in opts.flags and opts.data else None
    for k, raw in enumerate(opts.urls, 1):
        this = Label(f"{label} URL {k}") if several else label
        url, userinfo = _url(raw, "globoff" in opts.flags, "path-as-is" in opts.flags)
        if opts.target is not None:
            url = _with_target(url, opts.target)
        if query is not None:
            url += ("&" if "?" in url else "?") + query
        yield _request(opts, url, userinfo, method, body, headers, own_body, this, offset)


def _shape(opts, stdin, files, label, offset):
    """(method, body bytes or None, the custom headers in order, curl's own body headers)."""
    head = "head" in opts.flags
    if opts.form and opts.data:
        raise Refused("-F and -d together, which curl refuses (one request method only)")
    if head and (opts.form or opts.data and "get" not in opts.flags):
        raise Refused("-I with a body, which curl refuses (one request method only)")
    if "get" in opts.flags and opts.form:
        raise Refused("-G with -F, which curl refuses")
    body = None
    own_body = []
    kinds = {kind == "json" for kind, _ in opts.data}
    if opts.data and "get" not in opts.flags:
        if len(kinds) > 1:
            raise Refused("--json mixed with -d, which tolmek does not model")
        pieces = [value for _, value in _pieces(opts, stdin, files)]
        body = (b"" if True in kinds else b"&").join(pieces)
        own_body.append(("Content-Type", FORM_TYPE))
    elif opts.form:
        body, boundary = _multipart(opts.form, files, opts.curl8)
        own_body.append(("Content-Type", f"multipart/form-data; boundary={boundary}"))
    headers = [(name, value) for name, value in opts.headers if value is not False]
    if True in kinds:
        present = {name.lower() for name, _ in headers}
        own_body = []
        headers += [(n, v) for n, v in (("Content-Type", "application/json"), ("Accept", "application/json"))
                    if n.lower() not in present]
    given = {name.lower() for name, _ in headers}
    if opts.form and "content-type" in given:
        raise Refused("-F with a Content-Type of its own, to which curl adds its boundary")
    chunked = "transfer-encoding" in given
    if chunked and (body is None or any((value or "").strip().lower() != "chunked"
                                        for name, value in headers if name.lower() == "transfer-encoding")):
        raise Refused("a Transfer-Encoding header other than chunked with a body, which frames it apart from curl")
    if "content-length" in given:
        length = "0" if body is None else str(len(body))
        if any(value != length for name, value in headers if name.lower() == "content-length"):
            raise Refused("a Content-Length header other than the body's length, which curl would send as given")
    if "host" in given and all(v is None for n, v in headers if n.lower() == "host"):
        raise Refused("-H 'Host:' sends no Host header, which a request tolmek writes always has")
    if body is not None:
        own_body = [(n, v) for n, v in own_body if n.lower() not in given]
        if own_body and not chunked:
            # curl writes the length before its own type: said here, so that it goes there again.
            own_body.insert(0, ("Content-Length", str(len(body))))
        if len(body) > _EXPECT_ABOVE and "expect" not in given:
            own_body.append(("Expect", "100-continue"))
    if head:
        method = "HEAD"
    elif "get" in opts.flags:
        method = "GET"
    else:
        method = "POST" if body is not None else "GET"
    if opts.method is not None:
        method = opts.method
    return method, body, headers, own_body


def _pieces(opts, stdin, files):
    """The -d, --data-* and --json values as curl sends them, in order."""
    for kind, value in opts.data:
        raw = value.encode("utf-8", "surrogateescape")
        if kind in ("data", "data-ascii", "data-binary", "json") and raw.startswith(b"@"):
            data = _file(value[1:], f"--{kind} {value}", stdin, files)
            if kind in ("data", "data-ascii"):
                data = data.replace(b"\r", b"").replace(b"\n", b"")  # as curl reads a file for -d
            yield kind, data
        elif kind == "data-urlencode":
            yield kind, _urlencoded(value, stdin, files)
        else:
            yield kind, raw


def _urlencoded(value, stdin, files):
    """--data-urlencode's forms: content, =content, name=content, @file, name@file."""
    eq, at = value.find("="), value.find("@")
    if eq >= 0 and (at < 0 or eq < at):
        name, content = value[:eq], value[eq + 1:].encode("utf-8", "surrogateescape")
    elif at >= 0:
        name, content = value[:at], _file(value[at + 1:], f"--data-urlencode {value}", stdin, files)
    else:
        name, content = "", value.encode("utf-8", "surrogateescape")
    encoded = "".join(chr(b) if b in _UNRESERVED else "+" if b == 32 else f"%{b:02X}" for b in content).encode()
    return (name.encode("utf-8", "surrogateescape") + b"=" + encoded) if name else encoded


def _file(path, where, stdin, files):
    """The bytes of a file curl would read (or of standard input for -), from under --working-dir only."""
    if path == "-":
        if stdin[0] is None:
            raise Refused(f"{where} reads standard input, which holds no body tolmek can see")
        data, stdin[0] = stdin[0], b""
        return data
    from .bodies import _located

    located, reason = _located(path, where, lambda s: s, files)
    if reason is not None:
        raise Refused(reason)
    try:
        with open(located, "rb") as f:
            return f.read()
    except OSError as e:
        raise Refused(f"{where}: cannot read {shown(located)}: {e.strerror}") from None


# -- multipart forms -----------------------------------------------------------------------------

def _form_escape(text):
    return text.replace('"', "%22").replace("\r", "%0D").replace("\n", "%0A")


def _guess(name):
    return _PART_TYPES.get(name.rpartition(".")[2].lower()) if "." in name else None


def _form_value(spec):
    """(value, {parameter: value}) of -F's text after name=: a value in double quotes or up to the
    first ;, then ;type=, ;filename= and others."""
    params = {}
    i = 0
    if spec.startswith('"') and not spec.startswith(('@"', '<"')):
        value, i = _form_quoted(spec, 0)
    else:
        lead = 1 if spec[:1] in ("@", "<") else 0
        if spec[lead:lead + 1] == '"':
            value, i = _form_quoted(spec, lead)
            value = spec[0] + value
        else:
            i = spec.find(";")
            i = len(spec) if i < 0 else i
            value = spec[:i]
    while i < len(spec):
        if spec[i] != ";":
            raise Refused(f"-F {shown(spec)}: text after a quoted value, which curl reads apart")
        i += 1
        eq = spec.find("=", i)
        if eq < 0:
            raise Refused(f"-F {shown(spec)}: a parameter without =, which curl reads apart")
        key = spec[i:eq].strip().lower()
        if spec[eq + 1:eq + 2] == '"':
            param, i = _form_quoted(spec, eq + 1)
        else:
            end = spec.find(";", eq + 1)
            end = len(spec) if end < 0 else end
            param, i = spec[eq + 1:end], end
        if key not in ("type", "filename"):
            raise Refused(f"-F {shown(spec)}: the parameter {shown(key)} is not one tolmek reads")
        params[key] = param
    return value, params


def _form_quoted(spec, i):
    """(the text in double quotes at `i`, \\ escaping the next character, the index after it)."""
    out = []
    j = i + 1
    while j < len(spec):
        c = spec[j]
        if c == "\\" and j + 1 < len(spec):
            out.append(spec[j + 1])
            j += 2
        elif c == '"':
            return "".join(out), j + 1
        else:
            out.append(c)
            j += 1
    raise Refused(f"-F {shown(spec)}: a double quote is not closed")


def _multipart(fields, files, curl8=False):
    """(the multipart body curl writes for these -F and --form-string fields, its boundary)."""
    parts = []
    for kind, spec in fields:
        name, eq, rest = spec.partition("=")
        if not eq:
            raise Refused(f"-F {shown(spec)} has no =, which curl refuses")
        filename = content_type = None
        if kind == "form-string":
            content = rest.encode("utf-8", "surrogateescape")
        else:
            value, params = _form_value(rest)
            content_type = params.get("type")
            filename = params.get("filename")
            if value.startswith("@"):
                path = value[1:]
                if "," in path:
                    raise Refused(f"-F {shown(spec)} names several files, which tolmek does not model")
                content = _file(path, f"-F {spec}", [None], files)
                if filename is None:
                    filename = os.path.basename(path)
                content_type = content_type or _guess(filename) or _guess(path) or "application/octet-stream"
            elif value.startswith("<"):
                if filename is not None:
                    raise Refused(f"-F {shown(spec)}: filename= with <file, which curl refuses")
                content = _file(value[1:], f"-F {spec}", [None], files)
            else:
                content = value.encode("utf-8", "surrogateescape")
                if filename is not None:
                    content_type = content_type or _guess(filename) or "application/octet-stream"
        head = f'Content-Disposition: form-data; name="{_form_escape(name)}"'
        if filename is not None:
            head += f'; filename="{_form_escape(filename)}"'
        if content_type:
            head += f"\r\nContent-Type: {content_type}"
        parts.append(head.encode("utf-8", "surrogateescape") + b"\r\n\r\n" + content)
    boundary = _boundary(parts, curl8)
    dashes = b"--" + boundary.encode()
    return b"".join(dashes + b"\r\n" + part + b"\r\n" for part in parts) + dashes + b"--\r\n", boundary


_ALNUM = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"


def _boundary(parts, curl8=False):
    """A boundary of curl's shape (24 dashes, then 16 hex digits, or curl 8's 22 letters and
    digits), the same for the same parts, found in none."""
    import hashlib

    seed = hashlib.sha256(b"\0".join(parts)).digest()
    while True:
        boundary = "-" * 24 + ("".join(_ALNUM[b % 62] for b in seed[:22]) if curl8 else seed[:8].hex())
        if not any(boundary.encode() in part for part in parts):
            return boundary
        seed = hashlib.sha256(seed).digest()


# -- the URL and the request ---------------------------------------------------------------------

def _url(raw, globoff, as_is):
    """(the URL curl sends to, its user information decoded or None), as curl 7.88 parses it."""
    if not raw:
        raise Refused("the URL is empty")
    if any(c <= " " or c == "\x7f" for c in raw):
        raise Refused(f"the URL {shown(raw)} holds a space or a control character, which curl refuses")
    scheme_end = raw.find("://")
    if scheme_end < 0 or not raw[:scheme_end].isalpha():
        host = raw.split("/", 1)[0].lower()
        if host.startswith(("ftp.", "dict.", "ldap.", "imap.", "smtp.", "pop3.")):
            raise Refused(f"curl takes the URL {shown(raw)} for {host.split('.')[0].upper()}, not HTTP")
        raw = "http://" + raw
        scheme_end = 4
    scheme = raw[:scheme_end].lower()
    if scheme not in ("http", "https"):
        raise Refused(f"the URL's scheme {shown(scheme)} is not HTTP")
    rest = raw[scheme_end + 3:]
    cut = min((k for k in (rest.find("/"), rest.find("?"), rest.find("#")) if k >= 0), default=len(rest))
    authority, tail = rest[:cut], rest[cut:]
    userinfo = None
    if "@" in authority:
        userinfo, _, authority = authority.rpartition("@")
    host = authority
    if not globoff:
        plain = host[host.find("["):host.find("]") + 1] if host.startswith("[") else ""
        if any(c in "[]{}" for c in host.replace(plain, "") + tail):
            raise Refused(f"curl expands the URL {shown(raw)} as a glob of several URLs (-g would take it as written)")
    tail = tail.partition("#")[0]
    path, q, query = tail.partition("?")
    if not path.startswith("/"):
        path = "/" + path
    if not as_is:
        path = _without_dots(path)
    return f"{scheme}://{host}{path}{q}{query}", userinfo


def _without_dots(path):
    """The path with its . and .. segments taken out, as curl 7.88 does unless --path-as-is."""
    segments = path.split("/")[1:]
    out = []
    for k, seg in enumerate(segments):
        last = k == len(segments) - 1
        if seg == ".":
            if last:
                out.append("")
        elif seg == "..":
            if out:
                out.pop()
            if last:
                out.append("")
        else:
            out.append(seg)
    return "/" + "/".join(out)


def _with_target(url, target):
    if not target.startswith("/") or any(c <= " " or c in "#\x7f" for c in target):
        raise Refused(f"--request-target {shown(target)} is not a path, which tolmek does not model")
    start = url.find("/", url.find("://") + 3)
    return url[:start] + target


def _basic(credentials):
    import base64

    return "Basic " + base64.b64encode(credentials.encode("utf-8", "surrogateescape")).decode()


def _request(opts, url, userinfo, method, body, headers, own_body, label, offset):
    from .fields import unescape

    given = {name.lower() for name, _ in headers}
    own = []
    user = opts.user
    if user is None and userinfo is not None:
        name, colon, password = userinfo.partition(":")
        user = unescape(name) + ":" + unescape(password)
    if user is not None and ":" not in user:
        raise Refused("-u without a password makes curl ask for one at the terminal")
    digest = "digest" in opts.flags
    if opts.sigv4 is not None:
        provider = opts.sigv4.split(":")
        if len(provider) != 4 or provider[:2] != ["aws", "amz"] or user is None:
            raise Refused(f"--aws-sigv4 {shown(opts.sigv4)} is not aws:amz:REGION:SERVICE with -u KEY:SECRET")
        from tolmek_http.compose import with_aws_sigv4

        key, _, secret = user.partition(":")
        label.curl = lambda out, a=(key, secret, provider[2], provider[3]): with_aws_sigv4(out, *a)
    elif digest and user is not None:
        from tolmek_http.compose import with_digest

        user_name, _, password = user.partition(":")
        # Bound now: `name` is taken for the method further down.
        label.curl = lambda out, a=(user_name, password): with_digest(out, *a)
    elif "authorization" not in given:
        if opts.bearer is not None:
            own.append(("Authorization", f"Bearer {opts.bearer}"))
        elif user is not None:
            own.append(("Authorization", _basic(user)))
    if opts.proxy is not None:
        proxy = opts.proxy
        if not proxy or not set(proxy) <= _BARE or "@" in proxy or proxy.startswith("-"):
            raise Refused(f"the proxy {shown(proxy)} is not a plain address tolmek writes")
        previous = label.curl
        label.curl = lambda out: (previous(out) if previous else out) + " --proxy " + proxy
    agent = USER_AGENT if opts.agent is None else opts.agent
    for name, value in (("User-Agent", agent), ("Accept", "*/*"),
                        ("Accept-Encoding", ACCEPT_ENCODING if "compressed" in opts.flags else ""),
                        ("Referer", opts.referer or ""), ("Cookie", ("; " if opts.curl8 else ";").join(opts.cookies))):
        if value and name.lower() not in given:
            own.append((name, value))
    sent = own + [(name, value) for name, value in headers if value is not None] + own_body
    if opts.curl8 and any(name.lower() == "connection" for name, _ in sent):
        # curl 8 writes Connection after every other header, its own tokens merged in
        sent = [h for h in sent if h[0].lower() != "connection"] + [h for h in sent if h[0].lower() == "connection"]
    for text in (url, *(part for header in sent for part in header)):
        text.encode("utf-8")  # UnicodeError for bytes that are not UTF-8 ($'\xff'): a skip naming it
    name, reason = method_or_skip(method)
    if reason is not None:
        raise Refused(reason)
    text = body
    if body is not None:
        try:
            text = body.decode("utf-8") if b"\x00" not in body else body
        except UnicodeDecodeError:
            text = body
    return url, sent, name, text, label, offset
