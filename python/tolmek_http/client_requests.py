"""Capture for requests: each transport adapter of a Session reports what its urllib3 connections write."""

import requests
import requests.adapters

from . import client_urllib3
from .callbacks import attach

__all__ = ["capture"]


def capture(session: requests.Session, callback) -> None:
    if not isinstance(session, requests.Session):
        raise TypeError(f"expected a requests.Session, not {type(session).__name__}")
    adapters = [a for a in session.adapters.values() if isinstance(a, requests.adapters.HTTPAdapter)]
    if not adapters:
        raise TypeError("the session has no requests.adapters.HTTPAdapter to capture from")
    callbacks, new = attach(session, callback)
    if new:
        for adapter in adapters:
            _adapter(adapter, callbacks)


def _adapter(adapter, callbacks):
    client_urllib3.capture(adapter.poolmanager, callbacks)
    for manager in adapter.proxy_manager.values():
        client_urllib3.capture(manager, callbacks)
    made = adapter.proxy_manager_for

    def proxy_manager_for(proxy, **kwargs):
        manager = made(proxy, **kwargs)
        if getattr(manager, "_tolmek_callbacks", None) is None:
            client_urllib3.capture(manager, callbacks)
        return manager

    adapter.proxy_manager_for = proxy_manager_for
