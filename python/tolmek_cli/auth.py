"""Postman auth: which object applies to a request (inherited from folders and the collection) and what it adds."""

import base64

from .fields import expected, shown
from .urls import query_pair
from .variables import value_text

CARRIED = ("noauth", "bearer", "basic", "digest", "apikey", "oauth2")


def applies(own):
    """Whether an item's "auth" decides for it: Postman passes over a missing or null one, and one
    with no "type", to the enclosing folder's."""
    return type(own) is dict and own.get("type") is not None


def _params(auth, kind, resolve):
    """{key: value} of the type's parameters: a list of {"key", "value"} (v2.1) or an object (v2.0)."""
    given = auth.get(kind)
    out = {}
    if type(given) is list:
        for p in given:
            if type(p) is dict and type(p.get("key")) is str:
                out[p["key"]] = p.get("value")
    elif type(given) is dict:
        out.update(given)
    return {k: resolve(v) if type(v) is str else value_text(v) for k, v in out.items()}


class Added:
    """What an auth adds: one header (replacing the request's own of that name), one query
    parameter, or curl options that answer the server themselves (command -> command)."""

    __slots__ = ("header", "query", "curl")

    def __init__(self, header=None, query=None, curl=None):
        self.header = header
        self.query = query
        self.curl = curl


def apply(auth, resolve):
    """(Added or None, None), or (None, why the request cannot be carried)."""
    if auth is None:
        return None, None
    if type(auth) is not dict:
        raise expected("auth", "an object", auth)
    kind = auth.get("type")
    if type(kind) is not str:
        raise expected("auth.type", "a string", kind)
    if kind == "noauth":
        return None, None
    if kind not in CARRIED:
        return None, (f"auth type {shown(kind)} cannot be carried (" + ", ".join(CARRIED[1:]) +
                      " with a stored access token, and noauth, are)")
    p = _params(auth, kind, resolve)
    if kind == "bearer":
        token = p.get("token", "")
        return (Added(header=("Authorization", f"Bearer {token}")) if token else None), None
    if kind == "basic":
        pair = f"{p.get('username', '')}:{p.get('password', '')}".encode()
        return Added(header=("Authorization", "Basic " + base64.b64encode(pair).decode())), None
    if kind == "digest":
        return _digest(p)
    if kind == "apikey":
        key, value = p.get("key", ""), p.get("value", "")
        if not key:
            return None, None
        if p.get("in") == "query":
            return Added(query=query_pair(key, value)), None
        return Added(header=(key, value)), None
    token = p.get("accessToken", "")
    if not token:
        return None, "the oauth2 auth has no stored access token (Postman gets one before sending)"
    if p.get("addTokenTo") == "queryParams":
        return Added(query=query_pair("access_token", token)), None
    prefix = p.get("headerPrefix")
    prefix = "Bearer" if prefix is None else prefix
    return Added(header=("Authorization", f"{prefix} {token}" if prefix else token)), None


def _digest(p):
    """newman sends the request without auth, and again with the answer to a 401 or 403 challenge;
    curl's --digest does the same. What curl cannot answer as newman would is a skip."""
    if p.get("disableRetryRequest") in (True, "true"):
        return None, None  # sent once, without auth, by both
    if p.get("nonce") and p.get("realm"):
        return None, ("the digest auth has a stored nonce and realm, which newman answers from before any "
                      "challenge (curl answers only the server's)")
    algorithm = p.get("algorithm") or "MD5"
    if algorithm != "MD5":
        return None, f"the digest auth's algorithm {shown(algorithm)} is not the MD5 curl answers with"
    user, password = p.get("username", ""), p.get("password", "")
    if ":" in user or any(c in user + password for c in "\r\n\x00"):
        return None, "the digest auth's username has a colon, or it or the password a line break or NUL"
    from tolmek_http.compose import with_digest
    return Added(curl=lambda command: with_digest(command, user, password)), None
