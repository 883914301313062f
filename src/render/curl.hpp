// The curl command line for one request, written so that bash, dash and zsh hand curl exactly
// the recorded texts and curl sends exactly the recorded request.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/request.hpp"
#include "render/words.hpp"

namespace tolmek::render {

/// Why no command line can carry a request, and where: the texts of a command line are
/// NUL-terminated C strings, and curl reads some header texts as instructions.
struct CurlRefusal {
    enum class Piece : std::uint8_t { url, header_name, header_value, body };
    enum class Reason : std::uint8_t {
        nul,            ///< any text: a NUL character cannot be part of an argument
        control,        ///< URL: curl refuses a URL holding a control character
        line_break,     ///< header name or value: CR or LF would start another header line
        empty_name,     ///< curl drops a header without a name
        colon_in_name,  ///< curl splits the header at the first ':'
        at_start,       ///< "-H @file" reads headers from a file
        semicolon_in_empty,  ///< an empty header is written "Name;", which curl only reads
                             ///< when that is the name's only ';'
    };
    Piece piece;
    Reason reason;
    std::size_t header;  ///< index of the header pair, for header pieces
};

namespace curl_detail {

/// Bytes that may stand bare in a URL word: ASCII letters, digits and _ @ % + = : , . / -
/// (no glob character of any shell, nothing a shell expands, nothing curl globs).
constexpr std::array<bool, 256> url_bare = [] {
    std::array<bool, 256> t{};
    for (int c = '0'; c <= '9'; ++c) t[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
    for (unsigned char c : std::string_view("_@%+=:,./-")) t[c] = true;
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

/// The URL inside single quotes. curl refuses a URL holding a space, which no request line
/// can carry either; it is sent as "%20", the form every HTTP client sends.
template <class Sink>
void single_quoted_url(Sink& out, std::string_view url) {
    std::size_t run = 0;
    for (std::size_t i = url.find_first_of("' "); i != std::string_view::npos; i = url.find_first_of("' ", run)) {
        out.text(url.substr(run, i - run));
        out.ascii(url[i] == ' ' ? std::string_view("%20") : std::string_view("'\\''"));
        run = i + 1;
    }
    out.text(url.substr(run));
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

/// A URL stands bare when it is not empty, every byte is in the bare set, and it does not
/// start with "=" (zsh replaces a word "=name" with the path of the command name).
inline bool url_is_bare(std::string_view url) noexcept {
    if (url.empty() || url.front() == '=') return false;
    for (unsigned char c : url)
        if (!url_bare[c]) return false;
    return true;
}

/// curl expands [a-b] and {a,b} in URLs into several requests unless told not to (-g).
inline bool url_has_glob(std::string_view url) noexcept { return url.find_first_of("[]{}") != std::string_view::npos; }

/// curl removes "." and ".." segments from the path unless told not to (--path-as-is).
inline bool url_has_dot_segment(std::string_view url) noexcept {
    std::string_view path = url.substr(0, url.find_first_of("?#"));
    for (std::size_t start = 0;;) {
        std::size_t slash = path.find('/', start);
        std::string_view segment = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (segment == "." || segment == "..") return true;
        if (slash == std::string_view::npos) return false;
        start = slash + 1;
    }
}

/// curl sends a header with an empty value only in the form "Name;"; "Name:" alone (or
/// followed by blanks) removes the header instead.
inline bool value_is_blank(std::string_view value) noexcept {
    return value.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace curl_detail

/// The first reason, in command order (URL, headers in order with name before value, body),
/// why no command line can carry `request`; none for every request that renders.
inline std::optional<CurlRefusal> curl_refusal(const model::Request& request) noexcept {
    using Piece = CurlRefusal::Piece;
    using Reason = CurlRefusal::Reason;
    constexpr std::string_view nul("\0", 1);
    for (unsigned char c : request.url()) {
        if (c == 0) return CurlRefusal{Piece::url, Reason::nul, 0};
        if ((c < 0x20 && c != 0) || c == 0x7F) return CurlRefusal{Piece::url, Reason::control, 0};
    }
    std::size_t i = 0;
    for (model::HeaderView h : request.headers()) {
        if (h.name.empty()) return CurlRefusal{Piece::header_name, Reason::empty_name, i};
        if (h.name.find('\0') != std::string_view::npos) return CurlRefusal{Piece::header_name, Reason::nul, i};
        if (h.name.find_first_of("\r\n") != std::string_view::npos)
            return CurlRefusal{Piece::header_name, Reason::line_break, i};
        if (h.name.find(':') != std::string_view::npos) return CurlRefusal{Piece::header_name, Reason::colon_in_name, i};
        if (h.name.front() == '@') return CurlRefusal{Piece::header_name, Reason::at_start, i};
        if (h.value.find(nul) != std::string_view::npos) return CurlRefusal{Piece::header_value, Reason::nul, i};
        if (h.value.find_first_of("\r\n") != std::string_view::npos)
            return CurlRefusal{Piece::header_value, Reason::line_break, i};
        if (curl_detail::value_is_blank(h.value) && h.name.find(';') != std::string_view::npos)
            return CurlRefusal{Piece::header_name, Reason::semicolon_in_empty, i};
        ++i;
    }
    if (auto body = request.body(); body && body->find('\0') != std::string_view::npos)
        return CurlRefusal{Piece::body, Reason::nul, 0};
    return std::nullopt;
}

/// Writes `curl -X METHOD [-I] [-g] [--path-as-is] [--url] URL [-H ...]... [-d|--data-raw BODY]`
/// for a request that curl_refusal() accepts. Texts that a shell would alter are put in single
/// quotes; everything else is written as it stands.
template <class Sink>
void write_curl(Sink& out, const model::Request& request) {
    using namespace curl_detail;
    std::string_view url = request.url();
    auto body = request.body();
    out.ascii("curl -X ");
    out.ascii(model::name_text(request.method()));
    // -X HEAD alone makes curl wait for a response body that never comes; -I asks for the
    // headers only. curl refuses -I together with data, so a HEAD with a body keeps -X alone.
    if (request.method() == model::HttpMethod::HEAD && !body) out.ascii(" -I");
    if (url_has_glob(url)) out.ascii(" -g");
    if (url_has_dot_segment(url)) out.ascii(" --path-as-is");
    // curl takes any word that starts with "-" as an option (a URL of "-o~/.bashrc" would
    // write a file), so such a URL is named explicitly.
    out.ascii(url.starts_with('-') ? " --url " : " ");
    if (url_is_bare(url)) {
        out.text(url);
    } else {
        out.ascii('\'');
        single_quoted_url(out, url);
        out.ascii('\'');
    }

    for (model::HeaderView h : request.headers()) {
        if (value_is_blank(h.value)) {
            bool quote = needs_single_quotes(h.name);
            out.ascii(quote ? " -H '" : " -H \"");
            if (quote) single_quoted_inside(out, h.name);
            else out.text(h.name);
            out.ascii(quote ? ";'" : ";\"");
        } else if (!needs_single_quotes(h.name) && !needs_single_quotes(h.value)) {
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
    if (body) {
        out.ascii(body->starts_with('@') ? " --data-raw '" : " -d '");
        single_quoted_inside(out, *body);
        out.ascii('\'');
    }
}

/// An upper bound of the command's UTF-8 size: every text byte may become four ('\'' for an
/// apostrophe) and every piece its longest form. Saturates instead of overflowing.
std::size_t curl_size_bound(const model::Request& request) noexcept;

/// The command as UTF-8 text (for a request that curl_refusal() accepts).
std::string curl_command(const model::Request& request);

}  // namespace tolmek::render
