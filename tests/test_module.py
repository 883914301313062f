"""Module start-up, class metadata and the closed (final, slot-less, untracked) classes."""

import gc
import sys
import weakref

import pytest

import tolmek
from conftest import M, run_python

T, C = tolmek.Tolmek, tolmek.TolmekCollection


def test_module_attributes_and_reimport_gives_same_module():
    assert (tolmek.__all__, tolmek.__doc__) == (["Tolmek", "TolmekCollection", "HTTPMETHOD"], "")
    saved = sys.modules.pop("tolmek")
    try:
        import tolmek as again

        assert again is saved and again.__all__ == ["Tolmek", "TolmekCollection", "HTTPMETHOD"]
    finally:
        sys.modules["tolmek"] = saved


@pytest.mark.parametrize("obj, signature, doc", [
    (T, "(url, headers, method, body=None)", ""), (C, "(collection=None)", ""), (M, None, None),
    (T.get_request_command, "($self)", None), (C.add_request, "($self, tolmek)", None),
    (C.get_collection, "($self)", None), (C.export_collection, "($self)", None),
])
def test_signatures_and_docs(obj, signature, doc):
    assert (obj.__text_signature__, obj.__doc__) == (signature, doc)


@pytest.mark.parametrize("cls, make", [(T, lambda: T("u", [], M.GET)), (C, C), (M, lambda: M.GET)])
def test_classes_are_builtin_final_and_closed(cls, make):
    assert cls.__module__ == "builtins" and repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = make()
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize("call", [
    lambda: C().get_collection(1), lambda: C().export_collection(x=1),
    lambda: T("u", [], M.GET).get_request_command(1),
    lambda: T.get_request_command(C()), lambda: C.add_request(T("u", [], M.GET), T("u", [], M.GET)),
])
def test_method_calls_refused(call):
    with pytest.raises(TypeError):
        call()


def test_fresh_process_import_works():
    done = run_python("import tolmek; print(tolmek.Tolmek('u', [], tolmek.HTTPMETHOD.PUT).get_request_command())")
    assert (done.returncode, done.stdout, done.stderr) == (0, "curl -X PUT u\n", "")


def test_sub_interpreter_import_is_refused():
    """Classes are shared process-wide, so a second interpreter must not get the module."""
    done = run_python("import sys, tolmek\ntry:\n import _testcapi\nexcept ImportError:\n sys.exit(3)\n"
                      "print(_testcapi.run_in_subinterp('import tolmek'))")
    if done.returncode == 3:
        pytest.skip("_testcapi is not available")
    assert (done.returncode, done.stdout) == (0, "-1\n"), done.stderr
    assert "ImportError: tolmek does not support sub-interpreters" in done.stderr
