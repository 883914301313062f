"""The callbacks a client's capture calls, kept on the client so that capturing it again adds one."""

from collections.abc import Callable

from .wire import WireRequest

__all__ = ["Callbacks", "attach"]

Callback = Callable[[WireRequest], object]


class Callbacks:
    """Every callback given for one client, called in the order they were given."""

    __slots__ = ("funcs", "responses")

    def __init__(self) -> None:
        self.funcs: list[Callback] = []
        # Whether the connections made from now on also read their responses (asked once per
        # connection, never per request).
        self.responses = False

    def __call__(self, request: WireRequest) -> None:
        for f in self.funcs:
            f(request)


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
