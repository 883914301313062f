// Deciding a record's item of the collection document: its exact length and widest character.
#include "render/document_plan.hpp"

#include <algorithm>

#include "render/json.hpp"
#include "render/postman.hpp"
#include "render/scan.hpp"

namespace tolmek::render {

namespace {

#if TOLMEK_SSE2

/// Sums, over the 16-byte chunks of [p, p + n), the bytes `flags` marks in each of its two
/// masks (all-ones bytes); returns {first, second}. Counts go up in byte lanes and are folded
/// into the totals before a lane could overflow, so the loop takes no branch per hit.
template <class Flags>
std::pair<std::uint64_t, std::uint64_t> count_flagged(const char* p, std::size_t n, Flags flags) noexcept {
    // The first k lanes of a chunk: load 16 bytes at tail + 16 - k.
    alignas(16) static constexpr unsigned char tail[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t first = 0, second = 0;
    auto fold = [&](__m128i a, __m128i b) {
        __m128i sa = _mm_sad_epu8(a, zero), sb = _mm_sad_epu8(b, zero);
        first += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sa)) +
                 static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sa, sa)));
        second += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sb)) +
                  static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sb, sb)));
    };
    for (std::size_t i = 0; i < n;) {
        __m128i a = zero, b = zero;
        // At most 255 chunks per lane count.
        for (std::size_t lap = 0; lap < 255 && i < n; ++lap, i += 16) {
            __m128i x = scan::detail::load(u + i);
            auto [fa, fb] = flags(x);
            if (n - i < 16) {
                __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail + 16 - (n - i)));
                fa = _mm_and_si128(fa, keep);
                fb = _mm_and_si128(fb, keep);
            }
            a = _mm_sub_epi8(a, fa);  // an all-ones lane is -1
            b = _mm_sub_epi8(b, fb);
        }
        fold(a, b);
    }
    return {first, second};
}

#endif

}  // namespace

std::uint64_t json_escape_extra(std::string_view s) noexcept {
#if TOLMEK_SSE2
    using scan::detail::at_most, scan::detail::eq;
    // Every escaped byte adds one; a control byte without a letter of its own adds four more.
    auto [escaped, long_form] = count_flagged(s.data(), s.size(), [](__m128i x) {
        __m128i control = at_most(x, 0x1F);
        __m128i any = _mm_or_si128(control, _mm_or_si128(eq(x, '"'), eq(x, '\\')));
        // \b \t \n \f \r are 0x08 to 0x0D without 0x0B.
        __m128i lettered = _mm_andnot_si128(eq(x, 0x0B), at_most(_mm_sub_epi8(x, _mm_set1_epi8(0x08)), 5));
        return std::pair{any, _mm_andnot_si128(lettered, control)};
    });
    return escaped + 4 * long_form;
#else
    std::uint64_t extra = 0;
    const char* end = s.data() + s.size();
    for (const char* p = s.data(); p != end;) {
        auto [word, size] = words::next_chunk(p, end);
        if (escape_mask(word) != 0) {
            for (std::size_t k = 0; k < size; ++k) {
                char letter = json_detail::escape[static_cast<unsigned char>(p[k])];
                extra += letter == 0 ? 0 : letter == 'u' ? 5 : 1;
            }
        }
        p += size;
    }
    return extra;
#endif
}

std::uint64_t count_slashes(std::string_view s) noexcept {
#if TOLMEK_SSE2
    return count_flagged(s.data(), s.size(), [](__m128i x) { return std::pair{scan::detail::eq(x, '/'), _mm_setzero_si128()}; })
        .first;
#else
    return static_cast<std::uint64_t>(std::count(s.begin(), s.end(), '/'));
#endif
}

void plan_document(model::RecordWriter& writer, std::uint64_t url_code_points, std::uint64_t text_code_points,
                   Width text_width) noexcept {
    namespace t = document_text;
    model::Record record = writer.record();
    model::RecordHeader& header = writer.header();
    std::string_view url = record.url();
    // The other texts (header names and values, then the body) follow the URL to the block's end.
    const char* others = url.data() + url.size();
    std::string_view rest_of_texts(others, static_cast<std::size_t>(static_cast<const char*>(record.data()) +
                                                                     record.size() - others));
    std::uint64_t url_escapes = json_escape_extra(url);
    std::uint64_t other_escapes = json_escape_extra(rest_of_texts);
    auto json = [](std::uint64_t code_points, std::uint64_t escapes) { return 2 + code_points + escapes; };
    auto separators = [](std::uint64_t count) { return count == 0 ? 0 : count - 1; };

    // The URL's object: host and path elements are the text after the scheme without its "/"
    // (the scheme and "://" or "//" are ASCII and need no escaping).
    UrlSplit split = split_host(url);
    std::uint64_t prefix = url.size() - split.parts.rest.size();
    std::uint64_t slashes = count_slashes(split.parts.rest);
    std::uint64_t path_elements = slashes + (split.host_end != split.slash ? 1 : 0);
    std::uint64_t url_object = t::host_open.size() + json(url_code_points - prefix - slashes, url_escapes) +
                               2 * path_elements + t::path_open.size() + separators(path_elements) +
                               t::protocol_open.size() + json(split.parts.protocol.size(), 0) + t::raw_open.size() +
                               json(url_code_points, url_escapes);

    std::uint64_t headers = record.headers().size();
    std::uint64_t per_header = t::key_open.size() + 2 + t::value_open.size() + 2 + t::header_close.size();
    std::uint64_t length = t::item_open.size() + json(url_code_points, url_escapes) + t::body_open.size() + 2 +
                           t::headers_open.size() + headers * per_header + separators(headers) +
                           (text_code_points - url_code_points) + other_escapes + t::method_open.size() +
                           model::name_text(record.method()).size() + url_object + t::item_close.size();
    header.document_length = length < model::unnoted_length ? static_cast<std::uint32_t>(length) : model::unnoted_length;
    header.document_width = static_cast<std::uint8_t>(text_width);
}

}  // namespace tolmek::render
