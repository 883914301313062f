"""TolmekCollection: construction, argument errors, copy semantics and thread safety."""

import collections
import json
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import M
from tolmek import Tolmek, TolmekCollection

A = Tolmek("http://a.example/x", [("K", "v")], M.POST, "a")
B = Tolmek("https://b.example/y?q='1'", [], M.GET)
AB = [A.get_request_command(), B.get_request_command()]


class ListSub(list):
    pass


class FailingIter(collections.UserList):
    def __iter__(self):
        raise self.data[0]("boom")


def commands(c):
    return [t.get_request_command() for t in c.get_collection()]


def test_absent_and_empty():
    assert TolmekCollection().get_collection() is None
    assert TolmekCollection(None).get_collection() is None
    assert TolmekCollection(collection=None).get_collection() is None
    assert TolmekCollection([]).get_collection() == []
    assert TolmekCollection([]).export_collection() == TolmekCollection().export_collection()


@pytest.mark.parametrize("make", [tuple, list, collections.UserList, ListSub])
@pytest.mark.parametrize("keyword", [False, True])
def test_any_sequence_is_accepted_in_order(make, keyword):
    c = TolmekCollection(collection=make([A, B])) if keyword else TolmekCollection(make([A, B]))
    assert commands(c) == AB


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("x",), TypeError, "argument 'collection': a str cannot be taken as a list"),
        (({},), TypeError, "argument 'collection': 'dict' object cannot be converted to 'Sequence'"),
        (((x for x in [A]),), TypeError, "argument 'collection': 'generator' object cannot be converted to 'Sequence'"),
        (([A, 1],), TypeError, "argument 'collection': 'int' object cannot be converted to 'Tolmek'"),
        ((None, None), TypeError, "TolmekCollection.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        # Only an exact TypeError raised while reading the sequence gets the argument prefix.
        ((FailingIter([ValueError]),), ValueError, "boom"),
        ((FailingIter([TypeError]),), TypeError, "argument 'collection': boom"),
    ],
)
@pytest.mark.parametrize("construct", [TolmekCollection, lambda *a: TolmekCollection.__new__(TolmekCollection, *a)],
                         ids=["call", "__new__"])
def test_construction_errors(args, exc, message, construct, refcounts):
    before = refcounts(*args)
    with pytest.raises(exc) as info:
        construct(*args)
    assert str(info.value) == message
    del info
    assert refcounts(*args) == before


ADD_ERRORS = [
    ((), {}, "TolmekCollection.add_request() missing 1 required positional argument: 'tolmek'"),
    ((A, A), {}, "TolmekCollection.add_request() takes 1 positional arguments but 2 were given"),
    ((A,), {"tolmek": A}, "TolmekCollection.add_request() got multiple values for argument 'tolmek'"),
    ((), {"request": A}, "TolmekCollection.add_request() got an unexpected keyword argument 'request'"),
    ((5,), {}, "argument 'tolmek': 'int' object cannot be converted to 'Tolmek'"),
    (("x",), {}, "argument 'tolmek': 'str' object cannot be converted to 'Tolmek'"),
    ((None,), {}, "argument 'tolmek': 'NoneType' object cannot be converted to 'Tolmek'"),
]


@pytest.mark.parametrize("args, kwargs, message", ADD_ERRORS)
def test_failed_add_leaves_collection_unchanged(args, kwargs, message, refcounts):
    c = TolmekCollection([B])
    text, before = c.export_collection(), refcounts(A, B, *args)
    with pytest.raises(TypeError) as info:
        c.add_request(*args, **kwargs)
    assert str(info.value) == message
    del info
    assert c.export_collection() == text and refcounts(A, B, *args) == before


def test_stored_and_returned_requests_are_copies():
    c = TolmekCollection()
    assert c.get_collection() is None
    c.add_request(A)
    first = c.get_collection()
    assert len(first) == 1 and isinstance(first[0], Tolmek) and first[0] is not A
    assert first[0].get_request_command() == A.get_request_command()
    c.add_request(B)
    second, third = c.get_collection(), c.get_collection()
    assert second is not third and all(x is not y for x, y in zip(second, third, strict=True))
    second[:] = [B]
    assert commands(c) == AB
    with pytest.raises(TypeError):
        len(c)


def test_shared_collection_across_threads():
    """Concurrent adds, reads and exports neither fail nor lose requests."""
    n_threads, rounds = 8, 300
    c, barrier = TolmekCollection(), threading.Barrier(n_threads)
    reqs = [A, B, Tolmek("/p", [("é", "✓")], M.PUT, "")]

    def work(k):
        barrier.wait()
        for i in range(rounds):
            c.add_request(reqs[(i + k) % 3])
            got, text = c.get_collection(), c.export_collection()
            got[-1].get_request_command(), reqs[i % 3].get_request_command()
            if i % 25 == 0:
                json.loads(text)

    with ThreadPoolExecutor(n_threads) as pool:
        for future in [pool.submit(work, k) for k in range(n_threads)]:
            future.result()  # re-raises whatever the thread raised
    assert len(c.get_collection()) == len(json.loads(c.export_collection())["item"]) == n_threads * rounds
