// The collection document (Postman Collection Format v2.1.0) and the URL decomposition it uses.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "model/request.hpp"
#include "platform.hpp"
#include "render/json.hpp"
#include "render/sink.hpp"
#include "render/url_units.hpp"

namespace tolmek::render {

/// A URL as the document describes it: the scheme, and the text after it that is split at
/// "/" into host (first segment, up to a "?" or "#") and path (the others).
struct UrlParts {
    std::string_view protocol;
    std::string_view rest;
};

/// Takes a leading `scheme://` (letter, then letters, digits, '+', '-', '.'), keeping the
/// scheme as written; a leading "//" or no scheme at all gives "https". Never fails.
constexpr UrlParts split_url(std::string_view url) noexcept {
    auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    // The two schemes nearly every URL has, without the loop over the scheme's characters.
    if (url.starts_with("https://")) return {url.substr(0, 5), url.substr(8)};
    if (url.starts_with("http://")) return {url.substr(0, 4), url.substr(7)};
    if (!url.empty() && alpha(url[0])) {
        std::size_t i = 1;
        while (i < url.size() && (alpha(url[i]) || digit(url[i]) || url[i] == '+' || url[i] == '-' || url[i] == '.'))
            ++i;
        if (url.substr(i, 3) == "://") return {url.substr(0, i), url.substr(i + 3)};
    }
    if (url.starts_with("//")) return {"https", url.substr(2)};
    return {"https", url};
}

/// Where the text after the scheme splits: the host is rest[0, host_end); the path elements
/// are the text from host_end to the first "/" (when a "?" or "#" ended the host) and the
/// segments after each "/".
struct UrlSplit {
    UrlParts parts;
    std::size_t slash;     ///< the first "/" of parts.rest, or npos
    std::size_t host_end;  ///< equal to slash unless a "?" or "#" ends the host before it
};

constexpr UrlSplit split_host(std::string_view url) noexcept {
    UrlParts parts = split_url(url);
    std::size_t slash = parts.rest.find('/');
    // The host also ends where a query or fragment begins ("h:8080?q=1"): Postman's tools
    // rebuild the address from host and path, so what follows must travel as the first
    // path element, not as part of the host.
    std::size_t host_end = 0;
    std::size_t first_end = std::min(slash, parts.rest.size());
    while (host_end < first_end && parts.rest[host_end] != '?' && parts.rest[host_end] != '#') ++host_end;
    if (host_end == first_end) host_end = slash;
    return {parts, slash, host_end};
}

/// The fixed text of the document, in writing order; its sizes also give the length of an
/// item before it is written (render/document_plan.hpp).
namespace document_text {
inline constexpr std::string_view open = "{\"info\":{\"name\":\"Tolmek Collection\",\"schema\":"
                                         "\"https://schema.getpostman.com/json/collection/v2.1.0/collection.json\"},"
                                         "\"item\":[";
inline constexpr std::string_view close = "]}";
inline constexpr std::string_view item_open = "{\"name\":";
inline constexpr std::string_view body_open = ",\"request\":{\"body\":{\"mode\":\"raw\",\"raw\":";
inline constexpr std::string_view headers_open = "},\"header\":[";
inline constexpr std::string_view key_open = "{\"key\":";
inline constexpr std::string_view value_open = ",\"value\":";
inline constexpr std::string_view header_close = "}";
inline constexpr std::string_view method_open = "],\"method\":\"";
inline constexpr std::string_view host_open = "\",\"url\":{\"host\":";
inline constexpr std::string_view path_open = ",\"path\":[";
inline constexpr std::string_view protocol_open = "],\"protocol\":";
inline constexpr std::string_view raw_open = ",\"raw\":";
inline constexpr std::string_view item_close = "}}}";
}  // namespace document_text

/// Writes one request's item of the document (without the comma between items).
template <class Sink>
void write_item(Sink& out, model::Record r) {
    namespace t = document_text;
    std::string_view url = r.url();
    // The texts may be read up to the block's end (render/json.hpp, fixed-width writers).
    [[maybe_unused]] const char* block_end = static_cast<const char*>(r.data()) + r.size();
    auto json_string = [&](std::string_view s) {
        if constexpr (is_unit_writer<Sink> && TOLMEK_SSE2) write_json_string(out, s, block_end);
        else write_json_string(out, s);
    };
    // Where the fixed-width writers are: the URL's units are written again below.
    auto position = [&] {
        if constexpr (is_unit_writer<Sink>) return out.units();
        else return nullptr;
    };
    out.ascii(t::item_open);
    [[maybe_unused]] auto name = position();
    json_string(url);
    [[maybe_unused]] auto name_end = position();
    out.ascii(t::body_open);
    json_string(r.body().value_or(std::string_view()));
    out.ascii(t::headers_open);
    bool first_header = true;
    for (model::HeaderView h : r.headers()) {
        if (!first_header) out.ascii(',');
        first_header = false;
        out.ascii(t::key_open);
        json_string(h.name);
        out.ascii(t::value_open);
        json_string(h.value);
        out.ascii(t::header_close);
    }
    out.ascii(t::method_open);
    out.ascii(model::name_text(r.method()));
    out.ascii(t::host_open);
    if constexpr (is_unit_writer<Sink>) {
        // The host, path elements and raw copy come from the name's units (render/url_units.hpp).
        UrlParts parts = split_url(url);
        write_url_elements(out, name + 1, static_cast<std::size_t>(name_end - name) - 2,
                           url.size() - parts.rest.size(), t::path_open);
        // The scheme is ASCII letters, digits and "+-." (or "https"), none of them escaped.
        out.ascii(t::protocol_open);
        out.ascii('"');
        out.ascii(parts.protocol);
        out.ascii('"');
        out.ascii(t::raw_open);
        write_units_again(out, name, name_end);
    } else {
        UrlSplit split = split_host(url);
        std::string_view rest = split.parts.rest;
        std::size_t slash = split.slash;
        json_string(rest.substr(0, split.host_end));
        out.ascii(t::path_open);
        bool first_segment = true;
        if (split.host_end != slash) {
            json_string(rest.substr(split.host_end, slash == std::string_view::npos ? slash : slash - split.host_end));
            first_segment = false;
        }
        while (slash != std::string_view::npos) {
            if (!first_segment) out.ascii(',');
            first_segment = false;
            std::size_t start = slash + 1;
            slash = rest.find('/', start);
            json_string(rest.substr(start, slash == std::string_view::npos ? slash : slash - start));
        }
        out.ascii(t::protocol_open);
        json_string(split.parts.protocol);
        out.ascii(t::raw_open);
        json_string(url);
    }
    out.ascii(t::item_close);
}

/// Writes the whole document as compact JSON with every object's members in byte order of
/// their keys (the member order of the fixed text above is that order, written out by hand).
template <class Sink>
void write_collection(Sink& out, std::span<const model::Record> requests) {
    out.ascii(document_text::open);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (i != 0) out.ascii(',');
        out.next_part();
        // Records may lie apart (a collection's blocks, or wherever other callers keep them),
        // each too short for the hardware to see a stream: the next one is asked for while this
        // one is written.
        if (i + 1 < requests.size()) platform::prefetch(requests[i + 1].data(), requests[i + 1].size());
        write_item(out, requests[i]);
    }
    out.ascii(document_text::close);
}

/// Length in code points and widest character of a document or a part of it.
struct DocumentSize {
    std::uint64_t length;
    Width width;
};

/// The size of the document of `requests`, from what each record noted when it was stored (an
/// item too long to note is measured); throws std::bad_alloc when the length cannot be
/// represented.
DocumentSize collection_size(std::span<const model::Record> requests);

/// The document as UTF-8 text.
std::string collection_document(std::span<const model::Record> requests);

}  // namespace tolmek::render
