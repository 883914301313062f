// JSON string writing: the escape table and the run-copying string writer.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string_view>

#include "render/sink.hpp"
#include "render/words.hpp"

namespace tolmek::render {

namespace json_detail {

/// For each byte: 0 when it is written as itself, else the letter after the backslash
/// ('u' meaning the six-character form \u00xx). Only '"', '\\' and U+0000-U+001F are escaped;
/// '/', U+007F and every non-ASCII character are written as they are.
constexpr std::array<char, 256> escape = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['\b'] = 'b';
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\f'] = 'f';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}();

}  // namespace json_detail

/// The high bit of every byte of `word` that must be escaped: below 0x20, '"' or '\\'.
/// Bits above the lowest one may be false alarms; the lowest one is exact.
constexpr std::uint64_t escape_mask(std::uint64_t word) noexcept {
    return words::control_bytes(word) | words::bytes_equal(word, '"') | words::bytes_equal(word, '\\');
}

/// Writes `s` as a JSON string literal, quotes included. The text is scanned eight bytes at
/// a time; runs that need no escaping go to the sink whole, as ASCII when every byte seen
/// since the run began was ASCII (so the sink need not look at them again).
template <class Sink>
void write_json_string(Sink& out, std::string_view s) {
    constexpr char hex[] = "0123456789abcdef";
    out.ascii('"');
    const char* run = s.data();
    const char* end = run + s.size();
    const char* p = run;
    std::uint64_t seen = 0;
    auto flush = [&](const char* upto) {
        std::string_view piece(run, static_cast<std::size_t>(upto - run));
        if (seen & words::highs) out.text(piece);
        else out.ascii(piece);
    };
    while (p != end) {
        // 1. Load eight bytes; a short tail is padded with spaces, which need no escaping.
        auto [word, size] = words::next_chunk(p, end);
        seen |= word;
        std::uint64_t mask = escape_mask(word);
        if (mask == 0) {
            p += size;
            continue;
        }
        // 2. Write the run before the first byte to escape, then its escape sequence.
        p += static_cast<std::size_t>(std::countr_zero(mask)) >> 3;
        flush(p);
        auto byte = static_cast<unsigned char>(*p);
        char letter = json_detail::escape[byte];
        if (letter == 'u') {
            const char seq[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            out.ascii(std::string_view(seq, 6));
        } else {
            const char seq[2] = {'\\', letter};
            out.ascii(std::string_view(seq, 2));
        }
        run = ++p;
        seen = 0;
    }
    flush(end);
    out.ascii('"');
}

#if TOLMEK_SSE2

namespace json_detail {

/// Widens the 16 bytes of `x` into 16 units at `out`.
template <class Unit>
inline void store16(Unit* out, __m128i x) noexcept {
    const __m128i zero = _mm_setzero_si128();
    auto* to = reinterpret_cast<__m128i*>(out);
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(to, x);
    } else if constexpr (sizeof(Unit) == 2) {
        _mm_storeu_si128(to, _mm_unpacklo_epi8(x, zero));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi8(x, zero));
    } else {
        __m128i low = _mm_unpacklo_epi8(x, zero), high = _mm_unpackhi_epi8(x, zero);
        _mm_storeu_si128(to, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(high, zero));
    }
}

}  // namespace json_detail

/// write_json_string for a fixed-width writer, which export writes the document with: escaping
/// and decoding in one pass over the text instead of a scan followed by the sink's own.
/// Sixteen bytes at a time while sixteen units of room are left (the units past a special byte
/// are written, then overwritten by what follows), then eight, then byte by byte: a stored
/// text has no readable padding after it.
template <class Unit>
void write_json_string(UnitWriter<Unit>& sink, std::string_view s) {
    constexpr char hex[] = "0123456789abcdef";
    Unit* out = sink.units();  // a local pointer: stores through it cannot alias the sink
    Unit* const limit = out + sink.room();
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    // Writes the byte at `at` that is escaped or starts a multi-byte sequence; returns what follows.
    auto special = [&](const unsigned char* at) {
        unsigned c = *at;
        if (c >= 0x80) return UnitWriter<Unit>::decode_one(at, out);
        char letter = json_detail::escape[c];
        *out++ = '\\';
        if (letter == 'u') {
            const char seq[5] = {'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
            for (char k : seq) *out++ = static_cast<Unit>(k);
        } else {
            *out++ = static_cast<Unit>(letter);
        }
        return at + 1;
    };
    *out++ = '"';
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(0x20);
    // As signed bytes, those below 0x20 and the non-ASCII ones (0x80 on) are both below 0x20.
    auto specials = [&](__m128i x) {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
            _mm_cmplt_epi8(x, space), _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)))));
    };
    while (end - p >= 16 && limit - out >= 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned bits = specials(x);
        json_detail::store16(out, x);
        if (bits == 0) {
            out += 16;
            p += 16;
            continue;
        }
        auto k = static_cast<unsigned>(std::countr_zero(bits));
        out += k;
        p = special(p + k);
    }
    while (end - p >= 8) {
        __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        unsigned bits = specials(x) & 0xFF;
        if (bits == 0 && sizeof(Unit) == 2) {
            // Eight units are exactly sixteen bytes: no room needed past them.
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(x, _mm_setzero_si128()));
            out += 8;
            p += 8;
            continue;
        }
        unsigned k = bits == 0 ? 8 : static_cast<unsigned>(std::countr_zero(bits));
        for (unsigned i = 0; i < k; ++i) *out++ = p[i];
        p += k;
        if (bits != 0) p = special(p);
    }
    while (p < end) {
        unsigned c = *p;
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') {
            p = special(p);
        } else {
            *out++ = static_cast<Unit>(c);
            ++p;
        }
    }
    *out++ = '"';
    sink.seek(out);
}

#endif

}  // namespace tolmek::render
