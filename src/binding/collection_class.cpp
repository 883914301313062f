// The TolmekCollection class: stored copies of requests, handing them back, and export.
#include "binding/args.hpp"
#include "binding/classes.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/instance.hpp"
#include "binding/result.hpp"
#include "model/collection.hpp"
#include "render/postman.hpp"

namespace tolmek::binding {

using model::Collection;
using Object = Instance<Collection>;

namespace {

constexpr const char* new_parameters[] = {"collection"};
constexpr FunctionDescription new_description{"TolmekCollection", "__new__", new_parameters, 0, 0, {}};
constexpr const char* add_parameters[] = {"tolmek"};
constexpr FunctionDescription add_description{"TolmekCollection", "add_request", add_parameters, 0, 1, {}};

Collection convert_requests(PyObject* seq) {
    Collection records;
    records.make_present();
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq))
        records.reserve(static_cast<std::size_t>(Py_SIZE(seq)));
    else if (!PyUnicode_Check(seq) && PySequence_Check(seq))
        records.reserve(capacity_hint(seq, 4096));
    for_each_item(seq, [&](PyObject* item, Ref) { add_request_to(records, item); });
    return records;
}

Ref construct(PyTypeObject* type, PyObject* collection) {
    if (collection == nullptr || collection == Py_None) return allocate(type, Collection());
    return allocate(type, convert_argument("collection", [&] { return convert_requests(collection); }));
}

PyObject* collection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call([&] {
        PyObject* slots[1] = {};
        match_arguments(new_description, args, kwargs, slots);
        HeldArguments held(slots);
        return construct(type, slots[0]);
    });
}

PyObject* collection_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    if (!constructs_itself(reinterpret_cast<PyTypeObject*>(type), &collection_new))
        return call_type_generically(type, args, nargsf, kwnames);
    return call([&] {
        PyObject* slots[1] = {};
        match_arguments(new_description, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        return construct(reinterpret_cast<PyTypeObject*>(type), slots[0]);
    });
}

PyObject* add_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call([&] {
        PyObject* slots[1] = {};
        if (kwnames == nullptr && nargs == 1) slots[0] = args[0];  // the common call: nothing to match
        else match_arguments(add_description, args, nargs, kwnames, slots);
        Object& obj = receiver<Collection>(self, collection_type());
        ExclusiveBorrow borrow(obj.borrow);
        convert_argument("tolmek", [&] { add_request_to(obj.value, slots[0]); });
        return Ref::borrow(Py_None);
    });
}

PyObject* get_collection(PyObject* self, PyObject*) {
    return call([&] {
        Object& obj = receiver<Collection>(self, collection_type());
        SharedBorrow borrow(obj.borrow);
        if (!obj.value.present()) return Ref::borrow(Py_None);
        std::span<const model::Record> items = obj.value.items();
        Ref list = result(PyList_New(static_cast<Py_ssize_t>(items.size())));
        for (std::size_t i = 0; i < items.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), wrap_request(items[i]).release());
        return list;
    });
}

PyObject* export_collection(PyObject* self, PyObject*) {
    return call([&] {
        Object& obj = receiver<Collection>(self, collection_type());
        SharedBorrow borrow(obj.borrow);
        std::span<const model::Record> items = obj.value.items();
        // Sized from the notes each record took when it was stored: one pass over the texts.
        render::DocumentSize size = render::collection_size(items);
        return render_known_str(size.length, size.width, [&](auto& sink) { render::write_collection(sink, items); });
    });
}

PyMethodDef methods[] = {
    {"add_request", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&add_request)),
     METH_FASTCALL | METH_KEYWORDS, "add_request($self, tolmek)\n--\n\n"},
    {"get_collection", get_collection, METH_NOARGS, "get_collection($self)\n--\n\n"},
    {"export_collection", export_collection, METH_NOARGS, "export_collection($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&collection_new)},
};

const ClassSpec spec{
    .name = "TolmekCollection",
    .text_signature = "(collection=None)",
    .docstring = "",
    .methods = methods,
    .slots = slots,
    .attributes = {},
    .basic_size = sizeof(Object),
    .item_size = 0,
    .dealloc = deallocate<Collection>,
    .vectorcall = collection_vectorcall,
};

}  // namespace

LazyType& collection_type() {
    static LazyType type(spec);
    return type;
}

}  // namespace tolmek::binding
