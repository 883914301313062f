// Making result objects; a result that cannot be made is an internal failure.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "render/sink.hpp"

namespace tolmek::binding {

/// Prints the interpreter's pending error (no sys.excepthook, no sys.last_exc) and fails
/// with "Python API call failed".
[[noreturn]] void result_failed(std::source_location where = std::source_location::current());

/// Checks a freshly made result object.
inline Ref result(PyObject* made) {
    if (made == nullptr) result_failed();
    return Ref::steal(made);
}

inline Ref new_str(std::string_view utf8) {
    return result(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

/// Outputs from this size on have their pages mapped in ahead of the writing (render::PagesAhead):
/// writing hundreds of megabytes otherwise takes one page fault per page.
inline constexpr std::size_t large_output = std::size_t{1} << 20;

namespace detail {

/// Runs `render` into the `n` units of a new str's storage; true if it wrote exactly `n`.
template <class Unit, class Render>
bool fill_units(void* data, Py_ssize_t n, Render& render, render::PagesAhead* pages) {
    auto* first = static_cast<Unit*>(data);
    render::UnitWriter<Unit> writer(first, first + n, pages);
    render(writer);
    return writer.position() == first + n;
}

/// The same for a str of `kind` (1, 2 or 4 bytes per unit).
template <class Render>
bool fill_str(int kind, void* data, Py_ssize_t n, Render& render, render::PagesAhead* pages) {
    switch (kind) {
        case PyUnicode_1BYTE_KIND: return fill_units<Py_UCS1>(data, n, render, pages);
        case PyUnicode_2BYTE_KIND: return fill_units<Py_UCS2>(data, n, render, pages);
        default: return fill_units<Py_UCS4>(data, n, render, pages);
    }
}

}  // namespace detail

/// Runs a renderer whose output length (in code points) and widest character are known
/// beforehand straight into a new `str`: one allocation, one writing pass. Text that is all
/// ASCII is copied as it is; wider text is decoded from UTF-8 into the str's units.
template <class Render>
Ref render_known_str(std::uint64_t length, render::Width width, Render&& render) {
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        result_failed();
    }
    auto n = static_cast<Py_ssize_t>(length);
    Ref str = result(PyUnicode_New(n, render::max_char(width)));
    void* data = PyUnicode_DATA(str.get());
    std::size_t bytes = static_cast<std::size_t>(n) * PyUnicode_KIND(str.get());
    render::PagesAhead ahead(data, bytes);
    render::PagesAhead* pages = bytes >= large_output ? &ahead : nullptr;
    if (pages != nullptr) pages->before(data);  // the first window, for renderers of one part
    bool exact;
    if (width == render::Width::ascii) {
        render::Utf8Writer writer(static_cast<char*>(data), pages);
        render(writer);
        exact = writer.position() == static_cast<char*>(data) + n;
    } else {
        exact = detail::fill_str(PyUnicode_KIND(str.get()), data, n, render, pages);
    }
    if (!exact) fail("rendered text does not match its planned length");
    return str;
}

}  // namespace tolmek::binding
