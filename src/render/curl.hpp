// The curl command line for one request, written so that bash, dash and zsh hand curl exactly
// the recorded texts and curl sends exactly the recorded request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/request.hpp"
#include "render/command_plan.hpp"
#include "render/terminal.hpp"

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
        white_start,    ///< a header line that starts with SP or HTAB continues the line before
        semicolon_in_empty,  ///< an empty header is written "Name;", which curl only reads
                             ///< when that is the name's only ';'
        white_end_in_empty,  ///< curl 8 drops the white space before the ';' of "Name;"
        second_host,         ///< curl sends only the first Host header
        white_only,          ///< a value of only white space with a VT or FF: curl drops the header
    };
    Piece piece;
    Reason reason;
    std::size_t header;  ///< index of the header pair, for header pieces
};

namespace curl_detail {

/// A record text inside single quotes, where only the apostrophe needs care: close, escaped
/// apostrophe, reopen. (Record texts are followed by readable padding: see text_padded.)
template <class Sink>
void single_quoted_inside(Sink& out, std::string_view s) {
    std::size_t run = 0;
    for (std::size_t i = s.find('\''); i != std::string_view::npos; i = s.find('\'', run)) {
        out.text_padded(s.substr(run, i - run));
        out.ascii("'\\''");
        run = i + 1;
    }
    out.text_padded(s.substr(run));
}

/// The URL inside single quotes when it holds spaces. curl refuses a URL holding a space, which
/// no request line can carry either; it is sent as "%20", the form every HTTP client sends.
template <class Sink>
void single_quoted_url(Sink& out, std::string_view url) {
    std::size_t run = 0;
    for (std::size_t i = url.find_first_of("' "); i != std::string_view::npos; i = url.find_first_of("' ", run)) {
        out.text_padded(url.substr(run, i - run));
        out.ascii(url[i] == ' ' ? std::string_view("%20") : std::string_view("'\\''"));
        run = i + 1;
    }
    out.text_padded(url.substr(run));
}

/// A record text inside single quotes with the characters a terminal acts on spliced in by
/// printf (the rare form: see render/terminal.hpp); a URL's spaces are written "%20".
template <class Sink>
void single_quoted_spliced(Sink& out, std::string_view s, bool url) {
    terminal::split(
        s,
        [&](std::string_view kept) {
            if (url) single_quoted_url(out, kept);
            else single_quoted_inside(out, kept);
        },
        [&](std::string_view run) { terminal::write_splice(out, run); });
}

}  // namespace curl_detail

/// The first reason, in command order (URL, headers in order with name before value, body),
/// why no command line can carry `request`; none for every request that renders. It says in
/// detail what the plan's `refused` flag says in one bit.
inline std::optional<CurlRefusal> curl_refusal(model::Record request) noexcept {
    using Piece = CurlRefusal::Piece;
    using Reason = CurlRefusal::Reason;
    constexpr std::string_view nul("\0", 1);
    for (unsigned char c : request.url()) {
        if (c == 0) return CurlRefusal{Piece::url, Reason::nul, 0};
        if (c < 0x20 || c == 0x7F) return CurlRefusal{Piece::url, Reason::control, 0};
    }
    std::size_t i = 0;
    bool host = false;
    for (model::HeaderView h : request.headers()) {
        if (h.name.empty()) return CurlRefusal{Piece::header_name, Reason::empty_name, i};
        if (h.name.find('\0') != std::string_view::npos) return CurlRefusal{Piece::header_name, Reason::nul, i};
        if (h.name.find_first_of("\r\n") != std::string_view::npos)
            return CurlRefusal{Piece::header_name, Reason::line_break, i};
        if (h.name.find(':') != std::string_view::npos) return CurlRefusal{Piece::header_name, Reason::colon_in_name, i};
        if (h.name.front() == '@') return CurlRefusal{Piece::header_name, Reason::at_start, i};
        if (h.name.front() == ' ' || h.name.front() == '\t') return CurlRefusal{Piece::header_name, Reason::white_start, i};
        if (h.value.find(nul) != std::string_view::npos) return CurlRefusal{Piece::header_value, Reason::nul, i};
        if (h.value.find_first_of("\r\n") != std::string_view::npos)
            return CurlRefusal{Piece::header_value, Reason::line_break, i};
        if (is_blank(h.value) && h.name.find(';') != std::string_view::npos)
            return CurlRefusal{Piece::header_name, Reason::semicolon_in_empty, i};
        if (is_blank(h.value) && (h.name.back() == ' ' || h.name.back() == '\t'))
            return CurlRefusal{Piece::header_name, Reason::white_end_in_empty, i};
        if (is_white_only(h.value)) return CurlRefusal{Piece::header_value, Reason::white_only, i};
        if (is_host(h.name)) {
            if (host) return CurlRefusal{Piece::header_name, Reason::second_host, i};
            host = true;
        }
        ++i;
    }
    if (auto body = request.body(); body && body->find('\0') != std::string_view::npos)
        return CurlRefusal{Piece::body, Reason::nul, 0};
    return std::nullopt;
}

/// Writes `curl -X METHOD [-I] [-g] [--path-as-is] [--url] URL [-H ...]... [-d|--data-raw BODY]`
/// as the record's plan says (a record whose plan is not `refused`, in a block with read
/// padding): texts that a shell would alter in single quotes, everything else as it stands.
/// The plan's length is exact.
template <class Sink>
void write_curl(Sink& out, model::Record request) {
    using namespace curl_detail;
    const std::uint8_t flags = request.header().command_flags;
    const std::uint8_t quotes = request.header().command_quotes;
    out.ascii("curl -X ");
    out.ascii(model::name_text(request.method()));
    if (flags & head_only) out.ascii(" -I");
    if (flags & no_glob) out.ascii(" -g");
    if (flags & path_as_is) out.ascii(" --path-as-is");
    out.ascii(flags & url_option ? std::string_view(" --url ") : std::string_view(" "));
    std::string_view url = request.url();
    if (!(flags & url_quoted)) {
        out.text_padded(url);
    } else {
        out.ascii('\'');
        if (quotes & url_spliced) single_quoted_spliced(out, url, true);
        else if (flags & url_spaces) single_quoted_url(out, url);
        else if (quotes & url_apostrophe) single_quoted_inside(out, url);
        else out.text_padded(url);
        out.ascii('\'');
    }

    const std::uint8_t* form = request.header_forms().data();
    for (model::HeaderView h : request.headers()) {
        std::uint8_t f = *form++;
        if (f & spliced) [[unlikely]] {
            out.ascii(" -H '");
            single_quoted_spliced(out, h.name, false);
            if (f & blank) {
                out.ascii(";'");
                continue;
            }
            out.ascii(": ");
            single_quoted_spliced(out, h.value, false);
            out.ascii('\'');
        } else if (!(f & has_apostrophe)) {
            bool single = f & single_quoted;
            out.ascii(single ? std::string_view(" -H '") : std::string_view(" -H \""));
            out.text_padded(h.name);
            if (f & blank) {
                out.ascii(single ? std::string_view(";'") : std::string_view(";\""));
                continue;
            }
            out.ascii(": ");
            out.text_padded(h.value);
            out.ascii(single ? '\'' : '"');
        } else {
            out.ascii(" -H '");
            single_quoted_inside(out, h.name);
            if (f & blank) {
                out.ascii(";'");
                continue;
            }
            out.ascii(": ");
            single_quoted_inside(out, h.value);
            out.ascii('\'');
        }
    }

    // -d reads a file when its data starts with "@" (a body of "@~/.ssh/id_rsa" would send
    // that file); --data-raw sends such a body as it is.
    if (auto body = request.body()) {
        out.ascii(flags & data_raw ? std::string_view(" --data-raw '") : std::string_view(" -d '"));
        if (quotes & body_spliced) single_quoted_spliced(out, *body, false);
        else if (quotes & body_apostrophe) single_quoted_inside(out, *body);
        else out.text_padded(*body);
        out.ascii('\'');
    }
}

/// The command as UTF-8 text (for a record whose plan is not `refused`).
std::string curl_command(model::Record request);

}  // namespace tolmek::render
