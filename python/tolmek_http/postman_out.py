"""The recording as a Postman v2.1.0 collection: folders per test, the requests as sent, responses as examples."""

from __future__ import annotations

import re
from collections import Counter

from . import compose, content
from .redact import Ref, Vault, joined, request_parts, response_parts

__all__ = ["SCHEMA", "absolute", "origin_of", "origin_variables", "collection"]

SCHEMA = "https://schema.getpostman.com/json/collection/v2.1.0/collection.json"
_NAME_PATH = 60  # characters of the path an item's name shows
# The headers newman writes unless the request has them or they are turned off (Host and
# Content-Length frame the request and stay).
_NEWMAN_OWN = ("user-agent", "accept", "accept-encoding", "cache-control", "connection", "content-type",
               "postman-token")
_REFERENCE = re.compile(r"\{\{([^{}]*)\}\}")


def _pm(chunks: list[str]) -> str:
    return joined(chunks, lambda name: "{{" + name + "}}")


def absolute(target: str) -> tuple[str, str, bool] | None:
    """(scheme://host[:port], the rest from its path on, whether user information stood between)
    of a target written for a proxy, None for any other. The origin never holds the user
    information: it names where the request goes, and a password there would be shared with it."""
    if not target.startswith(("http://", "https://")):
        return None
    start = target.find("://") + 3
    end = len(target)
    for stop in "/?#":
        at = target.find(stop, start)
        if 0 <= at < end:
            end = at
    authority = target[start:end]
    at = authority.rfind("@")
    return target[:start] + authority[at + 1:], target[end:], at >= 0


def origin_of(request) -> tuple[str, str]:
    """(scheme://authority, the target from its path on) of a request, the target as written."""
    target = request.target.decode("utf-8", "surrogateescape")
    split = absolute(target)
    if split is not None:  # written for a proxy: the origin is in it
        return split[0], split[1]
    scheme, authority, _ = request._where
    return f"{scheme}://{authority}", target


def origin_variables(origins: list[str]) -> dict[str, str]:
    """origin -> the collection variable standing for it: baseUrl when there is one origin, else
    one per origin named from it (baseUrl_api_example_com_8080)."""
    if len(origins) == 1:
        return {origins[0]: "baseUrl"}
    out, used = {}, set()
    for o in origins:
        base = "baseUrl_" + re.sub(r"[^A-Za-z0-9]+", "_", o.split("://", 1)[-1]).strip("_")
        name, n = base, 1
        while name in used:
            n += 1
            name = f"{base}_{n}"
        used.add(name)
        out[o] = name
    return out


class _Builder:
    def __init__(self, vault: Vault, variables: dict[str, str], is_text, warn):
        self.vault = vault
        self.variables = variables
        self.is_text = is_text
        self.warn = warn
        self.files: dict[str, bytes] = {}  # relative path -> bytes of the body files
        # id(exchange) -> the body file holding exactly its request's body (no secret in it)
        self.sources: dict[int, str] = {}

    def request(self, exchange, label: str) -> tuple[dict, dict | None]:
        """The item's request and its protocolProfileBehavior (None when it needs none)."""
        req = exchange.request
        parts = request_parts(self.vault, req, self.is_text)
        origin, _ = origin_of(req)
        # The target's text with its secrets as references, the origin (in a proxy's target) cut off.
        target = _pm(parts.target)
        split = absolute(target)
        if split is not None:
            target = split[1]
        if req.proxy is not None:
            lost = ", without the user information its target held" if split is not None and split[2] else ""
            self.warn(f"{label}: went through the proxy {req.proxy}; the collection sends it to {origin} directly"
                      f"{lost}")
        base = "{{" + self.variables[origin] + "}}"
        path, q, query = target.partition("?")
        if any(not "!" <= c <= "~" for c in target):
            self.warn(f"{label}: the target holds characters other than visible ASCII, which newman does not send "
                      f"as written")
        if not path.startswith("/"):
            self.warn(f"{label}: the target {target!r} has no path newman can send; it sends {'/' + path!r}")
        if "\\" in path:
            self.warn(f"{label}: the path holds a backslash, which newman sends as /")
        url: dict[str, object] = {"raw": base + target, "host": [base], "path": path[1:].split("/") if path.startswith("/") else [path]}
        if q:
            pairs: list[dict[str, str | None]] = []
            for p in query.split("&"):
                k, eq, v = p.partition("=")
                pairs.append({"key": k, "value": v if eq else None})
            url["query"] = pairs
        headers = []
        seen: dict[str, int] = {}
        authority = origin.split("://", 1)[1]
        last = len(parts.headers) - 1
        for i, ((name, chunks), (_, sent), name_chunks) in enumerate(zip(parts.headers, req.headers, parts.names)):
            low = name.lower()
            value = _pm(chunks)
            if low == "host" and value == authority and name == "Host" and i == last:
                continue  # newman writes the same from the URL, after the item's headers
            if low == "expect" and value.strip().lower() == "100-continue":
                self.warn(f"{label}: newman cannot send {name}: {value} (its client fails once the server answers "
                          f"100 Continue); the collection leaves the header out")
                continue
            if low == "transfer-encoding":
                self.warn(f"{label}: newman frames the body with Content-Length, not as {name}: {value}")
                continue
            seen[low] = seen.get(low, 0) + 1
            if seen[low] == 2:
                self.warn(f"{label}: the header {name} is repeated; newman sends only the last one")
            if not sent.isascii():
                self.warn(f"{label}: the header {name} holds non-ASCII text, which newman sends as Latin-1")
            if low == "content-length" and parts.withheld:
                continue  # no body goes with it
            headers.append({"key": _pm(name_chunks), "value": value})
        texts = [parts.target, *(c for _, c in parts.headers)] + ([parts.body] if parts.text and parts.body else [])
        sent = next((m.group() for chunks in texts for c in chunks if type(c) is not Ref
                     for m in _REFERENCE.finditer(c)), None)
        if sent is not None:
            self.warn(f"{label}: the request holds the text {sent!r}, which newman replaces if a variable of that "
                      f"name is defined")
        out = {"method": parts.method, "header": headers, "url": url}
        if parts.withheld:
            self.warn(f"{label}: the body is withheld from the collection, the body files and the script: it is "
                      f"{parts.withheld}")
            out["description"] = f"The body the client sent is withheld: it is {parts.withheld}."
        # newman would follow redirects and add cookies of its own jar: the client's own next
        # requests are items of their own, with the cookies it sent. Headers newman writes of its
        # own accord are turned off where the client sent none.
        behaviour: dict[str, object] = {"disableUrlEncoding": True, "followRedirects": False, "disableCookies": True}
        sent_names = {h["key"].lower() for h in headers} | {n.lower() for n, _ in parts.headers}
        disabled = {n: True for n in _NEWMAN_OWN if n not in sent_names}
        if disabled:
            behaviour["disabledSystemHeaders"] = disabled
        if parts.body is not None and req.body and not parts.withheld:
            if parts.method in ("GET", "HEAD"):
                behaviour["disableBodyPruning"] = True
            secrets = sorted({c for c in parts.body if type(c) is Ref})
            # A large text goes in a file too, unless it holds secrets: newman replaces them in a
            # raw body of any size, never in a file.
            if parts.text or secrets and compose.is_text(req.body, limit=None):
                out["body"] = {"mode": "raw", "raw": _pm(parts.body)}
            else:
                src = f"bodies/{len(self.files) + 1:03d}.bin"
                if secrets:
                    self.warn(f"{label}: the body is not text and goes in {src}, where newman replaces no "
                              f"variables; it holds the secrets {', '.join(secrets)}, written there as "
                              f"{{{{NAME}}}} in their place, so newman sends that text instead of them")
                    # The client's length no longer fits the file: newman gives the file's instead,
                    # else the rest of the file would be read as the next request on the connection.
                    headers[:] = [h for h in headers if h["key"].lower() != "content-length"]
                self.files[src] = _pm(parts.body).encode("utf-8", "surrogateescape")
                if not secrets:
                    self.sources[id(exchange)] = src
                out["body"] = {"mode": "file", "file": {"src": src}}
        return out, behaviour

    def example(self, exchange, request: dict) -> dict:
        resp = exchange.response
        text, what = content.as_text(resp.body, resp.headers)
        headers, body = response_parts(self.vault, resp, text)
        reason = _pm(self.vault.chunks(resp.reason))
        name = f"{resp.status} {reason}".strip()
        if text is None:
            name += f" ({_pm(self.vault.chunks(what))})"
        return {"name": name, "originalRequest": request, "status": reason, "code": resp.status,
                "header": [{"key": _pm(n), "value": _pm(c)} for n, c in headers],
                "body": "" if body is None else _pm(body)}


def _label(exchange, index: int, vault: Vault) -> str:
    where = f" of {exchange.test}" if exchange.test else ""
    return _pm(vault.chunks(f"request {index}{where}"))


def collection(exchanges, vault: Vault, name: str, is_text, warn) -> tuple[dict, dict[str, bytes], dict[int, str]]:
    """The collection document for the exchanges (in `order`), the body files it names, and which
    of them holds each exchange's request body as sent (by id of the exchange)."""
    ordered = sorted(exchanges, key=lambda e: e.order)
    origins = list(dict.fromkeys(origin_of(e.request)[0] for e in ordered))
    variables = origin_variables(origins)
    build = _Builder(vault, variables, is_text, warn)
    top: list = []
    folders: dict[tuple[str, ...], list] = {(): top}
    # `newman --folder NAME` runs the first folder of that name: a test whose id another module's
    # test shares is named by its node id instead.
    shared = Counter(f[-1] for f in {e.folder for e in ordered if e.test is not None and e.folder})
    for index, ex in enumerate(ordered, 1):
        label = _label(ex, index, vault)
        holder = top
        for depth in range(1, len(ex.folder) + 1):
            key = ex.folder[:depth]
            if key not in folders:
                test_folder = depth == len(ex.folder) and ex.test is not None
                folder_name = _pm(vault.chunks(ex.test if test_folder and shared[key[-1]] > 1 else key[-1]))
                what = f"Test {_pm(vault.chunks(ex.test))}" if test_folder else f"Folder {folder_name}"
                folders[key] = []
                holder.append({"name": folder_name, "description": what, "item": folders[key]})
            holder = folders[key]
        request, behaviour = build.request(ex, label)
        target_path = request["url"]["raw"].split("?", 1)[0]
        target_path = target_path[target_path.find("}}") + 2:] or "/"
        if len(target_path) > _NAME_PATH:
            target_path = target_path[:_NAME_PATH - 1] + "…"
        item: dict[str, object] = {"name": f"{request['method']} {target_path}", "request": request}
        if ex.test is not None:
            item["description"] = f"Sent by {_pm(vault.chunks(ex.test))}"
        item["protocolProfileBehavior"] = behaviour
        if ex.response is not None:
            item["response"] = [build.example(ex, dict(request))]
        holder.append(item)
    doc = {"info": {"name": _pm(vault.chunks(name)), "schema": SCHEMA,
                    "description": "Recorded by tolmek_http; the secrets are variables of the environment "
                                   "tolmek.postman_environment.json."},
           "item": top,
           "variable": [{"key": v, "value": o, "type": "string"} for o, v in variables.items()]}
    return doc, build.files, build.sources
