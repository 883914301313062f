"""Shared helpers: an independent Python rendering of the collection document."""

import json
import os
import re
import sys

import pytest

import tolmek

SCHEMA_ID = "https://schema.getpostman.com/json/collection/v2.1.0/collection.json"
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*)://")


def url_object(url):
    """The "url" member for a URL: a leading scheme:// (else https), host, path."""
    m = _SCHEME.match(url)
    if m:
        protocol, rest = m.group(1), url[m.end():]
    elif url.startswith("//"):
        protocol, rest = "https", url[2:]
    else:
        protocol, rest = "https", url
    host, *path = rest.split("/")
    return {"host": host, "path": path, "protocol": protocol, "raw": url}


def reference_document(requests):
    """The collection document for (url, headers, method_name, body) tuples, as a dict."""
    return {
        "info": {"name": "Tolmek Collection", "schema": SCHEMA_ID},
        "item": [
            {
                "name": url,
                "request": {
                    "body": {"mode": "raw", "raw": body or ""},
                    "header": [{"key": k, "value": v} for k, v in headers],
                    "method": method,
                    "url": url_object(url),
                },
            }
            for url, headers, method, body in requests
        ],
    }


def reference_text(requests):
    return json.dumps(reference_document(requests), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


@pytest.fixture
def refcounts():
    """Call with objects before and after a failing call; their reference counts must match."""

    def take(*objs):
        return [sys.getrefcount(o) for o in objs]

    return take


M = tolmek.HTTPMETHOD


# `make sanitize` runs the suite with the sanitizer runtimes preloaded and sets TOLMEK_SANITIZE=1.
# Tests that cannot work there (address-space limits, RSS measurements) skip on SANITIZED.
SANITIZED = os.environ.get("TOLMEK_SANITIZE") == "1"
_SANITIZER_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")


def foreign_env(**extra):
    """Environment for a child that is not this Python (node, bash, curl): the current one
    without the sanitizer preload and options, which only the instrumented module needs."""
    env = {k: v for k, v in os.environ.items() if k not in _SANITIZER_VARS}
    env.update(extra)
    return env
