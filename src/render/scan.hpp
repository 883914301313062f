// Byte classes of the texts a curl command is made of, found sixteen (or eight) bytes at a time.
//
// Most bytes of a URL, a header or a body matter to nobody: a chunk is first tested for bytes
// that might (with SSE2, which every x86-64 has, or with 64-bit words elsewhere), and only those
// go through the class table.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform.hpp"
#include "render/escapes.hpp"
#include "render/terminal.hpp"
#if !TOLMEK_SSE2
#include "render/words.hpp"
#endif

namespace tolmek::render::scan {

/// What a byte means to a shell or to curl.
enum Class : std::uint16_t {
    nul = 1 << 0,         ///< no command-line argument can hold it
    line_break = 1 << 1,  ///< CR or LF
    control = 1 << 2,     ///< any other byte below 0x20, and 0x7F
    shell = 1 << 3,       ///< " \ $ ` ! keep a meaning inside double quotes
    apostrophe = 1 << 4,
    space = 1 << 5,
    colon = 1 << 6,
    semicolon = 1 << 7,
    glob = 1 << 8,      ///< [ ] { }: curl's URL globbing
    not_bare = 1 << 9,  ///< anything but ASCII letters, digits and _ @ % + = : , . / -
    terminal = 1 << 10, ///< may start a character a terminal acts on (render/terminal.hpp decides)
};

inline constexpr std::array<std::uint16_t, 256> byte_class = [] {
    std::array<std::uint16_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum && std::string_view("_@%+=:,./-").find(static_cast<char>(c)) == std::string_view::npos)
            t[c] |= not_bare;
        if (c < 0x20 || c == 0x7F) t[c] |= control;
    }
    t[0] = nul | not_bare;
    t['\r'] = t['\n'] = line_break | not_bare;
    for (unsigned char c : std::string_view("\"\\$`!")) t[c] |= shell;
    t['\''] |= apostrophe;
    t[' '] |= space;
    t[':'] |= colon;
    t[';'] |= semicolon;
    for (unsigned char c : std::string_view("[]{}")) t[c] |= glob;
    for (int c = 1; c < 0x20; ++c)
        if (c != '\n') t[c] |= terminal;
    for (int c : {0x7F, int{'^'}, 0xC2, 0xD8, 0xE2}) t[c] |= terminal;
    return t;
}();

/// The classes met in a text, with the counts that change the command's length and what JSON
/// escaping adds to the text (for the collection document: every byte it escapes is a hit of
/// the URL and header masks, so that counting it costs a lookup per hit).
struct Result {
    std::uint16_t classes = 0;
    std::uint64_t apostrophes = 0;
    std::uint64_t spaces = 0;
    std::uint64_t escapes = 0;

    void add(unsigned char b) noexcept {
        classes |= byte_class[b];
        apostrophes += b == '\'';
        spaces += b == ' ';
        escapes += escape_extra[b];
    }
    /// add() for the byte at s[pos], where a lead byte or '^' counts as `terminal` only when its
    /// character is acted on: text with dashes, quotes or signs of U+2000-U+2FFF stays plain.
    void add_in(std::string_view s, std::size_t pos) noexcept {
        auto b = static_cast<unsigned char>(s[pos]);
        std::uint16_t c = byte_class[b];
        if ((c & terminal) && b >= '^' && b != 0x7F && terminal::acted_on(s, pos) == 0) c &= ~terminal;
        classes |= c;
        apostrophes += b == '\'';
        spaces += b == ' ';
        escapes += escape_extra[b];
    }
};

namespace detail {

#if TOLMEK_SSE2

using Chunk = __m128i;
inline constexpr std::size_t chunk_size = 16;

inline Chunk load(const unsigned char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m128i eq(__m128i x, char c) noexcept { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); }
/// Bytes with an unsigned value at most `limit`.
inline __m128i at_most(__m128i x, unsigned char limit) noexcept {
    return _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(static_cast<char>(limit))), x);
}
inline std::uint64_t bits(__m128i m) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(m)); }
/// From a mask's bits to byte positions.
inline std::size_t position(std::uint64_t bits) noexcept { return static_cast<std::size_t>(std::countr_zero(bits)); }
/// The mask bits of the first `n` bytes of a chunk (n < 16).
constexpr std::uint64_t first_bytes(std::size_t n) noexcept { return (std::uint64_t{1} << n) - 1; }

/// URL bytes that are not bare: not a letter, digit or one of _ @ % + = : , . / -.
inline std::uint64_t url_mask(Chunk x) noexcept {
    __m128i letter = at_most(_mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a')), 25);
    __m128i digit = at_most(_mm_sub_epi8(x, _mm_set1_epi8('0')), 9);
    __m128i punct = _mm_or_si128(_mm_or_si128(_mm_or_si128(eq(x, '_'), eq(x, '@')), _mm_or_si128(eq(x, '%'), eq(x, '+'))),
                                 _mm_or_si128(_mm_or_si128(eq(x, '='), eq(x, ':')), eq(x, ',')));
    // '-', '.' and '/' are adjacent: 0x2D to 0x2F.
    __m128i dash_dot_slash = at_most(_mm_sub_epi8(x, _mm_set1_epi8('-')), 2);
    return ~bits(_mm_or_si128(_mm_or_si128(letter, digit), _mm_or_si128(punct, dash_dot_slash))) & 0xFFFF;
}

/// The bytes that may start a character a terminal acts on, besides those below 0x20: DEL and
/// the lead bytes of C1 controls (0xC2) and of bidirectional controls (0xD8, 0xE2).
inline __m128i terminal_leads(Chunk x) noexcept {
    return _mm_or_si128(_mm_or_si128(eq(x, 0x7F), eq(x, static_cast<char>(0xC2))),
                        _mm_or_si128(eq(x, static_cast<char>(0xD8)), eq(x, static_cast<char>(0xE2))));
}

/// Header bytes that may matter: below 0x20 (NUL, CR, LF; all of them JSON escapes), " \ $ ` ! ' : ;,
/// and terminal_leads().
inline std::uint64_t header_mask(Chunk x) noexcept {
    // '!' and '"' are 0x21 and 0x22; ':' and ';' 0x3A and 0x3B.
    __m128i m = _mm_or_si128(at_most(x, 0x1F), at_most(_mm_sub_epi8(x, _mm_set1_epi8('!')), 1));
    m = _mm_or_si128(m, _mm_or_si128(eq(x, '$'), eq(x, '\'')));
    m = _mm_or_si128(m, _mm_or_si128(eq(x, '\\'), eq(x, '`')));
    m = _mm_or_si128(m, at_most(_mm_sub_epi8(x, _mm_set1_epi8(':')), 1));
    return bits(_mm_or_si128(m, terminal_leads(x)));
}

/// Body bytes that may matter: NUL, the apostrophe, '^', controls other than LF (line breaks
/// are most of a pretty-printed body's few hits) and terminal_leads().
inline std::uint64_t body_mask(Chunk x) noexcept {
    __m128i m = _mm_andnot_si128(eq(x, '\n'), at_most(x, 0x1F));
    m = _mm_or_si128(m, _mm_or_si128(eq(x, '\''), eq(x, '^')));
    return bits(_mm_or_si128(m, terminal_leads(x)));
}

#else

using Chunk = std::uint64_t;
inline constexpr std::size_t chunk_size = 8;

inline Chunk load(const unsigned char* p) noexcept { return words::load(reinterpret_cast<const char*>(p)); }
/// From a mask's bits (the high bit of each byte) to byte positions.
inline std::size_t position(std::uint64_t bits) noexcept { return static_cast<std::size_t>(std::countr_zero(bits)) >> 3; }
/// The mask bits of the first `n` bytes of a chunk (n < 8).
constexpr std::uint64_t first_bytes(std::size_t n) noexcept { return (std::uint64_t{1} << (8 * n)) - 1; }

// Bits above the lowest flagged byte may be false alarms; every flagged byte goes through the
// table, which has the final say, so a false alarm costs a lookup and nothing else.
inline std::uint64_t terminal_leads(Chunk w) noexcept {
    using words::bytes_equal;
    return bytes_equal(w, 0x7F) | bytes_equal(w, 0xC2) | bytes_equal(w, 0xD8) | bytes_equal(w, 0xE2);
}
inline std::uint64_t url_mask(Chunk) noexcept { return words::highs; }  // every byte
inline std::uint64_t header_mask(Chunk w) noexcept {
    using words::bytes_equal;
    return words::control_bytes(w) | bytes_equal(w, '!') | bytes_equal(w, '"') | bytes_equal(w, '$') |
           bytes_equal(w, '\'') | bytes_equal(w, '\\') | bytes_equal(w, '`') | bytes_equal(w, ':') | bytes_equal(w, ';') |
           terminal_leads(w);
}
inline std::uint64_t body_mask(Chunk w) noexcept {
    return words::control_bytes(w) | words::bytes_equal(w, '\'') | words::bytes_equal(w, '^') | terminal_leads(w);
}

#endif

}  // namespace detail

/// Calls `visit(position)`, in order, for each byte of [p, p + n) that `Mask` flags (a superset
/// of the bytes that matter; the class table has the final say). Reads whole chunks: the memory
/// up to chunk_size - 1 bytes past the end must be readable (record blocks carry that padding).
template <std::uint64_t (*Mask)(detail::Chunk), class Visit>
inline void for_each_hit(const char* p, std::size_t n, Visit&& visit) noexcept {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; i += detail::chunk_size) {
        std::uint64_t bits = Mask(detail::load(u + i));
        if (bits == 0) [[likely]]
            continue;
        if (n - i < detail::chunk_size) bits &= detail::first_bytes(n - i);
        for (; bits != 0; bits &= bits - 1) visit(i + detail::position(bits));
    }
}

/// The classes of the bytes of `s` that `Mask` flags, through the table (padded memory, as
/// for_each_hit).
template <std::uint64_t (*Mask)(detail::Chunk)>
inline Result classify(std::string_view s) noexcept {
    Result r;
    for_each_hit<Mask>(s.data(), s.size(), [&](std::size_t pos) { r.add_in(s, pos); });
    return r;
}

inline Result url(std::string_view s) noexcept { return classify<detail::url_mask>(s); }

/// The body's classes: NUL and apostrophes are its hits.
inline Result body(std::string_view s) noexcept { return classify<detail::body_mask>(s); }

/// True if a "." or a "%" (of "%2e") starts a segment of `s` (first in it, or right after a
/// "/"): the only places where a dot segment can begin. Reads the byte before `s` and whole
/// chunks past its end (padded record memory).
inline bool segment_may_be_dots(std::string_view s) noexcept {
    if (s.empty()) return false;
    if (s.front() == '.' || s.front() == '%') return true;
#if TOLMEK_SSE2
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size(); i += 16) {
        __m128i x = detail::load(p + i), before = detail::load(p + i - 1);
        __m128i starts = _mm_or_si128(detail::eq(x, '.'), detail::eq(x, '%'));
        std::uint64_t bits = detail::bits(_mm_and_si128(starts, detail::eq(before, '/')));
        if (s.size() - i < 16) bits &= detail::first_bytes(s.size() - i);
        if (bits != 0) return true;
    }
    return false;
#else
    return s.find("/.") != std::string_view::npos || s.find("/%") != std::string_view::npos;
#endif
}

}  // namespace tolmek::render::scan
