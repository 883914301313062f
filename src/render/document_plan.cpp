// Deciding a record's item of the collection document: its exact length and widest character.
#include "render/document_plan.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "render/escapes.hpp"
#include "render/postman.hpp"

namespace tolmek::render {

namespace {

namespace t = document_text;

/// What the URL's object needs of the URL after its scheme (`rest`): its "/" and whether a "?"
/// or "#" ends the host before the first "/" (split_host(), with the host's end and the first
/// "/" found in the same pass; padded memory, as copy_json_sums).
struct UrlShape {
    std::uint64_t slashes = 0;
    bool host_ends_early = false;
};

UrlShape url_shape(std::string_view rest) noexcept {
    UrlShape shape;
#if TOLMEK_SSE2
    const auto* u = reinterpret_cast<const unsigned char*>(rest.data());
    std::size_t n = rest.size();
    bool first_found = false;
    // Byte lanes count the slashes, at most one a chunk: summed every 255 chunks.
    __m128i lanes = _mm_setzero_si128();
    unsigned laps = 0;
    auto chunk = [&](std::size_t i, __m128i keep) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
        __m128i slashes = _mm_and_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('/')), keep);
        lanes = _mm_sub_epi8(lanes, slashes);
        if (!first_found) {
            __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('?')), _mm_cmpeq_epi8(x, _mm_set1_epi8('#')));
            if (auto marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_or_si128(slashes, ends), keep)))) {
                first_found = true;
                shape.host_ends_early = u[i + static_cast<std::size_t>(std::countr_zero(marks))] != '/';
            }
        }
        if (++laps == 255) {
            shape.slashes += lane_sum(lanes);
            lanes = _mm_setzero_si128();
            laps = 0;
        }
    };
    std::size_t i = 0;
    for (; n - i >= 16; i += 16) chunk(i, _mm_set1_epi8(-1));
    if (i != n) {
        // The last bytes, within a whole chunk of padded memory.
        alignas(16) static constexpr signed char first[32] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                               -1, -1, -1, -1, -1, -1, -1, -1};
        chunk(i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 16 - (n - i))));
    }
    shape.slashes += lane_sum(lanes);
#else
    std::size_t first = rest.find_first_of("/?#");
    shape.host_ends_early = first != std::string_view::npos && rest[first] != '/';
    shape.slashes = static_cast<std::uint64_t>(std::count(rest.begin(), rest.end(), '/'));
#endif
    return shape;
}

/// The item's length but for its texts' lengths inside JSON strings: the fixed text, the
/// quotes, separators, the method, and the URL's object but for its texts. `parts` is the
/// record's URL split at its scheme, `shape` what follows the scheme.
std::uint64_t item_frame(model::Record record, const UrlParts& parts, UrlShape shape) noexcept {
    auto separators = [](std::uint64_t count) { return count == 0 ? 0 : count - 1; };
    std::uint64_t prefix = record.url().size() - parts.rest.size();
    std::uint64_t slashes = shape.slashes;
    std::uint64_t path_elements = slashes + (shape.host_ends_early ? 1 : 0);
    // The host and path elements are the URL after its scheme without the "/" (the scheme and
    // "://" or "//" are ASCII and need no escaping); the raw copy is the whole URL.
    std::uint64_t url_object = t::host_open.size() + 2 - prefix - slashes + 2 * path_elements + t::path_open.size() +
                               separators(path_elements) + t::protocol_open.size() + 2 + parts.protocol.size() +
                               t::raw_open.size() + 2;
    std::uint64_t headers = record.headers().size();
    std::uint64_t per_header = t::key_open.size() + 2 + t::value_open.size() + 2 + t::header_close.size();
    return t::item_open.size() + 2 + t::body_open.size() + 2 + t::headers_open.size() + headers * per_header +
           separators(headers) + t::method_open.size() + model::name_text(record.method()).size() + url_object +
           t::item_close.size();
}

void set_length(model::RecordHeader& notes, std::uint64_t length) noexcept {
    notes.document_length = length < model::unnoted_length ? static_cast<std::uint32_t>(length) : model::unnoted_length;
    notes.document_notes = whole;
}

}  // namespace

void copy_noting_document(model::Record record, void* out) noexcept {
    const model::RecordHeader& header = record.header();
    auto& notes = *static_cast<model::RecordHeader*>(out);
    if (header.document_notes == whole) {
        std::memmove(out, record.data(), record.size());
        return;
    }
    std::string_view url = record.url();
    UrlParts parts = split_url(url);
    if (header.document_notes == texts_noted) {
        // The URL's structure and the body's escapes are what the note lacks.
        std::uint64_t length = header.document_length + item_frame(record, parts, url_shape(parts.rest));
        if (auto body = record.body()) length += json_escape_extra(*body);
        std::memmove(out, record.data(), record.size());
        set_length(notes, length);
        return;
    }
    // Nothing noted: the texts are counted as they are copied; the fixed part is copied as it is.
    // The other texts (header names and values, then the body) follow the URL to the block's end.
    const char* start = static_cast<const char*>(record.data());
    const char* others = url.data() + url.size();
    std::string_view rest_of_texts(others, static_cast<std::size_t>(start + record.size() - others));
    char* copy = static_cast<char*>(out);
    auto fixed = static_cast<std::size_t>(url.data() - start);
    std::memmove(copy, start, fixed);
    JsonSums url_sums = copy_json_sums(url, copy + fixed);
    JsonSums other_sums = copy_json_sums(rest_of_texts, copy + fixed + url.size());
    set_length(notes, 3 * url_sums.units + other_sums.units + item_frame(record, parts, url_shape(parts.rest)));
    notes.document_width = static_cast<std::uint8_t>(std::max(url_sums.width(), other_sums.width()));
}

}  // namespace tolmek::render
