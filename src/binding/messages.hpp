// Conversion failures that name types.
#pragma once

#include <Python.h>

namespace tolmek::binding {

/// TypeError "'QUALNAME' object cannot be converted to 'TARGET'".
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

/// TypeError "'CLASS' object is not initialised": an instance of one of the module's classes
/// that the module did not construct.
[[noreturn]] void raise_not_initialised(const char* class_name);

/// TypeError refusing a str where a list of items is expected.
[[noreturn]] void raise_str_for_list();

/// ValueError for a tuple that should have held `expected` items.
[[noreturn]] void raise_wrong_length(Py_ssize_t expected, Py_ssize_t actual);

}  // namespace tolmek::binding
