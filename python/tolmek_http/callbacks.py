"""The callbacks a client's capture calls, kept on the client so that capturing it again adds one,
and where capture says what it could not read."""

import sys
from collections.abc import Callable

__all__ = ["Callbacks", "attach", "report", "describe"]

Callback = Callable[["WireRequest"], object]  # noqa: F821 (wire imports this module)


class Callbacks:
    """Every callback given for one client, called in the order they were given."""

    __slots__ = ("funcs", "responses")

    def __init__(self) -> None:
        self.funcs: list[Callback] = []
        # Whether the connections made from now on also read their responses (asked once per
        # connection, never per request).
        self.responses = False

    def __call__(self, request) -> None:
        for f in self.funcs:
            f(request)

    def warn(self, text: str) -> None:
        """`text` to each callback that has a `warn` of its own (a recording's), else to stderr."""
        told = False
        for f in self.funcs:
            warn = getattr(f, "warn", None)
            if warn is not None:
                told = True
                try:
                    warn(text)
                except Exception:  # a callback's own warn failing is no reason to fail the client
                    pass
        if not told:
            _stderr(text)


def report(callback, text: str) -> None:
    """Says what capture could not read or do, never raising: to `callback.warn(text)` when the
    callback has one (a Callbacks passes it on to its own), else once to stderr."""
    try:
        warn = getattr(callback, "warn", None)
        if warn is not None:
            warn(text)
            return
    except Exception:
        pass
    _stderr(text)


def describe(e: BaseException) -> str:
    """"Type: message" of an exception, whatever its str() does, its message cut to 300 characters."""
    try:
        text = str(e)[:300]
    except Exception:
        text = "(a message that cannot be shown)"
    return f"{type(e).__name__}: {text}"


_said: set[str] = set()  # what went to stderr already: each text once, up to a bound


def _stderr(text: str) -> None:
    if text in _said:
        return
    if len(_said) < 1000:
        _said.add(text)
    try:
        sys.stderr.write(f"tolmek_http.capture: {text}\n")
    except Exception:  # no stderr, or closed
        pass


def attach(holder: object, callback: Callback, responses: bool = False) -> tuple[Callbacks, bool]:
    """(the callbacks kept on `holder`, whether they are new there) after adding `callback`;
    `responses` turns reading responses on for the connections made from then on (once on, it
    stays on: another callback's wish for them does not take them from this one)."""
    found = getattr(holder, "_tolmek_callbacks", None)
    new = found is None
    if new:
        found = Callbacks()
        setattr(holder, "_tolmek_callbacks", found)
    found.funcs.append(callback)
    if responses:
        found.responses = True
    return found, new
