// What a text becomes inside a JSON string: its code points plus what escaping adds, counted as it is copied.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "platform.hpp"
#include "render/json.hpp"
#include "render/sink.hpp"

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

/// A UTF-8 text as a JSON string writes it, counted in one pass.
struct JsonSums {
    std::uint64_t units = 0;     ///< code points plus the characters escaping adds (no quotes)
    unsigned char max_byte = 0;  ///< the largest byte, which gives the widest character

    Width width() const noexcept {
        // Lead bytes from 0xC4 start code points above U+00FF, from 0xF0 those above U+FFFF.
        return max_byte < 0x80 ? Width::ascii : max_byte < 0xC4 ? Width::latin1 : max_byte < 0xF0 ? Width::bmp
                                                                                                  : Width::astral;
    }
};

#if TOLMEK_SSE2
/// Sum of the sixteen byte lanes of a count kept in them.
inline std::uint64_t lane_sum(__m128i lanes) noexcept {
    __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}
#endif

/// Characters JSON escaping adds to `s` (the sum of escape_extra over its bytes). Reads up to 15
/// bytes past the end (padded record memory).
std::uint64_t json_escape_extra(std::string_view s) noexcept;

/// Copies `s` (valid UTF-8) to `out` and counts it in the same pass, sixteen bytes at a time.
/// Reads up to 15 bytes past the end of `s` (padded record memory); writes exactly s.size()
/// bytes (`out` may be s.data()).
JsonSums copy_json_sums(std::string_view s, char* out) noexcept;

}  // namespace tolmek::render
