// Instance layout, allocation, receivers and end of life for every class.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "binding/borrow.hpp"
#include "binding/error.hpp"
#include "binding/frame.hpp"
#include "binding/messages.hpp"
#include "binding/ref.hpp"
#include "binding/type_object.hpp"

namespace tolmek::binding {

/// The object header, the borrow state, the mark that the value was constructed, then the
/// class's native value, last so that a value may run on past the struct into memory allocated
/// with the object (a request's record). The interpreter's allocation zero-fills, so an
/// instance that Python code made without the module (object.__new__ after __new__ was
/// replaced) reads as not initialised and holds no value.
template <class T>
struct Instance {
    PyObject_VAR_HEAD
    BorrowState borrow;
    bool initialised;
    T value;
};

template <class T>
Instance<T>& instance_of(PyObject* obj) noexcept {
    return *reinterpret_cast<Instance<T>*>(obj);
}

/// Allocates through the type's tp_alloc, moves `value` in and marks the instance
/// initialised: the only way an instance gets a value. If allocation fails the interpreter's
/// error is thrown and the value is dropped.
template <class T>
Ref allocate(PyTypeObject* type, T&& value) {
    static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<T>>);
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) throw_current();
    auto& inst = instance_of<std::remove_cvref_t<T>>(obj);
    new (&inst.value) std::remove_cvref_t<T>(std::forward<T>(value));
    new (&inst.borrow) BorrowState();
    inst.initialised = true;
    return Ref::steal(obj);
}

/// Allocates an instance whose value runs `extra` bytes past the struct (a variable-size type
/// with items of one byte, so that sys.getsizeof counts them), for the caller to construct the
/// value in and then mark initialised. Nothing is zero-filled: the caller writes it all.
template <class T>
Instance<T>* allocate_extended(PyTypeObject* type, std::size_t extra) {
    static_assert(std::is_trivially_destructible_v<T>);
    // The size must fit in Py_ssize_t; tp_basicsize is positive, so the subtraction cannot wrap.
    auto basic = static_cast<std::size_t>(type->tp_basicsize);
    if (extra > static_cast<std::size_t>(PY_SSIZE_T_MAX) - basic) {
        PyErr_NoMemory();
        throw_current();
    }
    std::size_t size = basic + extra;
    auto* obj = static_cast<PyVarObject*>(PyObject_Malloc(size));
    if (obj == nullptr) {
        PyErr_NoMemory();
        throw_current();
    }
    PyObject_InitVar(obj, type, static_cast<Py_ssize_t>(extra));
    auto& inst = *reinterpret_cast<Instance<T>*>(obj);
    new (&inst.borrow) BorrowState();
    inst.initialised = false;
    return &inst;
}

/// The deallocation slot shared by all classes: drops the native value if there is one,
/// frees the memory through the type's tp_free and releases the instance's reference to
/// its heap type.
template <class T>
void deallocate(PyObject* self) noexcept {
    call_unraisable([&] {
        auto& inst = instance_of<T>(self);
        if (inst.initialised) {
            inst.value.~T();
            inst.borrow.~BorrowState();
        }
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    });
}

/// `obj` as an initialised instance of `type`'s class (receivers and arguments alike), or
/// TypeError naming the class: it cannot be converted, or it is not initialised.
template <class T>
Instance<T>& checked_instance(PyObject* obj, LazyType& type) {
    if (!type.is_instance(obj)) raise_cannot_convert(obj, type.name());
    Instance<T>& inst = instance_of<T>(obj);
    if (!inst.initialised) raise_not_initialised(type.name());
    return inst;
}

/// The receiver of a method as an initialised instance of `type`'s class.
template <class T>
Instance<T>& receiver(PyObject* self, LazyType& type) {
    return checked_instance<T>(self, type);
}

/// An initialised instance of `type`'s class, or null for any other object: for the slots
/// that answer NotImplemented instead of refusing.
template <class T>
Instance<T>* initialised_instance_or_null(PyObject* obj, LazyType& type) {
    if (!type.is_instance(obj)) return nullptr;
    Instance<T>& inst = instance_of<T>(obj);
    return inst.initialised ? &inst : nullptr;
}

}  // namespace tolmek::binding
