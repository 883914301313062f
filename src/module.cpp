// The tolmek module: its definition and start-up.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/classes.hpp"
#include "binding/error.hpp"
#include "binding/frame.hpp"
#include "binding/once_cell.hpp"
#include "binding/type_object.hpp"

namespace {

using namespace tolmek::binding;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tolmek",
    "",
    0,  // no module state; m_size >= 0 so that every import runs start-up (and its checks)
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

/// The interpreter that first imported the module; others are refused.
std::atomic<std::int64_t> initialising_interpreter{-1};
OnceCell<PyObject> module_cell;

Ref start_up() {
    // 2-3. Only the first interpreter to import the module may use it: its classes and
    // members are shared process-wide.
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_current();
    std::int64_t expected = -1;
    if (!initialising_interpreter.compare_exchange_strong(expected, id) && expected != id)
        raise(PyExc_ImportError, "tolmek does not support sub-interpreters: it can only be imported "
                                 "in the interpreter that first imported it");

    // 4. Later imports get the very same module object.
    if (PyObject* module = module_cell.get()) return Ref::borrow(module);

    // What reporting an internal failure needs exists before any call can meet one.
    create_failure_reporting();

    // 5-7. Make the module and register the classes in order.
    Ref module = Ref::steal(PyModule_Create2(&module_def, 1013));
    if (!module) throw_current();
    register_class(module.get(), tolmek_type());
    register_class(module.get(), collection_type());
    register_class(module.get(), http_method_type());
    PyObject* stored = module_cell.set(module.get());
    if (stored == module.get()) Py_INCREF(stored);  // the cell keeps one reference for good
    return Ref::borrow(stored);
}

}  // namespace

PyMODINIT_FUNC PyInit_tolmek() { return call(start_up); }
