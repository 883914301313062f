// Python types made from a class's item lists, created once and on first use.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "binding/once_cell.hpp"
#include "binding/ref.hpp"

namespace tolmek::binding {

/// A class attribute: its name and the function that makes its value.
struct ClassAttribute {
    const char* name;
    Ref (*make)();
};

/// Everything needed to make a class's type object.
struct ClassSpec {
    const char* name;            ///< Python name; the type name is "builtins." + name
    const char* text_signature;  ///< e.g. "(collection=None)"; null for none
    const char* docstring;       ///< never contains NUL
    PyMethodDef* methods;        ///< null-terminated, static storage (the type keeps it); may be null
    std::span<const PyType_Slot> slots;
    std::span<const ClassAttribute> attributes;
    int basic_size;
    int item_size;  ///< 1 for a class whose instances carry bytes past the struct, else 0
    destructor dealloc;
    vectorcallfunc vectorcall;  ///< fast path for calling the class; null for none
};

/// The type object of one class: created on first use, its class attributes filled once,
/// then kept for the life of the process.
class LazyType {
public:
    explicit LazyType(const ClassSpec& spec) noexcept : spec_(spec) {}
    LazyType(const LazyType&) = delete;
    LazyType& operator=(const LazyType&) = delete;

    const char* name() const noexcept { return spec_.name; }

    /// The type (borrowed), creating it and filling its class attributes as needed.
    /// Failures are RuntimeError "An error occurred while initializing class NAME".
    PyTypeObject* get();

    /// The same for every use after start-up: a failure is printed and becomes an
    /// internal failure "failed to create type object for NAME". Inline, as every call and
    /// argument check asks for it and finds it made.
    PyTypeObject* get_infallible() {
        if (PyTypeObject* type = type_.get(); type != nullptr && attributes_filled_.load(std::memory_order_acquire))
            [[likely]]
            return type;
        return make_infallible();
    }

    /// True if `obj` is an instance of this class or of a subclass.
    bool is_instance(PyObject* obj) {
        PyTypeObject* type = get_infallible();
        return Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type);
    }

private:
    /// get_infallible() when the type is not made yet.
    [[gnu::cold]] PyTypeObject* make_infallible();
    PyTypeObject* create();
    void fill_attributes(PyTypeObject* type);

    const ClassSpec& spec_;
    OnceCell<PyTypeObject> type_;
    OnceCell<std::string> doc_;
    std::atomic<bool> attributes_filled_{false};
    std::mutex initialising_mutex_;
    std::vector<std::thread::id> initialising_threads_;
};

/// True when calling `type` runs `own_new` and no initialiser of its own, which is all that
/// a class's fast constructor path does. The classes are mutable, so Python code may have
/// replaced __new__ or __init__; only the generic call honours that.
inline bool constructs_itself(PyTypeObject* type, newfunc own_new) noexcept {
    return type->tp_new == own_new && type->tp_init == PyBaseObject_Type.tp_init;
}

/// Calls `type` exactly as type.__call__ does (its tp_new, then its tp_init) with the
/// arguments of a fast call; new reference, or null with the error set.
PyObject* call_type_generically(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;

/// Binds the class's type in `module` under its name and appends the name to `__all__`.
void register_class(PyObject* module, LazyType& type);

}  // namespace tolmek::binding
