"""A loopback HTTP/1.1 keep-alive server on raw sockets that records every request as bytes."""

import contextlib
import socket
import threading
from dataclasses import dataclass, field

_OWS = b" \t"


@dataclass
class Arrival:
    """One request as it came off the wire. `tag` is what the tag file held when it had arrived."""

    method: bytes
    target: bytes
    headers: list  # [(name, value)] as bytes, in order; values without leading/trailing SP and HTAB
    body: bytes
    tag: str = ""
    faults: list = field(default_factory=list)  # framing problems the recorder noticed
    last: bool = False  # answered with "Connection: close", then the connection was closed
    peer: int = 0  # the client's port: requests sharing a connection share it


class Recorder:
    """Answers every request with 200 and a two-byte body (`ok`), a HEAD with the same head and no
    body, and keeps each connection open until the client closes it: a client that waits for a body
    after a HEAD therefore waits until its own time limit.

    http.server is no use here: it folds a leading "//" in the target, decodes header bytes as
    latin-1 and joins repeated headers in some accessors. This one stores the request line's target
    and every header line untouched except for the optional white space around the value.

    If `tag_file` is given, each arrival is tagged with that file's content, read once the request
    is complete. A shell script that writes the file before it runs a command therefore tags the
    command's requests exactly: the write finishes before the command starts, and the command's
    request arrives before its process ends.

    `answer(arrival)` may give the whole response (head and body) for a request instead, or None
    for the usual one: a redirect, an auth challenge; or (the response, True) to hang up once it
    is written (a body that runs to the connection's end)."""

    def __init__(self, tag_file=None, answer=None):
        self.tag_file = tag_file
        self.answer = answer
        self.arrivals = []
        self._lock = threading.Lock()
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(64)
        self.port = self._sock.getsockname()[1]
        self.base = f"http://127.0.0.1:{self.port}"
        self._conns = set()
        self._closing = False
        self._thread = threading.Thread(target=self._accept, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._closing = True
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._sock.close()
        with self._lock:
            conns = list(self._conns)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._thread.join(5)

    def take(self):
        """Every arrival so far, removed from the recorder."""
        with self._lock:
            got, self.arrivals = self.arrivals, []
        return got

    def _accept(self):
        while not self._closing:
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            with self._lock:
                self._conns.add(conn)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        reader = _Reader(conn)
        try:
            peer = conn.getpeername()[1]  # asked once: a client gone later leaves its requests' port
            while True:
                arrival = self._read_request(reader, conn)
                if arrival is None:
                    return
                arrival.peer = peer
                if self.tag_file is not None:
                    try:
                        with open(self.tag_file, encoding="utf-8") as f:
                            arrival.tag = f.read().strip()
                    except FileNotFoundError:
                        pass
                with self._lock:
                    self.arrivals.append(arrival)
                if self.answer is not None and (response := self.answer(arrival)) is not None:
                    hang_up = isinstance(response, tuple)
                    conn.sendall(response[0] if hang_up else response)
                    if hang_up:
                        return
                    continue
                head = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
                head += b"Connection: close\r\n\r\n" if arrival.last else b"\r\n"
                conn.sendall(head if arrival.method == b"HEAD" else head + b"ok")
                if arrival.last:
                    return
        except (OSError, _Closed, ValueError):  # ValueError: a chunk size that is not hex
            pass
        finally:
            # A lingering close: client bytes left unread would make the close a reset, which may overtake the answer.
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_WR)
                conn.settimeout(5)
                while conn.recv(65536):
                    pass
            with self._lock:
                self._conns.discard(conn)
            conn.close()

    def _read_request(self, reader, conn):
        line = reader.line()
        while line == b"":  # a client may send empty lines between requests
            line = reader.line()
        faults = []
        parts = line.split(b" ")
        if len(parts) != 3:
            faults.append(f"request line {line!r}")
            parts = (parts + [b"", b""])[:3]
        method, target, _version = parts
        headers = []
        while (h := reader.line()) != b"":
            name, colon, value = h.partition(b":")
            if not colon:
                faults.append(f"header line without colon {h!r}")
            headers.append((name, value.strip(_OWS)))
        lower = {n.lower(): v for n, v in headers}
        if lower.get(b"expect", b"").lower() == b"100-continue":
            conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        if b"chunked" in lower.get(b"transfer-encoding", b"").lower():
            body = b""
            while True:
                size = int(reader.line().split(b";")[0], 16)
                if size == 0:
                    while reader.line() != b"":  # trailer section
                        pass
                    break
                body += reader.exact(size)
                if reader.line() != b"":
                    faults.append("chunk not followed by CRLF")
        elif b"content-length" in lower:
            length = lower[b"content-length"]
            if not length.isdigit():
                # No way to tell where this body ends: keep what the line said, then hang up.
                faults.append(f"Content-Length {length!r}")
                return Arrival(method, target, headers, b"", faults=faults, last=True)
            body = reader.exact(int(length))
        else:
            body = b""
        # curl cannot send a HEAD with a body except as `-X HEAD`, which then waits for the body
        # the answer announces; hanging up after the answer ends it at once (curl's exit code 18).
        last = method == b"HEAD" and (b"content-length" in lower or b"transfer-encoding" in lower)
        return Arrival(method, target, headers, body, faults=faults, last=last)


class _Closed(Exception):
    pass


class _Reader:
    def __init__(self, conn):
        self.conn, self.buf = conn, b""

    def _more(self):
        data = self.conn.recv(65536)
        if not data:
            raise _Closed
        self.buf += data

    def line(self):
        while (i := self.buf.find(b"\n")) < 0:
            self._more()
        line, self.buf = self.buf[:i], self.buf[i + 1:]
        return line[:-1] if line.endswith(b"\r") else line

    def exact(self, n):
        while len(self.buf) < n:
            self._more()
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

