// Word-at-a-time byte tests: eight bytes of text examined in one 64-bit word.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tolmek::render::words {

inline constexpr std::uint64_t ones = 0x0101010101010101u;
inline constexpr std::uint64_t highs = 0x8080808080808080u;

// Words hold bytes in little-endian order on every machine: the first byte in memory is the
// lowest, so the lowest flagged byte (std::countr_zero / 8) is the first one in the text.
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

/// `x`, as memcpy read it, in little-endian order (its bytes swapped on a big-endian machine).
template <class T>
inline T little_endian(T x) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        T swapped = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) swapped |= ((x >> (8 * i)) & 0xFF) << (8 * (sizeof(T) - 1 - i));
        return swapped;
    } else {
        return x;
    }
}

/// Eight bytes, the first one lowest.
inline std::uint64_t load(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return little_endian(word);
}

/// Loads 1 to 7 bytes (the first one lowest) into a word whose other bytes are spaces,
/// which are ASCII and need no escaping or quoting; a few overlapping loads, no byte loop.
inline std::uint64_t load_short(const char* p, std::size_t n) noexcept {
    std::uint64_t word;
    if (n >= 4) {
        std::uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + n - 4, 4);
        low = little_endian(low);
        high = little_endian(high);
        word = low | (std::uint64_t{high} << (8 * (n - 4)));
    } else {
        auto at = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
        word = at(0) | (at(n >> 1) << (8 * (n >> 1))) | (at(n - 1) << (8 * (n - 1)));
    }
    return word | (0x2020202020202020u << (8 * n));
}

/// The next up-to-eight bytes of [p, end) and how many there were; a short tail is padded
/// as load_short pads it.
struct Chunk {
    std::uint64_t word;
    std::size_t size;
};
inline Chunk next_chunk(const char* p, const char* end) noexcept {
    if (end - p >= 8) return {load(p), 8};
    auto n = static_cast<std::size_t>(end - p);
    return {load_short(p, n), n};
}

/// The high bit of every zero byte of `x`. Bits above the lowest one may be false alarms
/// (a borrow runs on); the lowest one, and whether any is set, are exact.
constexpr std::uint64_t zero_bytes(std::uint64_t x) noexcept { return (x - ones) & ~x & highs; }

/// The high bit of every byte of `word` equal to `c` (same exactness as zero_bytes).
constexpr std::uint64_t bytes_equal(std::uint64_t word, unsigned char c) noexcept {
    return zero_bytes(word ^ (ones * c));
}

/// The high bit of every byte of `word` below 0x20 (same exactness as zero_bytes).
constexpr std::uint64_t control_bytes(std::uint64_t word) noexcept { return (word - ones * 0x20) & ~word & highs; }

}  // namespace tolmek::render::words
