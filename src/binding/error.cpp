// Taking, raising and renaming Python errors; the internal-failure exception.
#include "binding/error.hpp"

#include <cstring>

#include "binding/once_cell.hpp"

namespace tolmek::binding {

namespace {

OnceCell<PyObject> internal_failure_cell;

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

}  // namespace

PyObject* internal_failure_type() noexcept {
    if (PyObject* type = internal_failure_cell.get()) return type;
    PyObject* made = PyErr_NewExceptionWithDoc(
        "tolmek.InternalFailure",
        "Raised when tolmek meets an unrecoverable internal failure.\n\n"
        "It derives from BaseException directly, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    PyObject* stored = internal_failure_cell.set(made);
    if (stored != made) Py_DECREF(made);
    return stored;
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
        PyErr_SetRaisedException(raised);
        PyErr_PrintEx(0);
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
    const std::string& text = failure.message.empty() ? std::string(generic_failure_message) : failure.message;
    // Source paths are shown from the project's src/ folder on.
    const char* file = failure.where.file_name();
    if (const char* src = std::strstr(file, "src/")) file = src;
    if (failure.where.line() != 0) {
        PySys_FormatStderr("tolmek: internal failure: %s\n  at %s:%u in %s\n", text.c_str(), file,
                           static_cast<unsigned>(failure.where.line()), failure.where.function_name());
    } else {
        PySys_FormatStderr("tolmek: internal failure: %s\n", text.c_str());
    }
    PyObject* type = internal_failure_type();
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (type == nullptr || !message) Py_FatalError("tolmek: could not raise the internal-failure exception");
    PyErr_SetObject(type, message.get());
}

}  // namespace tolmek::binding
