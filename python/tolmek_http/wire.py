"""A request as it went on the wire, read back from the bytes a client wrote to its connection."""

import re
from collections.abc import Callable

from .callbacks import describe, report
from .compose import command as _command

__all__ = ["WireRequest", "Tap"]

_HEAD_END = b"\r\n\r\n"
# The header lines that frame the body; HTTP/1.1 clients write no white space before the colon.
_FRAMING = re.compile(rb"\r\n(content-length|transfer-encoding):[ \t]*([^\r\n]*)", re.I)
# A chunk's size line: hex digits only (int(x, 16) would take "0x1f", "1_0", "+a", " a"), then
# white space before an extension or the line's end.
_CHUNK_SIZE = re.compile(rb"([0-9A-Fa-f]{1,16})(?:[ \t]*;[^\r\n]*|[ \t]*)")


def _framing(head: bytes) -> int:
    """Body bytes that follow `head`: its Content-Length, -1 with no body framing, -2 chunked, -3
    when no one length can be read from it (_why_unreadable says why)."""
    need = -1
    chunked = 0
    for name, value in _FRAMING.findall(head):
        if len(name) == 14:  # Content-Length
            if need == -1 and value.isdigit() and len(value) < 19:  # one length, as nearly every client writes it
                need = int(value)
                continue
            # Digits only (int() would also take "1_0", "+5", "0x5" lenient servers read otherwise);
            # a list of equal lengths, or the same length twice, is that length.
            for v in value.split(b","):
                v = v.strip(b" \t")
                if not (v.isdigit() and len(v) < 19) or (need != -1 and int(v) != need):
                    need = -3
                    break
                need = int(v)
        else:
            # Only a last coding of chunked says where a request's body ends.
            chunked = 1 if value.rstrip(b" \t").lower().rpartition(b",")[2].strip(b" \t") == b"chunked" else -1
    if chunked:
        return -2 if chunked > 0 else -3
    return need


def _why_unreadable(head: bytes) -> str:
    """Why _framing cannot read `head`'s framing."""
    found = _FRAMING.findall(head)
    codings = [v for n, v in found if len(n) != 14]
    if codings:
        return f"its Transfer-Encoding {codings[-1][:40]!r} does not end with chunked"
    said = ", ".join(repr(v.strip(b" \t")[:40]) for _, v in found)
    return f"its Content-Length {said} is not one length in digits"


class WireRequest:
    """One request as the client wrote it: the request line's method and target, every header line
    in order (names in the client's case, duplicates kept, values without the white space around
    them), the body bytes (de-chunked; None when the request had no body framing at all) and where
    it went: `url` (scheme, the address connected to, the target) and `proxy` when the target was
    written for an HTTP proxy. `.curl` is the command sending the same.

    Capture itself only finds where each request ends and keeps the head's bytes: the request line
    is read, the header lines split and the URL and command made only when asked for."""

    # _line, _headers and _curl stay unset until first asked for: a request nobody reads costs no
    # stores for them; _response stays unset until a response is read for it.
    __slots__ = ("body", "_head", "_where", "_line", "_headers", "_curl", "_response")

    def __init__(self, head: bytes, body: bytes | None, where: tuple[str, str, str | None]):
        self._head = head  # the request line and header lines, without the empty line ending them
        self.body = body
        self._where = where  # (scheme, the authority connected to, the proxy of a tunnel or None)

    def _request_line(self) -> tuple[str, bytes, bytes, bool]:
        try:
            return self._line
        except AttributeError:
            pass
        head = self._head.lstrip(b"\r\n")  # a client may write empty lines between requests
        eol = head.find(b"\r\n")
        line, lines = (head, b"") if eol < 0 else (head[:eol], head[eol + 2:])
        method, _, rest = line.partition(b" ")
        found = self._line = (method.decode("latin-1"), rest.rpartition(b" ")[0], lines, _framing(self._head) == -2)
        return found

    @property
    def method(self) -> str:
        return self._request_line()[0]

    @property
    def target(self) -> bytes:
        return self._request_line()[1]

    @property
    def chunked(self) -> bool:
        return self._request_line()[3]

    @property
    def proxy(self) -> str | None:
        """The proxy the request went through: the one connected to for a target written for a proxy, a tunnel's."""
        if self.target.startswith((b"http://", b"https://")):
            return f"http://{self._where[1]}"
        return self._where[2]

    @property
    def headers(self) -> list[tuple[bytes, bytes]]:
        """[(name, value)] as bytes, in the order written, values without the white space around them."""
        try:
            return self._headers
        except AttributeError:
            pass
        found = []
        lines = self._request_line()[2]
        if lines:
            for line in lines.split(b"\r\n"):
                name, _, value = line.partition(b":")
                found.append((name, value.strip(b" \t")))
        self._headers = found
        return found

    @property
    def response(self):
        """The response read back for this request (an exchange.WireResponse) once the client has
        read it whole, when captured with responses=True; None before, and for good when none was."""
        try:
            return self._response
        except AttributeError:
            return None

    @response.setter
    def response(self, response) -> None:
        self._response = response

    @property
    def url(self) -> str:
        """The target as written for a proxy, else the scheme and address connected to with the target."""
        target = self.target
        text = target.decode("utf-8", "surrogateescape")  # other bytes: a lone surrogate the module refuses
        if target.startswith((b"http://", b"https://")):
            return text
        scheme, authority, _ = self._where
        return f"{scheme}://{authority}{text}"

    def header_pairs(self) -> list[tuple[str, str]]:
        """The headers as text: names are ASCII, values UTF-8 (a value in another encoding raises ValueError)."""
        out = []
        for name, value in self.headers:
            try:
                out.append((name.decode("ascii"), value.decode("utf-8")))
            except UnicodeDecodeError:
                raise ValueError(f"no curl command can carry this request: header {name!r} is not UTF-8 text") from None
        return out

    @property
    def curl(self) -> str:
        """The curl command that sends this request's bytes (made on first use)."""
        try:
            return self._curl
        except AttributeError:
            pass
        made = self._curl = _command(self.url, self.header_pairs(), self.method, self.body, exact=True,
                                     proxy=self.proxy)
        return made

    def __repr__(self) -> str:
        size = "no body" if self.body is None else f"{len(self.body)} body bytes"
        return f"<WireRequest {self.method} {self.url} ({len(self.headers)} headers, {size})>"


class Tap:
    """Reads the requests out of the bytes written to one connection, however they are split into
    writes, and calls back with each as soon as its last byte has been handed over. One Tap per
    connection: a connection carries one request at a time, so it needs no lock.

    Nothing here raises into the client: a request whose end cannot be told from its framing (and
    so every request after it on the connection) goes unreported, said through report(), as is a
    failure of capture itself or an exception of a callback."""

    __slots__ = ("callback", "host", "port", "proxy", "_scheme", "_where", "_funcs", "_buf", "_head", "_need",
                 "_chunks", "_pos", "_stopped")

    def __init__(self, callback: Callable[[WireRequest], object], scheme: str, host: str, port: int | None):
        self.callback = callback
        # A client's Callbacks are called straight from their list, which sees callbacks added later.
        funcs = getattr(callback, "funcs", None)
        self._funcs = funcs if type(funcs) is list else [callback]
        self.host = host
        self.port = port
        self.proxy: str | None = None  # set once a CONNECT has made this connection a tunnel
        self.scheme = scheme
        self._buf = bytearray()
        self._head: bytes | None = None  # the head of the request being written
        self._need = 0  # body bytes to come; -1: no body
        self._chunks: bytearray | None = None  # the de-chunked body so far, for a chunked request
        self._pos = 0  # where the next chunk starts in _buf
        self._stopped = False  # a request could not be read: nothing after it on the connection can be

    @property
    def scheme(self) -> str:
        return self._scheme

    @scheme.setter
    def scheme(self, scheme: str) -> None:
        # Where the requests go is made once per connection (again after TLS or a tunnel starts), not per request.
        self._scheme = scheme
        host = f"[{self.host}]" if ":" in self.host else self.host
        self._where = (scheme, host if self.port is None else f"{host}:{self.port}", self.proxy)

    def feed(self, data) -> None:
        if self._stopped:
            return
        try:
            if self._buf:
                pass
            elif self._head is not None:
                if type(data) is not bytes:
                    data = bytes(data)  # a memoryview's len() counts items, not bytes
                if self._chunks is None and len(data) == self._need:
                    # The body, written on its own after the head (http.client, httpx).
                    head = self._head
                    self._head = None
                    self._hand_over(WireRequest(head, data, self._where))
                    return
            else:
                # The usual case: a write that starts a request; its head is read straight from it.
                if type(data) is not bytes:
                    data = bytes(data)
                end = data.find(_HEAD_END)
                if end > 0:
                    head = data[:end]
                    first = head[0]
                    # A CONNECT (a tunnel to set up) and empty lines before the request line (C, CR)
                    # take the long way, as does a body still to come in pieces.
                    if first != 67 and first != 13:
                        need = _framing(head)
                        rest = len(data) - end - 4
                        if need == rest or (need == -1 and rest == 0):
                            self._hand_over(WireRequest(head, data[end + 4:] if need >= 0 else None, self._where))
                            return
                        if rest == 0 and need > 0:
                            self._head = head
                            self._need = need
                            return
            self._buf += data
            while self._step():
                pass
        except Exception as e:  # a fault of capture's own: the client's write goes on, unrecorded
            self.stop(f"capture failed on a connection to {self._origin()}, which goes on unrecorded: "
                      f"{describe(e)}")

    def _hand_over(self, request: WireRequest) -> None:
        for f in self._funcs:
            try:
                f(request)
            except Exception as e:
                try:
                    name = f.__qualname__
                except Exception:  # a callable object: its class names it
                    name = type(f).__qualname__
                report(self.callback, f"the callback {name} raised on a request to {self._origin()}: {describe(e)}")

    def stop(self, text: str | None = None) -> None:
        """Nothing more is read from this connection's writes; `text` says why."""
        self._stopped = True
        self._buf = bytearray()
        self._head = self._chunks = None
        if text is not None:
            report(self.callback, text)

    def _origin(self) -> str:
        return f"{self._where[0]}://{self._where[1]}"

    def _cannot_read(self, head: bytes, why: str) -> bool:
        method = head.lstrip(b"\r\n").partition(b" ")[0][:20].decode("latin-1")
        self.stop(f"a {method} request to {self._origin()} is not recorded, nor what follows it on its "
                  f"connection: {why}")
        return False

    def _start(self, head: bytes) -> bool:
        self._head = head
        need = _framing(head)
        if need == -2:
            self._chunks = bytearray()
            self._pos = 0
        elif need == -3:
            return self._cannot_read(head, _why_unreadable(head))
        else:
            self._need = need
        return True

    def _step(self) -> bool:
        buf = self._buf
        if self._head is None:
            end = buf.find(_HEAD_END)
            if end < 0:
                return False
            head = bytes(buf[:end])
            del buf[:end + 4]
            if not self._start(head):
                return False
        if self._chunks is not None:
            return self._dechunk()
        need = self._need
        if need < 0:
            return self._emit(None)
        if len(buf) < need:
            return False
        body = bytes(buf[:need])
        del buf[:need]
        return self._emit(body)

    def _dechunk(self) -> bool:
        buf = self._buf
        while True:
            eol = buf.find(b"\r\n", self._pos)
            if eol < 0:
                return False
            found = _CHUNK_SIZE.fullmatch(buf, self._pos, eol)
            if found is None:
                line = bytes(buf[self._pos:eol][:40])
                return self._cannot_read(self._head, f"the chunk size line {line!r} is not hex digits")
            size = int(found.group(1), 16)
            if size == 0:
                end = buf.find(_HEAD_END, eol)  # the trailer section, usually empty
                if end < 0:
                    return False
                del buf[:end + 4]
                body = bytes(self._chunks)
                self._chunks = None
                return self._emit(body)
            start = eol + 2
            if len(buf) < start + size + 2:
                return False
            if buf[start + size:start + size + 2] != b"\r\n":
                return self._cannot_read(self._head, "a chunk's data is not followed by CRLF")
            self._chunks += buf[start:start + size]
            self._pos = start + size + 2

    def _emit(self, body: bytes | None) -> bool:
        request = WireRequest(self._head, body, self._where)
        self._head = None
        if request.method == "CONNECT":
            # A tunnel through a proxy: what follows goes to the host it names, over TLS.
            host, _, port = request.target.rpartition(b":")
            if not (host and port.isdigit() and len(port) < 6):
                return self._cannot_read(request._head, f"the CONNECT target {request.target[:60]!r} names no port")
            self.proxy = f"http://{self._where[1]}"
            self.host, self.port = host.strip(b"[]").decode("latin-1"), int(port)
            self.scheme = self._scheme  # where the requests go from now on
            return True
        self._hand_over(request)
        return True
