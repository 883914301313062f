"""Requests the module would render but a command should not carry: curl would reach another
protocol, or send what the record does not hold."""

# curl takes "scheme:/" as a scheme; without one it guesses from the host's first label. Read
# without regular expressions, whose engine costs more start-up than a small conversion.
_SCHEME_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-")
_GUESSED = ("ftp", "dict", "ldap", "imap", "smtp", "pop3")
_ALLOWED = ("http", "https")


def _scheme(url):
    """The scheme at the start of `url` as curl reads it ("scheme:/"), or None."""
    colon = url.find(":")
    if colon < 1 or not url.startswith("/", colon + 1) or not (url[0].isascii() and url[0].isalpha()):
        return None
    scheme = url[:colon]
    return scheme if all(c in _SCHEME_CHARS for c in scheme) else None


def _guessed(url):
    """The protocol curl would guess from the host's first label, or None."""
    label, dot, _ = url.partition(".")
    if not dot or len(label) > 4:
        return None
    if label.isascii():
        return label.lower() if label.lower() in _GUESSED else None
    # A label that compares equal only ignoring the case of characters beyond ASCII: as before.
    import re

    return label.lower() if re.match(r"(ftp|dict|ldap|imap|smtp|pop3)\.", url, re.IGNORECASE) else None


def scheme_reason(url):
    """Why the URL's scheme cannot be converted, or None for http and https (or none, which curl
    reads as http). An empty URL is no address at all."""
    if not url:
        return "the URL is empty"
    scheme = _scheme(url)
    if scheme is not None:
        if scheme.lower() in _ALLOWED:
            return None
        return f"the URL's scheme {scheme[:40]!r} is not http or https"
    guessed = _guessed(url)
    if guessed is not None:
        return (f"the URL has no scheme, and curl would guess {guessed!r} from its host "
                "(only http and https are converted)")
    return None


def _authority(url):
    scheme = _scheme(url)
    rest = url[len(scheme) + 2:].lstrip("/") if scheme is not None else url
    end = len(rest)
    for c in "/?#":
        i = rest.find(c, 0, end)
        if i >= 0:
            end = i
    return rest[:end]


def credentials_reason(url, headers):
    """Why curl would add an Authorization header the record lacks: the URL holds a user (and
    password) and the record has no Authorization of its own, which curl would send instead."""
    if "@" not in url or "@" not in _authority(url):
        return None
    if any(name.lower() == "authorization" for name, _ in headers):
        return None
    return ("the URL holds credentials (user@host) but the record has no Authorization header, and curl "
            "would add one")
