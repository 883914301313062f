// Counting a text's JSON string length and widest character in one pass over its UTF-8.
#include "render/escapes.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform.hpp"

namespace tolmek::render {

namespace {

#if TOLMEK_SSE2

/// The four more characters of each \u00xx escape among the control bytes that `bits` marks
/// in the chunk at p (rare: most control bytes in text are line breaks and tabs).
std::uint64_t long_escapes(const unsigned char* p, unsigned bits) noexcept {
    std::uint64_t extra = 0;
    for (; bits != 0; bits &= bits - 1) extra += escape_extra[p[std::countr_zero(bits)]] == 5 ? 4 : 0;
    return extra;
}

#else

/// What each byte adds to JsonSums::units: one per code point (continuation bytes add none),
/// plus escape_extra.
constexpr std::array<std::uint8_t, 256> unit_weight = [] {
    std::array<std::uint8_t, 256> t{};
    for (std::size_t c = 0; c < 256; ++c)
        t[c] = static_cast<std::uint8_t>(((c & 0xC0) == 0x80 ? 0 : 1) + escape_extra[c]);
    return t;
}();

#endif

}  // namespace

std::uint64_t json_escape_extra(std::string_view s) noexcept {
    const auto* u = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
#if TOLMEK_SSE2
    std::uint64_t extra = 0;
    // The escaped bytes of a chunk, and the four more characters of each \u00xx escape in it.
    auto escaped = [&](std::size_t i, unsigned keep) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
        __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x);
        if (auto c = static_cast<unsigned>(_mm_movemask_epi8(control)) & keep; c != 0) [[unlikely]]
            extra += long_escapes(u + i, c);
        return _mm_or_si128(_mm_or_si128(control, _mm_cmpeq_epi8(x, _mm_set1_epi8('"'))),
                            _mm_cmpeq_epi8(x, _mm_set1_epi8('\\')));
    };
    // Byte lanes count the escaped bytes, at most one a chunk: summed every 255 chunks.
    std::size_t i = 0;
    while (n - i >= 16) {
        __m128i lanes = _mm_setzero_si128();
        std::size_t stop = i + 16 * std::min<std::size_t>((n - i) / 16, 255);
        for (; i < stop; i += 16) lanes = _mm_sub_epi8(lanes, escaped(i, 0xFFFF));
        extra += lane_sum(lanes);
    }
    if (i != n) {
        // The last bytes, within a whole chunk of padded memory: only those of the text count.
        unsigned keep = (1u << (n - i)) - 1;
        for (auto hits = static_cast<unsigned>(_mm_movemask_epi8(escaped(i, keep))) & keep; hits != 0; hits &= hits - 1)
            ++extra;
    }
    return extra;
#else
    std::uint64_t extra = 0;
    for (std::size_t i = 0; i < n; ++i) extra += escape_extra[u[i]];
    return extra;
#endif
}

JsonSums copy_json_sums(std::string_view s, char* out) noexcept {
    JsonSums sums;
    const auto* u = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
#if TOLMEK_SSE2
    const __m128i zero = _mm_setzero_si128();
    __m128i top = zero;
    std::uint64_t extra = 0;
    // Byte lanes count the escaped bytes and the continuation bytes (which start no code
    // point), at most one each a chunk: summed every 255 chunks.
    __m128i escaped_lanes = zero, continuation_lanes = zero;
    auto sum_lanes = [&] {
        sums.units += lane_sum(escaped_lanes) - lane_sum(continuation_lanes);
        escaped_lanes = continuation_lanes = zero;
    };
    // One chunk; `keep` marks the bytes that belong to the text (all of them but in the last).
    auto chunk = [&](const unsigned char* p, __m128i x, unsigned keep) {
        __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x);
        __m128i escaped = _mm_or_si128(_mm_or_si128(control, _mm_cmpeq_epi8(x, _mm_set1_epi8('"'))),
                                       _mm_cmpeq_epi8(x, _mm_set1_epi8('\\')));
        escaped_lanes = _mm_sub_epi8(escaped_lanes, escaped);
        continuation_lanes = _mm_sub_epi8(continuation_lanes, _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(0xC0))));
        top = _mm_max_epu8(top, x);
        auto c = static_cast<unsigned>(_mm_movemask_epi8(control)) & keep;
        if (c != 0) [[unlikely]]
            extra += long_escapes(p, c);
    };
    std::size_t i = 0;
    while (n - i >= 16) {
        std::size_t stop = i + 16 * std::min<std::size_t>((n - i) / 16, 255);
        for (; i < stop; i += 16) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), x);
            chunk(u + i, x, 0xFFFF);
        }
        sum_lanes();
    }
    sums.units += n;
    if (i != n) {
        // The last bytes, within a whole chunk of padded memory; the bytes past the end are
        // zeroed, and then read as one escaped byte each, which is taken off again.
        alignas(16) static constexpr signed char first[32] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                               -1, -1, -1, -1, -1, -1, -1, -1};
        __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 16 - (n - i)));
        __m128i x = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i)), keep);
        std::memmove(out + i, u + i, n - i);  // out may be s itself
        chunk(u + i, x, (1u << (n - i)) - 1);
        sum_lanes();
        sums.units -= 16 - (n - i);
    }
    sums.units += extra;
    top = _mm_max_epu8(top, _mm_srli_si128(top, 8));
    top = _mm_max_epu8(top, _mm_srli_si128(top, 4));
    top = _mm_max_epu8(top, _mm_srli_si128(top, 2));
    top = _mm_max_epu8(top, _mm_srli_si128(top, 1));
    sums.max_byte = static_cast<unsigned char>(_mm_cvtsi128_si32(top));
#else
    if (n != 0) std::memmove(out, u, n);  // out may be s itself
    unsigned char top = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sums.units += unit_weight[u[i]];
        top = std::max(top, u[i]);
    }
    sums.max_byte = top;
#endif
    return sums;
}


}  // namespace tolmek::render
