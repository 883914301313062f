// What a text becomes inside a JSON string: its code points plus what escaping adds, counted from its UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

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
    std::uint64_t units = 0;      ///< code points plus the characters escaping adds (no quotes)
    std::uint64_t slashes = 0;    ///< '/' bytes, when asked for
    unsigned char max_byte = 0;   ///< the largest byte, which gives the widest character

    Width width() const noexcept {
        // Lead bytes from 0xC4 start code points above U+00FF, from 0xF0 those above U+FFFF.
        return max_byte < 0x80 ? Width::ascii : max_byte < 0xC4 ? Width::latin1 : max_byte < 0xF0 ? Width::bmp
                                                                                                  : Width::astral;
    }
};

/// Counts `s` (valid UTF-8) sixteen bytes at a time, and its '/' bytes with `Slashes`. Reads up
/// to 15 bytes past the end (padded record memory).
template <bool Slashes>
JsonSums json_sums(std::string_view s) noexcept;

extern template JsonSums json_sums<true>(std::string_view) noexcept;
extern template JsonSums json_sums<false>(std::string_view) noexcept;

}  // namespace tolmek::render
