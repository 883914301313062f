// Conversions of Python arguments into C++ values.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>

#include "binding/error.hpp"
#include "binding/messages.hpp"
#include "binding/ref.hpp"

namespace tolmek::binding {

/// Runs the conversion of argument `name` under the argument-name rule.
template <class Convert>
decltype(auto) convert_argument(const char* name, Convert&& convert) {
    try {
        return convert();
    } catch (PythonError& error) {
        error.name_argument(name);
        throw;
    }
}

/// The two items of a pair tuple (subclasses too): TypeError naming "PyTuple" for other
/// objects, ValueError for a tuple of another length.
inline std::pair<PyObject*, PyObject*> to_pair(PyObject* obj) {
    if (!PyTuple_Check(obj)) raise_cannot_convert(obj, "PyTuple");
    if (PyTuple_GET_SIZE(obj) != 2) raise_wrong_length(2, PyTuple_GET_SIZE(obj));
    return {PyTuple_GET_ITEM(obj, 0), PyTuple_GET_ITEM(obj, 1)};
}

/// A capacity hint from the sequence's length: an ordinary error (an Exception) from
/// __len__, or an absurd length, never fails the call, it only limits how much is reserved
/// up front. Anything else (KeyboardInterrupt, SystemExit, ...) is thrown unchanged.
inline std::size_t capacity_hint(PyObject* seq, std::size_t cap) {
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_current();
        PyErr_Clear();
        return 0;
    }
    return std::min(static_cast<std::size_t>(n), cap);
}

/// Visits every item of a caller's sequence in iteration order. A `str` is refused
/// (it is never taken as a list of characters), as is anything that is not a sequence.
///
/// `visit(item, owned)` gets a borrowed item; `owned` is the item's reference when the
/// iteration made one (generic sequences), so that a visitor can keep it alive; it is null
/// for exact lists and tuples, whose items the caller's container keeps alive for the whole
/// call, as long as no Python code runs in between (visitors must not run any).
template <class Visit>
void for_each_item(PyObject* seq, Visit&& visit) {
    if (PyUnicode_Check(seq)) raise_str_for_list();
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) visit(PyList_GET_ITEM(seq, i), Ref());
        return;
    }
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) visit(PyTuple_GET_ITEM(seq, i), Ref());
        return;
    }
    if (!PySequence_Check(seq)) raise_cannot_convert(seq, "Sequence");
    Ref iterator = Ref::steal(PyObject_GetIter(seq));
    if (!iterator) throw_current();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        PyObject* borrowed = item.get();
        visit(borrowed, std::move(item));
    }
    if (PyErr_Occurred()) throw_current();
}

}  // namespace tolmek::binding
