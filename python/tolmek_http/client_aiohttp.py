"""Capture for aiohttp: a ClientSession's connector makes protocols whose transport hands over every write."""

import functools
import types

import aiohttp

from .callbacks import attach
from .wire import Tap

__all__ = ["capture"]


def capture(session: aiohttp.ClientSession, callback) -> None:
    if not isinstance(session, aiohttp.ClientSession):
        raise TypeError(f"expected an aiohttp.ClientSession, not {type(session).__name__}")
    connector = session.connector
    if connector is None or not isinstance(getattr(connector, "_factory", None), functools.partial):
        raise TypeError("cannot capture through this session's connector")
    # The callbacks are kept on the connector: every session sharing it writes through it.
    callbacks, new = attach(connector, callback)
    if not new:
        return
    made = connector._factory

    class Tapped(made.func):
        def connection_made(self, transport):
            super().connection_made(_Transport(transport, callbacks))

    connector._factory = functools.partial(Tapped, *made.args, **made.keywords)


class _Transport:
    """The connection's transport as the request writer sees it: each write is read by the tap first."""

    def __init__(self, transport, callback):
        self._transport = transport
        peer = transport.get_extra_info("peername") or ("", None)
        scheme = "https" if transport.get_extra_info("sslcontext") is not None else "http"
        self._tap = Tap(callback, scheme, str(peer[0]), peer[1])

    def write(self, data):
        self._tap.feed(data)
        self._transport.write(data)

    def writelines(self, chunks):
        chunks = list(chunks)
        self._tap.feed(b"".join(chunks))  # one read of a request written head and body at once
        self._transport.writelines(chunks)

    def __getattr__(self, name):
        found = getattr(self._transport, name)
        if type(found) in _METHODS:
            # Asked for on every request (is_closing, resume_reading): kept on the wrapper, later
            # lookups find it without coming here.
            setattr(self, name, found)
        return found


_METHODS = (types.MethodType, types.BuiltinMethodType)
