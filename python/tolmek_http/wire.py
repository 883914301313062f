"""A request as it went on the wire, read back from the bytes a client wrote to its connection."""

import re
from collections.abc import Callable

from .compose import command as _command

__all__ = ["WireRequest", "Tap"]

_HEAD_END = b"\r\n\r\n"
# The header lines that frame the body; HTTP/1.1 clients write no white space before the colon.
_FRAMING = re.compile(rb"\r\n(content-length|transfer-encoding):[ \t]*([^\r\n]*)", re.I)


class WireRequest:
    """One request as the client wrote it: the request line's method and target, every header line
    in order (names in the client's case, duplicates kept, values without the white space around
    them), the body bytes (de-chunked; None when the request had no body framing at all) and where
    it went: `url` (scheme, the address connected to, the target) and `proxy` when the target was
    written for an HTTP proxy. `.curl` is the command sending the same.

    The header lines are split and the URL and command made only when asked for: capture itself
    only finds where each request ends."""

    __slots__ = ("method", "target", "body", "chunked", "proxy", "_origin", "_lines", "_headers", "_curl")

    def __init__(self, method: str, target: bytes, lines: bytes, body: bytes | None, chunked: bool, origin: str,
                 proxy: str | None):
        self.method = method
        self.target = target
        self.body = body
        self.chunked = chunked
        self.proxy = proxy
        self._origin = origin
        self._lines = lines
        self._headers: list[tuple[bytes, bytes]] | None = None
        self._curl: str | None = None

    @property
    def headers(self) -> list[tuple[bytes, bytes]]:
        """[(name, value)] as bytes, in the order written, values without the white space around them."""
        if self._headers is None:
            found = []
            if self._lines:
                for line in self._lines.split(b"\r\n"):
                    name, _, value = line.partition(b":")
                    found.append((name, value.strip(b" \t")))
            self._headers = found
        return self._headers

    @property
    def url(self) -> str:
        """The target as written for a proxy, else the scheme and address connected to with the target."""
        target = self.target.decode("utf-8", "surrogateescape")  # other bytes: a lone surrogate the module refuses
        return target if self.target.startswith((b"http://", b"https://")) else self._origin + target

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
        if self._curl is None:
            self._curl = _command(self.url, self.header_pairs(), self.method, self.body, exact=True, proxy=self.proxy)
        return self._curl

    def __repr__(self) -> str:
        size = "no body" if self.body is None else f"{len(self.body)} body bytes"
        return f"<WireRequest {self.method} {self.url} ({len(self.headers)} headers, {size})>"


class Tap:
    """Reads the requests out of the bytes written to one connection, however they are split into
    writes, and calls back with each as soon as its last byte has been handed over. One Tap per
    connection: a connection carries one request at a time, so it needs no lock."""

    __slots__ = ("callback", "scheme", "host", "port", "proxy", "_buf", "_head", "_need", "_chunks", "_pos")

    def __init__(self, callback: Callable[[WireRequest], object], scheme: str, host: str, port: int | None):
        self.callback = callback
        self.scheme = scheme
        self.host = host
        self.port = port
        self.proxy: str | None = None  # set once a CONNECT has made this connection a tunnel
        self._buf = bytearray()
        self._head = None  # (method, target, header lines, chunked) of the request being written
        self._need = 0  # body bytes to come; -1: no body
        self._chunks = None  # the de-chunked body so far, for a chunked request
        self._pos = 0  # where the next chunk starts in _buf

    def feed(self, data) -> None:
        if self._buf:
            pass
        elif self._head is not None:
            if self._chunks is None and len(data) == self._need:
                self._emit(bytes(data))  # the body, written on its own after the head (http.client)
                return
        else:
            # The usual case: a write that starts a request; its head is read straight from it.
            if type(data) is not bytes:
                data = bytes(data)
            end = data.find(_HEAD_END)
            if end >= 0:
                self._start(data[:end])
                rest = len(data) - end - 4
                if self._chunks is None and rest == max(self._need, 0):
                    self._emit(data[end + 4:] if self._need >= 0 else None)
                    return
                data = data[end + 4:]
        self._buf += data
        while self._step():
            pass

    def _start(self, head: bytes) -> None:
        head = head.lstrip(b"\r\n")  # a client may write empty lines between requests
        eol = head.find(b"\r\n")
        line, lines = (head, b"") if eol < 0 else (head[:eol], head[eol + 2:])
        method, _, rest = line.partition(b" ")
        target = rest.rpartition(b" ")[0]
        length = None
        chunked = False
        for m in _FRAMING.finditer(head):
            if len(m.group(1)) == 14:  # Content-Length
                length = int(m.group(2).strip(b" \t"))
            elif b"chunked" in m.group(2).lower():
                chunked = True
        self._head = (method, target, lines, chunked)
        if chunked:
            self._chunks = bytearray()
            self._pos = 0
        else:
            self._need = -1 if length is None else length

    def _step(self) -> bool:
        buf = self._buf
        if self._head is None:
            end = buf.find(_HEAD_END)
            if end < 0:
                return False
            head = bytes(buf[:end])
            del buf[:end + 4]
            self._start(head)
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
            size = int(bytes(buf[self._pos:eol]).split(b";")[0], 16)
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
            self._chunks += buf[start:start + size]
            self._pos = start + size + 2

    def _emit(self, body: bytes | None) -> bool:
        method, target, lines, chunked = self._head
        self._head = None
        if method == b"CONNECT":
            # A tunnel through a proxy: what follows goes to the host it names, over TLS.
            self.proxy = f"http://{self._authority()}"
            host, _, port = target.decode("ascii").rpartition(":")
            self.host, self.port = host.strip("[]"), int(port)
            return True
        proxy = f"http://{self._authority()}" if target.startswith((b"http://", b"https://")) else self.proxy
        self.callback(WireRequest(method.decode("latin-1"), target, lines, body, chunked,
                                  f"{self.scheme}://{self._authority()}", proxy))
        return True

    def _authority(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return host if self.port is None else f"{host}:{self.port}"

