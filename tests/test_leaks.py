"""Memory and reference leaks: every API and error path run many times must leave the process
size, the heap and the arguments' reference counts where they were. scripts/exercise.py runs
OPERATIONS under valgrind."""

import ctypes
import gc
import os
import sys

import pytest

import tolmek
from conftest import SANITIZED, M

T, C = tolmek.Tolmek, tolmek.TolmekCollection
URL, BODY, NAME, VALUE = "https://h.example/p?q='x'", "b\u00e9\u4e2d\U0001f600", "X-\u00c5", 'v"$'
HEADER = (NAME, VALUE)
HEADERS = [HEADER, ("k", "v")]
REQ = T(URL, HEADERS, M.POST, BODY)
FULL = C([REQ, T("//a/b", [], M.GET), T("", (), M.HEAD, "")])
ARGS = (URL, BODY, NAME, VALUE, HEADER, HEADERS, REQ, FULL, M.GET, M.POST)


class BadSeq:
    """A header sequence whose items fail with a TypeError that has a cause."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise TypeError("bad item") from KeyError(i)


# (callable, exception type or None); each runs once per round.
OPERATIONS = [
    (lambda: T(URL, HEADERS, M.POST, BODY).get_request_command(), None),
    (lambda: T("a b[1]/..", [("k", "\u00ff"), ("e", "")], M.HEAD).get_request_command(), None),
    (lambda: T("a b\x01", [("k", "\u00ff")], M.PUT).get_request_command(), ValueError),
    (lambda: T("/", [("k", "v"), (NAME, "1\r\n")], M.PUT).get_request_command(), ValueError),
    (lambda: T("-\u4e2d", [], M.DELETE, "@f").get_request_command(), None),
    (lambda: C([REQ]).add_request(REQ), None),
    (lambda: FULL.export_collection(), None),
    (lambda: FULL.get_collection(), None),
    (lambda: (C().get_collection(), C([]).export_collection()), None),
    (lambda: (repr(M.TRACE), int(M.PATCH), M.GET == M.GET, M.GET != M.PUT, M.GET == 0), None),
    (lambda: T(1, HEADERS, M.GET), TypeError),
    (lambda: T(URL, "ab", M.GET), TypeError),
    (lambda: T(URL, {}, M.GET), TypeError),
    (lambda: T(URL, [list(HEADER)], M.GET), TypeError),
    (lambda: T(URL, [HEADER, (NAME, VALUE, BODY)], M.GET), ValueError),
    (lambda: T(URL, [(NAME, 1)], M.GET), TypeError),
    (lambda: T(URL, BadSeq(), M.GET), TypeError),
    (lambda: T(URL, HEADERS, 0, BODY), TypeError),
    (lambda: T(URL, HEADERS, M.GET, b"body"), TypeError),
    (lambda: T(URL, [(NAME, "\ud800")], M.GET, BODY), UnicodeEncodeError),
    (lambda: T(URL + "\udfff", HEADERS, M.GET), UnicodeEncodeError),
    (lambda: T(URL, HEADERS, M.GET, "\udbff"), UnicodeEncodeError),
    (lambda: T(URL), TypeError),
    (lambda: T(URL, HEADERS, M.GET, BODY, URL), TypeError),
    (lambda: T(URL, HEADERS, M.GET, url=URL), TypeError),
    (lambda: T(URL, HEADERS, method=M.GET, extra=BODY), TypeError),
    (lambda: FULL.add_request(REQ, tolmek=REQ), TypeError),
    (lambda: FULL.add_request(request=REQ), TypeError),
    (lambda: C([REQ, URL]), TypeError),
    (lambda: C(REQ), TypeError),
    (lambda: hash(M.GET), TypeError),
    (lambda: M.GET < M.POST, TypeError),
    (lambda: M(), TypeError),
]


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def heap_in_use():
    """Bytes the C heap has handed out (glibc, main arena): where the module's records live."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run(operations, times):
    for _ in range(times):
        for fn, error in operations:
            if error is None:
                fn()
            else:
                with pytest.raises(error):
                    fn()


@pytest.mark.parametrize("op", OPERATIONS)
def test_operation_leaks_nothing(op, refcounts):
    """3,000 calls of one operation after a warm-up: a reference, a Python object or a heap
    block kept per call shows as a change of thousands (the counts are exact otherwise)."""
    run([op], 200)
    gc.collect()  # tracebacks form cycles; count only what outlives a collection
    counts, blocks, heap = refcounts(*ARGS), sys.getallocatedblocks(), heap_in_use()
    run([op], 3000)
    gc.collect()
    assert refcounts(*ARGS) == counts
    if not SANITIZED:  # the sanitizer build allocates everything through its own malloc
        assert sys.getallocatedblocks() - blocks < 100
        assert heap_in_use() - heap < 16 << 10


@pytest.mark.skipif(SANITIZED, reason="ASan keeps freed memory in quarantine")
def test_process_size_stays_flat():
    """~100,000 calls of every operation in turn, after a warm-up round."""
    run(OPERATIONS, 500)
    before = rss()
    run(OPERATIONS, 3500)
    assert rss() - before < 2 << 20
