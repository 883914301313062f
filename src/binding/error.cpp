// Taking, raising and renaming Python errors; the internal-failure exception.
#include "binding/error.hpp"

#include <cstring>

#include "binding/once_cell.hpp"

namespace tolmek::binding {

namespace {

// Made at start-up, so that reporting a failure never needs memory it may not get.
OnceCell<PyObject> internal_failure_cell;
OnceCell<PyObject> generic_message_cell;

constexpr const char generic_failure_message[] = "tolmek met an internal failure";

/// The message an internal-failure exception carries: its single argument.
std::string failure_message(PyObject* exception) {
    PyObject* args = PyException_GetArgs(exception);
    Ref owned = Ref::steal(args);
    PyObject* first = (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0) ? PyTuple_GET_ITEM(args, 0) : nullptr;
    Ref text = Ref::steal(first ? PyObject_Str(first) : nullptr);
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return generic_failure_message;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

/// Fills `cell` with `made` (a new reference, or null with the error set) unless it holds a
/// value already.
void fill_once(OnceCell<PyObject>& cell, PyObject* made) {
    if (made == nullptr) throw_current();
    if (cell.set(made) != made) Py_DECREF(made);
}

}  // namespace

void create_failure_reporting() {
    if (internal_failure_cell.get() == nullptr)
        fill_once(internal_failure_cell,
                  PyErr_NewExceptionWithDoc(
                      "tolmek.InternalFailure",
                      "Raised when tolmek meets an unrecoverable internal failure.\n\n"
                      "It derives from BaseException directly, so `except Exception` does not catch it.",
                      PyExc_BaseException, nullptr));
    if (generic_message_cell.get() == nullptr)
        fill_once(generic_message_cell, PyUnicode_FromString(generic_failure_message));
}

PyObject* internal_failure_type() noexcept { return internal_failure_cell.get(); }

void display_error(PyObject* exception) noexcept {
    PyErr_DisplayException(exception);
    // Printing may itself fail (no memory, a broken sys.stderr); that is not the caller's error.
    if (PyErr_Occurred()) PyErr_Clear();
}

void display_pending_error() noexcept {
    if (PyObject* pending = PyErr_GetRaisedException()) {
        display_error(pending);
        Py_DECREF(pending);
    }
}

void PythonError::name_argument(const char* name) noexcept {
    PyObject* error = exception_.get();
    if (Py_TYPE(error) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, error));
    Ref renamed = Ref::steal(message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr);
    if (!renamed) {
        // Building the new error failed (out of memory, or str() of the error raised): that
        // failure is what the caller gets instead.
        exception_ = Ref::steal(PyErr_GetRaisedException());
        return;
    }
    PyException_SetCause(renamed.get(), PyException_GetCause(error));
    exception_ = std::move(renamed);
}

void throw_current() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        raised = PyErr_GetRaisedException();
    }
    PyObject* failure_type = internal_failure_cell.get();
    if (failure_type != nullptr && Py_TYPE(raised) == reinterpret_cast<PyTypeObject*>(failure_type)) {
        // Python code we called raised our own internal failure: it is not an ordinary
        // error, so report it and carry the failure on with the same message.
        std::string message = failure_message(raised);
        PySys_WriteStderr("tolmek: Python code raised the internal-failure exception.\n");
        PySys_WriteStderr("tolmek: it is passed on as an internal failure; its traceback follows.\n");
        display_error(raised);
        Py_DECREF(raised);
        throw InternalFailure{std::move(message), std::source_location::current()};
    }
    throw PythonError(Ref::steal(raised));
}

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_current();
}

void raise(PyObject* type, Ref message) {
    if (message) PyErr_SetObject(type, message.get());
    throw_current();
}

void raise_from(PyObject* type, const std::string& message, PythonError cause) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    Ref error = Ref::steal(text ? PyObject_CallOneArg(type, text.get()) : nullptr);
    if (!error) throw_current();
    PyException_SetCause(error.get(), Py_NewRef(cause.exception()));
    throw PythonError(std::move(error));
}

void fail(std::string message, std::source_location where) { throw InternalFailure{std::move(message), where}; }

void raise_internal_failure(const InternalFailure& failure) noexcept {
    // Nothing here may throw or abort: under memory pressure every step that needs memory
    // degrades (no diagnostic, the start-up message, MemoryError) instead.
    const char* text = failure.message.empty() ? generic_failure_message : failure.message.c_str();
    // Source paths are shown from the project's src/ folder on. The build maps the project root
    // away already; without that, the last "/src/" in the path is the project's own.
    const char* file = failure.where.file_name();
    if (std::strncmp(file, "src/", 4) != 0) {
        for (const char* at = std::strstr(file, "/src/"); at != nullptr; at = std::strstr(at + 1, "/src/")) file = at + 1;
    }
    if (failure.where.line() != 0) {
        PySys_FormatStderr("tolmek: internal failure: %s\n  at %s:%u in %s\n", text, file,
                           static_cast<unsigned>(failure.where.line()), failure.where.function_name());
    } else {
        PySys_FormatStderr("tolmek: internal failure: %s\n", text);
    }
    PyObject* type = internal_failure_cell.get();
    if (type == nullptr) {
        // Start-up failing before it made the class: no caller can have seen it yet.
        PyErr_SetString(PyExc_SystemError, text);
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromString(text));
    if (!message) {
        PyErr_Clear();
        message = Ref::borrow(generic_message_cell.get());
    }
    // Building the exception object needs memory too; when that fails, PyErr_SetObject
    // leaves its own error (MemoryError) set instead, which is what the caller gets.
    PyErr_SetObject(type, message.get());
}

}  // namespace tolmek::binding
