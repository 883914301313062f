// Matching a call's arguments to the parameters of a constructor or method.
#pragma once

#include <Python.h>

#include <span>

namespace tolmek::binding {

struct KeywordOnlyParameter {
    const char* name;
    bool required;
};

/// The constant description of a callable that takes parameters; it drives matching and
/// the wording of every matching error.
struct FunctionDescription {
    const char* class_name;     ///< null for a function outside a class
    const char* function_name;  ///< "__new__" for constructors
    std::span<const char* const> positional;
    std::size_t positional_only;
    std::size_t required_positional;
    std::span<const KeywordOnlyParameter> keyword_only;

    std::size_t parameter_count() const noexcept { return positional.size() + keyword_only.size(); }
};

/// Constructor convention: fills `slots` (one per parameter, positional first) with borrowed
/// arguments, leaving absent ones null. Throws TypeError with the matching messages.
void match_arguments(const FunctionDescription& fn, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

/// Fast-call convention: the keyword values follow the positional ones in `args`.
void match_arguments(const FunctionDescription& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> slots);

}  // namespace tolmek::binding
