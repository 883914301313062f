// Output sinks shared by the renderers: a measuring pass, a UTF-8 writer and fixed-width writers.
//
// Every renderer is a template over a sink and writes into storage of exactly the size of its
// output: the exact length (in code points) and the widest character come from a plan decided
// when the record was made, or from a first pass with Measure. Text handed to a sink must be
// valid UTF-8.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform.hpp"
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
            // Count the flags (one per byte, in bit 7) with a multiply: baseline x86-64 has no
            // popcount instruction, and the library call costs more than the whole step.
            continuation += static_cast<std::size_t>((((high & ~(word << 1)) >> 7) * ones) >> 56);
            from_c4 |= high & ((word & lows) + ones * 0x3C);
            from_f0 |= words::zero_bytes((word & nibbles) ^ nibbles);  // bytes 0xF0 and above
        }
        length_ += s.size() - continuation;
        if (non_ascii == 0) return;
        Width w = from_f0 ? Width::astral : from_c4 ? Width::bmp : Width::latin1;
        width_ = std::max(width_, w);
    }

    void text_padded(std::string_view s) noexcept { text(s); }
    void next_part() noexcept {}
    std::size_t length() const noexcept { return length_; }
    Width width() const noexcept { return width_; }

private:
    std::size_t length_ = 0;
    Width width_ = Width::ascii;
};

/// Maps in the pages of a large output a window at a time, half a window ahead of the writing.
/// Mapping them all first (one call instead of a fault per page) leaves the first ones out of the
/// cache by the time they are written; a fault per page costs a trap each. A window of 256 KiB
/// is mapped in one call and written while the kernel's zeroing still has it in the cache.
class PagesAhead {
public:
    PagesAhead(void* first, std::size_t bytes) noexcept
        : next_(static_cast<char*>(first)), last_(static_cast<char*>(first) + bytes) {}
    /// Called as the writing reaches `at`.
    void before(const void* at) noexcept {
        if (next_ == last_ || static_cast<const char*>(at) + window / 2 <= next_) return;
        // Windows end on a 64 KiB boundary (a multiple of every page size), so no page falls
        // between two of them.
        auto end = (reinterpret_cast<std::uintptr_t>(next_) + window) & ~std::uintptr_t{0xFFFF};
        auto room = static_cast<std::uintptr_t>(last_ - next_);
        auto n = std::min<std::uintptr_t>(end - reinterpret_cast<std::uintptr_t>(next_), room);
        platform::prefault_for_writing(next_, n);
        next_ += n;
    }

private:
    static constexpr std::size_t window = std::size_t{256} << 10;
    char* next_;
    char* last_;
};

/// Writes UTF-8 bytes into a buffer that the measuring pass sized (in bytes, see Utf8Measure).
class Utf8Writer {
public:
    explicit Utf8Writer(char* out, PagesAhead* pages = nullptr) noexcept : out_(out), pages_(pages) {}
    /// A renderer of many parts (the collection's items) calls this before each.
    void next_part() noexcept {
        if (pages_ != nullptr) pages_->before(out_);
    }
    void ascii(std::string_view s) noexcept { text(s); }
    void ascii(char c) noexcept { *out_++ = c; }
    void text(std::string_view s) noexcept {
        if (!s.empty()) std::memcpy(out_, s.data(), s.size());
        out_ += s.size();
    }
    void text_padded(std::string_view s) noexcept { text(s); }
    char* position() const noexcept { return out_; }

private:
    char* out_;
    PagesAhead* pages_;
};

/// Counts UTF-8 bytes, for sizing a Utf8Writer's buffer.
class Utf8Measure {
public:
    void ascii(std::string_view s) noexcept { size_ += s.size(); }
    void ascii(char) noexcept { ++size_; }
    void text(std::string_view s) noexcept { size_ += s.size(); }
    void text_padded(std::string_view s) noexcept { text(s); }
    void next_part() noexcept {}
    std::size_t size() const noexcept { return size_; }

private:
    std::size_t size_ = 0;
};

/// Decodes UTF-8 into fixed-width code units (1, 2 or 4 bytes) of a width class at least as
/// wide as every character written, which the measuring pass guarantees.
template <class Unit>
class UnitWriter {
public:
    /// Writes into [out, end), which the measuring pass sized exactly.
    UnitWriter(Unit* out, Unit* end, PagesAhead* pages = nullptr) noexcept : out_(out), end_(end), pages_(pages) {}
    void next_part() noexcept {
        if (pages_ != nullptr) pages_->before(out_);
    }
    void ascii(std::string_view s) noexcept {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        widen(p, p + s.size());
    }
    void ascii(char c) noexcept { *out_++ = static_cast<Unit>(static_cast<unsigned char>(c)); }
    void text(std::string_view s) noexcept {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        const auto* end = p + s.size();
        while (p < end) {
#if TOLMEK_SSE2
            if constexpr (sizeof(Unit) == 2) {
                // 1a. Sixteen bytes at a time: all ASCII become sixteen units in two stores;
                //     otherwise the ASCII bytes before the first other one are widened alone.
                const __m128i zero = _mm_setzero_si128();
                while (end - p >= 16) {
                    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                    auto high = static_cast<unsigned>(_mm_movemask_epi8(x));
                    if (high != 0) {
                        auto k = static_cast<std::size_t>(std::countr_zero(high));
                        widen(p, p + k);
                        p += k;
                        break;
                    }
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out_), _mm_unpacklo_epi8(x, zero));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out_ + 8), _mm_unpackhi_epi8(x, zero));
                    out_ += 16;
                    p += 16;
                }
                if (p == end) break;
            }
#endif
            // 1. Copy the run of ASCII bytes up to the next multi-byte sequence, widening
            //    each byte; the run is found eight bytes at a time.
            const unsigned char* run = p;
            for (; end - p >= 8; p += 8)
                if (words::load(reinterpret_cast<const char*>(p)) & words::highs) break;
            while (p < end && *p < 0x80) ++p;
            widen(run, p);
            if (p == end) break;
            // 2. Decode one multi-byte sequence.
            p = decode_one(p);
        }
    }
    /// As text(), for text followed by at least 16 readable bytes (a record's texts: see
    /// model::read_padding). Where at least 16 units of room are left, two-byte output is
    /// written sixteen units at a time and tails need no byte loop: the units past the text
    /// are written and then overwritten by what follows.
    void text_padded(std::string_view s) noexcept {
#if TOLMEK_SSE2
        if constexpr (sizeof(Unit) == 2) {
            const auto* p = reinterpret_cast<const unsigned char*>(s.data());
            const auto* end = p + s.size();
            const __m128i zero = _mm_setzero_si128();
            while (p < end && end_ - out_ >= 16) {
                __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                auto left = static_cast<std::size_t>(end - p);
                auto high = static_cast<unsigned>(_mm_movemask_epi8(x)) & (left >= 16 ? 0xFFFFu : (1u << left) - 1);
                std::size_t ascii = high != 0 ? static_cast<std::size_t>(std::countr_zero(high)) : std::min<std::size_t>(left, 16);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out_), _mm_unpacklo_epi8(x, zero));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out_ + 8), _mm_unpackhi_epi8(x, zero));
                out_ += ascii;
                p += ascii;
                if (high != 0) p = decode_one(p);
            }
            text(std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p)));
            return;
        }
#endif
        text(s);
    }

    Unit* position() const noexcept { return out_; }

    /// For writers that fill the units themselves (render/json.hpp): where the next unit goes,
    /// the room left, and the new position once they have written.
    Unit* units() const noexcept { return out_; }
    std::size_t room() const noexcept { return static_cast<std::size_t>(end_ - out_); }
    void seek(Unit* to) noexcept { out_ = to; }

    /// Decodes the multi-byte sequence at p (the input is valid UTF-8) into *out; returns what
    /// follows it.
    static const unsigned char* decode_one(const unsigned char* p, Unit*& out) noexcept {
        unsigned c = *p;
        if (c < 0xE0) {
            *out++ = static_cast<Unit>(((c & 0x1F) << 6) | (p[1] & 0x3F));
            return p + 2;
        }
        if (c < 0xF0) {
            *out++ = static_cast<Unit>(((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            return p + 3;
        }
        *out++ = static_cast<Unit>(((c & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F));
        return p + 4;
    }

private:
    const unsigned char* decode_one(const unsigned char* p) noexcept { return decode_one(p, out_); }

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
    Unit* end_;
    PagesAhead* pages_;
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
