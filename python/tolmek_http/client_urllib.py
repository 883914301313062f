"""Capture for urllib.request: an opener gets HTTP and HTTPS handlers whose connections report each request."""

import http.client
import urllib.request

from .callbacks import attach
from .connections import tapped

__all__ = ["capture"]


def capture(opener: urllib.request.OpenerDirector, callback, *, responses: bool = False) -> None:
    """Reports each request `opener` writes to `callback`; with `responses`, its connections (one
    per request: urllib.request does not keep them) also read their responses back (see reading.py)."""
    if not isinstance(opener, urllib.request.OpenerDirector):
        raise TypeError(f"expected a urllib.request.OpenerDirector, not {type(opener).__name__}")
    callbacks, new = attach(opener, callback, responses)
    if not new:
        return
    plain = tapped(http.client.HTTPConnection, callbacks, "http")
    secure = tapped(http.client.HTTPSConnection, callbacks, "https")
    # The opener's own HTTPS handler holds the TLS context it was built with.
    context = next((h._context for h in opener.handlers if isinstance(h, urllib.request.HTTPSHandler)), None)

    class HTTP(urllib.request.HTTPHandler):
        handler_order = urllib.request.HTTPHandler.handler_order - 1  # asked before the opener's own

        def http_open(self, req):
            return self.do_open(plain, req)

    class HTTPS(urllib.request.HTTPSHandler):
        handler_order = urllib.request.HTTPSHandler.handler_order - 1

        def https_open(self, req):
            return self.do_open(secure, req, context=self._context)

    opener.add_handler(HTTP())
    opener.add_handler(HTTPS(context=context))
