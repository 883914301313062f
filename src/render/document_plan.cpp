// Deciding a record's item of the collection document: its exact length and widest character.
#include "render/document_plan.hpp"

#include <algorithm>

#include "render/escapes.hpp"
#include "render/json.hpp"
#include "render/postman.hpp"
#include "render/scan.hpp"

namespace tolmek::render {

std::uint64_t count_slashes(std::string_view s) noexcept {
#if TOLMEK_SSE2
    const auto* u = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0;
    escape_detail::LaneCount slashes;
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
                   Width text_width, TextEscapes escapes) noexcept {
    namespace t = document_text;
    model::Record record = writer.record();
    model::RecordHeader& header = writer.header();
    std::string_view url = record.url();
    // The other texts (header names and values, then the body) follow the URL to the block's end.
    const char* others = url.data() + url.size();
    std::string_view rest_of_texts(others, static_cast<std::size_t>(static_cast<const char*>(record.data()) +
                                                                     record.size() - others));
    if (!escapes.counted) [[unlikely]]
        escapes = {json_escape_extra(url), json_escape_extra(rest_of_texts), true};
    std::uint64_t url_escapes = escapes.url, other_escapes = escapes.others;
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
