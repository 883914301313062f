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
    return allocate(type, render::make_request(url, headers.pairs.items(), method, body));
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

/// ValueError naming the piece of `request` that no command line can carry, and why.
[[noreturn]] void raise_refusal(model::Record request, const render::CurlRefusal& refusal) {
    using Piece = render::CurlRefusal::Piece;
    using Reason = render::CurlRefusal::Reason;
    constexpr const char* prefix = "no curl command can carry this request: ";
    constexpr const char* no_argument = ", which no command-line argument can carry";
    if (refusal.piece == Piece::url || refusal.piece == Piece::body) {
        const char* piece = refusal.piece == Piece::url ? "the URL" : "the body";
        const char* why = refusal.reason == Reason::control ? "holds a control character, which curl refuses in a URL"
                                                             : "holds a NUL character";
        raise(PyExc_ValueError, Ref::steal(PyUnicode_FromFormat("%s%s %s%s", prefix, piece, why,
                                                                refusal.reason == Reason::nul ? no_argument : "")));
    }
    const char* in = refusal.piece == Piece::header_value ? " in its value" : " in its name";
    const char* why = "";
    const char* tail = "";
    switch (refusal.reason) {
        case Reason::nul: why = "holds a NUL character"; tail = no_argument; break;
        case Reason::line_break: why = "holds a line break (CR or LF)"; tail = ", which would start another header line"; break;
        case Reason::empty_name: why = "has an empty name, which curl drops"; in = ""; break;
        case Reason::colon_in_name: why = "has ':' in its name, where curl would split it"; in = ""; break;
        case Reason::at_start: why = "has a name that starts with '@', which makes curl read headers from a file"; in = ""; break;
        case Reason::semicolon_in_empty:
            why = "has an empty value and ';' in its name, which curl cannot send as an empty header";
            in = "";
            break;
        case Reason::second_host: why = "is a second Host header, which curl drops"; in = ""; break;
        case Reason::control: break;  // URLs only
    }
    std::size_t index = 0;
    std::string_view name;
    for (model::HeaderView h : request.headers()) {
        if (index++ == refusal.header) {
            name = h.name;
            break;
        }
    }
    Ref name_str = Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    if (!name_str) throw_current();
    raise(PyExc_ValueError, Ref::steal(PyUnicode_FromFormat("%sheader %zu (%R) %s%s%s", prefix, refusal.header + 1,
                                                            name_str.get(), why, in, tail)));
}

PyObject* get_request_command(PyObject* self, PyObject*) {
    return call([&] {
        Object& obj = receiver<Request>(self, tolmek_type());
        SharedBorrow borrow(obj.borrow);
        model::Record record = obj.value.record();
        const model::RecordHeader& plan = record.header();
        if (plan.command_flags & render::refused) {
            auto refusal = render::curl_refusal(record);
            if (!refusal) fail("a refused request renders after all");
            raise_refusal(record, *refusal);
        }
        return render_known_str(plan.command_length, static_cast<render::Width>(plan.command_width),
                                [&](auto& sink) { render::write_curl(sink, record); });
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
