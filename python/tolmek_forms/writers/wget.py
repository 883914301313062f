"""A POSIX sh script of GNU wget commands (wget 1.21 or later), one per request: the method, each
header in its order as far as wget keeps it, the body as an argument or from a file beside the script.

What wget sends, found on the wire with wget 1.21 and 1.25 (both alike):

- its own headers in a fixed order: Host, User-Agent (dropped by `--user-agent=`), Accept: */*,
  Accept-Encoding: identity, Connection: Keep-Alive; with a body Content-Type:
  application/x-www-form-urlencoded and Content-Length; a POST, PUT or PATCH without one gets
  Content-Length: 0. A header named by `--header` takes the place of wget's own of that name (its
  value and the name's case), any other goes after them in the order given; a name given twice
  keeps only its last value. None of Accept, Accept-Encoding and Connection can be left out (an
  empty `--header='Accept:'` sends it empty), so nearly every request names them as a loss.
- the method in upper case (`--method=propfind` sends PROPFIND);
- the target as written, except that the path's `.` and `..` segments are resolved and a `%` not
  followed by two hex digits goes as `%25`;
- the body read from `--body-data` or `--body-file`, a file it sizes first (so not a pipe: a body
  that is no argument goes in a file beside the script). It frames a body with Content-Length only.
"""

from __future__ import annotations

import re

from tolmek_http.methods import is_token

from ..literals import comment_text, heading, sh_word
from tolmek_http.compose import is_text

from ..output import Unfit
from ..variables import sh_checks, sh_splice

FORM = "wget"
MAIN = "requests_wget.sh"
FOLDER = False
VARIABLES = True  # read from shell variables, each checked before the first request

# A body of UTF-8 text without NUL of at most this many bytes goes as --body-data; any other in a file.
TEXT_LIMIT = 64 * 1024

# Every command's options: no wgetrc (~/.wgetrc, /etc/wgetrc, $WGETRC), one try, no redirect followed,
# no HSTS upgrade to https, no cookies kept or sent, no .netrc credentials answering a challenge, the
# response body on standard output (an error response's too), no User-Agent.
_OPTIONS = ("--no-config --no-verbose --tries=1 --max-redirect=0 --no-hsts --no-cookies --no-netrc "
            "--content-on-error --user-agent= --output-document=-")

_HEAD = f'''\
#!/bin/sh
# Requests written by tolmek, one GNU wget command each (wget 1.21 or later). Run:
#   sh {MAIN}
# The responses' bodies go to standard output, wget's line for each request to standard error.
# Every request is sent even when one fails; the exit status is 1 if any failed (wget's own
# status, 8 for an error response or a redirect, is named on standard error).
#
# wget adds headers of its own that no option removes: Accept: */*, Accept-Encoding: identity and
# Connection: Keep-Alive (a header listed here takes the place of wget's of that name), and for a
# body Content-Type: application/x-www-form-urlencoded unless one is listed; it sends each header
# name once and the method in upper case. A request that does not arrive exactly as recorded says
# why in a "not exact" comment above it. Body files (bodies/NNN.bin) are read beside this script.
case $0 in */*) cd -- "${{0%/*}}/" || exit 1 ;; esac

failed=0

# send N ARGS...: wget with the options every request shares, then the request's own.
send() {{
    n=$1
    shift
    wget {_OPTIONS} "$@" && return 0
    set -- "$?"
    failed=$((failed + 1))
    printf 'request %s failed: wget exit status %s\\n' "$n" "$1" >&2
}}
'''

_TAIL = '''
if [ "$failed" -ne 0 ]; then
    printf '%s of %s requests failed\\n' "$failed" {total} >&2
    exit 1
fi
'''

# The headers wget writes itself, in its order, before any --header (User-Agent is left out).
_OWN = (("Accept", "*/*"), ("Accept-Encoding", "identity"), ("Connection", "Keep-Alive"))
_BODILESS_ZERO = ("POST", "PUT", "PATCH")
_DOT_SEGMENT = re.compile(r"(?:^|/)\.{1,2}(?=/|$)")
_BAD_PERCENT = re.compile(r"%(?![0-9A-Fa-f]{2})")
_DEFAULT_PORTS = {"http": "80", "https": "443"}
# What wget takes as a --header: a name without white space or colon, nothing that ends a line.
_HEADER_NAME = re.compile(r"[^\s:]+")


def head(out):
    return _HEAD + sh_checks(out.holders) if out.holders else _HEAD


def one(request, out):
    scheme = request.origin.partition("://")[0]
    if scheme not in _DEFAULT_PORTS:
        raise Unfit(f"wget sends HTTP requests to http and https URLs only, not {scheme}")
    if not is_token(request.method):
        raise Unfit(f"its method {request.method!r} is not a token wget can send")
    if request.has("Transfer-Encoding"):
        raise Unfit("it is sent with a Transfer-Encoding, and wget frames every body by its Content-Length alone")
    for name, value in request.headers:
        if not _HEADER_NAME.fullmatch(name) or any(c in value for c in "\r\n\0") or _surrogates(name + value):
            raise Unfit(f"wget cannot send its header {comment_text(name)!r} as it is (a --header takes a "
                        f"name without white space and a value on one line, of UTF-8)")

    words = [_word("--method=" + request.method.upper(), "the method")]
    words += [_word(f"--header={name}: {_ows(value)}") for name, value in request.headers]
    body = request.body
    if body is not None:
        if is_text(body, None) and (len(body) <= TEXT_LIMIT or not out.allow_files):
            words.append(_word("--body-data=" + body.decode("utf-8"), "the body"))
        else:
            if request.holders:
                raise Unfit("its body holds variables and goes in a file, where no shell variable is read")
            words.append(_word("--body-file=" + out.body_file(request)))
    words.append(_word(request.url, "the URL"))

    for loss in _losses(request):
        out.lose(request, loss)
    lines = ["\n" + heading(request)]
    lines.append(sh_splice(f"send {request.index + 1} " + " ".join(words) + "\n", request.holders))
    return "".join(lines)


def tail(out):
    return _TAIL.format(total=out.converted)


def _word(text, what="a header"):
    try:
        return sh_word(text, what)
    except ValueError:  # too long: NUL, the other reason, is never handed over
        raise Unfit(f"{what} is longer than one command-line argument may be") from None


def _ows(value: str) -> str:
    """The value without the white space around it, which no header carries (wget drops it too)."""
    return value.strip(" \t")




def _surrogates(text: str) -> bool:
    return any("\ud800" <= c <= "\udfff" for c in text)




def _sent(request) -> list[tuple[str, str]]:
    """The headers wget sends for the request, in its order: its own, each --header taking the place
    of one of the same name or going after them."""
    sent = [("Host", request.made_host(lower=True)), *_OWN]
    if request.body is not None:
        sent += [("Content-Type", "application/x-www-form-urlencoded"), ("Content-Length", str(len(request.body)))]
    elif request.method.upper() in _BODILESS_ZERO:
        sent.append(("Content-Length", "0"))
    for name, value in request.headers:
        value = _ows(value)
        at = next((i for i, (n, _) in enumerate(sent) if n.lower() == name.lower()), None)
        if at is None:
            sent.append((name, value))
        else:
            sent[at] = (name, value)
    return sent


def _losses(request) -> list[str]:
    """Each way the request arrives otherwise than recorded, in words."""
    losses = []
    if request.method != request.method.upper():
        losses.append(f"wget sends the method in upper case ({request.method.upper()})")
    path, mark, query = request.target.partition("?")
    if _DOT_SEGMENT.search(path):
        losses.append("wget resolves the . and .. segments of the path")
    if _BAD_PERCENT.search(request.target):
        losses.append("wget writes a % not followed by two hex digits as %25")
    if not request.host.isascii():
        losses.append("wget sends the host name in its IDNA form")

    sent = _sent(request)
    # What any client adds by itself where the request names none: Host from the URL, the length of a body.
    if not request.has("Host"):
        host = sent.pop(0)[1]
        if host != request.host:
            losses.append(f"wget sends Host: {host}")
    if not request.has("Content-Length"):
        sent = [(n, v) for n, v in sent if n != "Content-Length"]
    wanted = [(n, _ows(v)) for n, v in request.headers]
    if sent == wanted:
        return losses
    names = {n.lower() for n, _ in wanted}
    added = [f"{n}: {v}" for n, v in sent if n.lower() not in names]
    if added:
        losses.append("wget adds " + _listed(added))
    seen, repeated = set(), []
    for n, _ in wanted:
        if n.lower() in seen and n.lower() not in repeated:
            repeated.append(n.lower())
        seen.add(n.lower())
    for lower in repeated:
        name, value = next((n, v) for n, v in reversed(wanted) if n.lower() == lower)
        losses.append(f"wget sends {name} once, with its last value ({value})")
    kept = [n.lower() for n, _ in sent if n.lower() in names]
    if kept != list(dict.fromkeys(n.lower() for n, _ in wanted)) or not (added or repeated):
        losses.append("the headers go in wget's order: " + ", ".join(n for n, _ in sent))
    return losses


def _listed(items: list[str]) -> str:
    return items[0] if len(items) == 1 else ", ".join(items[:-1]) + " and " + items[-1]
