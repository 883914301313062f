"""HTTP requests of Python's HTTP clients as curl commands and tolmek requests, also as they went on the wire."""

# Annotations are left unevaluated, so typing is not imported at run time (the command imports
# this package for its composer); __init__.pyi gives checkers the types.
from __future__ import annotations

from tolmek import Tolmek

from .compose import command
from .methods import method
from .objects import _BY_TYPE, _value, parts
from .wire import WireRequest

__all__ = ["to_curl", "to_form", "from_curl", "to_tolmek", "method", "capture", "command", "WireRequest", "record", "Recording", "RecordingError"]

# The module that captures for each client, by the top-level package of the client's class.
_CLIENTS = {"requests": "client_requests", "httpx": "client_httpx", "aiohttp": "client_aiohttp",
            "urllib3": "client_urllib3", "urllib": "client_urllib"}

def to_curl(request: Any, *, redact: bool = False) -> str:
    """The curl command for a request object: a captured WireRequest exactly as it went on the
    wire; an unsent requests.PreparedRequest (or Request), httpx.Request or urllib.request.Request
    as it is, with curl's own User-Agent and Accept where it has none.

    `redact`: every secret (the fields, headers and spellings a recording keeps out) is a shell
    variable, `"${TOLMEK_AUTHORIZATION}"`, so that the command can be logged or shared; run it with
    the variables set."""
    if redact:
        from .redacted import redacted_curl

        return redacted_curl(request)
    reader = _BY_TYPE.get(type(request))
    if reader is not None:  # a type read before: straight on, as when rendering many
        return command(*reader(request)) if reader is not _value else _read_command(request)
    if isinstance(request, WireRequest):
        return request.curl
    found = parts(request)  # its type's reader is kept from here on
    return _read_command(request) if _BY_TYPE.get(type(request)) is _value else command(*found)


def _read_command(request: Any) -> str:
    """The command of a from_curl value, with the options curl itself answers for it (digest, proxy)."""
    line = command(*_value(request))
    around = getattr(request.label, "curl", None)
    return line if around is None else around(line)


def to_form(request: Any, form: str) -> str:
    """The request in another form: "python" (httpx), "requests", "node", "hurl", "httpie", "http"
    (a .http file), "wget" or "bruno" (the request's .bru file). A captured WireRequest as it went on
    the wire, an unsent request object with exactly the headers it holds. What the form cannot carry
    is named in a comment of the text; ValueError when it cannot carry the request at all (or only
    with its body in a file beside it: tolmek_forms.write places such files)."""
    import tolmek_forms

    if isinstance(request, tolmek_forms.Request):
        value = request
    else:
        url, headers, name, body = parts(request)
        value = tolmek_forms.Request(str(name), url, headers, body)
    written = tolmek_forms.write(form, [value], files=False)
    if written.skipped:
        raise ValueError(f"{form} cannot carry this request: {written.skipped[0][1]}")
    if tolmek_forms.writer(form).FOLDER:
        own = [data for path, data in written.files.items() if path != written.main]
        return own[0].decode("utf-8")
    return written.files[written.main].decode("utf-8")


def from_curl(command: str, *, curl_version: str = "7.88.1", working_dir: str | None = None) -> Any:
    """The request (a tolmek_forms.Request) one copied curl command line sends, as curl `curl_version`
    would send it: bash, zsh and cmd quoting, continuations, what curl adds made explicit; files
    only from under `working_dir`. Nothing is run. ValueError naming why for a command that cannot
    be read exactly (one the shell decides, an option tolmek does not model) or that is not one
    command; to_form and tolmek_forms.write take the request on."""
    import io
    from types import SimpleNamespace

    from tolmek_cli import convert
    from tolmek_cli.curl_in import read
    from tolmek_cli.source import InputError, Source

    if type(command) is not str:
        raise TypeError(f"from_curl takes a str, got {type(command).__name__}")
    src = Source(io.BytesIO(command.encode("utf-8", "surrogateescape")), "<command>")
    report = convert.Report(src)
    options = SimpleNamespace(working_dir=working_dir, insecure_file_read=False, curl_version=curl_version, shared={})
    try:
        found = list(convert.values(read(src, options), report, lambda: None))
    except InputError as e:
        raise ValueError(str(e)) from None
    if report.skipped:
        raise ValueError(report.lines[-1].partition(": skipped ")[2] or report.lines[-1])
    if len(found) != 1:
        raise ValueError(f"the text holds {len(found)} curl commands, not one")
    return found[0]


def to_tolmek(request: Any) -> Tolmek:
    """The request as a tolmek.Tolmek; ValueError when its body is not text or its method not one of the nine."""
    url, headers, name, body = parts(request)
    if body is not None:
        try:
            body = body.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("the body is not UTF-8 text, which a Tolmek cannot hold: to_curl carries its bytes") from None
    return Tolmek(url, headers, method(name), body)


def capture(client: C, callback: Callable[[WireRequest], object]) -> C:
    """Calls `callback` with each request `client` sends, as a WireRequest, once the client has
    handed its last byte to the connection: before the answer, so also when sending or the
    answer then fails. Works for a requests.Session, httpx.Client and AsyncClient, an
    aiohttp.ClientSession, a urllib3.PoolManager and a urllib.request opener; only that client
    reports. Capturing a client again adds a callback. Returns the client.

    Nothing raises into the client: a request whose framing cannot be read (with those after it
    on its connection), an exception of `callback` or a fault of capture is said, once, to
    `callback.warn(text)` when the callback has one, else on stderr."""
    root = type(client).__module__.partition(".")[0]
    name = _CLIENTS.get(root)
    if name is None:
        raise TypeError(_not_a_client(client))
    from importlib import import_module

    import_module(f"{__name__}.{name}").capture(client, callback)
    return client


def _not_a_client(obj: object) -> str:
    """What capture says of an object it cannot capture: what it is, what can be, and record()."""
    kind, qualname = type(obj), getattr(obj, "__qualname__", None)
    if kind.__name__ == "module" and kind.__module__ == "builtins":
        what = f"the module {getattr(obj, '__name__', '?')!s}"
    elif isinstance(obj, type):
        what = f"the class {obj.__module__}.{obj.__qualname__}, not an instance of it"
    elif callable(obj) and isinstance(qualname, str):
        what = f"the {kind.__name__} {getattr(obj, '__module__', None) or '?'}.{qualname}"
    else:
        what = f"a {kind.__module__}.{kind.__qualname__}"
    return ("tolmek_http.capture takes a client or session: a requests.Session, an httpx.Client or AsyncClient, an "
            "aiohttp.ClientSession, a urllib3.PoolManager or ProxyManager, or a urllib.request opener "
            f"(build_opener()); got {what}. To record every client a program makes, wrap it in "
            "`with tolmek_http.record(directory):`")


def __getattr__(name: str) -> Any:
    # The recording is imported when first asked for: the pytest plugin, loaded in every pytest
    # run, imports this package and must stay cheap while nothing is recorded.
    if name in ("record", "Recording", "RecordingError"):
        from . import recording

        return getattr(recording, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
