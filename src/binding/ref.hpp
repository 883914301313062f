// Owning handle for new Python references.
#pragma once

#include <Python.h>

#include <utility>

namespace tolmek::binding {

/// Owns one strong reference (or none); raw `PyObject*` elsewhere is always borrowed.
class Ref {
public:
    Ref() noexcept = default;
    /// Takes over a new reference (may be null).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    /// Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    /// Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void swap(Ref& other) noexcept { std::swap(obj_, other.obj_); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace tolmek::binding
