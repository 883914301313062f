// What JSON escaping adds to texts: counted sixteen bytes at a time when a record is made.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string_view>

#include "platform.hpp"
#include "render/json.hpp"

namespace tolmek::render {

/// Characters JSON escaping adds to each byte: one for '"', '\\', \b, \t, \n, \f and \r (a
/// backslash and a letter), five for any other byte below 0x20 (written \u00xx), else none.
inline constexpr std::array<std::uint8_t, 256> escape_extra = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        char letter = json_detail::escape[static_cast<std::size_t>(c)];
        t[static_cast<std::size_t>(c)] = letter == 0 ? 0 : letter == 'u' ? 5 : 1;
    }
    return t;
}();

/// What escaping adds to a record's URL and to its other texts together, as the scans of the
/// command's plan count it; not `counted` when the plan stopped at a refusal before the end.
struct TextEscapes {
    std::uint64_t url = 0;
    std::uint64_t others = 0;
    bool counted = false;
};

/// Characters JSON escaping adds to `s` (the sum of escape_extra over its bytes). Reads up to 15
/// bytes past the end (padded record memory).
std::uint64_t json_escape_extra(std::string_view s) noexcept;

#if TOLMEK_SSE2

namespace escape_detail {

/// Bytes of 16-byte chunks counted up in byte lanes: each lane holds at most 255, so the lanes
/// are folded into a total every 255 chunks.
class LaneCount {
public:
    void add(__m128i flags) noexcept {
        lanes_ = _mm_sub_epi8(lanes_, flags);  // an all-ones lane is -1
        if (++laps_ == 255) fold();
    }
    std::uint64_t total() noexcept {
        fold();
        return total_;
    }

private:
    void fold() noexcept {
        __m128i sums = _mm_sad_epu8(lanes_, _mm_setzero_si128());
        total_ += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                  static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
        lanes_ = _mm_setzero_si128();
        laps_ = 0;
    }

    __m128i lanes_ = _mm_setzero_si128();
    unsigned laps_ = 0;
    std::uint64_t total_ = 0;
};

/// Bytes of a chunk that JSON escapes: below 0x20, '"' and '\\'.
inline __m128i escaped_bytes(__m128i x, __m128i& control) noexcept {
    control = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x);
    return _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')),
                                              _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))));
}

/// The four more characters of each \u00xx escape among the control bytes that `bits` marks
/// in the chunk at p (rare: most control bytes in text are line breaks and tabs).
inline std::uint64_t long_escapes(const unsigned char* p, std::uint64_t bits) noexcept {
    std::uint64_t extra = 0;
    for (; bits != 0; bits &= bits - 1) extra += escape_extra[p[std::countr_zero(bits)]] == 5 ? 4 : 0;
    return extra;
}

/// Counts what escaping adds to a text chunk by chunk, alongside another scan of the same chunks.
class EscapeCount {
public:
    /// A whole chunk of the text.
    void add(const unsigned char* p, __m128i x) noexcept {
        __m128i control;
        lanes_.add(escaped_bytes(x, control));
        if (unsigned c = static_cast<unsigned>(_mm_movemask_epi8(control))) [[unlikely]]
            extra_ += long_escapes(p, c);
    }
    /// The text's last chunk, of which the first bytes that `keep` marks belong to it.
    void add_last(const unsigned char* p, __m128i x, unsigned keep) noexcept {
        __m128i control;
        unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(escaped_bytes(x, control))) & keep;
        for (; hits != 0; hits &= hits - 1) ++extra_;
        extra_ += long_escapes(p, static_cast<unsigned>(_mm_movemask_epi8(control)) & keep);
    }
    std::uint64_t total() noexcept { return lanes_.total() + extra_; }

private:
    LaneCount lanes_;
    std::uint64_t extra_ = 0;
};

}  // namespace escape_detail

#endif

}  // namespace tolmek::render
