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

/// The object header, the class's native value, then the borrow state.
template <class T>
struct Instance {
    PyObject_HEAD
    T value;
    BorrowState borrow;
};

template <class T>
Instance<T>& instance_of(PyObject* obj) noexcept {
    return *reinterpret_cast<Instance<T>*>(obj);
}

/// Allocates through the type's tp_alloc and moves `value` in. If allocation fails the
/// interpreter's error is thrown and the value is dropped.
template <class T>
Ref allocate(PyTypeObject* type, T&& value) {
    static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<T>>);
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) throw_current();
    auto& inst = instance_of<std::remove_cvref_t<T>>(obj);
    new (&inst.value) std::remove_cvref_t<T>(std::forward<T>(value));
    new (&inst.borrow) BorrowState();
    return Ref::steal(obj);
}

/// The deallocation slot shared by all classes: drops the native value, frees the memory
/// through the type's tp_free and releases the instance's reference to its heap type.
template <class T>
void deallocate(PyObject* self) noexcept {
    call_unraisable([&] {
        auto& inst = instance_of<T>(self);
        inst.value.~T();
        inst.borrow.~BorrowState();
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    });
}

/// The receiver of a method as an instance of `type`'s class, or TypeError naming the class.
template <class T>
Instance<T>& receiver(PyObject* self, LazyType& type) {
    if (!type.is_instance(self)) raise_cannot_convert(self, type.name());
    return instance_of<T>(self);
}

}  // namespace tolmek::binding
