// JSON string writing: the escape table and the run-copying string writer.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

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

/// True if any of the eight bytes in `word` must be escaped: below 0x20, '"' or '\\'.
constexpr bool word_needs_escape(std::uint64_t word) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    std::uint64_t quote = word ^ (ones * '"');
    std::uint64_t backslash = word ^ (ones * '\\');
    std::uint64_t control = (word - ones * 0x20) & ~word;
    std::uint64_t zero_quote = (quote - ones) & ~quote;
    std::uint64_t zero_backslash = (backslash - ones) & ~backslash;
    return ((control | zero_quote | zero_backslash) & highs) != 0;
}

/// Writes `s` as a JSON string literal, quotes included. Runs that need no escaping are
/// found eight bytes at a time and handed to the sink whole.
template <class Sink>
void write_json_string(Sink& out, std::string_view s) {
    constexpr char hex[] = "0123456789abcdef";
    out.ascii('"');
    const char* run = s.data();
    const char* end = run + s.size();
    const char* p = run;
    for (;;) {
        for (std::uint64_t word; end - p >= 8; p += 8) {
            std::memcpy(&word, p, 8);
            if (word_needs_escape(word)) break;
        }
        while (p != end && json_detail::escape[static_cast<unsigned char>(*p)] == 0) ++p;
        if (p == end) break;
        auto byte = static_cast<unsigned char>(*p);
        char letter = json_detail::escape[byte];
        out.text(std::string_view(run, static_cast<std::size_t>(p - run)));
        if (letter == 'u') {
            const char seq[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            out.ascii(std::string_view(seq, 6));
        } else {
            const char seq[2] = {'\\', letter};
            out.ascii(std::string_view(seq, 2));
        }
        run = ++p;
    }
    out.text(std::string_view(run, static_cast<std::size_t>(end - run)));
    out.ascii('"');
}

}  // namespace tolmek::render
