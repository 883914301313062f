// UTF-8 entry point of the curl renderer.
#include "render/curl.hpp"

#include <cstdint>

#include "render/sink.hpp"

namespace tolmek::render {

std::size_t curl_size_bound(const model::Request& request) noexcept {
    // "curl -X " + "CONNECT" + " -I -g --path-as-is --url " + two quotes, then per header
    // " -H '" + ": " + "'", then " --data-raw '" + "'": 42 + 8 per header + 14, rounded up.
    std::size_t text = request.url().size();
    for (model::HeaderView h : request.headers()) text += h.name.size() + h.value.size();
    if (auto body = request.body()) text += body->size();
    std::size_t bound;
    if (__builtin_mul_overflow(text, 4, &bound) ||
        __builtin_add_overflow(bound, 64 + 8 * request.headers().size(), &bound))
        return SIZE_MAX;
    return bound;
}

std::string curl_command(const model::Request& request) {
    return render_utf8([&](auto& sink) { write_curl(sink, request); });
}

}  // namespace tolmek::render
