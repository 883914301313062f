"""Responses read back from the bytes a client read off its connection, each paired with its request."""

import functools
import re
from collections import deque

from .callbacks import describe, report
from .exchange import WireResponse
from .wire import Tap

__all__ = ["ResponseReader", "ReadingTap", "idle_tap"]

# A head longer than this is not an HTTP response a client would take (they stop at 64 KiB a line).
_MAX_HEAD = 1 << 20
_STATUS = re.compile(rb"HTTP/\d\.\d (\d\d\d)(?: ([^\r\n]*))?\r?")
# A chunk's size line: hex digits only (int(x, 16) would take "0x1f", "1_0", "+a", " a" that
# clients read otherwise), then white space before an extension or the line's end.
_CHUNK_SIZE = re.compile(rb"([0-9A-Fa-f]{1,16})(?:[ \t]*;[^\n]*|[ \t]*\r?)")
# A whole head as nearly every server writes it: the status line, then header lines each after its
# CRLF, a name without white space at its ends, a colon, a value; no CR or LF but the line ends.
# Possessive: no backtracking, whatever a hostile line holds.
_PLAIN_HEAD = re.compile(rb"HTTP/\d\.\d (\d\d\d)(?: ([^\r\n]*+))?((?:\r\n[^\s:][^\r\n:]*+(?<![ \t]):[^\r\n]*+)*+)")
# Its framing lines, whose values (white space after them dropped) must be one length and nothing else.
_FRAMES = re.compile(rb"\r\n(content-length|transfer-encoding):[ \t]*+([^\r\n]*?)[ \t]*+(?=\r\n|\Z)", re.I)
# Requests whose answers the plain way does not read: HEAD's and CONNECT's, and heads after empty lines.
_NOT_PLAIN = (b"HEAD ", b"CONNECT ", b"\r", b"\n")
_TUNNEL = object()  # a CONNECT's place in the queue: its 2xx answer turns the connection into a tunnel
_LONG_HEAD = "a head longer than 1 MiB"

# What the reader is reading.
_HEAD, _LENGTH, _SIZE, _DATA, _TRAILER, _TO_END, _STOPPED = range(7)


class _Garbled(Exception):
    """Bytes no response can be read from: reading that connection stops. Its text says why."""


class ResponseReader:
    """Reads the responses out of the bytes a client read from one connection, however they are
    split into reads, and sets each final response as `.response` of the oldest request in
    `pending` not yet answered (HTTP/1.1 answers in order).

    Interim 1xx responses are skipped; a 101 (the connection now speaks another protocol), bytes
    that are no response, or a response with no request waiting for it stop reading: the
    requests still waiting keep None. A response the client did not read to its end (it stopped,
    or the connection ended first) is never set. Nothing read here raises into the client: what
    cannot be read while a request waits is told to `warn` (when set) as the text naming why."""

    __slots__ = ("pending", "warn", "_buf", "_state", "_need", "_request", "_status", "_reason", "_headers",
                 "_body")

    def __init__(self) -> None:
        self.pending: deque = deque()  # requests written and not yet answered, oldest first
        self.warn = None
        self._buf = bytearray()
        self._state = _HEAD
        # Body bytes still to come (_LENGTH), of the chunk being read (_DATA); where the search
        # for the head's end goes on (_HEAD).
        self._need = 0
        self._request = None
        self._status = 0
        self._reason = ""
        self._headers: list[tuple[bytes, bytes]] = []
        self._body = bytearray()

    @property
    def stopped(self) -> bool:
        return self._state == _STOPPED

    def feed(self, data) -> None:
        """The bytes the client has just read."""
        state = self._state
        if state == _STOPPED or not data:
            return
        try:
            if state == _HEAD and not self._buf:
                if type(data) is not bytes:
                    data = bytes(data)
                data = self._whole_head(data)
                if not data:
                    return
                state = self._state
            if state == _LENGTH and not self._buf:
                # A body's reads go straight on, without a copy into the buffer first.
                need = self._need
                self._body += data[:need]
                taken = min(len(data), need)
                need = self._need = need - taken
                if need:
                    return
                self._done()
                data = data[taken:]
                if not data:
                    return
            buf = self._buf
            buf += data
            if state == _HEAD:
                # A head's lines (http.client reads one at a time) are only kept until its end.
                pos = self._need
                if buf.find(b"\n\r\n", pos) < 0 and buf.find(b"\n\n", pos) < 0:
                    if len(buf) > _MAX_HEAD:
                        raise _Garbled(_LONG_HEAD)
                    self._need = max(len(buf) - 2, 0)
                    return
            while self._step():
                pass
        except Exception as e:  # garbled bytes, whatever they broke: never the client's problem
            self._fail(e)

    def end(self) -> None:
        """The connection ended (EOF): a body running to the connection's end is complete, and
        nothing more comes."""
        try:
            if self._state == _TO_END:
                self._body += self._buf
                self._buf.clear()
                self._done()
        except Exception as e:
            self._fail(e)
        self.stop()

    def close(self) -> None:
        """The client closed what it reads from: a response not read to its end stays unanswered,
        and as the rest of its bytes were never read here, nothing after it can be read either."""
        if self._state != _HEAD or self._buf:
            self.stop()

    def _fail(self, e: Exception) -> None:
        """Stops, telling `warn` why when a request loses its response to it."""
        request = self._request or (self.pending[0] if self.pending else None)
        if self.warn is not None and request is not None:
            try:
                why = str(e) if type(e) is _Garbled else f"capture failed: {describe(e)}"
                if request is _TUNNEL:
                    method, where = "CONNECT", ("http", "a proxy")
                else:
                    method, where = request.method[:20], request._where
                self.warn(f"the response to a {method} request to {where[0]}://{where[1]} is not recorded, nor "
                          f"those after it on its connection: {why}")
            except Exception:
                pass
        self.stop()

    def stop(self) -> None:
        self._state = _STOPPED
        self.pending.clear()
        self._buf = bytearray()
        self._body = bytearray()
        self._request = None

    def _step(self) -> bool:
        state = self._state
        buf = self._buf
        if state == _HEAD:
            return self._head()
        if state == _LENGTH:
            taken = min(len(buf), self._need)
            self._body += buf[:taken]
            del buf[:taken]
            self._need -= taken
            if self._need:
                return False
            return self._done()
        if state == _SIZE:
            eol = buf.find(b"\n")
            if eol < 0:
                if len(buf) > _MAX_HEAD:
                    raise _Garbled("a chunk size line longer than 1 MiB")
                return False
            found = _CHUNK_SIZE.fullmatch(buf, 0, eol)
            if found is None:
                raise _Garbled(f"the chunk size line {bytes(buf[:eol]).rstrip(b'\r')[:40]!r} is not hex digits")
            self._need = int(found.group(1), 16)
            del buf[:eol + 1]
            self._state = _DATA if self._need else _TRAILER
            return True
        if state == _DATA:
            need = self._need
            if need > 0:
                taken = min(len(buf), need)
                self._body += buf[:taken]
                del buf[:taken]
                need = self._need = need - taken
                if need:
                    return False
            # The chunk's data is followed by its own line end.
            if buf[:2] == b"\r\n":
                del buf[:2]
            elif buf[:1] == b"\n":
                del buf[:1]
            elif len(buf) < 2 and buf in (b"", b"\r"):
                return False
            else:
                raise _Garbled("a chunk's data is not followed by its line end")
            self._state = _SIZE
            return True
        if state == _TRAILER:
            # Trailer lines are dropped: the body is what a recording keeps.
            while True:
                eol = buf.find(b"\n")
                if eol < 0:
                    if len(buf) > _MAX_HEAD:
                        raise _Garbled("a trailer line longer than 1 MiB")
                    return False
                line = buf[:eol]
                del buf[:eol + 1]
                if line in (b"", b"\r"):
                    return self._done()
        if state == _TO_END:
            self._body += buf
            buf.clear()
        return False

    def _whole_head(self, data: bytes) -> bytes:
        """A read starting with a whole head as nearly every server writes it (CRLF line ends, no
        folded line, plain names, one Content-Length or none, no Transfer-Encoding) read in a few
        C calls (each costs as much as many Python steps), its header lines left for the response
        to split when asked: what follows it is returned, to be read on. Any other head (or a part
        of one) is returned whole, for _head to read, with the same result."""
        end = data.find(b"\r\n\r\n")
        if end < 0 or end > _MAX_HEAD or not self.pending:
            return data
        found = _PLAIN_HEAD.fullmatch(data, 0, end)
        if found is None:
            return data
        status, reason, lines = found.groups()
        status = int(status)
        request = self.pending[0]
        if status < 200 or request is _TUNNEL or request._head.startswith(_NOT_PLAIN):
            return data
        framing = _FRAMES.findall(data, 0, end)
        if not framing:
            length = -1
        elif len(framing) == 1 and len(framing[0][0]) == 14 and framing[0][1].isdigit() and len(framing[0][1]) < 19:
            length = int(framing[0][1])
        else:
            return data
        start = end + 4
        # The request leaves the queue once its response is made: should that fail, it is the one said to lose it.
        if status == 204 or status == 304 or not length:
            request.response = WireResponse(status, reason, lines, b"")
            self.pending.popleft()
            return data[start:]
        if len(data) - start >= length > 0:
            stop = start + length
            request.response = WireResponse(status, reason, lines, data[start:stop])
            self.pending.popleft()
            return data[stop:]
        self.pending.popleft()
        self._request, self._status, self._reason, self._headers = request, status, reason, lines
        self._body = bytearray(data[start:])
        if length < 0:
            self._state = _TO_END
        else:
            self._need = length - len(self._body)
            self._state = _LENGTH
        return b""

    def _head(self) -> bool:
        buf = self._buf
        # The head ends with an empty line; servers that end lines with LF alone are read too.
        # _need holds where the search for it stopped, so that a head read in pieces is searched once.
        pos = self._need
        end = buf.find(b"\n\r\n", pos)
        # An LF alone just before the CRLF found ends the head there: its LF LF overlaps the find.
        bare = buf.find(b"\n\n", pos, len(buf) if end < 0 else end + 1)
        if bare >= 0:
            end, size = bare, 2
        elif end >= 0:
            size = 3
        else:
            if len(buf) > _MAX_HEAD:
                raise _Garbled(_LONG_HEAD)
            self._need = max(len(buf) - 2, 0)
            return False
        self._need = 0
        if end > _MAX_HEAD:
            raise _Garbled(_LONG_HEAD)
        head = bytes(buf[:end])  # the status line and header lines, without the last line's LF
        del buf[:end + size]
        first = head.find(b"\n")
        found = _STATUS.fullmatch(head if first < 0 else head[:first])
        if found is None:
            raise _Garbled(f"the status line {(head if first < 0 else head[:first])[:40]!r} is not HTTP/1's")
        status = int(found.group(1))
        headers: list[tuple[bytes, bytes]] = []
        if first >= 0:
            headers = _crlf_headers(head, first)
            if headers is None:
                headers = _header_lines(head[first:])  # bare LFs, folded lines, or lines no header can be read from
        if status < 200:
            if status == 101:
                self.stop()  # what follows speaks another protocol
                return False
            return True  # an interim response (100 Continue, 103 Early Hints): the final one follows
        if not self.pending:
            raise _Garbled("an answer to no request")
        request = self.pending.popleft()
        if request is _TUNNEL:
            method = None
        else:
            # The request's method without reading its request line: only HEAD and CONNECT matter.
            method = request._head[:8]
            if method[:1] in (b"\r", b"\n"):  # rare: the whole head is copied only then
                method = request._head.lstrip(b"\r\n")[:8]
            method = "HEAD" if method[:5] == b"HEAD " else "CONNECT" if method == b"CONNECT " else ""
        if method is None or method == "CONNECT":
            if status < 300:
                # Tunnelled: what follows is the tunnelled connection's, read as it was written.
                return True
            # A refused tunnel's answer is read through (for nobody, when the tap did not report it).
        self._request = None if request is _TUNNEL else request
        self._status, self._headers = status, headers
        self._reason = (found.group(2) or b"").decode("latin-1")
        self._body = bytearray()
        if status in (204, 304) or method == "HEAD":
            return self._done()
        framing = _framing(headers)
        if framing == -2:
            self._state = _SIZE
        elif framing == -1:
            self._state = _TO_END
        else:
            self._need = framing
            self._state = _LENGTH
            if not framing:
                return self._done()
        return True

    def _done(self) -> bool:
        request = self._request
        if request is not None:
            request.response = WireResponse(self._status, self._reason, self._headers, bytes(self._body))
        self._request = None
        self._body = bytearray()
        self._state = _HEAD
        return bool(self._buf)


def _crlf_headers(head: bytes, first: int) -> list[tuple[bytes, bytes]] | None:
    """The header lines of a head whose every line ends with CRLF and none is folded, split by
    C methods rather than a regex per line (the common case); None for any other head, which
    _header_lines reads, with the same result where both read it."""
    if not head.endswith(b"\r") or head.count(b"\n") != head.count(b"\r\n"):
        return None
    headers = []
    for line in head[first + 1:-1].split(b"\r\n"):
        name, colon, value = line.partition(b":")
        if not colon or not name or name[:1] in _BLANK or name[-1:] in _BLANK:
            return None
        headers.append((name, value.strip(b" \t")))
    return headers


_BLANK = (b" ", b"\t")


def _header_lines(lines: bytes) -> list[tuple[bytes, bytes]]:
    """The header lines read one by one: a folded line goes on the value before it, joined by
    one space; a line without a name and colon is garbled."""
    headers: list[tuple[bytes, bytes]] = []
    for line in lines.split(b"\n")[1:]:
        if line.endswith(b"\r"):
            line = line[:-1]
        if line[:1] in (b" ", b"\t") and headers:
            name, value = headers[-1]
            headers[-1] = (name, (value + b" " + line.strip(b" \t")).strip(b" \t"))
            continue
        name, colon, value = line.partition(b":")
        if not colon or not name or name != name.strip(b" \t"):
            raise _Garbled(f"the header line {line[:40]!r} has no name and colon")
        headers.append((name, value.strip(b" \t")))
    return headers


def _framing(headers: list[tuple[bytes, bytes]]) -> int:
    """The body's length, -2 for chunked, -1 for a body running to the connection's end."""
    codings: list[bytes] = []
    length = -1
    for name, value in headers:
        size = len(name)
        if size == 17 and name.lower() == b"transfer-encoding":
            codings += [c.strip(b" \t").lower() for c in value.split(b",") if c.strip(b" \t")]
        elif size == 14 and name.lower() == b"content-length":
            # Digits only (int() would also take "1_0", "+5", "0x5" clients read otherwise); a list
            # of equal lengths, or the same length twice, is that length.
            for v in value.split(b","):
                v = v.strip(b" \t")
                if not (v.isdigit() and len(v) < 19) or (length >= 0 and int(v) != length):
                    # No length, or lengths that disagree: no telling where the body ends.
                    said = ", ".join(repr(v[:40]) for n, v in headers if n.lower() == b"content-length")
                    raise _Garbled(f"its Content-Length {said} is not one length in digits")
                length = int(v)
    if codings:
        # Transfer-Encoding wins over Content-Length; a last coding other than chunked runs to the end.
        return -2 if codings[-1] == b"chunked" else -1
    return length


def idle_tap(callback, e: Exception) -> "ReadingTap":
    """What a connection whose tap could not be made writes and reads through instead: a tap
    that reads nothing, having said why (the exception `e`)."""
    tap = ReadingTap(callback, "http", "", None)
    tap.reader.stop()
    tap.stop(f"capture failed on a connection, which goes on unrecorded: {describe(e)}")
    return tap


class ReadingTap(Tap):
    """A Tap that also queues each request it reports for `reader`, whose responses are set on
    them as the client reads them."""

    __slots__ = ("reader", "_callbacks")

    def __init__(self, callback, scheme: str, host: str, port: int | None):
        super().__init__(callback, scheme, host, port)
        self.reader = ResponseReader()
        self.reader.warn = functools.partial(report, callback)
        self._callbacks = self._funcs
        self._funcs = self  # iterated for each request reported: queues it, then calls back

    def __iter__(self):
        # An iterator over a tuple: no generator to make and resume for every request reported.
        if self.reader._state != _STOPPED:
            return iter((self.reader.pending.append, *self._callbacks))
        return iter(self._callbacks)

    def _emit(self, body):
        method = self._head[:8]
        if method[:1] in (b"\r", b"\n"):
            method = self._head.lstrip(b"\r\n")[:8]
        if method == b"CONNECT ":
            # Not reported, but answered: its answer says whether what follows is a tunnel.
            if self.reader._state != _STOPPED:
                self.reader.pending.append(_TUNNEL)
        return Tap._emit(self, body)
