// Matching a call's arguments to the parameters of a constructor or method.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "binding/ref.hpp"

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

/// Strong references to a constructor's matched arguments for the rest of its call. Keyword
/// values matched from a dictionary are otherwise held by that dictionary alone, which Python
/// code run by a conversion (a sequence's __len__, say) can find and clear while views into
/// the values are in use. A fast call's arguments are the caller's for the whole call.
template <std::size_t N>
class HeldArguments {
public:
    explicit HeldArguments(PyObject* const (&slots)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) refs_[i] = Ref::borrow(slots[i]);
    }

private:
    Ref refs_[N];
};

}  // namespace tolmek::binding
