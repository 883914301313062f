"""Requests the module would render but a command should not carry: curl would reach another
protocol, or send what the record does not hold."""

import re

# curl takes "scheme:/" as a scheme; without one it guesses from the host's first label.
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*):/")
_GUESSED = re.compile(r"(ftp|dict|ldap|imap|smtp|pop3)\.", re.IGNORECASE)
_ALLOWED = ("http", "https")


def scheme_reason(url):
    """Why the URL's scheme cannot be converted, or None for http and https (or none, which curl
    reads as http). An empty URL is no address at all."""
    if not url:
        return "the URL is empty"
    m = _SCHEME.match(url)
    if m:
        if m[1].lower() in _ALLOWED:
            return None
        return f"the URL's scheme {m[1][:40]!r} is not http or https"
    if _GUESSED.match(url):
        return (f"the URL has no scheme, and curl would guess {url[:url.index('.')].lower()!r} from its host "
                "(only http and https are converted)")
    return None


def _authority(url):
    m = _SCHEME.match(url)
    rest = url[m.end():].lstrip("/") if m else url
    return re.split(r"[/?#]", rest, maxsplit=1)[0]


def credentials_reason(url, headers):
    """Why curl would add an Authorization header the record lacks: the URL holds a user (and
    password) and the record has no Authorization of its own, which curl would send instead."""
    if "@" not in _authority(url):
        return None
    if any(name.lower() == "authorization" for name, _ in headers):
        return None
    return ("the URL holds credentials (user@host) but the record has no Authorization header, and curl "
            "would add one")
