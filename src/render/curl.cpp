// UTF-8 entry point of the curl renderer.
#include "render/curl.hpp"

#include "render/sink.hpp"

namespace tolmek::render {

std::string curl_command(model::Record request) {
    return render_utf8([&](auto& sink) { write_curl(sink, request); });
}

}  // namespace tolmek::render
