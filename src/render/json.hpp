// JSON string writing: the escape table and the run-copying string writer.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string_view>

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

}  // namespace tolmek::render
