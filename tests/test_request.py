"""Tolmek construction: accepted argument forms, exact error messages, and clean failure."""

import collections
import sys

import pytest

import tolmek
from conftest import M

T = tolmek.Tolmek
S = type("S", (str,), {})
Pair = collections.namedtuple("Pair", "name value")


def fail(error, *args):
    def raising(*_):
        raise error(*args)
    return raising


class Seq:
    """A sequence by __getitem__/__len__ only (old-style iteration), with hooks to misbehave."""

    def __init__(self, items, length=None, getitem=None, iterate=None):
        self.items, self.length, self.getitem, self.iterate = items, length, getitem, iterate

    def __getitem__(self, i):
        return (self.getitem or self.items.__getitem__)(i)

    def __len__(self):
        return self.length() if callable(self.length) else len(self.items) if self.length is None else self.length


class IterSeq(Seq):
    def __iter__(self):
        return self.iterate(self)


KV = 'curl -X GET u -H "k: v"'


@pytest.mark.parametrize("make, command", [
    (lambda: T(url="u", headers=[], method=M.GET, body="b"), "curl -X GET u -d 'b'"),
    (lambda: T(S("u"), [(S("a"), S("b"))], M.PUT, S("x")), """curl -X PUT u -H "a: b" -d 'x'"""),
    (lambda: T("u", (("a", "1"), ("a", "2")), M.GET), 'curl -X GET u -H "a: 1" -H "a: 2"'),
    (lambda: T("u", [Pair("k", "v")], M.GET), KV),
    (lambda: T("u", b"", M.HEAD), "curl -X HEAD -I u"),
    (lambda: T("u", Seq([("k", "v")]), M.GET), KV),
    (lambda: T("", [], M.GET), "curl -X GET ''"),
    (lambda: T("u", [], M.POST, ""), "curl -X POST u -d ''"),
    (lambda: T("u", [], M.POST, None), "curl -X POST u"),
    (lambda: T("u", [], M.POST), "curl -X POST u"),
    (lambda: T.__new__(T, "u", headers=[], method=M.POST), "curl -X POST u"),  # tuple/dict convention
    # the length is only a capacity hint: a failing, huge or negative one does not matter
    (lambda: T("u", Seq([("k", "v")], length=fail(RuntimeError)), M.GET), KV),
    (lambda: T("u", Seq([("k", "v")], length=sys.maxsize), M.GET), KV),
    (lambda: T("u", Seq([("k", "v")], length=-1), M.GET), KV),
])
def test_accepted_forms(make, command):
    assert make().get_request_command() == command


def test_request_keeps_its_own_copy_and_has_no_fields():
    headers = [("a", "b")]
    t = T("u", headers, M.GET)
    headers.append(("c", "d"))
    assert t.get_request_command() == 'curl -X GET u -H "a: b"'
    with pytest.raises(AttributeError):
        t.url


NEW = "Tolmek.__new__() "


def conv(arg, typename, target):
    return TypeError, f"argument '{arg}': '{typename}' object cannot be converted to '{target}'"


@pytest.mark.parametrize("args, kwargs, error", [
    ((), {}, (TypeError, NEW + "missing 3 required positional arguments: 'url', 'headers', and 'method'")),
    (("u", []), {}, (TypeError, NEW + "missing 1 required positional argument: 'method'")),
    (("u", [], M.GET, None, 1), {}, (TypeError, NEW + "takes from 3 to 4 positional arguments but 5 were given")),
    (("u", [], M.GET), {"zz": 1, "yy": 2}, (TypeError, NEW + "got an unexpected keyword argument 'zz'")),
    (("u", [], M.GET), {"url": "x"}, (TypeError, NEW + "got multiple values for argument 'url'")),
    ((1, [], M.GET), {}, conv("url", "int", "PyString")),
    (("u", "ab", M.GET), {}, (TypeError, "argument 'headers': a str cannot be taken as a list")),
    (("u", {}, M.GET), {}, conv("headers", "dict", "Sequence")),
    (("u", set(), M.GET), {}, conv("headers", "set", "Sequence")),
    (("u", (x for x in []), M.GET), {}, conv("headers", "generator", "Sequence")),
    (("u", [["a", "b"]], M.GET), {}, conv("headers", "list", "PyTuple")),
    (("u", [("a", "b", "c")], M.GET), {}, (ValueError, "expected tuple of length 2, but got tuple of length 3")),
    (("u", [("a", 1)], M.GET), {}, conv("headers", "int", "PyString")),
    (("u", [("a", None)], M.GET), {}, conv("headers", "NoneType", "PyString")),
    (("u", [], "GET"), {}, conv("method", "str", "HTTPMETHOD")),
    (("u", [], 0), {}, conv("method", "int", "HTTPMETHOD")),
    (("u", [], M.GET, 1), {}, conv("body", "int", "PyString")),
    (("u", {}, "GET"), {}, conv("headers", "dict", "Sequence")),  # checked in argument order
    ((1, {}, "GET"), {}, conv("url", "int", "PyString")),
    (("\ud800", [], M.GET), {}, (UnicodeEncodeError, None)),  # not a TypeError: no prefix
    (("u", [("\ud800", "v")], M.GET), {}, (UnicodeEncodeError, None)),
    (("u", [], M.GET, "\udfff"), {}, (UnicodeEncodeError, None)),
])
@pytest.mark.parametrize("construct", [T, lambda *a, **k: T.__new__(T, *a, **k)], ids=["call", "__new__"])
def test_argument_errors(args, kwargs, error, construct):
    with pytest.raises(error[0]) as info:
        construct(*args, **kwargs)
    assert type(info.value) is error[0]
    assert str(info.value) == error[1] or error[1] is None and str(info.value).startswith("'utf-8' codec")


def test_argument_name_keeps_cause():
    root = ValueError("root")

    def iterate(_):
        raise TypeError("boom") from root

    with pytest.raises(TypeError) as info:
        T("u", IterSeq([], iterate=iterate), M.GET)
    assert (type(info.value), str(info.value)) == (TypeError, "argument 'headers': boom")
    assert info.value.__cause__ is root


MyTypeError = type("MyTypeError", (TypeError,), {})


@pytest.mark.parametrize("seq, error, message", [
    (IterSeq([], iterate=fail(MyTypeError, "sub")), MyTypeError, "sub"),
    (IterSeq([], iterate=fail(ValueError, "v")), ValueError, "v"),
    (IterSeq([], iterate=fail(KeyError, "k")), KeyError, "'k'"),
    (Seq([], getitem=fail(ZeroDivisionError, "item")), ZeroDivisionError, "item"),
    (IterSeq([], iterate=lambda s: (fail(RuntimeError, "mid")() if i else s.items[0] for i in range(2))),
     RuntimeError, "mid"),
], ids=["TypeError-subclass", "ValueError", "KeyError", "getitem", "midway"])
def test_sequence_errors_pass_unchanged_without_leaks(seq, error, message, refcounts):
    url, name, value, body = "url-text", "name-text", "value-text", "body-text"
    seq.items.append((name, value))
    objects = (url, name, value, body, seq, seq.items[0])
    before = refcounts(*objects)
    for _ in range(3):
        with pytest.raises(error) as info:
            T(url, seq, M.GET, body)
        assert (type(info.value), str(info.value)) == (error, message)
        del info
    assert refcounts(*objects) == before
