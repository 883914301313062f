"""The request objects of the HTTP clients as (url, headers, method, body), read without importing any client."""

from .wire import WireRequest

__all__ = ["parts"]


def _bytes(body):
    if body is None or isinstance(body, bytes):
        return body
    if isinstance(body, str):
        return body.encode("utf-8")
    if isinstance(body, (bytearray, memoryview)):
        return bytes(body)
    raise ValueError(f"the body is a {type(body).__name__}, which is only read as it is sent: "
                     "capture the client to get its bytes")


def parts(request):
    """(url, [(name, value)], method, body bytes or None) of an unsent request object: what it
    holds, before its client adds what it adds at send time."""
    if isinstance(request, WireRequest):
        return request.url, request.header_pairs(), request.method, request.body
    root = type(request).__module__.partition(".")[0]
    name = type(request).__name__
    if root == "requests":
        if name == "Request":
            request = request.prepare()
        if type(request).__name__ == "PreparedRequest":
            return request.url, list(request.headers.items()), request.method, _bytes(request.body)
    elif root == "httpx" and name == "Request":
        body = request.read() if request.stream is not None else None
        headers = [(k.decode("latin-1"), v.decode("latin-1")) for k, v in request.headers.raw]
        has_body = any(k.lower() in ("content-length", "transfer-encoding") for k, _ in headers)
        return str(request.url), headers, request.method, body if has_body else None
    elif root == "urllib" and name == "Request":
        return request.full_url, request.header_items(), request.get_method(), _bytes(request.data)
    raise TypeError(f"not a request object tolmek_http reads: {type(request).__module__}.{name}")
