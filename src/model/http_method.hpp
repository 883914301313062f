// The nine HTTP methods and their texts.
#pragma once

#include <cstdint>
#include <string_view>

namespace tolmek::model {

/// Declaration order is the value order; values 0 to 8 are the only ones that occur.
enum class HttpMethod : std::uint8_t { GET, POST, PUT, DELETE, HEAD, OPTIONS, PATCH, TRACE, CONNECT };

inline constexpr std::size_t http_method_count = 9;

namespace detail {
// At namespace scope, so that a lookup indexes constant data instead of building the table.
inline constexpr std::string_view method_names[http_method_count] = {
    "GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT"};
inline constexpr std::string_view method_reprs[http_method_count] = {
    "HTTPMETHOD.GET",     "HTTPMETHOD.POST",  "HTTPMETHOD.PUT",   "HTTPMETHOD.DELETE", "HTTPMETHOD.HEAD",
    "HTTPMETHOD.OPTIONS", "HTTPMETHOD.PATCH", "HTTPMETHOD.TRACE", "HTTPMETHOD.CONNECT"};
}  // namespace detail

/// Upper-case name printed in commands and documents, e.g. "POST".
constexpr std::string_view name_text(HttpMethod m) noexcept { return detail::method_names[static_cast<std::size_t>(m)]; }

/// Python-facing text of a member, e.g. "HTTPMETHOD.POST".
constexpr std::string_view repr_text(HttpMethod m) noexcept { return detail::method_reprs[static_cast<std::size_t>(m)]; }

}  // namespace tolmek::model
