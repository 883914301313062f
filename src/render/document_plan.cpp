// Deciding a record's item of the collection document: its exact length and widest character.
#include "render/document_plan.hpp"

#include <algorithm>

#include "render/json.hpp"
#include "render/postman.hpp"
#include "render/scan.hpp"

namespace tolmek::render {

namespace {

#if TOLMEK_SSE2

/// Bytes of one 16-byte chunk counted up in byte lanes: each lane holds at most 255, so the
/// lanes are folded into a total every 255 chunks.
class LaneCount {
public:
    void add(__m128i flags) noexcept {
        lanes_ = _mm_sub_epi8(lanes_, flags);  // an all-ones lane is -1
        if (++laps_ == 255) fold();
    }
    std::uint64_t total() noexcept {
        fold();
        return total_;
    }

private:
    void fold() noexcept {
        __m128i sums = _mm_sad_epu8(lanes_, _mm_setzero_si128());
        total_ += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                  static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
        lanes_ = _mm_setzero_si128();
        laps_ = 0;
    }

    __m128i lanes_ = _mm_setzero_si128();
    unsigned laps_ = 0;
    std::uint64_t total_ = 0;
};

/// The four more characters of each \u00xx escape among the control bytes `bits` marks in
/// the chunk at p (rare: most control bytes in text are line breaks and tabs).
std::uint64_t long_escapes(const unsigned char* p, std::uint64_t bits) noexcept {
    std::uint64_t extra = 0;
    for (; bits != 0; bits &= bits - 1)
        extra += json_detail::escape[p[scan::detail::position(bits)]] == 'u' ? 4 : 0;
    return extra;
}

#endif

}  // namespace

std::uint64_t json_escape_extra(std::string_view s) noexcept {
#if TOLMEK_SSE2
    using scan::detail::at_most, scan::detail::bits, scan::detail::eq;
    const auto* u = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0;
    LaneCount escaped;
    std::uint64_t extra = 0;
    // Every escaped byte adds one; a control byte without a letter of its own adds four more.
    for (; n - i >= 16; i += 16) {
        __m128i x = scan::detail::load(u + i);
        __m128i control = at_most(x, 0x1F);
        escaped.add(_mm_or_si128(control, _mm_or_si128(eq(x, '"'), eq(x, '\\'))));
        if (std::uint64_t c = bits(control)) [[unlikely]]
            extra += long_escapes(u + i, c);
    }
    if (i != n) {
        // The last bytes, within a whole chunk of padded memory.
        __m128i x = scan::detail::load(u + i);
        __m128i control = at_most(x, 0x1F);
        std::uint64_t keep = scan::detail::first_bytes(n - i);
        std::uint64_t hits = bits(_mm_or_si128(control, _mm_or_si128(eq(x, '"'), eq(x, '\\')))) & keep;
        for (; hits != 0; hits &= hits - 1) ++extra;
        extra += long_escapes(u + i, bits(control) & keep);
    }
    return escaped.total() + extra;
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
    const auto* u = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0;
    LaneCount slashes;
    for (; n - i >= 16; i += 16) slashes.add(scan::detail::eq(scan::detail::load(u + i), '/'));
    std::uint64_t extra = 0;
    if (i != n) {
        std::uint64_t hits = scan::detail::bits(scan::detail::eq(scan::detail::load(u + i), '/')) &
                             scan::detail::first_bytes(n - i);
        for (; hits != 0; hits &= hits - 1) ++extra;
    }
    return slashes.total() + extra;
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
