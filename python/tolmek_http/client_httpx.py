"""Capture for httpx: the network backend of each of a client's connection pools hands over the streams' writes."""

import types

import httpx

from .callbacks import attach
from .reading import ReadingTap, idle_tap
from .wire import Tap

__all__ = ["capture"]


def capture(client: httpx.Client | httpx.AsyncClient, callback, *, responses: bool = False) -> None:
    """Reports each request `client` writes to `callback`; with `responses`, the connections it
    opens from then on also read their responses back (see reading.py)."""
    if not isinstance(client, (httpx.Client, httpx.AsyncClient)):
        raise TypeError(f"expected an httpx.Client or httpx.AsyncClient, not {type(client).__name__}")
    pools = []
    for transport in [client._transport, *client._mounts.values()]:
        if transport is None:
            continue
        pool = getattr(transport, "_pool", None)
        if pool is None or not hasattr(pool, "_network_backend"):
            raise TypeError(f"cannot capture through the transport {type(transport).__name__}: "
                            "it is not an httpx.HTTPTransport or AsyncHTTPTransport")
        pools.append(pool)
    callbacks, new = attach(client, callback, responses)
    if not new:
        return
    wrap = _AsyncBackend if isinstance(client, httpx.AsyncClient) else _Backend
    for pool in pools:
        pool._network_backend = wrap(pool._network_backend, callbacks)


def _forward(self, name):
    """The wrapped object's attribute; a method is kept on the wrapper, which every request asks
    for some (read, get_extra_info) and which later lookups then find without coming here."""
    own = self.__dict__
    inner = own["_stream"] if "_stream" in own else own["_backend"]
    found = getattr(inner, name)
    if type(found) in (types.MethodType, types.BuiltinMethodType):
        setattr(self, name, found)
    return found


def _stream(stream, callback, host, port, reading, plain):
    """`stream` wrapped in `reading` (its responses read too) or `plain`; when no tap can be made
    for it, one that reads nothing, said."""
    try:
        if callback.responses:
            return reading(stream, ReadingTap(callback, "http", host, port))
        return plain(stream, Tap(callback, "http", host, port))
    except Exception as e:
        return reading(stream, idle_tap(callback, e))


class _Stream:
    def __init__(self, stream, tap):
        self._stream, self._tap = stream, tap

    def write(self, buffer, timeout=None):
        self._tap.feed(buffer)
        return self._stream.write(buffer, timeout)

    def start_tls(self, ssl_context, server_hostname=None, timeout=None):
        self._tap.scheme = "https"
        return type(self)(self._stream.start_tls(ssl_context, server_hostname, timeout), self._tap)

    __getattr__ = _forward


class _ReadingStream(_Stream):
    """A stream whose reads are also handed to its connection's response reader."""

    def read(self, max_bytes, timeout=None):
        data = self._stream.read(max_bytes, timeout)
        if data:
            self._tap.reader.feed(data)
        else:
            self._tap.reader.end()
        return data


class _Backend:
    def __init__(self, backend, callback):
        self._backend, self._callback = backend, callback

    def connect_tcp(self, host, port, timeout=None, local_address=None, socket_options=None):
        stream = self._backend.connect_tcp(host, port, timeout, local_address, socket_options)
        return _stream(stream, self._callback, host, port, _ReadingStream, _Stream)

    __getattr__ = _forward


class _AsyncStream:
    def __init__(self, stream, tap):
        self._stream, self._tap = stream, tap

    async def write(self, buffer, timeout=None):
        self._tap.feed(buffer)
        return await self._stream.write(buffer, timeout)

    async def start_tls(self, ssl_context, server_hostname=None, timeout=None):
        self._tap.scheme = "https"
        return type(self)(await self._stream.start_tls(ssl_context, server_hostname, timeout), self._tap)

    __getattr__ = _forward


class _AsyncReadingStream(_AsyncStream):
    async def read(self, max_bytes, timeout=None):
        data = await self._stream.read(max_bytes, timeout)
        if data:
            self._tap.reader.feed(data)
        else:
            self._tap.reader.end()
        return data


class _AsyncBackend:
    def __init__(self, backend, callback):
        self._backend, self._callback = backend, callback

    async def connect_tcp(self, host, port, timeout=None, local_address=None, socket_options=None):
        stream = await self._backend.connect_tcp(host, port, timeout, local_address, socket_options)
        return _stream(stream, self._callback, host, port, _AsyncReadingStream, _AsyncStream)

    __getattr__ = _forward
