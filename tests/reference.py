"""The collection document built in plain Python: the independent reference that tests and
benchmarks compare the module's export with."""

import json
import re

SCHEMA_ID = "https://schema.getpostman.com/json/collection/v2.1.0/collection.json"
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*)://")


def url_object(url):
    """The "url" member for a URL: a leading scheme:// (else https), host (up to "?" or "#"), path."""
    m = _SCHEME.match(url)
    if m:
        protocol, rest = m.group(1), url[m.end():]
    elif url.startswith("//"):
        protocol, rest = "https", url[2:]
    else:
        protocol, rest = "https", url
    host, *path = rest.split("/")
    cut = min((i for i in (host.find("?"), host.find("#")) if i >= 0), default=len(host))
    if cut < len(host):  # a query or fragment right after the host travels as the first path element
        host, path = host[:cut], [host[cut:], *path]
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
