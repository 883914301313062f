"""Hostile callers: replaced __new__/__init__, uninitialised instances, sequences that clear the
call's keyword dictionary, no memory for a result or a report, BaseExceptions from __len__ and
sys.excepthook. Nothing may crash, read freed memory, abort or hand control to the caller's
hooks. Replacing __new__ cannot be undone on a class, so those cases run in a child process."""

import gc

import pytest

import tolmek
from conftest import M, run_python

T, C = tolmek.Tolmek, tolmek.TolmekCollection


def child(code):
    """Runs code in a fresh interpreter; its stdout lines, after checking it exited cleanly."""
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


# A function the child scripts use to show how an operation ended.
OUTCOME = r"""
def outcome(fn):
    try:
        result = fn()
    except BaseException as e:
        return f"{type(e).__name__}: {e}"
    return repr(result) if isinstance(result, (str, bool, int, type(None))) else type(result).__name__
"""

NOT_INIT = "TypeError: '{}' object is not initialised"


def test_instances_made_without_the_module_are_refused():
    """object.__new__ becomes usable once __new__ is replaced; what it makes holds no value and
    is refused wherever it is used, and deallocates without touching the missing value."""
    lines = child(OUTCOME + r"""
import tolmek
T, C, M = tolmek.Tolmek, tolmek.TolmekCollection, tolmek.HTTPMETHOD
t, c = T("u", [], M.GET), C()
bare = staticmethod(lambda cls, *a, **k: object.__new__(cls))

M.__new__ = bare
m = M()
print(type(m) is M)
for fn in [lambda: repr(m), lambda: str(m), lambda: int(m), lambda: T("u", [], m),
           lambda: m == M.GET, lambda: M.GET == m, lambda: m != M.GET, lambda: m == m, lambda: m == object.__new__(M)]:
    print(outcome(fn))

T.__new__ = bare
u = T("u", [], M.GET)  # the call honours the replaced __new__
print(type(u) is T, type(type.__call__(T)) is T)
for fn in [u.get_request_command, lambda: T.get_request_command(u), lambda: c.add_request(u),
           lambda: c.add_request(tolmek=u), lambda: C([t, u]), c.get_collection]:
    print(outcome(fn))

C.__new__ = bare
uc = C()
for fn in [lambda: uc.add_request(t), uc.get_collection, uc.export_collection]:
    print(outcome(fn))

for _ in range(1000):  # deallocation of each kind
    object.__new__(T), object.__new__(C), object.__new__(M)
c.add_request(t)  # the instances the module made still work
print(t.get_request_command(), [x.get_request_command() for x in c.get_collection()])
""")
    not_tolmek = "TypeError: argument '{}': 'Tolmek' object is not initialised"
    assert lines == [
        "True",
        NOT_INIT.format("HTTPMETHOD"), NOT_INIT.format("HTTPMETHOD"), NOT_INIT.format("HTTPMETHOD"),
        "TypeError: argument 'method': 'HTTPMETHOD' object is not initialised",
        "False", "False", "True", "True", "False",  # no member: equal to itself only
        "True True",
        NOT_INIT.format("Tolmek"), NOT_INIT.format("Tolmek"), not_tolmek.format("tolmek"),
        not_tolmek.format("tolmek"), not_tolmek.format("collection"),
        "None",  # nothing was added
        NOT_INIT.format("TolmekCollection"), NOT_INIT.format("TolmekCollection"),
        NOT_INIT.format("TolmekCollection"),
        "curl -X GET u ['curl -X GET u']",
    ]


def test_replaced_new_is_honoured_by_the_call_as_by_type_call():
    lines = child(OUTCOME + r"""
import tolmek
T, C, M = tolmek.Tolmek, tolmek.TolmekCollection, tolmek.HTTPMETHOD
calls, sentinel = [], object()

def new(cls, *args, **kwargs):
    calls.append((cls.__name__, args, kwargs))
    return sentinel

T.__new__ = C.__new__ = staticmethod(new)
T.__init__ = C.__init__ = lambda self, *a, **k: calls.append("init")  # not run: not an instance
for call in (lambda cls, *a, **k: cls(*a, **k), type.__call__):
    print(call(T, "u", [], method=M.GET) is sentinel, call(C, collection=None) is sentinel, call(C) is sentinel)
print(calls[:3] == calls[3:], calls[:3])
""")
    assert lines == [
        "True True True", "True True True",
        "True [('Tolmek', ('u', []), {'method': HTTPMETHOD.GET}), ('TolmekCollection', (), {'collection': None}), "
        "('TolmekCollection', (), {})]",
    ]


@pytest.mark.parametrize("cls, args, kwargs", [
    (T, ("u", [("k", "v")]), {"method": M.PUT, "body": "b"}),
    (C, (), {"collection": [T("u", [], M.GET)]}),
    (C, (), {}),
])
def test_replaced_init_is_honoured_by_the_call_as_by_type_call(cls, args, kwargs):
    seen = []

    def init(self, *a, **k):
        seen.append((type(self), a, k))

    cls.__init__ = init
    try:
        made = [cls(*args, **kwargs), type.__call__(cls, *args, **kwargs)]
        assert seen == [(cls, args, kwargs)] * 2 and all(type(x) is cls for x in made)
    finally:
        del cls.__init__
    seen.clear()
    assert type(cls(*args, **kwargs)) is cls and seen == []  # the fast path again


def test_raising_init_fails_the_call():
    def init(self, *a, **k):
        raise LookupError("init refused")

    T.__init__ = init
    try:
        with pytest.raises(LookupError, match="^init refused$"):
            T("u", [], M.GET)
        with pytest.raises(TypeError, match=r"^Tolmek.__new__\(\) missing 1 required positional argument: 'method'$"):
            T("u", [])  # __new__ runs first, as type.__call__ does it
    finally:
        del T.__init__


# Keyword arguments of Cls.__new__(Cls, **kw) reach the constructor in a dictionary that holds the
# only reference to each value. A sequence finds it from __len__, __iter__ or __getitem__ and
# clears it, then keeps lookalike strings so that freed memory would be reused at once.

def clear_call_dictionary(obj):
    for referrer in gc.get_referrers(obj):
        if type(referrer) is dict and ("headers" in referrer or "collection" in referrer):
            referrer.clear()
    n = 300
    obj.lookalikes = ["Z" * n for _ in range(200)]


class Clearing:
    """A sequence by __getitem__/__len__ that clears the call dictionary in `where`."""

    def __init__(self, items, where):
        self.items, self.where = items, where

    def __len__(self):
        if self.where == "__len__":
            clear_call_dictionary(self)
        return len(self.items)

    def __getitem__(self, i):
        if self.where == "__getitem__" and i == 0:
            clear_call_dictionary(self)
        return self.items[i]


class ClearingIter(Clearing):
    def __iter__(self):
        clear_call_dictionary(self)
        return iter(self.items)


def text(ch):
    return "".join([ch] * 300)  # a new str each time, of the lookalikes' size


@pytest.mark.parametrize("make", [
    lambda items: Clearing(items, "__len__"),
    lambda items: Clearing(items, "__getitem__"),
    lambda items: ClearingIter(items, None),
], ids=["__len__", "__getitem__", "__iter__"])
@pytest.mark.parametrize("keep_sequence", [True, False])
def test_cleared_keyword_dictionary_frees_nothing_in_use(make, keep_sequence):
    name = text("n")
    kept = make([(name, "v")])
    # Inline displays: the call's dictionary holds the only references to their values.
    if keep_sequence:
        made = T.__new__(T, **{"url": text("u"), "headers": kept, "method": M.PUT, "body": text("b")})
    else:
        made = T.__new__(T, **{"url": text("u"), "headers": make([(name, "v")]), "method": M.PUT, "body": text("b")})
    assert made.get_request_command() == f"""curl -X PUT {text("u")} -H "{name}: v" -d '{text("b")}'"""

    requests = [T("/p", [("k", "v")], M.GET)] * 2
    kept = make(requests)
    if keep_sequence:
        made = C.__new__(C, **{"collection": kept})
    else:
        made = C.__new__(C, **{"collection": make(requests)})
    assert [t.get_request_command() for t in made.get_collection()] == ['curl -X GET /p -H "k: v"'] * 2


def test_cleared_keyword_dictionary_keeps_the_method_member():
    """A member that only the call's dictionary still holds, its class attribute deleted."""
    lines = child(r"""
import gc, tolmek
T, M = tolmek.Tolmek, tolmek.HTTPMETHOD

class Clearing:
    def __len__(self):
        for r in gc.get_referrers(self):
            if type(r) is dict and "headers" in r:
                r.clear()
        # Reuse freed blocks of every small size.
        self.junk = [10**6 + n for n in range(3000)] + [bytes(n) for n in range(1, 64) for _ in range(50)]
        return 0
    def __getitem__(self, i):
        raise IndexError

seq, member = Clearing(), M.TRACE
del M.TRACE

def arguments():
    global member
    try:
        return {"url": "u", "headers": seq, "method": member}
    finally:
        member = None

print(T.__new__(T, **arguments()).get_request_command(), hasattr(M, "TRACE"))
""")
    assert lines == ["curl -X TRACE u False"]


@pytest.mark.parametrize("raised", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(),
                                    type("Custom", (BaseException,), {})("custom")],
                         ids=["KeyboardInterrupt", "SystemExit", "GeneratorExit", "BaseException-subclass"])
def test_base_exception_from_len_passes_unchanged_and_nothing_is_made(raised):
    visited = []

    class Seq:
        def __len__(self):
            raise raised

        def __getitem__(self, i):
            visited.append(i)
            raise IndexError

    for construct in (lambda s: T("u", s, M.GET), lambda s: C(s), lambda s: T.__new__(T, "u", headers=s, method=M.GET),
                      lambda s: C.__new__(C, collection=s)):
        with pytest.raises(type(raised)) as info:
            construct(Seq())
        assert info.value is raised and visited == []  # no item was read


@pytest.mark.parametrize("error", [ValueError, MemoryError, OverflowError, type("Custom", (Exception,), {})])
def test_ordinary_error_from_len_is_only_a_missing_hint(error):
    class Seq(list):
        def __len__(self):
            raise error("no length")

    assert T("u", Seq([("k", "v")]), M.GET).get_request_command() == 'curl -X GET u -H "k: v"'
    assert len(C(Seq([T("u", [], M.GET)])).get_collection()) == 1


def test_internal_failure_class_exists_from_import_on():
    lines = child(r"""
import gc, tolmek
found = [t for t in gc.get_objects() if isinstance(t, type) and t.__name__ == "InternalFailure"]
print([(t.__module__, t.__bases__ == (BaseException,)) for t in found])
""")
    assert lines == ["[('tolmek', True)]"]


# Child-script code: `attempt(fn, count)` runs fn with the first `count` of Python's allocations
# failing (0: all of them); the outcome, and whether the caller's finally ran.
FAIL_ALLOCATIONS = OUTCOME + r"""
import sys, _testcapi
def attempt(fn, count):
    finished = []
    def run():
        try:
            _testcapi.set_nomemory(0, count)
            return fn()
        finally:
            _testcapi.remove_mem_hooks()
            finished.append(True)
    return outcome(run) + (" | finally ran" if finished else " | finally skipped")
"""


@pytest.fixture
def testcapi():
    pytest.importorskip("_testcapi")


def test_no_memory_for_the_result_or_the_report_never_aborts(testcapi):
    """The first 1, 2, 3, ... allocations fail: the result str, then its printing, the failure's
    message (the generic one made at import stands in), the exception object itself (the
    caller gets MemoryError). No count aborts the process."""
    done = run_python(FAIL_ALLOCATIONS + r"""
import tolmek
M = tolmek.HTTPMETHOD
t = tolmek.Tolmek("http://x", [("k", "v")], M.POST, "a" * (1 << 16))
c = tolmek.TolmekCollection([t])
for fn in (t.get_request_command, c.export_collection, c.get_collection, lambda: repr(M.GET)):
    print(sorted({attempt(fn, count) for count in [*range(1, 40), 0]}))
print(t.get_request_command() == "curl -X POST http://x -H \"k: v\" -d '" + "a" * (1 << 16) + "'",
      len(c.get_collection()))
""")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [str([
        "InternalFailure: Python API call failed | finally ran",
        "InternalFailure: tolmek met an internal failure | finally ran",
        "MemoryError:  | finally ran",
    ])] * 4 + ["True 1"]
    assert "Fatal Python error" not in done.stderr


def test_result_failure_prints_without_the_callers_hook(testcapi):
    """Only the result str fails: the MemoryError is printed, then the internal failure is raised,
    while sys.excepthook is never run (it would re-enter the module and raise SystemExit) and
    sys.last_exc stays unset."""
    done = run_python(FAIL_ALLOCATIONS + r"""
import tolmek
M = tolmek.HTTPMETHOD
t = tolmek.Tolmek("http://x", [], M.POST, "b")
c = tolmek.TolmekCollection([t])

def hook(*args):
    print("hook ran", outcome(lambda: c.add_request(t)))
    raise SystemExit(3)

sys.excepthook = hook
for fn in (t.get_request_command, c.export_collection, c.get_collection):
    print(attempt(fn, 1))
    sys.stderr.write("-- end --\n")
print(hasattr(sys, "last_exc"), hasattr(sys, "last_value"), len(c.get_collection()))
""")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["InternalFailure: Python API call failed | finally ran"] * 3 + ["False False 1"]
    reports = done.stderr.split("-- end --\n")
    assert reports[-1] == ""
    for report in reports[:-1]:
        assert report.startswith("MemoryError\ntolmek: internal failure: Python API call failed\n  at src/binding/")


def test_failure_raised_by_python_code_prints_without_the_callers_hook():
    done = run_python(OUTCOME + r"""
import gc, sys, tolmek
Failure, = [t for t in gc.get_objects() if isinstance(t, type) and t.__name__ == "InternalFailure"]
sys.excepthook = lambda *a: print("hook ran")

class Seq(list):
    def __iter__(self):
        raise Failure("from python")

print(outcome(lambda: tolmek.Tolmek("u", Seq(), tolmek.HTTPMETHOD.GET)), hasattr(sys, "last_exc"))
""")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["InternalFailure: from python False"]
    assert done.stderr.startswith("tolmek: Python code raised the internal-failure exception.\n")
    assert "InternalFailure: from python\n" in done.stderr
