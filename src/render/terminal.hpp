// The characters a terminal or an interactive shell's line editor acts on when a command is pasted
// or printed, and the printf form that hands the shell those bytes without the terminal seeing them.
//
// Inside single quotes the shell keeps every byte, but the terminal and the line editor see them
// first: ESC starts sequences that end a bracketed paste, move the cursor or set the clipboard; a
// tab completes file names; Ctrl-U erases the line typed so far; CR ends the line; C1 controls are
// ESC sequences in one character; bidirectional controls reorder what the screen shows; a line that
// starts with '^' is rewritten by bash's quick substitution. Such characters leave the quotes and
// come back as "$(printf '\ooo...')", which bash, dash and zsh all turn into the same bytes (command
// substitution drops trailing line breaks only, and a run never ends with one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolmek::render::terminal {

/// Bytes of the character at s[i] that must leave the quotes (0 when it may stay): a control
/// other than LF, DEL, a C1 control (U+0080-U+009F), a bidirectional control (U+061C, U+200E,
/// U+200F, U+202A-U+202E, U+2066-U+2069), and an LF followed by '^' together with that '^'.
inline std::size_t acted_on(std::string_view s, std::size_t i) noexcept {
    auto at = [s](std::size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    if (i >= s.size()) return 0;
    unsigned b = at(i);
    if (b < 0x20) return b != '\n' || at(i + 1) == '^' ? 1 : 0;
    if (b == 0x7F) return 1;
    if (b == '^') return i > 0 && s[i - 1] == '\n' ? 1 : 0;
    if (b == 0xC2) return at(i + 1) >= 0x80 && at(i + 1) <= 0x9F ? 2 : 0;
    if (b == 0xD8) return at(i + 1) == 0x9C ? 2 : 0;
    if (b == 0xE2) {
        unsigned second = at(i + 1), third = at(i + 2);
        if (second == 0x80 && (third == 0x8E || third == 0x8F || (third >= 0xAA && third <= 0xAE))) return 3;
        if (second == 0x81 && third >= 0xA6 && third <= 0xA9) return 3;
    }
    return 0;
}

/// Calls `kept(run)` for each stretch of `s` that may stay as it is (possibly empty) and
/// `spliced(run)` for each run of characters that acted_on() sends out, in order.
template <class Kept, class Spliced>
void split(std::string_view s, Kept&& kept, Spliced&& spliced) {
    std::size_t start = 0, i = 0;
    while (i < s.size()) {
        std::size_t n = acted_on(s, i);
        if (n == 0) {
            ++i;
            continue;
        }
        std::size_t first = i;
        for (; n != 0; n = acted_on(s, i)) i += n;
        kept(s.substr(start, first - start));
        spliced(s.substr(first, i - first));
        start = i;
    }
    kept(s.substr(start));
}

/// "'\"$(printf '" and "')\"'": what a spliced run adds around its escapes.
inline constexpr std::size_t splice_frame = 16;

/// Code points the printf form adds to `s` over the text itself (0 when nothing leaves the
/// quotes): each run costs its frame and four characters a byte, instead of its own characters.
inline std::uint64_t splice_extra(std::string_view s) noexcept {
    std::uint64_t extra = 0;
    split(s, [](std::string_view) {}, [&extra](std::string_view run) {
        std::uint64_t points = 0;
        for (unsigned char c : run) points += (c & 0xC0) != 0x80;
        extra += splice_frame + 4 * run.size() - points;
    });
    return extra;
}

/// Writes a run that leaves single quotes: closes them, "$(printf '\ooo...')", reopens them.
template <class Sink>
void write_splice(Sink& out, std::string_view run) {
    out.ascii("'\"$(printf '");
    for (unsigned char c : run) {
        const char octal[4] = {'\\', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
                               static_cast<char>('0' + (c & 7))};
        out.ascii(std::string_view(octal, 4));
    }
    out.ascii("')\"'");
}

}  // namespace tolmek::render::terminal
