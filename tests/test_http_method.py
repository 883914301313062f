"""HTTPMETHOD: fixed members compared only with each other, unhashable, unordered, not ints."""

import operator

import pytest

from conftest import M

NAMES = ["GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT"]


@pytest.mark.parametrize("value, name", list(enumerate(NAMES)))
def test_members(value, name):
    member = getattr(M, name)
    assert int(member) == value and bool(member) and getattr(M, name) is member
    assert repr(member) == str(member) == format(member) == f"{member}" == f"HTTPMETHOD.{name}"


def test_equality_is_by_member_only():
    assert M.GET == M.GET and not (M.GET != M.GET)
    assert M.GET != M.POST and not (M.GET == M.POST)
    assert not (M.GET == 0) and M.GET != 0 and not (0 == M.GET)
    assert M.GET != "GET" and not (M.GET == "GET") and not ("GET" == M.GET)
    assert M.PUT in [M.GET, M.PUT] and M.PUT not in [M.GET, 2, "PUT"]
    assert M.__hash__ is None


@pytest.mark.parametrize("use", [
    hash, lambda m: {m}, lambda m: {m: 1}, operator.index, lambda m: [10, 20][m], lambda m: sorted([M.GET, m]),
    lambda m: m < M.PUT, lambda m: m <= M.POST, lambda m: m > M.GET, lambda m: m >= 0,
], ids=["hash", "set", "dict", "index", "subscript", "sorted", "lt", "le", "gt", "ge-int"])
def test_not_hashable_ordered_or_an_index(use):
    with pytest.raises(TypeError):
        use(M.POST)


@pytest.mark.parametrize("args", [(), (1,), ("GET",)])
def test_no_constructor(args):
    with pytest.raises(TypeError, match="^No constructor defined for HTTPMETHOD$"):
        M(*args)
