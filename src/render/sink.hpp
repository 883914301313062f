// Output sinks shared by the renderers: a measuring pass, a UTF-8 writer and fixed-width writers.
//
// Every renderer is a template over a sink and is run twice: once with Measure to learn the
// exact length (in code points) and the widest character, then with a writer into storage of
// exactly that size. Text handed to a sink must be valid UTF-8.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "render/words.hpp"

namespace tolmek::render {

/// Widest character class in a text; it decides how wide each stored character must be.
enum class Width : std::uint8_t { ascii, latin1, bmp, astral };

/// Largest code point of a width class, as storage that holds the text must accept it.
constexpr std::uint32_t max_char(Width w) noexcept {
    constexpr std::uint32_t limits[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
    return limits[static_cast<std::size_t>(w)];
}

/// First pass: counts code points and finds the width class without writing anything.
class Measure {
public:
    void ascii(std::string_view s) noexcept { length_ += s.size(); }
    void ascii(char) noexcept { ++length_; }
    void text(std::string_view s) noexcept {
        // Eight bytes at a time: code points are the bytes that are not continuation bytes
        // (10xxxxxx); the width class follows from the lead bytes, as continuation bytes never
        // exceed 0xBF while 0xC2-0xC3 start Latin-1, 0xC4-0xEF the rest of the BMP and
        // 0xF0-0xF4 astral characters.
        using words::highs, words::ones;
        constexpr std::uint64_t lows = 0x7F7F7F7F7F7F7F7Fu, nibbles = 0xF0F0F0F0F0F0F0F0u;
        std::uint64_t non_ascii = 0, from_c4 = 0, from_f0 = 0;
        std::size_t continuation = 0;
        const char* end = s.data() + s.size();
        for (const char* p = s.data(); p != end;) {
            // Padding of a short tail is spaces: ASCII, never counted.
            auto [word, size] = words::next_chunk(p, end);
            p += size;
            std::uint64_t high = word & highs;
            if (high == 0) continue;
            non_ascii |= high;
            continuation += static_cast<std::size_t>(__builtin_popcountll(high & ~(word << 1)));
            from_c4 |= high & ((word & lows) + ones * 0x3C);
            from_f0 |= words::zero_bytes((word & nibbles) ^ nibbles);  // bytes 0xF0 and above
        }
        length_ += s.size() - continuation;
        if (non_ascii == 0) return;
        Width w = from_f0 ? Width::astral : from_c4 ? Width::bmp : Width::latin1;
        width_ = std::max(width_, w);
    }

    std::size_t length() const noexcept { return length_; }
    Width width() const noexcept { return width_; }

private:
    std::size_t length_ = 0;
    Width width_ = Width::ascii;
};

/// Writes UTF-8 bytes into a buffer that the measuring pass sized (in bytes, see Utf8Measure).
class Utf8Writer {
public:
    explicit Utf8Writer(char* out) noexcept : out_(out) {}
    void ascii(std::string_view s) noexcept { text(s); }
    void ascii(char c) noexcept { *out_++ = c; }
    void text(std::string_view s) noexcept {
        if (!s.empty()) std::memcpy(out_, s.data(), s.size());
        out_ += s.size();
    }
    char* position() const noexcept { return out_; }

private:
    char* out_;
};

/// Counts UTF-8 bytes, for sizing a Utf8Writer's buffer.
class Utf8Measure {
public:
    void ascii(std::string_view s) noexcept { size_ += s.size(); }
    void ascii(char) noexcept { ++size_; }
    void text(std::string_view s) noexcept { size_ += s.size(); }
    std::size_t size() const noexcept { return size_; }

private:
    std::size_t size_ = 0;
};

/// Decodes UTF-8 into fixed-width code units (1, 2 or 4 bytes) of a width class at least as
/// wide as every character written, which the measuring pass guarantees.
template <class Unit>
class UnitWriter {
public:
    explicit UnitWriter(Unit* out) noexcept : out_(out) {}
    void ascii(std::string_view s) noexcept {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        widen(p, p + s.size());
    }
    void ascii(char c) noexcept { *out_++ = static_cast<Unit>(static_cast<unsigned char>(c)); }
    void text(std::string_view s) noexcept {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        const auto* end = p + s.size();
        while (p < end) {
            // 1. Copy the run of ASCII bytes up to the next multi-byte sequence, widening
            //    each byte; the run is found eight bytes at a time.
            const unsigned char* run = p;
            for (; end - p >= 8; p += 8)
                if (words::load(reinterpret_cast<const char*>(p)) & words::highs) break;
            while (p < end && *p < 0x80) ++p;
            widen(run, p);
            if (p == end) break;
            // 2. Decode one multi-byte sequence (the input is valid UTF-8).
            unsigned c = *p;
            if (c < 0xE0) {
                *out_++ = static_cast<Unit>(((c & 0x1F) << 6) | (p[1] & 0x3F));
                p += 2;
            } else if (c < 0xF0) {
                *out_++ = static_cast<Unit>(((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
                p += 3;
            } else {
                *out_++ = static_cast<Unit>(((c & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
                                            (p[3] & 0x3F));
                p += 4;
            }
        }
    }
    Unit* position() const noexcept { return out_; }

private:
    void widen(const unsigned char* first, const unsigned char* last) noexcept {
        if constexpr (sizeof(Unit) == 1) {
            if (first == last) return;  // an empty view may have no data pointer at all
            std::memcpy(out_, first, static_cast<std::size_t>(last - first));
            out_ += last - first;
        } else {
            // A local pointer lets the compiler vectorise: stores through out_ itself could
            // alias the member as far as it knows.
            Unit* out = out_;
            auto n = static_cast<std::size_t>(last - first);
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<Unit>(first[i]);
            out_ = out + n;
        }
    }

    Unit* out_;
};

/// Runs a renderer into a new std::string of UTF-8 (used by tests, fuzzing and tools).
template <class Render>
std::string render_utf8(Render&& render) {
    Utf8Measure measure;
    render(measure);
    std::string out(measure.size(), '\0');
    Utf8Writer writer(out.data());
    render(writer);
    return out;
}

}  // namespace tolmek::render
