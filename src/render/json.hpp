// JSON string writing: the escape table and the run-copying string writer.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
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

namespace json_detail {

/// The escape sequence of each ASCII byte that has one, padded to eight characters, and its
/// length: written with one store and a length, without a branch on the kind of escape.
struct EscapeSequences {
    std::array<std::array<char, 8>, 0x60> text{};
    std::array<std::uint8_t, 0x60> size{};
};
inline constexpr EscapeSequences escape_sequences = [] {
    constexpr char hex[] = "0123456789abcdef";
    EscapeSequences t;
    for (unsigned c = 0; c < 0x60; ++c) {
        char letter = escape[c];
        if (letter == 0) continue;
        t.text[c] = {'\\', letter, '0', '0', hex[c >> 4], hex[c & 0xF], 0, 0};
        t.size[c] = letter == 'u' ? 6 : 2;
    }
    return t;
}();

/// Writes the eight characters at `text` as eight units.
template <class Unit>
inline void store8(Unit* out, const char* text) noexcept {
    __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(text));
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(Unit) == 1) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), x);
    } else if constexpr (sizeof(Unit) == 2) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(x, zero));
    } else {
        __m128i wide = _mm_unpacklo_epi8(x, zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(wide, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + 1, _mm_unpackhi_epi16(wide, zero));
    }
}

/// Decodes the multi-byte sequence at p into *out and returns what follows it. The text's width
/// class bounds the sequence's length (two bytes for one-byte units, at most three for two-byte
/// units), so the narrow cases need no branch on it.
template <class Unit>
inline const unsigned char* decode(const unsigned char* p, Unit*& out) noexcept {
    unsigned c = p[0], c1 = p[1] & 0x3Fu;
    if constexpr (sizeof(Unit) == 1) {
        *out++ = static_cast<Unit>(((c & 0x1F) << 6) | c1);
        return p + 2;
    } else if constexpr (sizeof(Unit) == 2) {
        unsigned three = c >= 0xE0;
        unsigned two_byte = ((c & 0x1F) << 6) | c1;
        unsigned three_byte = ((c & 0x0F) << 12) | (c1 << 6) | (p[2] & 0x3Fu);
        *out++ = static_cast<Unit>(three ? three_byte : two_byte);
        return p + 2 + three;
    } else {
        return UnitWriter<Unit>::decode_one(p, out);
    }
}

}  // namespace json_detail

/// write_json_string for a fixed-width writer, which export writes the document with: escaping
/// and decoding in one pass over the text instead of a scan followed by the sink's own. The bytes
/// from `s` up to `readable` may be read (a record's texts lie one after the other in its block).
///
/// While 24 units of room are left, sixteen bytes are loaded at a time (the last chunk of the
/// text with what follows it, masked) and written as sixteen units; the output then moves on past
/// the bytes before the first special one only, and what follows overwrites the rest. Where less
/// than a chunk is readable (the end of a block), the text's last bytes are moved into a local
/// chunk first. Short texts and their tails thus take no byte loop and few branches. Where room
/// is short (the end of the document) the bytes go one at a time.
template <class Unit>
void write_json_string(UnitWriter<Unit>& sink, std::string_view s, const char* readable) {
    using json_detail::escape_sequences;
    Unit* out = sink.units();  // a local pointer: stores through it cannot alias the sink
    Unit* const limit = out + sink.room();
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    const auto* last_load = reinterpret_cast<const unsigned char*>(readable) - 16;  // the last chunk that may be loaded
    alignas(16) unsigned char tail[32];
    *out++ = '"';
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(0x20);
    // As signed bytes, those below 0x20 and the non-ASCII ones (0x80 on) are both below 0x20.
    auto specials = [&](__m128i x) {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
            _mm_cmplt_epi8(x, space), _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)))));
    };
    // 1. A chunk at a time: 16 units of the chunk, then up to 8 of an escape sequence.
    while (p < end && limit - out >= 24) {
        if (p > last_load) [[unlikely]] {
            // The text's end is too near the block's: go on in a copy of its last bytes.
            auto n = static_cast<std::size_t>(end - p);
            std::memcpy(tail, p, n);
            std::memset(tail + n, 0, sizeof tail - n);
            p = tail;
            end = tail + n;
            last_load = tail + 16;
        }
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        auto left = static_cast<std::size_t>(end - p);
        unsigned bits = specials(x) & (left >= 16 ? 0xFFFFu : (1u << left) - 1);
        json_detail::store16(out, x);
        if (bits == 0) {
            std::size_t n = left < 16 ? left : 16;
            out += n;
            p += n;
            continue;
        }
        auto k = static_cast<unsigned>(std::countr_zero(bits));
        out += k;
        p += k;
        unsigned c = *p;
        if (c < 0x80) {
            json_detail::store8(out, escape_sequences.text[c].data());
            out += escape_sequences.size[c];
            ++p;
        } else {
            p = json_detail::decode(p, out);
        }
    }
    // 2. The rest, byte by byte.
    while (p < end) {
        unsigned c = *p;
        if (c >= 0x80) {
            p = UnitWriter<Unit>::decode_one(p, out);
        } else if (json_detail::escape[c] != 0) {
            for (std::size_t i = 0; i < escape_sequences.size[c]; ++i) *out++ = static_cast<Unit>(escape_sequences.text[c][i]);
            ++p;
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
