"""Capture for aiohttp: a ClientSession's connector makes protocols whose transport hands over every write."""

import functools
import types

import aiohttp

from .callbacks import attach
from .reading import ReadingTap, idle_tap
from .wire import Tap

__all__ = ["capture"]


def capture(session: aiohttp.ClientSession, callback, *, responses: bool = False) -> None:
    """Reports each request `session` writes to `callback`; with `responses`, the connections its
    connector opens from then on also read their responses back (see reading.py): all bytes the
    protocol receives, which aiohttp takes off the socket (up to its buffer limits) whether or
    not the program reads the body."""
    if not isinstance(session, aiohttp.ClientSession):
        raise TypeError(f"expected an aiohttp.ClientSession, not {type(session).__name__}")
    connector = session.connector
    if connector is None or not isinstance(getattr(connector, "_factory", None), functools.partial):
        raise TypeError("cannot capture through this session's connector")
    # The callbacks are kept on the connector: every session sharing it writes through it.
    callbacks, new = attach(connector, callback, responses)
    if not new:
        return
    made = connector._factory

    class Tapped(made.func):
        def connection_made(self, transport):
            super().connection_made(_Transport(transport, callbacks))

    class Reading(Tapped):
        """The protocol of a connection that reads its responses: the bytes the transport hands
        over are read by the tap's reader too."""

        def connection_made(self, transport):
            wrapped = _Transport(transport, callbacks, reading=True)
            self._tolmek_reader = wrapped._tap.reader
            made.func.connection_made(self, wrapped)

        def data_received(self, data):
            # Bytes that come before the protocol has a parser are kept and handed over again
            # once it has one: they are read then, not twice.
            if data and self._parser is not None:
                self._tolmek_reader.feed(data)
            super().data_received(data)

        def eof_received(self):
            self._tolmek_reader.end()
            return super().eof_received()

        def connection_lost(self, exc):
            if exc is None:
                self._tolmek_reader.end()
            else:
                self._tolmek_reader.stop()
            super().connection_lost(exc)

    def protocol(*args, **kwargs):
        # Asked once per connection: whether reading is on is decided when it is made.
        return (Reading if callbacks.responses else Tapped)(*args, **kwargs)

    connector._factory = functools.partial(protocol, *made.args, **made.keywords)


class _Transport:
    """The connection's transport as the request writer sees it: each write is read by the tap first."""

    def __init__(self, transport, callback, reading=False):
        self._transport = transport
        try:
            peer = transport.get_extra_info("peername") or ("", None)
            scheme = "https" if transport.get_extra_info("sslcontext") is not None else "http"
            self._tap = (ReadingTap if reading else Tap)(callback, scheme, str(peer[0]), peer[1])
        except Exception as e:  # the connection goes on unrecorded, said
            self._tap = idle_tap(callback, e)

    def write(self, data):
        self._tap.feed(data)  # which never raises
        self._transport.write(data)

    def writelines(self, chunks):
        chunks = list(chunks)
        try:
            joined = b"".join(chunks)
        except TypeError:  # not all bytes-like: the transport says so, as without capture
            joined = b""
        self._tap.feed(joined)  # one read of a request written head and body at once
        self._transport.writelines(chunks)

    def __getattr__(self, name):
        found = getattr(self._transport, name)
        if type(found) in _METHODS:
            # Asked for on every request (is_closing, resume_reading): kept on the wrapper, later
            # lookups find it without coming here.
            setattr(self, name, found)
        return found


_METHODS = (types.MethodType, types.BuiltinMethodType)
