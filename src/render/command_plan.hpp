// What a request's curl command needs, decided once when the record is made.
//
// The plan holds the command's exact length in code points and its widest character, so that
// rendering is one string allocation and one writing pass with no scanning; the flags of the
// command; how each header is written; and whether any command can carry the request at all.
#pragma once

#include <cstdint>
#include <string_view>

#include "model/request.hpp"
#include "render/document_plan.hpp"
#include "render/sink.hpp"

namespace tolmek::render {

/// Bits of RecordHeader::command_flags.
enum CommandFlag : std::uint8_t {
    head_only = 1 << 0,   ///< -I
    no_glob = 1 << 1,     ///< -g
    path_as_is = 1 << 2,  ///< --path-as-is
    url_option = 1 << 3,  ///< --url before the URL
    url_quoted = 1 << 4,  ///< the URL goes in single quotes
    url_spaces = 1 << 5,  ///< ... and holds spaces, written as %20
    data_raw = 1 << 6,    ///< --data-raw instead of -d
    refused = 1 << 7,     ///< no command line can carry the request (render/curl.hpp says why)
};

/// Bits of RecordHeader::command_quotes.
enum CommandQuotes : std::uint8_t {
    url_apostrophe = 1 << 0,   ///< the quoted URL holds an apostrophe
    body_apostrophe = 1 << 1,  ///< the body holds an apostrophe
    url_spliced = 1 << 2,      ///< the URL holds characters a terminal acts on (render/terminal.hpp)
    body_spliced = 1 << 3,     ///< ... the body does
};

/// Bits of a header's form byte.
enum HeaderForm : std::uint8_t {
    single_quoted = 1 << 0,  ///< in single quotes rather than double quotes
    blank = 1 << 1,          ///< empty or blank value: written "Name;"
    has_apostrophe = 1 << 2, ///< the quoted text holds an apostrophe (written '\'')
    spliced = 1 << 3,        ///< single quoted, holding characters a terminal acts on (render/terminal.hpp)
};

/// True if `segment` is "." or ".." once "%2e" and "%2E" in it are decoded: curl 8 decodes
/// those before it removes dot segments (7.88 did not), so both spellings need --path-as-is.
inline bool is_dot_segment(std::string_view segment) noexcept {
    std::size_t dots = 0;
    for (std::size_t i = 0; i < segment.size() && dots <= 2; ++dots) {
        if (segment[i] == '.') i += 1;
        else if (segment.substr(i, 2) == "%2" && i + 2 < segment.size() && (segment[i + 2] | 0x20) == 'e') i += 3;
        else return false;
    }
    return dots == 1 || dots == 2;
}

/// True if the URL, up to its first "?" or "#", has a dot segment (is_dot_segment): curl would
/// remove it.
inline bool has_dot_segment(std::string_view url) noexcept {
    std::string_view path = url.substr(0, url.find_first_of("?#"));
    for (std::size_t start = 0;;) {
        std::size_t slash = path.find('/', start);
        if (is_dot_segment(path.substr(start, slash == std::string_view::npos ? slash : slash - start))) return true;
        if (slash == std::string_view::npos) return false;
        start = slash + 1;
    }
}

/// True for a header name that is "Host" in any letter case: curl sends only the first one.
inline bool is_host(std::string_view name) noexcept {
    return name.size() == 4 && (name[0] | 0x20) == 'h' && (name[1] | 0x20) == 'o' && (name[2] | 0x20) == 's' &&
           (name[3] | 0x20) == 't';
}

/// curl sends a header with an empty value only in the form "Name;"; "Name:" alone (or followed
/// by blanks) removes the header instead.
inline bool is_blank(std::string_view value) noexcept {
    for (char c : value)
        if (c != ' ' && c != '\t') return false;
    return true;
}

/// True for a value that is not blank but only white space as curl reads it (with a vertical tab
/// or a form feed): curl takes it for empty and drops the header, and "Name;" would send no value.
inline bool is_white_only(std::string_view value) noexcept {
    bool other = false;
    for (char c : value) {
        if (c == '\v' || c == '\f') other = true;
        else if (c != ' ' && c != '\t') return false;
    }
    return other;
}

/// Decides the plan of a record whose texts are in place. `text_code_points` and `text_width`
/// are the number of code points of all its texts together and the widest character among them
/// (the maker knows both from the Python strings; measure_texts() finds them otherwise). Returns
/// what JSON escaping adds to the URL and header texts, which its scans count for the document.
TextEscapes plan_command(model::RecordWriter& record, std::uint64_t text_code_points, Width text_width) noexcept;

/// Code points and widest character of all the texts of a record (what Python's str knows).
void measure_texts(model::Record record, std::uint64_t& code_points, Width& width) noexcept;

/// A heap record made from views, with its command plan and the document's notes as a Tolmek
/// takes them (for tests, fuzzing and tools).
model::Request make_request(std::string_view url, std::span<const model::HeaderView> headers, model::HttpMethod method,
                            std::optional<std::string_view> body);

}  // namespace tolmek::render
