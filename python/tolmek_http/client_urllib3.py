"""Capture for urllib3: a PoolManager (or ProxyManager) whose pools make connections that report each request."""

import urllib3

from .callbacks import attach
from .connections import tapped

__all__ = ["capture"]


def capture(manager: urllib3.PoolManager, callback) -> None:
    if not isinstance(manager, urllib3.PoolManager):
        raise TypeError(f"expected a urllib3.PoolManager, not {type(manager).__name__}")
    callbacks, new = attach(manager, callback)
    if not new:
        return
    manager.pool_classes_by_scheme = {
        scheme: type("Tapped" + pool.__name__, (pool,),
                     {"ConnectionCls": tapped(pool.ConnectionCls, callbacks, scheme), "__module__": __name__})
        for scheme, pool in manager.pool_classes_by_scheme.items()
    }
    manager.clear()  # pools made before would go on with connections that do not report
