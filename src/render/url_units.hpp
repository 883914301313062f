// The URL's host and path elements of a document item, copied from the URL as already written.
//
// An item holds its URL three times: as the name, split into host and path elements, and as
// "raw". A fixed-width writer escapes and decodes the URL once, for the name, and takes the other
// two from those units: JSON escapes never write '/', '?' or '#', the scheme is ASCII, and every
// character is one unit, so splitting the written units gives what escaping each piece would.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>

#include "platform.hpp"
#include "render/sink.hpp"

namespace tolmek::render {

/// True for the fixed-width writers, which can read back what they wrote.
template <class Sink>
inline constexpr bool is_unit_writer = false;
template <class Unit>
inline constexpr bool is_unit_writer<UnitWriter<Unit>> = true;

namespace url_units_detail {

/// Copies [p, end) to the sink, each '/' written as `","` (the end of one element and the start
/// of the next). Where sixteen bytes of room are left it copies a whole chunk and then moves on
/// only past its part before the first '/' (the units past that are overwritten by what follows).
template <class Unit>
void copy_split(UnitWriter<Unit>& sink, const Unit* p, const Unit* end) noexcept {
    Unit* out = sink.units();
    auto separator = [&out] {
        out[0] = '"';
        out[1] = ',';
        out[2] = '"';
        out += 3;
    };
#if TOLMEK_SSE2
    Unit* const limit = out + sink.room();
    constexpr std::ptrdiff_t per_chunk = 16 / sizeof(Unit);
    auto slashes = [](__m128i x) {
        if constexpr (sizeof(Unit) == 1) return _mm_cmpeq_epi8(x, _mm_set1_epi8('/'));
        else if constexpr (sizeof(Unit) == 2) return _mm_cmpeq_epi16(x, _mm_set1_epi16('/'));
        else return _mm_cmpeq_epi32(x, _mm_set1_epi32('/'));
    };
    while (end - p >= per_chunk && limit - out >= per_chunk) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        auto bits = static_cast<unsigned>(_mm_movemask_epi8(slashes(x)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
        if (bits == 0) {
            out += per_chunk;
            p += per_chunk;
            continue;
        }
        auto k = static_cast<std::ptrdiff_t>(std::countr_zero(bits) / sizeof(Unit));
        out += k;
        p += k + 1;
        separator();
    }
#endif
    for (; p != end; ++p) {
        if (*p == '/') separator();
        else *out++ = *p;
    }
    sink.seek(out);
}

}  // namespace url_units_detail

/// Writes the host string, `path_open` and the path elements of an item (up to the "]" the
/// caller writes) from `url`, the units of the URL's JSON string without its quotes; `prefix`
/// is how many units the scheme and "://" (or "//") take at its start.
template <class Unit>
void write_url_elements(UnitWriter<Unit>& sink, const Unit* url, std::size_t size, std::size_t prefix,
                        std::string_view path_open) noexcept {
    // 1. The host runs up to the first '/', '?' or '#'.
    const Unit* host = url + prefix;
    const Unit* end = url + size;
    const Unit* host_end = host;
    while (host_end != end && *host_end != '/' && *host_end != '?' && *host_end != '#') ++host_end;
    Unit* out = sink.units();
    *out++ = '"';
    std::memcpy(out, host, static_cast<std::size_t>(host_end - host) * sizeof(Unit));
    out += host_end - host;
    *out++ = '"';
    sink.seek(out);
    sink.ascii(path_open);
    if (host_end == end) return;
    // 2. A query or fragment that ended the host starts the first element; a '/' only separates.
    sink.ascii('"');
    url_units_detail::copy_split(sink, *host_end == '/' ? host_end + 1 : host_end, end);
    sink.ascii('"');
}

/// Writes units already written earlier in the same output again (the URL's "raw" copy).
template <class Unit>
void write_units_again(UnitWriter<Unit>& sink, const Unit* first, const Unit* last) noexcept {
    Unit* out = sink.units();
    std::memcpy(out, first, static_cast<std::size_t>(last - first) * sizeof(Unit));
    sink.seek(out + (last - first));
}

}  // namespace tolmek::render
