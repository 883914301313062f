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


def _wire(request):
    return request.url, request.header_pairs(), request.method, request.body


def _requests_prepared(request):
    store = getattr(request.headers, "_store", None)  # CaseInsensitiveDict: lower name -> (name, value)
    headers = list(store.values()) if isinstance(store, dict) else list(request.headers.items())
    body = request.body
    return request.url, headers, request.method, body if body is None or type(body) is bytes else _bytes(body)


def _requests_request(request):
    return _requests_prepared(request.prepare())


def _httpx(request):
    body = request.read() if request.stream is not None else None
    headers = [(k.decode("latin-1"), v.decode("latin-1")) for k, v in request.headers.raw]
    has_body = any(k.lower() in ("content-length", "transfer-encoding") for k, _ in headers)
    return str(request.url), headers, request.method, body if has_body else None


def _urllib(request):
    return request.full_url, request.header_items(), request.get_method(), _bytes(request.data)


def _value(request):
    return request.url, list(request.headers), request.method, request.body


# (top-level package, class name) -> reader; the readers found are kept by type.
_KNOWN = {("tolmek_forms", "Request"): _value, ("requests", "PreparedRequest"): _requests_prepared, ("requests", "Request"): _requests_request,
          ("httpx", "Request"): _httpx, ("urllib", "Request"): _urllib}
_BY_TYPE: dict = {}


def parts(request):
    """(url, [(name, value)], method, body bytes or None) of an unsent request object: what it
    holds, before its client adds what it adds at send time."""
    if isinstance(request, WireRequest):
        return _wire(request)
    kind = type(request)
    reader = _BY_TYPE.get(kind)
    if reader is None:
        reader = _KNOWN.get((kind.__module__.partition(".")[0], kind.__name__))
        if reader is None:
            raise TypeError(f"not a request object tolmek_http reads: {kind.__module__}.{kind.__name__}")
        _BY_TYPE[kind] = reader
    return reader(request)
