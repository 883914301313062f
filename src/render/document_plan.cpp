// Deciding a record's item of the collection document: its exact length and widest character.
#include "render/document_plan.hpp"

#include <algorithm>

#include "render/escapes.hpp"
#include "render/postman.hpp"

namespace tolmek::render {

void plan_document(model::Record record, model::RecordHeader& notes) noexcept {
    namespace t = document_text;
    std::string_view url = record.url();
    // The other texts (header names and values, then the body) follow the URL to the block's end.
    const char* others = url.data() + url.size();
    std::string_view rest_of_texts(others, static_cast<std::size_t>(static_cast<const char*>(record.data()) +
                                                                     record.size() - others));
    // Each is the text's length inside a JSON string, quotes left out.
    JsonSums url_sums = json_sums<true>(url), other_sums = json_sums<false>(rest_of_texts);
    std::uint64_t url_json = url_sums.units;
    auto json = [](std::uint64_t units) { return 2 + units; };
    auto separators = [](std::uint64_t count) { return count == 0 ? 0 : count - 1; };

    // The URL's object: host and path elements are the text after the scheme without its "/"
    // (the scheme and "://" or "//" are ASCII and need no escaping).
    UrlSplit split = split_host(url);
    std::uint64_t prefix = url.size() - split.parts.rest.size();
    // A prefix is "scheme://" or "//", scheme characters being no "/": two of the URL's slashes.
    std::uint64_t slashes = url_sums.slashes - (prefix != 0 ? 2 : 0);
    std::uint64_t path_elements = slashes + (split.host_end != split.slash ? 1 : 0);
    std::uint64_t url_object = t::host_open.size() + json(url_json - prefix - slashes) + 2 * path_elements +
                               t::path_open.size() + separators(path_elements) + t::protocol_open.size() +
                               json(split.parts.protocol.size()) + t::raw_open.size() + json(url_json);

    std::uint64_t headers = record.headers().size();
    std::uint64_t per_header = t::key_open.size() + 2 + t::value_open.size() + 2 + t::header_close.size();
    std::uint64_t length = t::item_open.size() + json(url_json) + t::body_open.size() + 2 + t::headers_open.size() +
                           headers * per_header + separators(headers) + other_sums.units + t::method_open.size() +
                           model::name_text(record.method()).size() + url_object + t::item_close.size();
    notes.document_length = length < model::unnoted_length ? static_cast<std::uint32_t>(length) : model::unnoted_length;
    notes.document_width = static_cast<std::uint8_t>(std::max(url_sums.width(), other_sums.width()));
}

}  // namespace tolmek::render
