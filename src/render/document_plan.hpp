// What a request's item of the collection document needs, decided where a collection stores the record.
//
// An item's length follows from its texts' code points, what JSON escaping adds to them and how
// the URL splits into host and path. Only the export needs it, so it is counted where a
// collection copies a record in (one pass over texts the copy has just read), not when a
// request is made; export then sizes the whole document from these notes and writes it in one
// pass, instead of reading every text once to measure and again to write.
#pragma once

#include "model/request.hpp"

namespace tolmek::render {

/// Notes in `notes` the length and widest character of `record`'s item (document_length, or
/// unnoted_length when it is too long for that field, and document_width); `notes` is the
/// header of the record itself or of a copy of it. Reads up to 15 bytes past the record's
/// texts: `record` must carry model::read_padding.
void plan_document(model::Record record, model::RecordHeader& notes) noexcept;

}  // namespace tolmek::render
