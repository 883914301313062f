"""Capture for urllib3: a PoolManager (or ProxyManager) whose pools make connections that report each request."""

import urllib3

from .callbacks import attach
from .connections import tapped

__all__ = ["capture"]


def capture(manager: urllib3.PoolManager, callback, *, responses: bool = False) -> None:
    """Reports each request `manager` writes to `callback`; with `responses`, its connections also
    read their responses back (see reading.py). Turning responses on for a manager captured
    before drops its pools, so that every connection from then on reads them."""
    if not isinstance(manager, urllib3.PoolManager):
        raise TypeError(f"expected a urllib3.PoolManager, not {type(manager).__name__}")
    reading = getattr(getattr(manager, "_tolmek_callbacks", None), "responses", False)
    callbacks, new = attach(manager, callback, responses)
    if not new:
        if responses and not reading:
            manager.clear()  # pooled connections already open would not read
        return
    manager.pool_classes_by_scheme = {
        scheme: type("Tapped" + pool.__name__, (pool,),
                     {"ConnectionCls": tapped(pool.ConnectionCls, callbacks, scheme), "__module__": __name__})
        for scheme, pool in manager.pool_classes_by_scheme.items()
    }
    manager.clear()  # pools made before would go on with connections that do not report
