"""Recording every request a program's HTTP clients send: the constructors patched once, the exchanges kept, the writer called on exit."""

from __future__ import annotations

import sys
import threading

from .exchange import Exchange

__all__ = ["record", "Recording", "RecordingError"]


class RecordingError(RuntimeError):
    """A recording asked for while another one is active."""


class Recording:
    """What one recording has seen so far: `exchanges` in the order their requests were sent, and
    `warnings`, one line per client that could not be recorded or request or response capture
    could not read (also written to stderr), and
    once written, `paths`: the files written."""

    __slots__ = ("exchanges", "warnings", "paths", "_warned", "__weakref__")

    def __init__(self) -> None:
        self.exchanges: list[Exchange] = []
        self.warnings: list[str] = []
        self.paths: list[str] = []
        self._warned: set[str] = set()

    def warn(self, text: str) -> None:
        # Once per recording: a suite making the same unreadable client in every test says it once.
        if text in self._warned:
            return
        self._warned.add(text)
        self.warnings.append(text)
        try:
            sys.stderr.write(f"tolmek_http.record: {text}\n")
        except (OSError, ValueError, AttributeError):  # no stderr, or closed: the line stays in .warnings
            pass

    def responses(self) -> list[Exchange]:
        """The exchanges, each with the response its request was given once that was read whole."""
        for exchange in self.exchanges:
            if exchange.response is None:
                exchange.response = getattr(exchange.request, "response", None)
        return self.exchanges


# The recording receiving requests, None when none is: the patched constructors and every client
# captured by one stay in place after it ends and then do nothing.
_current: Recording | None = None
# The running test as (node id, folder, its place in the session counted from 1), set by the
# pytest plugin around each test's setup, call and teardown; None outside a test.
_test: tuple[str, tuple[str, ...], int] | None = None
_sent = 0  # requests of the running test (or outside any test) so far
_lock = threading.Lock()


def _record(request) -> None:
    """The callback every captured client reports to, from whichever thread or task sent."""
    recording = _current
    if recording is None:
        return
    global _sent
    with _lock:  # the count and the append together: exchanges stay in the order of their numbers
        _sent += 1
        test = _test
        if test is None:
            exchange = Exchange(request, None, None, (), (0, _sent))
        else:
            exchange = Exchange(request, None, test[0], test[1], (test[2], _sent))
        recording.exchanges.append(exchange)


def _warn(text: str) -> None:
    """What capture could not read, said by the current recording (none: the clients it captured
    do nothing after it ends)."""
    recording = _current
    if recording is not None:
        recording.warn(text)


_record.warn = _warn


def set_test(test: tuple[str, tuple[str, ...], int] | None) -> None:
    """The test the requests sent from now on belong to (see _test); the count starts again for another test."""
    global _test, _sent
    with _lock:
        if test != _test:
            _sent = 0
        _test = test


def start() -> Recording:
    """A new recording, made the current one; RecordingError while another is."""
    global _current
    with _lock:
        if _current is not None:
            raise RecordingError("a recording is already active: tolmek_http.record cannot be nested or run "
                                 "twice at once (under pytest --tolmek-record the whole session is one)")
        recording = _current = Recording()
    _install()
    return recording


def stop(recording: Recording) -> None:
    global _current
    with _lock:
        if _current is recording:
            _current = None


class record:
    """`with tolmek_http.record(directory) as recording:` records every request sent while the
    block runs by a client made while it runs (requests, urllib3, httpx, aiohttp, urllib.request;
    also clients of packages imported inside the block), from any thread or asyncio task, with
    the response each was given; on leaving the block, also when it raised, writes them into
    `directory` with tolmek_http.writer.write. `recording.exchanges` holds what was seen,
    `recording.paths` the files written (see Recording). Only one recording can be active at a
    time: entering a second one, nested or from another thread, raises RecordingError.
    `secret_names` replaces the default list of names whose values are secrets,
    `extra_secret_names` adds to it; each a list of names (a single str is refused: TypeError).
    `forms`: the other forms to write the requests in too, under forms/ (python, requests, node, ...)."""

    def __init__(self, directory, *, secret_names=None, extra_secret_names=(), write_secrets: bool = True,
                 forms=()) -> None:
        from .redact import checked_names

        self.directory = directory
        # Checked here, where the caller's line is, not when the block has run.
        self.secret_names = checked_names(secret_names)
        self.extra_secret_names = checked_names(extra_secret_names, "extra_secret_names")
        self.write_secrets = write_secrets
        self.forms = list(checked_names(forms, "forms") or ())
        if self.forms:
            from tolmek_forms import writer

            for form in self.forms:
                writer(form)  # ValueError naming the forms for another name, here at the caller's line
        self.recording: Recording | None = None

    def __enter__(self) -> Recording:
        self.recording = start()
        return self.recording

    def __exit__(self, *exc) -> None:
        recording = self.recording
        stop(recording)
        from .writer import write

        recording.paths = write(self.directory, recording.responses(), secret_names=self.secret_names,
                                extra_secret_names=self.extra_secret_names, write_secrets=self.write_secrets,
                                **({"forms": self.forms} if self.forms else {}))


# --- the patches ---------------------------------------------------------------------------------

def _capture(module: str, client, holder) -> None:
    """Captures `client` through tolmek_http.<module> for the current recording, unless `holder`
    (what the capture keeps its callbacks on) reports to it already; a client whose transport
    cannot be read is named in a warning and left alone."""
    recording = _current
    if recording is None:
        return
    found = getattr(holder, "_tolmek_callbacks", None)
    if found is not None and _record in found.funcs:
        return
    capture = _captures.get(module)
    if capture is None:
        from importlib import import_module

        capture = _captures[module] = import_module(f"tolmek_http.{module}").capture
    try:
        capture(client, _record, responses=True)
    except Exception as e:  # whatever the client is made of, the program goes on without its record
        kind = type(client)
        reason = str(e) if type(e) is TypeError else f"{type(e).__name__}: {e}"
        recording.warn(f"{kind.__module__}.{kind.__qualname__} not recorded: {reason}")


_captures: dict = {}  # adapter module name -> its capture


def _itself(client):
    return client


def _after_init(cls, module: str, holder=_itself) -> None:
    """cls.__init__ followed by the capture of the object made. Only the __init__ of the object's
    own class (the first in its MRO that has one) captures, once it has run to its end: a
    subclass setting up after its super().__init__ (urllib3's SOCKSProxyManager replaces the
    pool classes there) is captured after that."""
    init = cls.__dict__["__init__"]
    if getattr(init, "_tolmek", False):
        return

    def __init__(self, *args, **kwargs):
        init(self, *args, **kwargs)
        if _current is not None:
            kind = type(self)
            if kind is cls or next(c for c in kind.__mro__ if "__init__" in c.__dict__) is cls:
                _capture(module, self, holder(self))

    __init__._tolmek = True
    __init__.__wrapped__ = init
    __init__.__name__, __init__.__qualname__, __init__.__doc__ = init.__name__, init.__qualname__, init.__doc__
    cls.__init__ = __init__


def _patch_class(cls, module: str, holder=_itself) -> None:
    """_after_init for `cls` and every subclass with an __init__ of its own, made before or after."""
    _after_init(cls, module, holder)
    todo = list(cls.__subclasses__())
    while todo:
        sub = todo.pop()
        if "__init__" in sub.__dict__:
            _after_init(sub, module, holder)
        todo += sub.__subclasses__()
    previous = cls.__dict__.get("__init_subclass__")  # aiohttp's ClientSession has one (a classmethod)

    def __init_subclass__(sub, **kwargs):
        if previous is not None:
            previous.__get__(None, sub)(**kwargs)
        else:
            super(cls, sub).__init_subclass__(**kwargs)
        if "__init__" in sub.__dict__:
            _after_init(sub, module, holder)

    cls.__init_subclass__ = classmethod(__init_subclass__)


def _patch_urllib3(module) -> None:
    # Every PoolManager and ProxyManager: requests' adapters make theirs with it, so capturing
    # requests.Session as well would report each request twice.
    _patch_class(module.PoolManager, "client_urllib3")


def _patch_httpx(module) -> None:
    _patch_class(module.Client, "client_httpx")
    _patch_class(module.AsyncClient, "client_httpx")


def _connector(session):
    return session.connector


def _patch_aiohttp(module) -> None:
    # The callbacks are on the connector, which sessions may share.
    _patch_class(module.ClientSession, "client_aiohttp", _connector)


def _patch_urllib(module) -> None:
    build = module.build_opener

    def build_opener(*handlers):
        opener = build(*handlers)
        if _current is not None:
            _capture("client_urllib", opener, opener)
        return opener

    build_opener.__wrapped__ = build
    build_opener.__doc__ = build.__doc__
    module.build_opener = build_opener  # urlopen makes its opener with the module's build_opener


_PATCHES = {"urllib3": _patch_urllib3, "httpx": _patch_httpx, "aiohttp": _patch_aiohttp,
            "urllib.request": _patch_urllib}
_pending = dict(_PATCHES)  # the packages not patched yet


def _install() -> None:
    """Patches the client packages already imported, and has the others patched when they are."""
    with _lock:
        for name in list(_pending):
            module = sys.modules.get(name)
            if module is not None and getattr(module, "__spec__", None) is not None and not _initializing(module):
                _apply(_pending.pop(name), module)
        if _pending and not any(type(f) is _Finder for f in sys.meta_path):
            sys.meta_path.insert(0, _Finder())
    urllib_request = sys.modules.get("urllib.request")
    if urllib_request is not None and urllib_request._opener is not None:
        # The opener urlopen made before the recording started.
        _capture("client_urllib", urllib_request._opener, urllib_request._opener)


def _apply(patch, module) -> None:
    """The patch for a client package; one that does not fit the package (not the client it
    names, a version of another shape) leaves it unrecorded, said, and the program goes on."""
    try:
        patch(module)
    except Exception as e:
        recording = _current
        text = f"{module.__name__} not recorded: it cannot be patched: {type(e).__name__}: {e}"
        if recording is not None:
            recording.warn(text)
        else:
            sys.stderr.write(f"tolmek_http.record: {text}\n")


def _initializing(module) -> bool:
    return bool(getattr(module.__spec__, "_initializing", False))


class _Finder:
    """Finds nothing itself: for a client package still to patch, takes what the other finders
    find and has its loader patch the package once it has run."""

    def find_spec(self, name, path=None, target=None):
        if name not in _pending:
            return None
        for finder in sys.meta_path:
            find = getattr(finder, "find_spec", None)
            if finder is self or find is None:
                continue
            found = find(name, path, target)
            if found is not None:
                break
        else:
            return None
        if found.loader is not None and hasattr(found.loader, "exec_module"):
            found.loader = _Loader(found.loader, name)
        return found


class _Loader:
    """The package's own loader, then the patch."""

    def __init__(self, loader, name):
        self._loader, self._name = loader, name

    def create_module(self, found):
        return self._loader.create_module(found)

    def exec_module(self, module):
        # The package sees its own loader, as without the patch.
        module.__spec__.loader = module.__loader__ = self._loader
        self._loader.exec_module(module)
        with _lock:
            patch = _pending.pop(self._name, None)
            if not _pending:
                sys.meta_path[:] = [f for f in sys.meta_path if type(f) is not _Finder]
        if patch is not None:
            _apply(patch, module)

    def __getattr__(self, name):
        return getattr(self._loader, name)
