"""Curl options the module's command does not write, put around it: a body of any bytes, and curl's own headers held back."""

import re
from collections.abc import Iterable, Sequence

from tolmek import HTTPMETHOD, Tolmek

from .methods import _MEMBERS, is_token, method

__all__ = ["command", "argument_reason", "held_back", "is_text", "printf_pipe", "with_form", "with_file_body",
           "with_digest", "with_aws_sigv4", "CURL_OWN"]

# A body the module can carry as a `-d` argument: at most this many UTF-8 bytes. The kernel takes
# up to 128 KiB in one argument; staying well below leaves the rest of the command line its room.
TEXT_LIMIT = 64 * 1024
# The kernel takes no longer argument (MAX_ARG_STRLEN, 32 pages of 4 KiB, the closing NUL among them):
# one longer fails the whole command with "Argument list too long".
ARG_LIMIT = 128 * 1024 - 1
# A text of at most this many characters is an argument within ARG_LIMIT (four bytes at most each in
# UTF-8, three for the "%20" of a URL's space); only a longer one is counted.
ARG_SURELY_SHORT = ARG_LIMIT // 4
# Body bytes per printf call: every byte written as a four-character octal escape still gives an
# argument under 128 KiB, should a shell run printf as a program instead of its builtin.
PRINTF_CHUNK = 30000

# The headers curl writes by itself unless the command names them: always, with a body (curl's
# -d and --data-binary add the form type and the length, and Expect above 1 MiB or for a chunked
# body), and with a proxy.
CURL_OWN = ("Host", "User-Agent", "Accept")
_CURL_BODY = ("Content-Type", "Content-Length", "Expect")
_CURL_PROXY = ("Proxy-Connection",)

# Characters a proxy address may hold to be written bare: those of the module's bare URLs.
_EMPTY_BODY = " -d ''"
# How the module's command for a POST starts.
_POST = "curl -X POST "
# A text of at most this many characters is within TEXT_LIMIT in UTF-8 (four bytes at most each).
_SURELY_SHORT = TEXT_LIMIT // 4
_BARE = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_@%+=:,./-")


def _octal(b):
    c = chr(b)
    if c == "%":
        return "%%"  # printf's format: a percent sign is written doubled
    if " " <= c <= "~" and c not in "'\\":
        return c
    return f"\\{b:03o}"  # always three digits, so a digit that follows is not taken in


# What each byte is written as; a list indexed by the byte is the fastest way through a large body.
_OCTAL = [_octal(b) for b in range(256)]


def printf_pipe(body: bytes) -> str:
    """Shell text writing exactly `body` to its standard output with the shell's builtin printf:
    one call, or a `{ ...; }` group of calls of at most PRINTF_CHUNK bytes each. bash, dash and zsh
    read the octal escapes alike; nothing in single quotes is expanded."""
    calls = []
    for start in range(0, len(body), PRINTF_CHUNK):
        fmt = "".join(map(_OCTAL.__getitem__, body[start:start + PRINTF_CHUNK]))
        if fmt.startswith("-"):
            fmt = "\\055" + fmt[1:]  # else printf could take it for an option
        calls.append(f"printf '{fmt}'")
    if not calls:
        return "printf ''"
    if len(calls) == 1:
        return calls[0]
    return "{ " + "; ".join(calls) + "; }"


def is_text(body: bytes, limit: int | None = TEXT_LIMIT) -> bool:
    """Whether `body` can go to curl as one argument of the module's command: UTF-8 without NUL, and
    at most `limit` bytes (None: of any size)."""
    if (limit is not None and len(body) > limit) or b"\x00" in body:
        return False
    try:
        body.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


_LOWER_ESCAPE = re.compile(r"%(?:[0-9A-Fa-f][a-f]|[a-f][0-9A-Fa-f])")


def _target_as_written(url: str, absolute: bool) -> str | None:
    """The request target when curl would not send it as written: curl 8 writes a percent-encoding
    in upper case (`%2e` goes as `%2E`). Only a target of visible ASCII is given so; anything else
    the module's URL rules carry."""
    start = url.find("://")
    if start < 0:
        return None
    slash = url.find("/", start + 3)
    if slash < 0:
        return None
    target = (url if absolute else url[slash:]).partition("#")[0]
    if not _LOWER_ESCAPE.search(target, slash if absolute else 0) or not target.isascii() or not target.isprintable() \
            or " " in target:
        return None
    return target


def _size(text: str) -> int:
    return len(text.encode("utf-8", "surrogatepass"))


def _named(text: str) -> str:
    return repr(text if len(text) <= 40 else text[:37] + "...")


def _too_long(what: str, size: int) -> str:
    return f"no curl command can carry this request: {what} is an argument of {size} bytes, more than the " \
           f"{ARG_LIMIT} the kernel takes in one"


def argument_reason(url: str, headers: Iterable[tuple[str, str]]) -> str | None:
    """Why the module's command for this URL and these headers would hand curl an argument longer
    than the kernel takes (ARG_LIMIT), or None."""
    if len(url) > ARG_SURELY_SHORT and (size := _size(url) + 2 * url.count(" ")) > ARG_LIMIT:
        return _too_long("the URL", size)
    for name, value in headers:
        if len(name) + len(value) > ARG_SURELY_SHORT and (size := _size(name) + 2 + _size(value)) > ARG_LIMIT:
            return _too_long(f"the header {_named(name)}", size)
    return None


def _quoted(text: str, what: str = "a word") -> str:
    """`text` as one shell word, quoted by the module: the body of a command it renders for it,
    after `-d`, or after `--data-raw` for one starting with `@` (which curl would take for a file).
    ValueError naming `what` for a text longer than one argument may be."""
    if len(text) > ARG_SURELY_SHORT and (size := _size(text)) > ARG_LIMIT:
        raise ValueError(_too_long(what, size))
    out = Tolmek("u", (), HTTPMETHOD.POST, text).get_request_command()
    return out[len("curl -X POST u "):].partition(" ")[2]


def _has(headers: Sequence[tuple[str, str]], name: str) -> bool:
    lower = name.lower()
    return any(n.lower() == lower for n, _ in headers)


def _proxy_option(proxy: str) -> str:
    if not proxy or not set(proxy) <= _BARE or proxy.startswith(("-", "=")):
        raise ValueError(f"no curl command can carry this request: the proxy address {proxy!r} is not a plain URL")
    return f" --proxy {proxy}"


def held_back(names: Iterable[str]) -> str:
    """The options that keep curl from sending each of these headers of its own accord."""
    return "".join(f" -H '{name}:'" for name in names)


def command(url: str, headers: Iterable[tuple[str, str]], name: str | HTTPMETHOD, body: bytes | str | None, *,
            exact: bool = False, proxy: str | None = None) -> str:
    """The curl command sending this request: the module's command for the URL, the headers in
    order and the method, with the options it does not write put around it.

    A body that is text the module's command carries as its `-d` argument; any other bytes (not
    UTF-8, a NUL, longer than TEXT_LIMIT) go through `printf` into `curl --data-binary @-`.
    `exact`: the headers are all that was sent, so each header curl would add by itself and that
    is not among them is held back with `-H 'Name:'`. `proxy`: curl goes through this HTTP proxy.
    Raises ValueError for what no command can carry, as the module does."""
    if type(headers) is not list:
        headers = list(headers)
    if (reason := argument_reason(url, headers)) is not None:
        raise ValueError(reason)
    member = _MEMBERS.get(name) if type(name) is str else None
    extension = None
    if member is None:
        if isinstance(name, HTTPMETHOD):
            member = name
        elif type(name) is str and is_token(name):
            # A method beyond the module's members: the module renders a POST, and the method
            # word takes its place, quoted by the module like any text.
            member, extension = HTTPMETHOD.POST, name
        else:
            member = method(name)
    piped = False
    text = body
    if body is None or (type(body) is str and len(body) <= _SURELY_SHORT and "\x00" not in body):
        pass  # no body, or a short text: no need to look at its bytes
    else:
        if type(body) is str:
            body = body.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError, a ValueError
        # is_text, written out: this is the path of every request with a body.
        if len(body) <= TEXT_LIMIT and b"\x00" not in body:
            try:
                text = body.decode("utf-8")
            except UnicodeDecodeError:
                piped = True
        else:
            piped = True
        if piped:
            text = ""
    out = Tolmek(url, headers, member, text).get_request_command()
    if extension is not None:
        assert out.startswith(_POST)
        out = "curl -X " + _quoted(extension, "the method") + out[len(_POST) - 1:]
    if piped:
        # The module writes the body last, and an empty one as exactly this.
        assert out.endswith(_EMPTY_BODY)
        out = f"{printf_pipe(body)} | {out[:-len(_EMPTY_BODY)]} --data-binary @-"
    if "%" in url and (target := _target_as_written(url, proxy is not None)) is not None:
        out += " --request-target " + _quoted(target, "the request target")
    if proxy is not None:
        out += _proxy_option(proxy)
    if exact:
        own = list(CURL_OWN)
        if body is not None:
            own += _CURL_BODY
        if proxy is not None:
            own += _CURL_PROXY
        out += held_back(held for held in own if not _has(headers, held))
    return out


# What curl's -F reads specially in a field name, and in a file name unless it is in double quotes.
_FORM_NAME_BAD = frozenset('=;"\r\n\x00')


def form_name_reason(name: str) -> str | None:
    """Why curl's -F cannot carry this field name, or None."""
    if not name or not _FORM_NAME_BAD.isdisjoint(name) or name[0] in "@<":
        return f"the formdata field name {name!r} cannot be written in curl's -F option"
    return None


def with_form(out: str, fields: Iterable[tuple[str, str, str | None]]) -> str:
    """The module's command `out` (no body) sending a multipart form that curl writes itself: each
    field (name, text, None) as `--form-string`, taken literally, and each (name, path, type) as
    `-F name=@"path";type=...`, the file read when curl runs. The path goes in double quotes so that
    `;` and `,` in it are not read as options; curl reads `\\` and `\"` there as escapes."""
    for name, value, content_type in fields:
        if content_type is None:
            out += " --form-string " + _quoted(f"{name}={value}", f"the form field {_named(name)}")
        else:
            path = value.replace("\\", "\\\\").replace('"', '\\"')
            out += " -F " + _quoted(f'{name}=@"{path}";type={content_type}', f"the form file {_named(name)}")
    return out


def with_file_body(out: str, path: str) -> str:
    """The module's command `out` (no body, a Content-Type among its headers) sending the bytes of
    the file at `path` as they are."""
    return out + " --data-binary " + _quoted("@" + path, "the body's file name")


def with_digest(out: str, user: str, password: str) -> str:
    """The module's command `out` answering the server's digest challenge as this user."""
    return out + " --digest --user " + _quoted(f"{user}:{password}", "the digest user and password")


def with_aws_sigv4(out: str, key: str, secret: str, region: str, service: str) -> str:
    """The module's command `out` signed by curl with AWS Signature v4 (the Authorization and
    X-Amz-Date headers, computed from what curl sends)."""
    return out + " --aws-sigv4 " + _quoted(f"aws:amz:{region}:{service}", "the AWS region and service") + " --user " \
        + _quoted(f"{key}:{secret}", "the AWS key and secret")
