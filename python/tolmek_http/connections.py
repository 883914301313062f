"""http.client connections (urllib.request's, and urllib3's under requests) that hand each request they write to a callback."""

import functools
import io
import socket

from .reading import ReadingTap, idle_tap
from .wire import Tap

__all__ = ["tapped"]


def tapped(cls, callback, scheme):
    """A subclass of the http.client connection class `cls` whose requests go to `callback` as
    the bytes are given to `send`: everything a request writes passes there (request line and
    headers, the body, each chunk), also a CONNECT opening a tunnel.

    When `callback.responses` is true as a connection first writes, its responses are read too:
    the connection's own response_class then reads through a file that hands every byte it
    returns to the connection's reader (for a connection that does not, nothing changes on the
    read path)."""

    send = cls.send
    # A stand-in connection class (a test double, a replaying library's) may have no response
    # class to read through: its requests are reported, its responses not read.
    base = getattr(cls, "response_class", None)
    reading = _reading_response(base) if isinstance(base, type) else None

    class Tapped(cls):
        _tolmek_tap = None  # made once the connection first writes

        def send(self, data):
            if type(data) is not bytes:
                if hasattr(data, "read"):
                    # What http.client would do, a block at a time, but through this method.
                    while block := data.read(self.blocksize):
                        self.send(block.encode("iso-8859-1") if isinstance(block, str) else block)
                    return None
                if isinstance(data, str):
                    return send(self, data)  # which refuses it, as without capture: nothing was written
                if not isinstance(data, (bytes, bytearray, memoryview)):
                    for block in data:
                        self.send(block)
                    return None
            if self.sock is None and self.auto_open:
                # What http.client's send does first: a request is reported once it has a
                # connection to go to, as with the other clients.
                self.connect()
            tap = self._tolmek_tap
            if tap is None:
                tap = self._tolmek_tap = _tap(self, callback, scheme, reading)
            tap.feed(data)  # which never raises
            return send(self, data)  # cls's own send, without making a super() object per write

        def close(self):
            # A request cut off, or a tunnel, does not outlive the connection.
            self.__dict__.pop("_tolmek_tap", None)
            self.__dict__.pop("response_class", None)
            super().close()

    Tapped.__name__ = Tapped.__qualname__ = "Tapped" + cls.__name__
    Tapped.__module__ = __name__
    return Tapped


def _tap(conn, callback, scheme, reading):
    """The tap of the connection `conn`, reading its responses when asked to; one that reads
    nothing when it cannot be made, said."""
    try:
        if reading is not None and getattr(callback, "responses", False):
            tap = ReadingTap(callback, scheme, conn.host, conn.port)
            # Every response of this connection, a tunnel's CONNECT answer too, reads through it.
            conn.response_class = functools.partial(reading, tap.reader)
            return tap
        return Tap(callback, scheme, conn.host, conn.port)
    except Exception as e:
        conn.__dict__.pop("response_class", None)
        return idle_tap(callback, e)


def _reading_response(base):
    """A subclass of the http.client response class `base` that reads through a _ReadingFile."""

    class Reading(base):
        def __init__(self, reader, sock, *args, **kwargs):
            if isinstance(sock, socket.socket) and type(sock).makefile is socket.socket.makefile:
                super().__init__(_MakesReadingFile(sock, reader), *args, **kwargs)
            else:  # a socket of the client's own making (urllib3's TLS in TLS): read call by call
                super().__init__(sock, *args, **kwargs)
                self.fp = _ReadingFile(self.fp, reader)

    Reading.__name__ = Reading.__qualname__ = "Reading" + base.__name__
    Reading.__module__ = __name__
    return Reading


class _ReadingSocketIO(socket.SocketIO):
    """The raw file under a response's buffered socket file: every block read off the socket is
    handed to the connection's reader too (once per read of up to the buffer's size, the head's
    lines then read in C), a read that finds the end tells it so. The reader may so see bytes
    read ahead into the buffer that the client never takes (as aiohttp's reader sees all it
    receives); a body longer than the buffer still stays unread when the client stops early."""

    _reader = None

    def readinto(self, b):
        n = socket.SocketIO.readinto(self, b)
        if n:
            self._reader.feed(b[:n])
        elif n is not None and len(b):
            self._reader.end()
        return n

    def close(self):
        if not self.closed:
            self._reader.close()
        socket.SocketIO.close(self)


class _MakesReadingFile:
    """What http.client's response is given for a socket: its file is made as socket.makefile
    makes it, over a _ReadingSocketIO (a file made and replaced would cost more than the read)."""

    __slots__ = ("_sock", "_reader")

    def __init__(self, sock, reader):
        self._sock, self._reader = sock, reader

    def makefile(self, mode, *args, **kwargs):
        sock = self._sock
        if mode != "rb" or args or kwargs:
            return sock.makefile(mode, *args, **kwargs)
        raw = _ReadingSocketIO(sock, "rb")
        raw._reader = self._reader
        sock._io_refs += 1  # as socket.makefile counts its files: the socket closes once they are all closed
        return io.BufferedReader(raw, io.DEFAULT_BUFFER_SIZE)


class _ReadingFile:
    """A response's buffered socket file as http.client (and urllib3 through it) uses it: every
    byte a read returns is handed to the connection's reader as well; a read that finds the end
    of the stream tells it so. peek consumes nothing, so hands nothing over."""

    __slots__ = ("_fp", "_reader")

    def __init__(self, fp, reader):
        self._fp, self._reader = fp, reader

    def read(self, size=-1):
        data = self._fp.read(size)
        if data:
            self._reader.feed(data)
        if data is not None and (size is None or size < 0 or (not data and size)):
            self._reader.end()  # read to the end, or nothing left before it
        return data

    def read1(self, size=-1):
        data = self._fp.read1(size)
        if data:
            self._reader.feed(data)
        elif data is not None and size:
            self._reader.end()
        return data

    def readline(self, size=-1):
        data = self._fp.readline(size)
        if data:
            self._reader.feed(data)
        elif size:
            self._reader.end()
        return data

    def _into(self, n, b):
        if n:
            self._reader.feed(memoryview(b)[:n].tobytes())
        elif n is not None and len(memoryview(b)):
            self._reader.end()
        return n

    def readinto(self, b):
        return self._into(self._fp.readinto(b), b)

    def readinto1(self, b):
        return self._into(self._fp.readinto1(b), b)

    def peek(self, size=0):
        return self._fp.peek(size)

    def readlines(self, hint=-1):
        lines = self._fp.readlines(hint)
        for line in lines:
            self._reader.feed(line)
        if hint is None or hint <= 0:
            self._reader.end()
        return lines

    def __iter__(self):
        return self

    def __next__(self):
        line = self.readline()
        if not line:
            raise StopIteration
        return line

    def close(self):
        self._reader.close()
        self._fp.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __getattr__(self, name):
        return getattr(self._fp, name)
