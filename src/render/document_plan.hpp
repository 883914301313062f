// What a request's item of the collection document needs, decided once when the record is made.
//
// An item's length follows from its texts' code points (which the maker knows), what JSON
// escaping adds to them and how the URL splits into host and path; one scan of the texts finds
// the last two. Export then sizes the whole document from these notes and writes it in one pass,
// instead of reading every text once to measure and again to write.
#pragma once

#include <cstdint>
#include <string_view>

#include "model/request.hpp"
#include "render/escapes.hpp"
#include "render/sink.hpp"

namespace tolmek::render {

/// Notes the length and widest character of the record's item (RecordHeader::document_length,
/// or unnoted_length when it is too long for that field, and document_width). `url_code_points`
/// and `text_code_points` count the URL and all texts together, `text_width` is their widest
/// character; `escapes` comes from plan_command (counted here when it is not). Reads up to 15
/// bytes past the texts (records carry model::read_padding).
void plan_document(model::RecordWriter& record, std::uint64_t url_code_points, std::uint64_t text_code_points,
                   Width text_width, TextEscapes escapes) noexcept;

/// The number of '/' in `s` (padded memory, as json_escape_extra).
std::uint64_t count_slashes(std::string_view s) noexcept;

}  // namespace tolmek::render
