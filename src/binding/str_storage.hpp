// UTF-8 from the storage of a Python str: its 1-, 2- or 4-byte code units, read in place.
//
// Plain C++ over the unit arrays (no Python.h), so that it can be fuzzed on its own. Reading a
// str this way leaves the str untouched: asking the interpreter for its UTF-8 form would cache
// a UTF-8 copy inside every non-ASCII str for as long as the caller keeps it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform.hpp"

namespace tolmek::binding::str_storage {

/// The UTF-8 size of a text, or that it holds a lone surrogate (which has no UTF-8 form; a
/// str's 2- and 4-byte storage never holds surrogate pairs, so any surrogate is a lone one).
struct Utf8Size {
    std::size_t bytes;
    bool surrogate;
};

namespace detail {

inline std::uint64_t load8(const void* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

/// How many of the eight bytes of `w` have their high bit set, without a popcount instruction
/// (baseline x86-64 has none): the flags, moved to bit 0 of each byte, summed by a multiply.
constexpr std::size_t high_bytes(std::uint64_t w) noexcept {
    return static_cast<std::size_t>((((w >> 7) & 0x0101010101010101u) * 0x0101010101010101u) >> 56);
}

}  // namespace detail

/// Latin-1 units: one byte each below 0x80, two above.
inline Utf8Size utf8_size(const std::uint8_t* s, std::size_t n) noexcept {
    std::size_t extra = 0, i = 0;
    for (; i + 8 <= n; i += 8) extra += detail::high_bytes(detail::load8(s + i));
    for (; i < n; ++i) extra += s[i] >> 7;
    return {n + extra, false};
}

/// 2-byte units: 1 to 3 bytes each.
inline Utf8Size utf8_size(const std::uint16_t* s, std::size_t n) noexcept {
    std::size_t extra = 0, i = 0;
    unsigned surrogates = 0;
#if TOLMEK_SSE2
    // Eight units at a time: each 16-bit lane counts the extra bytes of its units (at most two a
    // step), emptied into `extra` before it could overflow.
    const __m128i zero = _mm_setzero_si128();
    __m128i sur = zero;
    while (i + 8 <= n) {
        __m128i count = zero;
        std::size_t stop = i + 8 * std::min<std::size_t>((n - i) / 8, 16384);
        for (; i < stop; i += 8) {
            // Most units of most texts are ASCII: sixteen of them add nothing and are passed over.
            while (i + 16 <= stop) {
                __m128i both = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)),
                                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 8)));
                if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(both, _mm_set1_epi16(static_cast<short>(0xFF80))),
                                                      zero)) != 0xFFFF)
                    break;
                i += 16;
            }
            if (i == stop) break;
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            // Lanes of all ones (-1) for a unit below 0x80, and for one below 0x800.
            __m128i below_80 = _mm_cmpeq_epi16(_mm_subs_epu16(x, _mm_set1_epi16(0x7F)), zero);
            __m128i below_800 = _mm_cmpeq_epi16(_mm_subs_epu16(x, _mm_set1_epi16(0x7FF)), zero);
            count = _mm_add_epi16(count, _mm_add_epi16(_mm_add_epi16(below_80, below_800), _mm_set1_epi16(2)));
            sur = _mm_or_si128(sur, _mm_cmpeq_epi16(_mm_and_si128(x, _mm_set1_epi16(static_cast<short>(0xF800))),
                                                    _mm_set1_epi16(static_cast<short>(0xD800))));
        }
        // Sum the eight lanes (each at most 2 * 16384, so unsigned 16-bit).
        __m128i pairs = _mm_madd_epi16(_mm_unpacklo_epi16(count, zero), _mm_set1_epi32(1));
        pairs = _mm_add_epi32(pairs, _mm_madd_epi16(_mm_unpackhi_epi16(count, zero), _mm_set1_epi32(1)));
        pairs = _mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, 0x4E));
        pairs = _mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, 0xB1));
        extra += static_cast<std::uint32_t>(_mm_cvtsi128_si32(pairs));
    }
    surrogates = static_cast<unsigned>(_mm_movemask_epi8(sur));
#endif
    for (; i < n; ++i) {
        unsigned c = s[i];
        extra += (c >= 0x80) + (c >= 0x800);
        surrogates |= (c - 0xD800u) < 0x800u;
    }
    return {n + extra, surrogates != 0};
}

/// 4-byte units: 1 to 4 bytes each.
inline Utf8Size utf8_size(const std::uint32_t* s, std::size_t n) noexcept {
    std::size_t extra = 0;
    unsigned surrogates = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t c = s[i];
        extra += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
        surrogates |= (c - 0xD800u) < 0x800u;
    }
    return {n + extra, surrogates != 0};
}

/// Writes the UTF-8 form of `n` units (without lone surrogates) at `out`; returns the end.
/// ASCII runs are copied (1-byte units) or narrowed (wider units) eight at a time. Up to seven
/// bytes past the end may be written over: the output needs that much room after it (a record
/// block's read padding gives it).
template <class Unit>
char* encode_utf8(const Unit* s, std::size_t n, char* out) noexcept {
    std::size_t i = 0;
    while (i < n) {
        // 1. The ASCII run from here.
        if constexpr (sizeof(Unit) == 1) {
            std::size_t start = i;
            while (i + 8 <= n && (detail::load8(s + i) & 0x8080808080808080u) == 0) i += 8;
            while (i < n && s[i] < 0x80) ++i;
            std::memcpy(out, s + start, i - start);
            out += i - start;
        } else {
#if TOLMEK_SSE2
            if constexpr (sizeof(Unit) == 2) {
                // Eight units at a time: all of them below 0x80 become eight bytes at once;
                // otherwise the ASCII units before the first other one do, and the store's
                // other bytes are written over by what follows (the output has room past its
                // end: see encode_utf8's contract).
                const __m128i zero = _mm_setzero_si128();
                // Sixteen ASCII units at a time while they last.
                while (i + 16 <= n) {
                    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
                    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 8));
                    if (_mm_movemask_epi8(_mm_cmpeq_epi16(
                            _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF80))), zero)) !=
                        0xFFFF)
                        break;
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(a, b));
                    out += 16;
                    i += 16;
                }
                while (i + 8 <= n) {
                    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
                    auto ascii = static_cast<unsigned>(
                        _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_subs_epu16(x, _mm_set1_epi16(0x7F)), zero)));
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(x, x));
                    if (ascii != 0xFFFF) {
                        auto k = static_cast<std::size_t>(std::countr_zero(~ascii)) / 2;
                        out += k;
                        i += k;
                        break;
                    }
                    out += 8;
                    i += 8;
                }
            }
#endif
            while (i < n && s[i] < 0x80) *out++ = static_cast<char>(s[i++]);
        }
        if (i == n) break;
        // 2. One character of two, three or four bytes.
        std::uint32_t c = s[i++];
        if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
        } else {
            if (c < 0x10000) {
                *out++ = static_cast<char>(0xE0 | (c >> 12));
            } else {
                *out++ = static_cast<char>(0xF0 | (c >> 18));
                *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            }
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

}  // namespace tolmek::binding::str_storage
