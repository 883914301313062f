"""Stateful fuzzing of the three classes from Python, as a hostile caller would use them.

A Hypothesis state machine builds requests and collections in every calling form (fast call,
keywords, Cls.__new__ with a dictionary, type.__call__), adds, gets and exports, replaces
__init__, and hands over sequences whose __len__, __iter__ and __getitem__ raise, re-enter the
module or clear the call's keyword dictionary. Every result is checked against a plain-Python
model: commands with shlex against the argument list, documents against tests/reference.py.

The run has two halves. Replacing __new__ cannot be undone on a class, so the second half
replaces Tolmek.__new__ and HTTPMETHOD.__new__ once for good with a dispatcher that makes bare
instances (object.__new__), raises, or hands back real copies, and checks that bare instances
are refused everywhere. `make fuzz` runs this under the sanitizer build, so a read of freed
memory fails the run even where the result happens to look right.

Usage: python fuzz/hostile_fuzz.py SECONDS
"""

import gc
import pathlib
import shlex
import sys
import time

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, rule, run_state_machine_as_test

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import tolmek  # noqa: E402
from faithful import METHODS  # noqa: E402
from reference import reference_text  # noqa: E402
from test_curl import argv, refused  # noqa: E402

T, C, M = tolmek.Tolmek, tolmek.TolmekCollection, tolmek.HTTPMETHOD
SURROGATE = "\ud800"

# Texts: ordinary ones, shell- and JSON-active ones, and now and then a lone surrogate.
TEXT = st.text(alphabet=st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=12) | \
    st.sampled_from(["", "-o~/x", "@f", "it's", 'a"b$`!\\', "é✓😀", "http://h/a//b", SURROGATE, "x" + SURROGATE])
HEADERS = st.lists(st.tuples(TEXT, TEXT), max_size=4)

# The second half's dispatcher for Tolmek.__new__ and HTTPMETHOD.__new__. Its copies come from
# a collection made while Tolmek could still be constructed.
dispatch = {"mode": "bare"}
STASH_MODEL = ("/copy", [("k", "v")], "GET", None)
STASH = C([T("/copy", [("k", "v")], M.GET)])


def dispatching_new(cls, *args, **kwargs):
    if dispatch["mode"] == "raise":
        raise LookupError("refused by __new__")
    if dispatch["mode"] == "copy" and cls is T:
        return STASH.get_collection()[0]
    return object.__new__(cls)


def encodable(*texts):
    return SURROGATE not in "".join(texts)


def fresh(text):
    """An equal str that nothing else refers to (so that clearing a dictionary frees it)."""
    return text if text is None or text == "" else (text + "-")[:-1]


def take(mapping):
    """The items of `mapping` in a new dictionary, `mapping` emptied: passed on with **, the
    call's dictionary then holds the only references."""
    taken = dict(mapping)
    mapping.clear()
    return taken


def construct(cls, call, kwargs):
    """Calls `cls` in the form `call` with the items of `kwargs`, which is emptied first: only
    the call then refers to them."""
    if call == "positional":
        return cls(*take(kwargs).values())
    if call == "keywords":
        return cls(**take(kwargs))
    if call == "__new__":
        return cls.__new__(cls, **take(kwargs))
    return type.__call__(cls, **take(kwargs))


def clear_call_dictionary(obj):
    for referrer in gc.get_referrers(obj):
        if type(referrer) is dict and ("headers" in referrer or "collection" in referrer):
            referrer.clear()


class Hostile:
    """A sequence by __len__/__getitem__ (and __iter__ when `iterate`) that misbehaves on request:
    `length_error` raised from __len__, `on_read` run when the first item is read (re-entry),
    `clear` clearing the call's keyword dictionary from __len__."""

    def __init__(self, items, length_error=None, on_read=None, clear=False, iterate=False):
        self.items, self.length_error, self.on_read, self.clear, self.iterate = items, length_error, on_read, clear, iterate

    def __len__(self):
        if self.clear:
            clear_call_dictionary(self)
        if self.length_error is not None:
            raise self.length_error("from __len__")
        return len(self.items)

    def __getitem__(self, i):
        if i == 0 and self.on_read is not None:
            self.on_read()
        return self.items[i]


class HostileIter(Hostile):
    def __iter__(self):
        return iter(self.items)


class Request:
    """A Tolmek and its model: (url, headers, method name, body), or None for a bare instance."""

    def __init__(self, obj, model):
        self.obj, self.model = obj, model


class Collection:
    def __init__(self, obj, models):
        self.obj, self.models = obj, models  # models: None while absent


def command_words(model):
    """The words the command must hand curl, or None when no command can carry the request."""
    url, headers, method, body = model
    return None if refused(url, headers, method, body) else argv(url, headers, method, body)


def words_of(request_obj):
    """What the module made of a request: its command's words, or None when it refused it."""
    try:
        return shlex.split(request_obj.get_request_command())
    except ValueError:
        return None


class Machine(RuleBasedStateMachine):
    """Operations on the three classes; `replaced` says whether __new__ is dispatched."""

    replaced = False
    requests = Bundle("requests")
    collections = Bundle("collections")

    @initialize(target=collections)
    def first_collection(self):
        self.init_calls = {T: 0, C: 0}
        return Collection(C(), None)

    # -- building -------------------------------------------------------------------------

    def container(self, draw_form, items, on_read):
        """Wraps items in the drawn container form; returns (container, error it raises)."""
        form, length_error = draw_form
        if form == "list":
            return list(items), None
        if form == "tuple":
            return tuple(items), None
        cls = HostileIter if form == "iter" else Hostile
        return cls(items, length_error=length_error, on_read=on_read, clear=form == "clearing"), length_error

    @rule(target=requests, url=TEXT, headers=HEADERS, method=st.sampled_from(METHODS), body=st.none() | TEXT,
          form=st.tuples(st.sampled_from(["list", "tuple", "getitem", "iter", "clearing"]),
                         st.sampled_from([None, None, ValueError, MemoryError, KeyboardInterrupt, SystemExit])),
          call=st.sampled_from(["positional", "keywords", "__new__", "type.__call__"]),
          reenter=st.none() | st.tuples(collections, requests),
          mode=st.sampled_from(["bare", "raise", "copy"]))
    def build_request(self, url, headers, method, body, form, call, reenter, mode):
        on_read = (lambda: self.add(*reenter)) if reenter else None
        seq, length_error = self.container(form, headers, on_read)
        kwargs = {"url": fresh(url), "headers": seq, "method": getattr(M, method), "body": fresh(body)}
        del seq
        dispatch["mode"] = mode
        before = self.init_calls[T]
        try:
            made = construct(T, call, kwargs)
        except BaseException as error:
            expected = self.expected_build_error(url, headers, body, length_error, call)
            assert type(error) is expected, (error, expected)
            return Request(None, None)
        assert self.expected_build_error(url, headers, body, length_error, call) is None
        if call != "__new__":  # __new__ alone never runs __init__
            assert self.init_calls[T] == before + (1 if self.init_replaced(T) else 0)
        if self.replaced and mode == "bare":
            return Request(made, None)
        if self.replaced and mode == "copy":
            return Request(made, STASH_MODEL)
        return Request(made, (url, list(headers), method, body))

    def expected_build_error(self, url, headers, body, length_error, call):
        if self.replaced:
            return LookupError if dispatch["mode"] == "raise" else None
        if not encodable(url):
            return UnicodeEncodeError
        if length_error in (KeyboardInterrupt, SystemExit):
            return length_error
        if not encodable(*(n + v for n, v in headers), body or ""):
            return UnicodeEncodeError
        return None

    @rule(target=collections, items=st.lists(requests, max_size=4),
          form=st.tuples(st.sampled_from(["list", "tuple", "getitem", "iter", "clearing"]),
                         st.sampled_from([None, ValueError, KeyboardInterrupt])),
          call=st.sampled_from(["positional", "keywords", "__new__", "type.__call__"]),
          reenter=st.none() | st.tuples(collections, requests))
    def build_collection(self, items, form, call, reenter):
        on_read = (lambda: self.add(*reenter)) if reenter else None
        seq, length_error = self.container(form, [r.obj for r in items], on_read)
        kwargs = {"collection": seq}
        del seq
        before = self.init_calls[C]
        try:
            made = construct(C, call, kwargs)
        except KeyboardInterrupt:
            assert length_error is KeyboardInterrupt
            return Collection(C(), None)
        except TypeError as error:
            assert str(error) in ("argument 'collection': 'NoneType' object cannot be converted to 'Tolmek'",
                                  "argument 'collection': 'Tolmek' object is not initialised"), error
            assert any(r.model is None for r in items)
            return Collection(C(), None)
        assert length_error is not KeyboardInterrupt and all(r.model is not None for r in items)
        if call != "__new__":
            assert self.init_calls[C] == before + (1 if self.init_replaced(C) else 0)
        return Collection(made, [r.model for r in items])

    # -- using ----------------------------------------------------------------------------

    def add(self, collection, request):
        try:
            collection.obj.add_request(request.obj)
        except TypeError as error:
            assert request.model is None and str(error) in (
                "argument 'tolmek': 'NoneType' object cannot be converted to 'Tolmek'",
                "argument 'tolmek': 'Tolmek' object is not initialised"), error
            return
        collection.models = (collection.models or []) + [request.model]

    @rule(collection=collections, request=requests)
    def add_request(self, collection, request):
        self.add(collection, request)

    @rule(request=requests)
    def command(self, request):
        if request.obj is None:
            return
        try:
            words = words_of(request.obj)
        except TypeError as error:
            assert request.model is None and str(error) == "'Tolmek' object is not initialised"
            return
        assert words == command_words(request.model)

    @rule(collection=collections)
    def get(self, collection):
        got = collection.obj.get_collection()
        if collection.models is None:
            assert got is None
        else:
            assert [words_of(t) for t in got] == [command_words(m) for m in collection.models]

    @rule(collection=collections)
    def export(self, collection):
        assert collection.obj.export_collection() == reference_text(collection.models or [])

    @rule(name=st.sampled_from(METHODS))
    def member(self, name):
        member = getattr(M, name)
        assert repr(member) == f"HTTPMETHOD.{name}" and int(member) == METHODS.index(name) and member == member

    @rule()
    def bare_member(self):
        if not self.replaced:
            return
        dispatch["mode"] = "bare"
        bare = M()
        for use in (repr, int, str):
            try:
                use(bare)
            except TypeError as error:
                assert str(error) == "'HTTPMETHOD' object is not initialised"
            else:
                raise AssertionError("a bare HTTPMETHOD was used")
        assert bare != M.GET and not (M.GET == bare) and bare == bare

    # -- replacing __init__ ----------------------------------------------------------------

    def init_replaced(self, cls):
        return "__init__" in cls.__dict__

    @rule(cls=st.sampled_from([T, C]))
    def replace_init(self, cls):
        def init(instance, *args, **kwargs):
            self.init_calls[cls] += 1
        cls.__init__ = init

    @rule(cls=st.sampled_from([T, C]))
    def restore_init(self, cls):
        if self.init_replaced(cls):
            del cls.__init__

    def teardown(self):
        for cls in (T, C):
            if self.init_replaced(cls):
                del cls.__init__


class ReplacedMachine(Machine):
    replaced = True


def run(machine, seconds):
    """Runs the machine with fresh random seeds until `seconds` have passed."""
    deadline, rounds = time.monotonic() + seconds, 0
    while time.monotonic() < deadline:
        run_state_machine_as_test(machine, settings=settings(
            max_examples=25, stateful_step_count=40, deadline=None, database=None,
            suppress_health_check=list(HealthCheck)))
        rounds += 1
    return rounds


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60
    first = run(Machine, seconds / 2)
    T.__new__ = M.__new__ = staticmethod(dispatching_new)  # for good: see the module's docstring
    second = run(ReplacedMachine, seconds / 2)
    print(f"hostile_fuzz: {first} + {second} rounds of 25 examples in {seconds:g}s, no failures")


if __name__ == "__main__":
    main()
