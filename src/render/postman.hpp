// The collection document (Postman Collection Format v2.1.0) and the URL decomposition it uses.
#pragma once

#include <algorithm>
#include <span>
#include <string>
#include <string_view>

#include "model/request.hpp"
#include "render/json.hpp"

namespace tolmek::render {

inline constexpr std::string_view collection_name = "Tolmek Collection";
inline constexpr std::string_view collection_schema =
    "https://schema.getpostman.com/json/collection/v2.1.0/collection.json";

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
    if (!url.empty() && alpha(url[0])) {
        std::size_t i = 1;
        while (i < url.size() && (alpha(url[i]) || digit(url[i]) || url[i] == '+' || url[i] == '-' || url[i] == '.'))
            ++i;
        if (url.substr(i, 3) == "://") return {url.substr(0, i), url.substr(i + 3)};
    }
    if (url.starts_with("//")) return {"https", url.substr(2)};
    return {"https", url};
}

/// Writes the whole document as compact JSON with every object's members in byte order of
/// their keys (the member order below is that order, written out by hand).
template <class Sink>
void write_collection(Sink& out, std::span<const model::Request> requests) {
    out.ascii("{\"info\":{\"name\":");
    write_json_string(out, collection_name);
    out.ascii(",\"schema\":");
    write_json_string(out, collection_schema);
    out.ascii("},\"item\":[");
    bool first_item = true;
    for (const model::Request& r : requests) {
        if (!first_item) out.ascii(',');
        first_item = false;
        std::string_view url = r.url();
        out.ascii("{\"name\":");
        write_json_string(out, url);
        out.ascii(",\"request\":{\"body\":{\"mode\":\"raw\",\"raw\":");
        write_json_string(out, r.body().value_or(std::string_view()));
        out.ascii("},\"header\":[");
        bool first_header = true;
        for (model::HeaderView h : r.headers()) {
            out.ascii(first_header ? "{\"key\":" : ",{\"key\":");
            first_header = false;
            write_json_string(out, h.name);
            out.ascii(",\"value\":");
            write_json_string(out, h.value);
            out.ascii('}');
        }
        out.ascii("],\"method\":\"");
        out.ascii(model::name_text(r.method()));
        out.ascii("\",\"url\":{\"host\":");
        UrlParts parts = split_url(url);
        std::size_t slash = parts.rest.find('/');
        // The host also ends where a query or fragment begins ("h:8080?q=1"): Postman's tools
        // rebuild the address from host and path, so what follows must travel as the first
        // path element, not as part of the host.
        std::size_t host_end = 0;
        std::size_t first_end = std::min(slash, parts.rest.size());
        while (host_end < first_end && parts.rest[host_end] != '?' && parts.rest[host_end] != '#') ++host_end;
        if (host_end == first_end) host_end = slash;
        write_json_string(out, parts.rest.substr(0, host_end));
        out.ascii(",\"path\":[");
        bool first_segment = true;
        if (host_end != slash) {
            write_json_string(out, parts.rest.substr(host_end, slash == std::string_view::npos ? slash : slash - host_end));
            first_segment = false;
        }
        while (slash != std::string_view::npos) {
            if (!first_segment) out.ascii(',');
            first_segment = false;
            std::size_t start = slash + 1;
            slash = parts.rest.find('/', start);
            write_json_string(out, parts.rest.substr(start, slash == std::string_view::npos ? slash : slash - start));
        }
        out.ascii("],\"protocol\":");
        write_json_string(out, parts.protocol);
        out.ascii(",\"raw\":");
        write_json_string(out, url);
        out.ascii("}}}");
    }
    out.ascii("]}");
}

/// The document as UTF-8 text.
std::string collection_document(std::span<const model::Request> requests);

}  // namespace tolmek::render
