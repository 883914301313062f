// Byte classes of the texts a curl command is made of, found sixteen (or eight) bytes at a time.
//
// Most bytes of a URL, a header or a body matter to nobody: a chunk is first tested for bytes
// that might (with SSE2, which every x86-64 has, or with 64-bit words elsewhere), and only those
// go through the class table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__) && !defined(TOLMEK_PORTABLE_SCAN)
#include <emmintrin.h>
#define TOLMEK_SCAN_SSE2 1
#else
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
    return t;
}();

struct Result {
    std::uint16_t classes = 0;  ///< every class met
    std::uint64_t apostrophes = 0;
    std::uint64_t spaces = 0;
};

namespace detail {

inline void hit(Result& r, unsigned char b) noexcept {
    r.classes |= byte_class[b];
    r.apostrophes += b == '\'';
    r.spaces += b == ' ';
}

#if TOLMEK_SCAN_SSE2

/// Runs `mask` (16 bytes -> one bit per byte that may matter) over `s`; each flagged byte goes
/// through the table. The tail is copied into a padded chunk, so nothing past `s` is read.
template <class Mask>
Result chunks(std::string_view s, Mask mask) noexcept {
    Result r;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0;
    auto visit = [&r](const unsigned char* at, unsigned bits) {
        for (; bits != 0; bits &= bits - 1) hit(r, at[__builtin_ctz(bits)]);
    };
    for (; i + 16 <= n; i += 16) visit(p + i, mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))));
    if (i < n) {
        alignas(16) unsigned char tail[16] = {};
        std::memcpy(tail, p + i, n - i);
        visit(tail, mask(_mm_load_si128(reinterpret_cast<const __m128i*>(tail))) & ((1u << (n - i)) - 1));
    }
    return r;
}

inline __m128i eq(__m128i x, char c) noexcept { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); }
/// Bytes with an unsigned value at most `limit`.
inline __m128i at_most(__m128i x, unsigned char limit) noexcept {
    return _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(static_cast<char>(limit))), x);
}
inline unsigned bits(__m128i m) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(m)); }

#else

/// The portable form: eight bytes a word, the same contract as the SSE2 one.
template <class Mask>
Result chunks(std::string_view s, Mask mask) noexcept {
    Result r;
    const char* p = s.data();
    const char* end = p + s.size();
    while (p != end) {
        auto [word, size] = words::next_chunk(p, end);
        // Bits above the lowest flagged byte may be false alarms; each goes through the table,
        // which has the final say.
        for (std::uint64_t m = mask(word) & (size == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * size)) - 1);
             m != 0; m &= m - 1)
            hit(r, static_cast<unsigned char>(p[__builtin_ctzll(m) >> 3]));
        p += size;
    }
    return r;
}

#endif

}  // namespace detail

/// A URL: every byte that is not bare (so whether the URL must be quoted, and why).
inline Result url(std::string_view s) noexcept {
#if TOLMEK_SCAN_SSE2
    return detail::chunks(s, [](__m128i x) {
        using namespace detail;
        __m128i letter = at_most(_mm_sub_epi8(_mm_or_si128(x, _mm_set1_epi8(0x20)), _mm_set1_epi8('a')), 25);
        __m128i digit = at_most(_mm_sub_epi8(x, _mm_set1_epi8('0')), 9);
        __m128i punct = _mm_or_si128(_mm_or_si128(_mm_or_si128(eq(x, '_'), eq(x, '@')), _mm_or_si128(eq(x, '%'), eq(x, '+'))),
                                     _mm_or_si128(_mm_or_si128(eq(x, '='), eq(x, ':')), eq(x, ',')));
        // '-', '.' and '/' are adjacent: 0x2D to 0x2F.
        __m128i dash_dot_slash = at_most(_mm_sub_epi8(x, _mm_set1_epi8('-')), 2);
        return ~bits(_mm_or_si128(_mm_or_si128(letter, digit), _mm_or_si128(punct, dash_dot_slash))) & 0xFFFF;
    });
#else
    Result r;
    for (unsigned char b : s) detail::hit(r, b);
    return r;
#endif
}

/// A header name or value: NUL, CR, LF (with the other bytes up to 0x0D), " \ $ ` ! ' : ;.
inline Result header_text(std::string_view s) noexcept {
#if TOLMEK_SCAN_SSE2
    return detail::chunks(s, [](__m128i x) {
        using namespace detail;
        // '!' and '"' are 0x21 and 0x22; ':' and ';' 0x3A and 0x3B.
        __m128i m = _mm_or_si128(at_most(x, 0x0D), at_most(_mm_sub_epi8(x, _mm_set1_epi8('!')), 1));
        m = _mm_or_si128(m, _mm_or_si128(eq(x, '$'), eq(x, '\'')));
        m = _mm_or_si128(m, _mm_or_si128(eq(x, '\\'), eq(x, '`')));
        m = _mm_or_si128(m, at_most(_mm_sub_epi8(x, _mm_set1_epi8(':')), 1));
        return bits(m);
    });
#else
    return detail::chunks(s, [](std::uint64_t w) {
        using words::bytes_equal;
        return words::control_bytes(w) | bytes_equal(w, '!') | bytes_equal(w, '"') | bytes_equal(w, '$') |
               bytes_equal(w, '\'') | bytes_equal(w, '\\') | bytes_equal(w, '`') | bytes_equal(w, ':') |
               bytes_equal(w, ';');
    });
#endif
}

/// A body: NUL and apostrophes only.
inline Result body(std::string_view s) noexcept {
#if TOLMEK_SCAN_SSE2
    return detail::chunks(s, [](__m128i x) {
        using namespace detail;
        return bits(_mm_or_si128(eq(x, '\0'), eq(x, '\'')));
    });
#else
    return detail::chunks(s, [](std::uint64_t w) { return words::zero_bytes(w) | words::bytes_equal(w, '\''); });
#endif
}

}  // namespace tolmek::render::scan
