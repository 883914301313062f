// What a request's item of the collection document needs, noted in two steps: what a request's
// maker knows for nothing, and the rest where a collection copies the record in.
//
// An item's length follows from its texts' code points, what JSON escaping adds to them and how
// the URL splits into host and path. Only the export needs it. The maker of a request knows the
// code points and widest character (Python's str holds them) and the URL's and headers'
// escapes (every byte JSON escapes is a hit of the command's scans); the body's escapes (a JSON
// body has quotes throughout) and the URL's structure are counted when a collection copies the
// record in, so that making a request pays nothing for the export. Export then sizes the whole
// document from these notes and writes it in one pass, instead of reading every text once to
// measure and again to write.
#pragma once

#include <cstdint>

#include "model/request.hpp"
#include "render/sink.hpp"

namespace tolmek::render {

/// How far a record's item is noted (RecordHeader::document_notes).
enum DocumentNotes : std::uint8_t {
    not_noted = 0,  ///< nothing is known: the copy counts every text
    texts_noted = 1,  ///< document_length holds what note_texts() says; document_width is final
    whole = 2,  ///< document_length and document_width are the item's
};

/// What JSON escaping adds to a record's URL and to its header texts, as the command's scans
/// find it; not `counted` when they stopped at a refusal before the end.
struct TextEscapes {
    std::uint64_t url = 0;
    std::uint64_t headers = 0;
    bool counted = false;
};

/// Notes what the maker of a record knows: its texts' code points (`url_code_points` of the URL,
/// `text_code_points` of all together) and widest character, and `escapes`, as three times
/// the URL's length inside a JSON string (the item holds it three times) plus the other texts'
/// without the body's escapes. Leaves the record not noted when that does not fit or the
/// escapes were not counted.
inline void note_texts(model::RecordWriter& record, std::uint64_t url_code_points, std::uint64_t text_code_points,
                       Width text_width, TextEscapes escapes) noexcept {
    model::RecordHeader& notes = record.header();
    notes.document_width = static_cast<std::uint8_t>(text_width);
    std::uint64_t known = 3 * (url_code_points + escapes.url) + (text_code_points - url_code_points) + escapes.headers;
    if (!escapes.counted || known >= model::unnoted_length) [[unlikely]]
        return;  // counted by the copy
    notes.document_length = static_cast<std::uint32_t>(known);
    notes.document_notes = texts_noted;
}

/// Copies `record` to `out` (record.size() bytes; `out` may be the record's own block) with its
/// item's length and widest character wholly noted in the copy (document_length, or
/// unnoted_length when it is too long for that field). Reads up to 15 bytes past the texts of a
/// record not wholly noted: such a record must carry model::read_padding.
void copy_noting_document(model::Record record, void* out) noexcept;

}  // namespace tolmek::render
