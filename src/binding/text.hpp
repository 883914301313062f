// Text arguments read from a str's own storage: their size as UTF-8, then the UTF-8 itself.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "binding/error.hpp"
#include "binding/messages.hpp"
#include "binding/str_storage.hpp"
#include "render/sink.hpp"

namespace tolmek::binding {

/// A str argument, measured: where its units are, how many, how wide, and its UTF-8 size.
/// Valid while the str lives.
struct Text {
    const void* data;
    std::size_t length;  ///< code points
    std::size_t utf8;    ///< bytes as UTF-8
    render::Width width;
    std::uint8_t kind;  ///< bytes per unit: 1, 2 or 4
};

/// measure_text() of a str that is not ASCII.
[[gnu::noinline]] inline Text measure_wide_text(PyObject* obj) {
    const void* data = PyUnicode_DATA(obj);
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj));
    str_storage::Utf8Size size;
    render::Width width;
    std::uint8_t kind;
    switch (PyUnicode_KIND(obj)) {
        case PyUnicode_1BYTE_KIND:
            size = str_storage::utf8_size(static_cast<const std::uint8_t*>(data), n);
            width = render::Width::latin1;
            kind = 1;
            break;
        case PyUnicode_2BYTE_KIND:
            size = str_storage::utf8_size(static_cast<const std::uint16_t*>(data), n);
            width = render::Width::bmp;
            kind = 2;
            break;
        default:
            size = str_storage::utf8_size(static_cast<const std::uint32_t*>(data), n);
            width = render::Width::astral;
            kind = 4;
            break;
    }
    if (size.surrogate) {
        // The interpreter words the error (and finds the position); it makes no UTF-8 copy
        // of a text it cannot encode.
        if (PyUnicode_AsUTF8AndSize(obj, nullptr) != nullptr) fail("a lone surrogate encodes after all");
        throw_current();
    }
    return {data, n, size.bytes, width, kind};
}

/// Measures a `str` (subclasses too) without asking the interpreter for its UTF-8 form, which
/// would keep a UTF-8 copy inside the caller's str. Anything else is a TypeError naming
/// "PyString"; text with a lone surrogate fails with the interpreter's own UnicodeEncodeError.
/// ASCII, most texts, is measured inline.
[[gnu::always_inline]] inline Text measure_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
    if (!PyUnicode_IS_ASCII(obj)) return measure_wide_text(obj);
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj));
    return {PyUnicode_DATA(obj), n, n, render::Width::ascii, 1};
}

/// Copies n bytes; short copies (most header texts) inline with two overlapping loads, so that
/// no call is made and nothing outside either range is touched.
inline void copy_bytes(char* out, const void* from, std::size_t n) noexcept {
    const auto* in = static_cast<const char*>(from);
    if (n >= 8 && n <= 16) {
        std::uint64_t a, b;
        std::memcpy(&a, in, 8);
        std::memcpy(&b, in + n - 8, 8);
        std::memcpy(out, &a, 8);
        std::memcpy(out + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        std::uint32_t a, b;
        std::memcpy(&a, in, 4);
        std::memcpy(&b, in + n - 4, 4);
        std::memcpy(out, &a, 4);
        std::memcpy(out + n - 4, &b, 4);
    } else if (n < 4) {
        for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
    } else {
        std::memcpy(out, in, n);
    }
}

/// Writes the UTF-8 form of a measured text at `out`; returns the end.
inline char* write_text(const Text& text, char* out) noexcept {
    switch (text.kind) {
        case 1:
            if (text.width == render::Width::ascii) {
                copy_bytes(out, text.data, text.length);
                return out + text.length;
            }
            return str_storage::encode_utf8(static_cast<const std::uint8_t*>(text.data), text.length, out);
        case 2: return str_storage::encode_utf8(static_cast<const std::uint16_t*>(text.data), text.length, out);
        default: return str_storage::encode_utf8(static_cast<const std::uint32_t*>(text.data), text.length, out);
    }
}

}  // namespace tolmek::binding
