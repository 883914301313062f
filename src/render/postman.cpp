// UTF-8 entry point of the collection document renderer.
#include "render/postman.hpp"

#include "render/sink.hpp"

namespace tolmek::render {

std::string collection_document(std::span<const model::Request> requests) {
    return render_utf8([&](auto& sink) { write_collection(sink, requests); });
}

}  // namespace tolmek::render
