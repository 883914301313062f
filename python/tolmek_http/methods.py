"""The HTTPMETHOD member for a method name."""

from tolmek import HTTPMETHOD

__all__ = ["method", "NAMES"]

NAMES = ("GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT")
_MEMBERS = {name: getattr(HTTPMETHOD, name) for name in NAMES}


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
