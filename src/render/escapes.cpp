// Counting what JSON escaping adds to a text, on its own (the scans of a record's texts count it alongside).
#include "render/escapes.hpp"

#include "render/words.hpp"

namespace tolmek::render {

std::uint64_t json_escape_extra(std::string_view s) noexcept {
#if TOLMEK_SSE2
    const auto* u = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0;
    escape_detail::EscapeCount count;
    for (; n - i >= 16; i += 16) count.add(u + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i)));
    // The last bytes, within a whole chunk of padded memory.
    if (i != n) count.add_last(u + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i)), (1u << (n - i)) - 1);
    return count.total();
#else
    std::uint64_t extra = 0;
    const char* end = s.data() + s.size();
    for (const char* p = s.data(); p != end;) {
        auto [word, size] = words::next_chunk(p, end);
        if (escape_mask(word) != 0)
            for (std::size_t k = 0; k < size; ++k) extra += escape_extra[static_cast<unsigned char>(p[k])];
        p += size;
    }
    return extra;
#endif
}

}  // namespace tolmek::render
