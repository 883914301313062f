// Python errors and internal failures while a call runs in C++.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>

#include "binding/ref.hpp"

namespace tolmek::binding {

/// A Python exception taken out of the interpreter while C++ frames unwind; the call frame
/// sets it again as the current exception at the boundary.
class PythonError {
public:
    explicit PythonError(Ref exception) noexcept : exception_(std::move(exception)) {}
    PyObject* exception() const noexcept { return exception_.get(); }
    /// Makes this the interpreter's current exception.
    void restore() noexcept { PyErr_SetRaisedException(exception_.release()); }
    /// Argument-name rule: an error whose type is exactly TypeError becomes a TypeError
    /// "argument 'NAME': " + str(error) with the same __cause__; other types stay as they are.
    void name_argument(const char* name) noexcept;

private:
    Ref exception_;
};

/// An unrecoverable broken expectation inside a call; it reaches Python as the
/// internal-failure exception, with a diagnostic on standard error.
struct InternalFailure {
    std::string message;
    std::source_location where;
};

/// Throws the interpreter's current exception as PythonError (SystemError when none is set).
/// An internal-failure exception raised by Python code continues as an InternalFailure.
[[noreturn]] void throw_current();

/// Throws a new exception of `type` with a UTF-8 message.
[[noreturn]] void raise(PyObject* type, const char* message);

/// Throws a new exception of `type` whose message is a `str` built by the caller (which
/// may be null when building it failed; then that failure is thrown).
[[noreturn]] void raise(PyObject* type, Ref message);

/// Throws an exception of `type` with `message` whose __cause__ is `cause`.
[[noreturn]] void raise_from(PyObject* type, const std::string& message, PythonError cause);

/// Throws an InternalFailure at the caller's place in the source.
[[noreturn]] void fail(std::string message, std::source_location where = std::source_location::current());

/// Makes what reporting an internal failure needs, once for the process: the
/// internal-failure exception class (derived directly from BaseException) and its generic
/// message. Start-up calls it first; a failure here fails the import.
void create_failure_reporting();

/// The internal-failure exception class; null only before start-up made it.
PyObject* internal_failure_type() noexcept;

/// Prints `exception` with its traceback to sys.stderr, without running sys.excepthook or
/// setting sys.last_exc (so no caller's hook runs inside a call); a failure to print is dropped.
void display_error(PyObject* exception) noexcept;

/// The same for the interpreter's pending error, which is cleared; nothing if none is set.
void display_pending_error() noexcept;

/// Writes the diagnostic for `failure` to standard error and sets the internal-failure
/// exception with the failure's message. Never aborts: without memory for the message the
/// generic one made at start-up is used, and if the exception object itself cannot be made
/// the caller gets MemoryError.
void raise_internal_failure(const InternalFailure& failure) noexcept;

}  // namespace tolmek::binding
