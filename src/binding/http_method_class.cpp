// The HTTPMETHOD class: nine members made once, their text, integer and equality behaviour.
#include <array>

#include "binding/classes.hpp"
#include "binding/frame.hpp"
#include "binding/instance.hpp"
#include "binding/result.hpp"

namespace tolmek::binding {

using model::HttpMethod;
using Member = Instance<HttpMethod>;

namespace {

PyObject* member_repr(PyObject* self) {
    return call([&] {
        Member& m = receiver<HttpMethod>(self, http_method_type());
        SharedBorrow borrow(m.borrow);
        return new_str(model::repr_text(m.value));
    });
}

PyObject* member_int(PyObject* self) {
    return call([&] {
        Member& m = receiver<HttpMethod>(self, http_method_type());
        SharedBorrow borrow(m.borrow);
        return result(PyLong_FromLong(static_cast<long>(m.value)));
    });
}

PyObject* member_richcompare(PyObject* self, PyObject* other, int op) {
    return call([&] {
        // Only == and != between members are answered; everything else is left to the
        // interpreter's fallback (identity for ==/!=, TypeError for ordering).
        // An instance the module did not make holds no method: it is no member, so it
        // compares by identity only.
        LazyType& type = http_method_type();
        Member* m = initialised_instance_or_null<HttpMethod>(self, type);
        if (m == nullptr) return Ref::borrow(Py_NotImplemented);
        if (!m->borrow.try_shared()) return Ref::borrow(Py_NotImplemented);
        struct Release {
            BorrowState& state;
            ~Release() { state.release_shared(); }
        } release{m->borrow};
        if (op < Py_LT || op > Py_GE) return Ref::borrow(Py_NotImplemented);
        Member* x = initialised_instance_or_null<HttpMethod>(other, type);
        if (x == nullptr) return Ref::borrow(Py_NotImplemented);
        if (!x->borrow.try_shared()) fail("Already mutably borrowed: an HTTPMETHOD member is never borrowed exclusively");
        struct Release other_release{x->borrow};
        if (op == Py_EQ) return Ref::borrow(m->value == x->value ? Py_True : Py_False);
        if (op == Py_NE) return Ref::borrow(m->value != x->value ? Py_True : Py_False);
        return Ref::borrow(Py_NotImplemented);
    });
}

template <HttpMethod M>
Ref make_member() {
    return allocate(http_method_type().get_infallible(), HttpMethod{M});
}

constexpr ClassAttribute members[] = {
    {"GET", make_member<HttpMethod::GET>},         {"POST", make_member<HttpMethod::POST>},
    {"PUT", make_member<HttpMethod::PUT>},         {"DELETE", make_member<HttpMethod::DELETE>},
    {"HEAD", make_member<HttpMethod::HEAD>},       {"OPTIONS", make_member<HttpMethod::OPTIONS>},
    {"PATCH", make_member<HttpMethod::PATCH>},     {"TRACE", make_member<HttpMethod::TRACE>},
    {"CONNECT", make_member<HttpMethod::CONNECT>},
};

const PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&member_repr)},
    {Py_nb_int, reinterpret_cast<void*>(&member_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&member_richcompare)},
};

const ClassSpec spec{
    .name = "HTTPMETHOD",
    .text_signature = nullptr,
    .docstring = "",
    .methods = nullptr,
    .slots = slots,
    .attributes = members,
    .basic_size = sizeof(Member),
    .item_size = 0,
    .dealloc = deallocate<HttpMethod>,
    .vectorcall = nullptr,
};

}  // namespace

LazyType& http_method_type() {
    static LazyType type(spec);
    return type;
}

HttpMethod to_http_method(PyObject* obj) {
    // A member's value never changes and nothing borrows a member exclusively, so it is read
    // without taking a borrow (two atomic operations on an object every request shares).
    return checked_instance<HttpMethod>(obj, http_method_type()).value;
}

}  // namespace tolmek::binding
