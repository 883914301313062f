"""http.client connections (urllib.request's, and urllib3's under requests) that hand each request they write to a callback."""

from .wire import Tap

__all__ = ["tapped"]


def tapped(cls, callback, scheme):
    """A subclass of the http.client connection class `cls` whose requests go to `callback` as
    the bytes are given to `send`: everything a request writes passes there (request line and
    headers, the body, each chunk), also a CONNECT opening a tunnel."""

    send = cls.send

    class Tapped(cls):
        _tolmek_tap = None  # made once the connection first writes

        def send(self, data):
            if type(data) is not bytes:
                if hasattr(data, "read"):
                    # What http.client would do, a block at a time, but through this method.
                    while block := data.read(self.blocksize):
                        self.send(block.encode("iso-8859-1") if isinstance(block, str) else block)
                    return None
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
                tap = self._tolmek_tap = Tap(callback, scheme, self.host, self.port)
            tap.feed(data)
            return send(self, data)  # cls's own send, without making a super() object per write

        def close(self):
            # A request cut off, or a tunnel, does not outlive the connection.
            self.__dict__.pop("_tolmek_tap", None)
            super().close()

    Tapped.__name__ = Tapped.__qualname__ = "Tapped" + cls.__name__
    Tapped.__module__ = __name__
    return Tapped
