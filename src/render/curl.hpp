// The curl command line for one request, quoted so that a POSIX shell passes every text on intact.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "model/request.hpp"
#include "render/words.hpp"

namespace tolmek::render {

namespace curl_detail {

/// Bytes that may stand bare in a URL word: ASCII letters, digits and _ @ % + = : , . / - ?
constexpr std::array<bool, 256> url_bare = [] {
    std::array<bool, 256> t{};
    for (int c = '0'; c <= '9'; ++c) t[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
    for (unsigned char c : std::string_view("_@%+=:,./-?")) t[c] = true;
    return t;
}();

template <class Sink>
void single_quoted_inside(Sink& out, std::string_view s) {
    // Inside single quotes only the apostrophe needs care: close, escaped apostrophe, reopen.
    std::size_t run = 0;
    for (std::size_t i = s.find('\''); i != std::string_view::npos; i = s.find('\'', run)) {
        out.text(s.substr(run, i - run));
        out.ascii("'\\''");
        run = i + 1;
    }
    out.text(s.substr(run));
}

/// True if `s` holds a byte that keeps its meaning inside double quotes (or starts history
/// expansion): " \\ $ ` !. Eight bytes at a time.
inline bool needs_single_quotes(std::string_view s) noexcept {
    using words::bytes_equal;
    const char* end = s.data() + s.size();
    for (const char* p = s.data(); p != end;) {
        auto [word, size] = words::next_chunk(p, end);
        if (bytes_equal(word, '"') | bytes_equal(word, '\\') | bytes_equal(word, '$') | bytes_equal(word, '`') |
            bytes_equal(word, '!'))
            return true;
        p += size;
    }
    return false;
}

inline bool all_url_bare(std::string_view s) noexcept {
    for (unsigned char c : s)
        if (!url_bare[c]) return false;
    return true;
}

}  // namespace curl_detail

/// Writes `curl -X METHOD URL [-H "name: value"]... [-d 'body']`. Texts that a shell would
/// alter are put in single quotes; everything else is written as it stands. A URL that starts
/// with "-" gets "--url " before it and a body that starts with "@" is sent with --data-raw,
/// so that curl takes neither as an instruction.
template <class Sink>
void write_curl(Sink& out, const model::Request& request) {
    using namespace curl_detail;
    out.ascii("curl -X ");
    out.ascii(model::name_text(request.method()));
    out.ascii(' ');

    // curl takes any word that starts with "-" as an option (a URL of "-o~/.bashrc" would
    // write a file), so such a URL is named explicitly.
    std::string_view url = request.url();
    if (url.starts_with('-')) out.ascii("--url ");
    if (all_url_bare(url)) {
        out.text(url);
    } else {
        out.ascii('\'');
        single_quoted_inside(out, url);
        out.ascii('\'');
    }

    for (model::HeaderView h : request.headers()) {
        if (!needs_single_quotes(h.name) && !needs_single_quotes(h.value)) {
            out.ascii(" -H \"");
            out.text(h.name);
            out.ascii(": ");
            out.text(h.value);
            out.ascii('"');
        } else {
            out.ascii(" -H '");
            single_quoted_inside(out, h.name);
            out.ascii(": ");
            single_quoted_inside(out, h.value);
            out.ascii('\'');
        }
    }

    // -d reads a file when its data starts with "@" (a body of "@~/.ssh/id_rsa" would send
    // that file); --data-raw sends such a body as it is.
    if (auto body = request.body()) {
        out.ascii(body->starts_with('@') ? " --data-raw '" : " -d '");
        single_quoted_inside(out, *body);
        out.ascii('\'');
    }
}

/// An upper bound of the command's UTF-8 size: every text byte may become four ('\'' for an
/// apostrophe) and every piece its longest form. Saturates instead of overflowing.
std::size_t curl_size_bound(const model::Request& request) noexcept;

/// The command as UTF-8 text.
std::string curl_command(const model::Request& request);

}  // namespace tolmek::render
