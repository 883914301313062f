"""Postman auth: which object applies to a request (inherited from folders and the collection) and what it adds."""

import binascii

from .fields import escape, expected, shown, unescape
from .urls import query_pair
from .variables import value_text

CARRIED = ("noauth", "bearer", "basic", "digest", "awsv4", "apikey", "oauth2")


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
    parameter, or curl options that answer the server themselves (command -> command); `aws`:
    the request is signed by curl (an Aws)."""

    __slots__ = ("header", "query", "curl", "aws")

    def __init__(self, header=None, query=None, curl=None, aws=None):
        self.header = header
        self.query = query
        self.curl = curl
        self.aws = aws


class Aws:
    """An AWS Signature v4 that curl computes (--aws-sigv4) from what it sends; newman's own
    headers beside it: the body's hash and the session token."""

    # The request's own headers of these names newman removes before it signs.
    REMOVED = frozenset(("authorization", "x-amz-date", "x-amz-security-token", "x-amz-content-sha256"))

    __slots__ = ("token", "service")

    def __init__(self, token, service):
        self.token = token
        self.service = service

    def headers(self, body_text):
        """What newman adds before the signature: the hash of a body that is not empty, the token."""
        import hashlib

        out = []
        if body_text:
            out.append(("X-Amz-Content-Sha256", hashlib.sha256(body_text.encode("utf-8", "surrogatepass")).hexdigest()))
        if self.token:
            out.append(("X-Amz-Security-Token", self.token))
        return out


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
        return Added(header=("Authorization", "Basic " + binascii.b2a_base64(pair, newline=False).decode())), None
    if kind == "digest":
        return _digest(p)
    if kind == "awsv4":
        return _aws(p)
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


def _aws(p):
    if p.get("addAuthDataToQuery") in (True, "true"):
        return None, "the awsv4 auth signs the query (addAuthDataToQuery), which curl's --aws-sigv4 cannot"
    key, secret = p.get("accessKey", ""), p.get("secretKey", "")
    region, service = p.get("region") or "us-east-1", p.get("service") or "execute-api"
    if ":" in key + region + service or any(c in key + secret + region + service for c in "\r\n\x00"):
        return None, "the awsv4 auth's access key, region or service has a colon, or a field a line break or NUL"
    from tolmek_http.compose import with_aws_sigv4
    return Added(curl=lambda command: with_aws_sigv4(command, key, secret, region, service),
                 aws=Aws(p.get("sessionToken", ""), service)), None


# A query in the one order and spelling that every curl signs as AWS does: name=value pairs,
# sorted, each escaped exactly where AWS escapes.
def _canonical_pair(pair):
    k, eq, v = pair.partition("=")
    return eq and all(escape(unescape(x)) == x for x in (k, v))


def aws_reason(url):
    """Why curl's signature of this address (as sent) may not be the one AWS checks, or None:
    curl before 8 signs the path and query as they are, where AWS escapes and sorts them."""
    rest = url.split("://", 1)[-1]
    cut = rest.find("/")
    path, _, query = ("/", "", "") if cut < 0 else rest[cut:].partition("?")
    if "%" in path or any(segment in (".", "..") for segment in path.split("/")):
        return f"the awsv4 auth's path {shown(path)} has escapes or dot segments, which curl 7 signs unlike AWS"
    pairs = query.split("&") if query else []
    if not all(map(_canonical_pair, pairs)) or pairs != sorted(pairs, key=lambda x: x.partition("=")[::2]):
        return f"the awsv4 auth's query {shown(query)} is not sorted and escaped as AWS signs it, which curl 7 does not do"
    return None
