"""Capture for requests: each transport adapter of a Session reports what its urllib3 connections write."""

import requests
import requests.adapters

from . import client_urllib3
from .callbacks import attach, describe, report

__all__ = ["capture"]


def capture(session: requests.Session, callback, *, responses: bool = False) -> None:
    """Reports each request `session` writes to `callback`; with `responses`, its connections also
    read their responses back (see reading.py), from then on: turning them on for a session
    captured before drops its adapters' pools, so that every connection from then on reads them."""
    if not isinstance(session, requests.Session):
        raise TypeError(f"expected a requests.Session, not {type(session).__name__}")
    adapters = [a for a in session.adapters.values() if isinstance(a, requests.adapters.HTTPAdapter)]
    if not adapters:
        raise TypeError("the session has no requests.adapters.HTTPAdapter to capture from")
    reading = getattr(getattr(session, "_tolmek_callbacks", None), "responses", False)
    callbacks, new = attach(session, callback, responses)
    if new:
        for adapter in adapters:
            _adapter(adapter, callbacks)
    elif responses and not reading:
        for adapter in adapters:
            for manager in _managers(adapter):
                if getattr(manager, "_tolmek_callbacks", None) is not None:
                    manager._tolmek_callbacks.responses = True
                    manager.clear()  # pooled connections already open would not read


def _managers(adapter):
    return [adapter.poolmanager, *adapter.proxy_manager.values()]


def _adapter(adapter, callbacks):
    for manager in _managers(adapter):
        client_urllib3.capture(manager, callbacks, responses=callbacks.responses)
    made = adapter.proxy_manager_for

    def proxy_manager_for(proxy, **kwargs):
        manager = made(proxy, **kwargs)
        if getattr(manager, "_tolmek_callbacks", None) is None:
            try:
                client_urllib3.capture(manager, callbacks, responses=callbacks.responses)
            except Exception as e:  # the proxy's requests go on unrecorded, said
                report(callbacks, f"{type(manager).__name__} for a proxy not recorded: {describe(e)}")
        return manager

    adapter.proxy_manager_for = proxy_manager_for
