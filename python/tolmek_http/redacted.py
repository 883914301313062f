"""A request's curl command with its secrets as shell variables, for logs and for sharing one command."""

from __future__ import annotations

from urllib.parse import unquote, urlsplit

from .compose import command
from .exchange import Exchange
from .objects import parts
from .redact import Vault, gather
from .script_out import redacted
from .wire import WireRequest

__all__ = ["redacted_curl"]


class _Unsent:
    """An unsent request object in the shape the writers read a captured one in: the target from
    its path on, the origin apart, header and body bytes."""

    __slots__ = ("method", "target", "headers", "body", "_where", "proxy", "url", "curl", "response")

    def __init__(self, url: str, headers: list[tuple[str, str]], name, body):
        self.url = url
        self.curl = command(url, headers, name, body)  # ValueError for what no command carries, as to_curl says
        split = urlsplit(url)
        netloc = split.netloc
        user, at, host = netloc.rpartition("@")
        if at and not any(n.lower() == "authorization" for n, _ in headers):
            # What curl makes of the URL's user information, written out, so that its password is
            # a secret like any other: curl sends the same header.
            import base64

            name_, _, password = user.partition(":")
            token = base64.b64encode(f"{unquote(name_)}:{unquote(password)}".encode()).decode()
            headers = [*headers, ("Authorization", f"Basic {token}")]
        start = url.find("//") + 2 + len(netloc)  # the host may also stand in the scheme ("http://h/")
        self.method = str(name)
        self.target = (url[start:] or "/").partition("#")[0].encode("utf-8", "surrogateescape")
        self.headers = [(n.encode("utf-8", "surrogateescape"), v.encode("utf-8", "surrogateescape"))
                        for n, v in headers]
        self.body = body.encode("utf-8") if type(body) is str else body
        self._where = (split.scheme, host, None)
        self.proxy = None
        self.response = None


def redacted_curl(request) -> str:
    """to_curl(request, redact=True)."""
    exact = isinstance(request, WireRequest)
    wire = request if exact else _Unsent(*parts(request))
    vault = Vault()
    # First every secret of the request is known, so that each is replaced wherever else it shows up.
    gather(vault, [Exchange(wire)])
    return redacted(wire, vault, exact)
