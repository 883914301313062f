// The Tolmek class: one request built from Python values, and its curl command.
#include <optional>
#include <vector>

#include "binding/args.hpp"
#include "binding/classes.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/instance.hpp"
#include "binding/result.hpp"
#include "binding/small_vector.hpp"
#include "render/curl.hpp"

namespace tolmek::binding {

using model::Request;
using Object = Instance<Request>;

namespace {

constexpr const char* parameters[] = {"url", "headers", "method", "body"};
constexpr FunctionDescription new_description{"Tolmek", "__new__", parameters, 0, 3, {}};

/// Header pairs as views into the caller's strings. Items that the iteration handed over
/// as new references are kept here, so the views stay valid until the record is made.
struct HeaderList {
    SmallVector<model::HeaderView, 8> pairs;
    std::vector<Ref> keep_alive;
};

void convert_headers(PyObject* seq, HeaderList& out) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq))
        out.pairs.reserve(static_cast<std::size_t>(Py_SIZE(seq)));
    else if (!PyUnicode_Check(seq) && PySequence_Check(seq))
        out.pairs.reserve(capacity_hint(seq, 1024));
    for_each_item(seq, [&](PyObject* item, Ref owned) {
        auto [name, value] = to_pair(item);
        out.pairs.push_back({to_text(name), to_text(value)});
        if (owned) out.keep_alive.push_back(std::move(owned));
    });
}

/// Converts the matched arguments in parameter order and makes the object.
Ref construct(PyTypeObject* type, PyObject* const (&slots)[4]) {
    std::string_view url = convert_argument("url", [&] { return to_text(slots[0]); });
    HeaderList headers;
    convert_argument("headers", [&] { convert_headers(slots[1], headers); });
    model::HttpMethod method = convert_argument("method", [&] { return to_http_method(slots[2]); });
    std::optional<std::string_view> body;
    if (slots[3] != nullptr && slots[3] != Py_None)
        body = convert_argument("body", [&] { return to_text(slots[3]); });
    return allocate(type, Request::make(url, headers.pairs.items(), method, body));
}

PyObject* tolmek_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call([&] {
        PyObject* slots[4] = {};
        match_arguments(new_description, args, kwargs, slots);
        HeldArguments held(slots);
        return construct(type, slots);
    });
}

PyObject* tolmek_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    if (!constructs_itself(reinterpret_cast<PyTypeObject*>(type), &tolmek_new))
        return call_type_generically(type, args, nargsf, kwnames);
    return call([&] {
        PyObject* slots[4] = {};
        match_arguments(new_description, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        return construct(reinterpret_cast<PyTypeObject*>(type), slots);
    });
}

PyObject* get_request_command(PyObject* self, PyObject*) {
    return call([&] {
        Object& obj = receiver<Request>(self, tolmek_type());
        SharedBorrow borrow(obj.borrow);
        // A command of ordinary size is written once into a stack buffer, then copied into
        // a str of the right width; larger ones are measured first and written straight in.
        char buffer[8192];
        if (render::curl_size_bound(obj.value) <= sizeof buffer) {
            render::Utf8Writer writer(buffer);
            render::write_curl(writer, obj.value);
            std::string_view text(buffer, static_cast<std::size_t>(writer.position() - buffer));
            return render_str([text](auto& sink) { sink.text(text); });
        }
        return render_str([&](auto& sink) { render::write_curl(sink, obj.value); });
    });
}

PyMethodDef methods[] = {
    {"get_request_command", get_request_command, METH_NOARGS, "get_request_command($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&tolmek_new)},
};

const ClassSpec spec{
    .name = "Tolmek",
    .text_signature = "(url, headers, method, body=None)",
    .docstring = "",
    .methods = methods,
    .slots = slots,
    .attributes = {},
    .basic_size = sizeof(Object),
    .dealloc = deallocate<Request>,
    .vectorcall = tolmek_vectorcall,
};

}  // namespace

LazyType& tolmek_type() {
    static LazyType type(spec);
    return type;
}

Request to_request(PyObject* obj) {
    Object& tolmek = checked_instance<Request>(obj, tolmek_type());
    SharedBorrow borrow(tolmek.borrow);
    return tolmek.value;
}

Ref wrap_request(Request request) { return allocate(tolmek_type().get_infallible(), std::move(request)); }

}  // namespace tolmek::binding
