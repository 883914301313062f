// JSON string writing: the escape table and the run-copying string writer.
#pragma once

#include <array>
#include <cstdint>
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

/// Writes `s` as a JSON string literal, quotes included. Runs that need no escaping are
/// handed to the sink whole.
template <class Sink>
void write_json_string(Sink& out, std::string_view s) {
    constexpr char hex[] = "0123456789abcdef";
    out.ascii('"');
    const char* run = s.data();
    const char* end = run + s.size();
    for (const char* p = run; p != end; ++p) {
        auto byte = static_cast<unsigned char>(*p);
        char letter = json_detail::escape[byte];
        if (letter == 0) [[likely]]
            continue;
        out.text(std::string_view(run, static_cast<std::size_t>(p - run)));
        if (letter == 'u') {
            const char seq[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            out.ascii(std::string_view(seq, 6));
        } else {
            const char seq[2] = {'\\', letter};
            out.ascii(std::string_view(seq, 2));
        }
        run = p + 1;
    }
    out.text(std::string_view(run, static_cast<std::size_t>(end - run)));
    out.ascii('"');
}

}  // namespace tolmek::render
