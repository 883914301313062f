"""The HTTPMETHOD member for a method name, and which other names a request line can hold."""

import re

from tolmek import HTTPMETHOD

__all__ = ["method", "is_token", "NAMES"]

NAMES = ("GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT")
_MEMBERS = {name: getattr(HTTPMETHOD, name) for name in NAMES}
# RFC 9110's token: what a method name is made of.
_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")


def is_token(name: str) -> bool:
    """Whether `name` can be a request line's method (curl's -X sends it as it is)."""
    return _TOKEN.fullmatch(name) is not None


def method(name: str | bytes) -> HTTPMETHOD:
    """`HTTPMETHOD.POST` for "POST" (or b"POST"). Method names are case-sensitive on the wire, as
    the clients send them: "post" is another method, and like any name beyond the nine it raises
    ValueError."""
    if isinstance(name, bytes):
        name = name.decode("latin-1")
    member = _MEMBERS.get(name)
    if member is None:
        raise ValueError(f"no curl command can carry this request: method {name!r} is not one of {', '.join(NAMES)}")
    return member
