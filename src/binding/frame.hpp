// The call frame around every entry from the interpreter.
#pragma once

#include <Python.h>

#include "binding/error.hpp"
#include "binding/ref.hpp"

namespace tolmek::binding {

/// Turns the C++ exception being handled into the interpreter's current exception:
/// PythonError as it is, std::bad_alloc as MemoryError, anything else as the
/// internal-failure exception. Call only from inside a catch block.
void set_error_from_current_exception() noexcept;

/// Runs an entry's body; returns its result as a new reference, or null with the error set.
/// No C++ exception leaves this function.
template <class Body>
PyObject* call(Body&& body) noexcept {
    try {
        Ref result = body();
        return result.release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

/// The end-of-life variant: nothing is returned; a failure is reported as unraisable.
template <class Body>
void call_unraisable(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        PyObject* pending = PyErr_GetRaisedException();
        set_error_from_current_exception();
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending);
    }
}

}  // namespace tolmek::binding
