// UTF-8 entry point of the collection document renderer, and the document's size from its items' notes.
#include "render/postman.hpp"

#include <algorithm>

#include "render/sink.hpp"

namespace tolmek::render {

namespace {

/// Measures an item whose length did not fit its record's note (several gigabytes of text).
[[gnu::cold, gnu::noinline]] std::uint64_t measure_item(model::Record record) noexcept {
    Measure measure;
    write_item(measure, record);
    return measure.length();
}

}  // namespace

std::string collection_document(std::span<const model::Record> requests) {
    return render_utf8([&](auto& sink) { write_collection(sink, requests); });
}

DocumentSize collection_size(std::span<const model::Record> requests) {
    // The fixed text and a comma between items.
    std::uint64_t length = document_text::open.size() + document_text::close.size() +
                           (requests.empty() ? 0 : requests.size() - 1);
    Width width = Width::ascii;
    for (model::Record r : requests) {
        const model::RecordHeader& notes = r.header();
        std::uint64_t item = notes.document_length;
        if (item == model::unnoted_length) [[unlikely]]
            item = measure_item(r);
        length = model::checked_add(length, item);
        width = std::max(width, static_cast<Width>(notes.document_width));
    }
    return {length, width};
}

}  // namespace tolmek::render
