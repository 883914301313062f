// The Tolmek class: one request built from Python values, and its curl command.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "binding/args.hpp"
#include "binding/classes.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/instance.hpp"
#include "binding/result.hpp"
#include "binding/small_vector.hpp"
#include "binding/text.hpp"
#include "render/curl.hpp"
#include "render/document_plan.hpp"

namespace tolmek::binding {

using model::Record;
using model::RecordHeader;
/// A Tolmek holds its record inside the object: the record's block starts at `value` and runs
/// on past the struct, so a request is one allocation and one run of memory.
using Object = Instance<RecordHeader>;

namespace {

constexpr const char* parameters[] = {"url", "headers", "method", "body"};
constexpr FunctionDescription new_description{"Tolmek", "__new__", parameters, 0, 3, {}};

/// The header texts, name and value by turns, measured. Items that the iteration handed over
/// as new references are kept here, so the texts stay valid until the record is written.
struct HeaderTexts {
    SmallVector<Text, 16> texts;
    std::vector<Ref> keep_alive;
};

void convert_headers(PyObject* seq, HeaderTexts& out) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq))
        out.texts.reserve(2 * static_cast<std::size_t>(Py_SIZE(seq)));
    else if (!PyUnicode_Check(seq) && PySequence_Check(seq))
        out.texts.reserve(2 * capacity_hint(seq, 1024));
    for_each_item(seq, [&](PyObject* item, Ref owned) {
        auto [name, value] = to_pair(item);
        out.texts.push_back(measure_text(name));
        out.texts.push_back(measure_text(value));
        if (owned) out.keep_alive.push_back(std::move(owned));
    });
}

/// Converts the matched arguments in parameter order and makes the object.
Ref construct(PyTypeObject* type, PyObject* const (&slots)[4]) {
    // 1. Measure every text, in parameter order: every conversion error is raised here, before
    //    anything is made, and no Python code runs after the header sequence is read.
    Text url = convert_argument("url", [&] { return measure_text(slots[0]); });
    HeaderTexts headers;
    convert_argument("headers", [&] { convert_headers(slots[1], headers); });
    model::HttpMethod method = convert_argument("method", [&] { return to_http_method(slots[2]); });
    std::optional<Text> body;
    if (slots[3] != nullptr && slots[3] != Py_None)
        body = convert_argument("body", [&] { return measure_text(slots[3]); });

    // 2. Size the record; the command's plan needs the texts' code points and widest character.
    std::span<const Text> texts = headers.texts.items();
    std::size_t text_bytes = url.utf8;
    std::uint64_t code_points = url.length;
    render::Width width = url.width;
    for (const Text& t : texts) {
        text_bytes = model::checked_add(text_bytes, t.utf8);
        code_points += t.length;
        width = std::max(width, t.width);
    }
    if (body) {
        text_bytes = model::checked_add(text_bytes, body->utf8);
        code_points += body->length;
        width = std::max(width, body->width);
    }
    std::size_t pairs = texts.size() / 2;
    std::size_t size = model::record_size(pairs, text_bytes);

    // 3. One allocation for the object and its record; then the texts are encoded into place.
    std::size_t extra = model::checked_add(size - sizeof(RecordHeader), model::read_padding);
    Object* obj = allocate_extended<RecordHeader>(type, extra);
    Ref made = Ref::steal(reinterpret_cast<PyObject*>(obj));
    model::RecordWriter writer(&obj->value, size, method, url.utf8, pairs,
                               body ? std::optional<std::size_t>(body->utf8) : std::nullopt);
    char* out = write_text(url, writer.text());
    for (std::size_t i = 0; i < pairs; ++i) {
        writer.set_lengths(i, texts[2 * i].utf8, texts[2 * i + 1].utf8);
        out = write_text(texts[2 * i], out);
        out = write_text(texts[2 * i + 1], out);
    }
    if (body) write_text(*body, out);
    // After the texts: encoding may write a few bytes past the last one.
    std::memset(reinterpret_cast<char*>(&obj->value) + size, 0, model::read_padding);

    // 4. What the curl command needs, decided once, and what the collection document needs as
    //    far as it is known for nothing; a collection's copy counts the rest.
    render::TextEscapes escapes = render::plan_command(writer, code_points, width);
    render::note_texts(writer, url.length, code_points, width, escapes);
    obj->initialised = true;
    return made;
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
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (kwnames == nullptr && nargs >= 3 && nargs <= 4) {
            // The common call, all by position: nothing to match.
            slots[0] = args[0];
            slots[1] = args[1];
            slots[2] = args[2];
            if (nargs == 4) slots[3] = args[3];
        } else {
            match_arguments(new_description, args, nargs, kwnames, slots);
        }
        return construct(reinterpret_cast<PyTypeObject*>(type), slots);
    });
}

/// ValueError naming the piece of `request` that no command line can carry, and why.
[[noreturn]] void raise_refusal(Record request, const render::CurlRefusal& refusal) {
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
        case Reason::white_start:
            why = "has a name that starts with a space or a tab, which HTTP/1.1 reads as the continuation of the line before";
            in = "";
            break;
        case Reason::semicolon_in_empty:
            why = "has an empty value and ';' in its name, which curl cannot send as an empty header";
            in = "";
            break;
        case Reason::white_end_in_empty:
            why = "has an empty value and a name that ends with a space or a tab, which curl cannot send as an empty header";
            in = "";
            break;
        case Reason::second_host: why = "is a second Host header, which curl drops"; in = ""; break;
        case Reason::white_only:
            why = "holds only white space with a vertical tab or a form feed";
            tail = ", which curl reads as empty and drops";
            break;
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
        Object& obj = receiver<RecordHeader>(self, tolmek_type());
        SharedBorrow borrow(obj.borrow);
        Record record(&obj.value);
        const RecordHeader& plan = obj.value;
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
    .item_size = 1,
    .dealloc = deallocate<RecordHeader>,
    .vectorcall = tolmek_vectorcall,
};

}  // namespace

LazyType& tolmek_type() {
    static LazyType type(spec);
    return type;
}

void add_request_to(model::Collection& collection, PyObject* obj) {
    Object& tolmek = checked_instance<RecordHeader>(obj, tolmek_type());
    SharedBorrow borrow(tolmek.borrow);
    Record source(&tolmek.value);
    // Finished from the object's own record, which carries the read padding the copy goes without.
    collection.add(source.size(), [&](void* block) { render::copy_noting_document(source, block); });
}

Ref wrap_request(Record record) {
    std::size_t size = record.size();
    Object* obj = allocate_extended<RecordHeader>(tolmek_type().get_infallible(),
                                                  model::checked_add(size - sizeof(RecordHeader), model::read_padding));
    std::memcpy(&obj->value, record.data(), size);
    std::memset(reinterpret_cast<char*>(&obj->value) + size, 0, model::read_padding);
    obj->initialised = true;
    return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

}  // namespace tolmek::binding
