"""The one request value every reader produces and every writer consumes."""

from __future__ import annotations

__all__ = ["Request", "split_url", "wire_target", "whatwg_target"]

# Bytes a request target carries only percent-encoded: controls, space, and what RFC 3986 leaves out
# of a URI; everything else (existing escapes among them) goes on the wire as written.
_UNSENDABLE = frozenset(b'"<>\\^`{|} ') | frozenset(range(0x21)) | frozenset(range(0x7f, 0x100))


_DEFAULT_PORTS = {"http": "80", "https": "443"}


def wire_target(target: str) -> str:
    """The target as it goes on the wire: UTF-8, the bytes a URI cannot hold percent-encoded in
    upper case (as curl and browsers write them), no fragment."""
    target = target.partition("#")[0]
    raw = target.encode("utf-8", "surrogateescape")
    if not any(b in _UNSENDABLE for b in raw):
        return target
    return "".join(f"%{b:02X}" if b in _UNSENDABLE else chr(b) for b in raw)


def whatwg_target(target: str) -> str:
    """The target as a WHATWG URL parser (Node's, so axios' and got's) gives it: dot segments, written
    or escaped, resolved, `'` escaped in the query, an empty query dropped."""
    path, _, query = target.partition("?")
    segments = path[1:].split("/")
    kept: list[str] = []
    for i, segment in enumerate(segments):
        last = i == len(segments) - 1
        low = segment.lower()
        if low in ("..", ".%2e", "%2e.", "%2e%2e"):
            if kept:
                kept.pop()
            if last:
                kept.append("")
        elif low in (".", "%2e"):
            if last:
                kept.append("")
        else:
            kept.append(segment)
    query = query.replace("'", "%27")
    return "/" + "/".join(kept) + ("?" + query if query else "")


def split_url(url: str) -> tuple[str, str]:
    """(scheme://host[:port] without user information, the target as it goes on the wire). A URL
    without a scheme is http, as curl reads it."""
    scheme, sep, rest = url.partition("://")
    if not sep:
        scheme, rest = "http", url
    cut = min((k for k in (rest.find("/"), rest.find("?"), rest.find("#")) if k >= 0), default=len(rest))
    authority, target = rest[:cut], rest[cut:]
    authority = authority.rpartition("@")[2]
    if not target.startswith("/"):
        target = "/" + target
    return f"{scheme.lower()}://{authority}", wire_target(target)


class Request:
    """One HTTP request as it is to arrive: the method (any token), the origin and the target as
    they go on the wire, every header in order with its case (Host among them when the record
    places it), the body bytes (None: no body at all).

    `needs_curl`: why only a curl command can carry it (a digest answer, an AWS signature, a proxy,
    a file curl reads), or None. `label` names it in comments and messages; `index` is its place in
    the run (from 0); `losses` are filled in by the form that writes it."""

    __slots__ = ("method", "origin", "target", "headers", "body", "needs_curl", "label", "offset", "index",
                 "losses", "report", "holders")

    def __init__(self, method: str, url: str, headers, body: bytes | None, *, label="", offset=None,
                 needs_curl: str | None = None, index: int = 0, holders: dict[str, str] | None = None):
        self.method = method
        self.origin, self.target = split_url(url)
        self.headers = [(str(n), str(v)) for n, v in headers]
        self.body = body
        self.needs_curl = needs_curl
        self.label = label
        self.offset = offset
        self.index = index
        self.losses: list[str] = []
        # token -> variable name: values the request holds as variables, each written as its token
        self.holders = holders

    @property
    def name(self) -> str:
        """How the request is called in an output's comments: its label, else its place in the run."""
        return str(self.label) if self.label else f"request {self.index + 1}"

    @property
    def url(self) -> str:
        return self.origin + self.target

    @property
    def host(self) -> str:
        """The Host header a client makes from the URL."""
        return self.origin.partition("://")[2]

    def made_host(self, lower: bool = False) -> str:
        """The Host header most clients make from the URL: the host as written (in lower case with
        `lower`), the port unless it is the scheme's own."""
        scheme, _, authority = self.origin.partition("://")
        host, port = authority, ""
        if authority.startswith("["):
            close = authority.find("]")
            host, port = authority[:close + 1], authority[close + 2:]
        elif ":" in authority:
            host, _, port = authority.rpartition(":")
        if lower:
            host = host.lower()
        return host if port in ("", _DEFAULT_PORTS.get(scheme)) else f"{host}:{port}"

    def header(self, name: str) -> str | None:
        """The first value of a header (name compared without case), or None."""
        lower = name.lower()
        return next((v for n, v in self.headers if n.lower() == lower), None)

    def has(self, name: str) -> bool:
        lower = name.lower()
        return any(n.lower() == lower for n, _ in self.headers)

    def __repr__(self) -> str:
        return f"Request({self.method!r}, {self.url!r}, {self.headers!r}, {self.body!r})"
