"""A request as it went on the wire, read back from the bytes a client wrote to its connection."""

from collections.abc import Callable

__all__ = ["WireRequest", "Tap"]


class WireRequest:
    """One request as the client wrote it: the request line's method and target, every header line
    in order (names in the client's case, duplicates kept, values without the white space around
    them), the body bytes (de-chunked; None when the request had no body framing at all) and where
    it went: `url` (scheme, the address connected to, the target) and `proxy` when the target was
    written for an HTTP proxy. `.curl` is the command sending the same."""

    __slots__ = ("method", "target", "headers", "body", "chunked", "url", "proxy", "_curl")

    def __init__(self, method: str, target: bytes, headers: list[tuple[bytes, bytes]], body: bytes | None,
                 chunked: bool, url: str, proxy: str | None):
        self.method = method
        self.target = target
        self.headers = headers
        self.body = body
        self.chunked = chunked
        self.url = url
        self.proxy = proxy
        self._curl: str | None = None

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
        """The curl command that sends this request's bytes (built on first use)."""
        if self._curl is None:
            from .compose import command

            self._curl = command(self.url, self.header_pairs(), self.method, self.body, exact=True, proxy=self.proxy)
        return self._curl

    def __repr__(self) -> str:
        size = "no body" if self.body is None else f"{len(self.body)} body bytes"
        return f"<WireRequest {self.method} {self.url} ({len(self.headers)} headers, {size})>"


_HEAD_END = b"\r\n\r\n"


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
        self.reset()

    def reset(self) -> None:
        """Forget a request cut off by a closed connection."""
        self._buf = bytearray()
        self._head = None
        self._need = 0
        self._chunks = None
        self._pos = 0

    def feed(self, data) -> None:
        self._buf += data
        while self._step():
            pass

    def _step(self) -> bool:
        buf = self._buf
        if self._head is None:
            end = buf.find(_HEAD_END)
            if end < 0:
                return False
            lines = bytes(buf[:end]).split(b"\r\n")
            del buf[:end + 4]
            while lines and lines[0] == b"":
                lines.pop(0)
            method, _, rest = lines[0].partition(b" ")
            target = rest.rpartition(b" ")[0]
            headers = []
            length = None
            chunked = False
            for line in lines[1:]:
                name, _, value = line.partition(b":")
                value = value.strip(b" \t")
                headers.append((name, value))
                lower = name.lower()
                if lower == b"content-length":
                    length = int(value)
                elif lower == b"transfer-encoding" and b"chunked" in value.lower():
                    chunked = True
            self._head = (method, target, headers, chunked)
            if chunked:
                self._chunks = bytearray()
                self._pos = 0
            else:
                self._need = length if length is not None else -1
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
        method, target, headers, chunked = self._head
        self._head = None
        if method == b"CONNECT":
            # A tunnel through a proxy: what follows goes to the host it names, over TLS.
            self.proxy = f"http://{self._authority()}"
            host, _, port = target.decode("ascii").rpartition(":")
            self.host, self.port = host.strip("[]"), int(port)
            return True
        if target.startswith((b"http://", b"https://")):
            url, proxy = target.decode("utf-8", "surrogateescape"), f"http://{self._authority()}"
        else:
            url, proxy = f"{self.scheme}://{self._authority()}" + target.decode("utf-8", "surrogateescape"), self.proxy
        self.callback(WireRequest(method.decode("latin-1"), target, headers, body, chunked, url, proxy))
        return True

    def _authority(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return host if self.port is None else f"{host}:{self.port}"
