// Type creation from item lists, class attribute filling and registration in the module.
#include "binding/type_object.hpp"

#include <algorithm>
#include <utility>

#include "binding/error.hpp"
#include "binding/frame.hpp"
#include "binding/messages.hpp"

namespace tolmek::binding {

namespace {

/// The constructor slot of classes without one.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return call([&]() -> Ref {
        Ref name = Ref::steal(PyType_GetName(type));
        if (!name) {
            PyErr_Clear();
            raise(PyExc_TypeError, "No constructor defined for <unknown>");
        }
        raise(PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("No constructor defined for %U", name.get())));
    });
}

}  // namespace

PyTypeObject* LazyType::get() {
    PyTypeObject* type = type_.get();
    if (type != nullptr && attributes_filled_.load(std::memory_order_acquire)) return type;
    std::string context = std::string("An error occurred while initializing class ") + spec_.name;
    try {
        if (type == nullptr) type = create();
        fill_attributes(type);
    } catch (PythonError& error) {
        raise_from(PyExc_RuntimeError, context, std::move(error));
    }
    return type;
}

PyTypeObject* LazyType::make_infallible() {
    try {
        return get();
    } catch (PythonError& error) {
        display_error(error.exception());
        fail(std::string("failed to create type object for ") + spec_.name);
    }
}

PyTypeObject* LazyType::create() {
    // T1. The documentation text: name, signature and "\n--\n\n" before the docstring; it
    // is made once and kept, since the type refers to it.
    std::string* doc = doc_.get();
    if (doc == nullptr) {
        if (std::string_view(spec_.docstring).find('\0') != std::string_view::npos)
            raise(PyExc_ValueError, "class doc cannot contain nul bytes");
        auto made = std::make_unique<std::string>();
        if (spec_.text_signature != nullptr)
            *made = std::string(spec_.name) + spec_.text_signature + "\n--\n\n";
        *made += spec_.docstring;
        doc = doc_.set(made.get());
        if (doc == made.get()) made.release();
    }

    // T2-T4. The slot list: documentation first, the class's own slots in order, then the
    // method table, the base, a refusing constructor if none was given, deallocation.
    std::vector<PyType_Slot> slots;
    slots.reserve(spec_.slots.size() + 5);
    if (!doc->empty()) slots.push_back({Py_tp_doc, doc->data()});
    bool has_new = false;
    for (const PyType_Slot& slot : spec_.slots) {
        has_new |= slot.slot == Py_tp_new;
        slots.push_back(slot);
    }
    if (spec_.methods != nullptr && spec_.methods[0].ml_name != nullptr)
        slots.push_back({Py_tp_methods, spec_.methods});
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(&no_constructor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec_.dealloc)});
    slots.push_back({0, nullptr});

    // T5. Default flags only: not subclassable, no garbage collection, attributes rebindable.
    std::string type_name = std::string("builtins.") + spec_.name;
    PyType_Spec spec{type_name.c_str(), spec_.basic_size, spec_.item_size, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* made = PyType_FromSpec(&spec);
    if (made == nullptr) throw_current();
    auto* candidate = reinterpret_cast<PyTypeObject*>(made);
    // Calls of the class skip the argument tuple and keyword dictionary; tp_new still
    // serves Cls.__new__(Cls, ...) with the same matching rules.
    if (spec_.vectorcall != nullptr) candidate->tp_vectorcall = spec_.vectorcall;
    PyTypeObject* stored = type_.set(candidate);
    if (stored != candidate) Py_DECREF(made);
    return stored;
}

void LazyType::fill_attributes(PyTypeObject* type) {
    // D1. Already done.
    if (attributes_filled_.load(std::memory_order_acquire)) return;

    // D2. Making a value may need this very type (an enumeration's members are its
    // instances): a nested request from the same thread gets the type as it stands.
    std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard lock(initialising_mutex_);
        if (std::find(initialising_threads_.begin(), initialising_threads_.end(), self) !=
            initialising_threads_.end())
            return;
        initialising_threads_.push_back(self);
    }
    struct Leave {
        LazyType& owner;
        std::thread::id thread;
        ~Leave() {
            std::lock_guard lock(owner.initialising_mutex_);
            std::erase(owner.initialising_threads_, thread);
        }
    } leave{*this, self};

    // D3. Compute every value in order; values made so far are dropped on failure.
    std::vector<Ref> values;
    values.reserve(spec_.attributes.size());
    for (const ClassAttribute& attribute : spec_.attributes) {
        try {
            values.push_back(attribute.make());
        } catch (PythonError& error) {
            raise_from(PyExc_RuntimeError,
                       std::string("An error occurred while initializing `") + spec_.name + "." + attribute.name + "`",
                       std::move(error));
        }
    }

    // D4. Store them in order; the cell is marked only if every store succeeded.
    bool stored_all = true;
    {
        std::lock_guard lock(initialising_mutex_);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), spec_.attributes[i].name,
                                       values[i].get()) < 0) {
                stored_all = false;
                break;
            }
        }
        initialising_threads_.clear();
        if (stored_all) attributes_filled_.store(true, std::memory_order_release);
    }

    // D5. A failed store.
    if (!stored_all) {
        PythonError error(Ref::steal(PyErr_GetRaisedException()));
        raise_from(PyExc_RuntimeError, std::string("An error occurred while initializing `") + spec_.name + ".__dict__`",
                   std::move(error));
    }
}

PyObject* call_type_generically(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    // The type's own call slot would come back to the fast path, so go to type.__call__
    // itself with the tuple and dictionary it takes. Its result and its errors, the
    // internal-failure class raised by a replaced __new__ included, pass on untouched.
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    }
    return PyType_Type.tp_call(type, positional.get(), keywords.get());
}

void register_class(PyObject* module, LazyType& lazy) {
    // 1-2. The type and its name.
    PyTypeObject* type = lazy.get();
    Ref name = Ref::steal(PyUnicode_FromString(lazy.name()));
    if (!name) throw_current();

    // 3. The module's __all__, made on first registration.
    static PyObject* all_name = [] {
        PyObject* s = PyUnicode_FromString("__all__");
        if (s != nullptr) PyUnicode_InternInPlace(&s);
        return s;
    }();
    if (all_name == nullptr) throw_current();
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) throw_current();
    } else if (!PyList_Check(all.get())) {
        raise_cannot_convert(all.get(), "PyList");
    }

    // 4-5. Append the name and bind the type.
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        fail("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) throw_current();
}

}  // namespace tolmek::binding
