// libFuzzer target for the renderers: builds 1-3 request records from the input, renders the
// curl command of each and the collection document through both sinks (UTF-8 bytes, and
// Measure + fixed-width units as the binding does), and compares everything with a plain
// reference rendering written here from the rules, not from the renderers.
//
// Input layout (see fuzz/seeds.py): byte 0 picks the request count (1 + b % 3); the rest is
// split at 0xFF bytes (never part of UTF-8) into fields. Per request: one field whose first
// byte is a control byte (header count c % 5, body if (c / 5) % 2, method (c / 10) % 9) and
// whose remainder is the URL; then a name field and a value field per header; then the body
// field. Missing fields are empty. Field bytes that are not valid UTF-8 are taken as Latin-1
// characters, so every input yields valid texts and none is wasted.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/str_storage.hpp"
#include "model/collection.hpp"
#include "model/request.hpp"
#include "render/command_plan.hpp"
#include "render/curl.hpp"
#include "render/document_plan.hpp"
#include "render/postman.hpp"
#include "render/sink.hpp"

namespace {

using tolmek::model::HeaderView;
using tolmek::model::HttpMethod;
using tolmek::model::Record;
using tolmek::model::Request;
namespace render = tolmek::render;

[[noreturn]] void fail(const char* what, const std::string& expected, const std::string& actual) {
    std::fprintf(stderr, "MISMATCH: %s\nexpected: %s\nactual:   %s\n", what, expected.c_str(), actual.c_str());
    std::abort();
}

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) fail(#cond, "(condition)", "false at line " + std::to_string(__LINE__)); \
    } while (0)

// ---- input decoding ------------------------------------------------------------------------

/// Length of a well-formed UTF-8 sequence at p (no overlongs, surrogates or values past
/// U+10FFFF), or 0.
std::size_t valid_sequence(const std::uint8_t* p, std::size_t n) {
    std::uint8_t b = p[0];
    if (b < 0x80) return 1;
    std::size_t len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (len == 0 || len > n) return 0;
    for (std::size_t i = 1; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    if (b == 0xE0 && p[1] < 0xA0) return 0;   // overlong
    if (b == 0xED && p[1] >= 0xA0) return 0;  // surrogate
    if (b == 0xF0 && p[1] < 0x90) return 0;   // overlong
    if (b == 0xF4 && p[1] >= 0x90) return 0;  // past U+10FFFF
    return len;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

/// Valid UTF-8 from arbitrary bytes: well-formed sequences are kept, any other byte stands
/// for the Latin-1 character of that value.
std::string to_utf8(const std::uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n;) {
        if (std::size_t len = valid_sequence(p + i, n - i)) {
            out.append(reinterpret_cast<const char*>(p + i), len);
            i += len;
        } else {
            append_utf8(out, p[i]);
            ++i;
        }
    }
    return out;
}

/// Strict decoder for renderer output, which must be valid UTF-8.
std::u32string decode(std::string_view s) {
    std::u32string out;
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        std::size_t len = valid_sequence(p + i, s.size() - i);
        if (len == 0) fail("output is not valid UTF-8", "", std::string(s));
        char32_t c = len == 1 ? p[i] : p[i] & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (p[i + k] & 0x3F);
        out += c;
        i += len;
    }
    return out;
}

struct Spec {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    HttpMethod method;
    std::optional<std::string> body;
};

std::vector<Spec> parse(const std::uint8_t* data, std::size_t size) {
    std::vector<std::pair<const std::uint8_t*, std::size_t>> fields;
    const std::uint8_t* start = data + 1;
    for (const std::uint8_t* p = start; p <= data + size; ++p) {
        if (p == data + size || *p == 0xFF) {
            fields.emplace_back(start, static_cast<std::size_t>(p - start));
            start = p + 1;
        }
    }
    std::size_t next = 0;
    auto field = [&]() -> std::pair<const std::uint8_t*, std::size_t> {
        return next < fields.size() ? fields[next++] : std::pair<const std::uint8_t*, std::size_t>{nullptr, 0};
    };
    auto text = [&] {
        auto [p, n] = field();
        return to_utf8(p, n);
    };
    std::vector<Spec> specs(1 + data[0] % 3);
    for (Spec& spec : specs) {
        auto [p, n] = field();
        unsigned control = n ? p[0] : 0;
        spec.url = n ? to_utf8(p + 1, n - 1) : std::string();
        spec.method = static_cast<HttpMethod>(control / 10 % 9);
        for (unsigned h = 0; h < control % 5; ++h) {
            std::string name = text();
            spec.headers.emplace_back(std::move(name), text());
        }
        if (control / 5 % 2) spec.body = text();
    }
    return specs;
}

// ---- reference rendering -------------------------------------------------------------------

std::string_view method_name(HttpMethod m) {
    static const char* const names[] = {"GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH", "TRACE", "CONNECT"};
    return names[static_cast<int>(m)];
}

std::string single_quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

/// Whether a command can carry the request at all: NUL nowhere, no control character in the
/// URL, header names non-empty without CR, LF, ':' or a leading '@', SP or HTAB, no CR or LF in values,
/// no ';' in the name of a header with a blank value nor white space at its end, and at most one
/// Host header.
bool reference_renders(const Spec& r) {
    for (unsigned char c : r.url)
        if (c < 0x20 || c == 0x7F) return false;
    int hosts = 0;
    for (const auto& [name, value] : r.headers) {
        if (name.empty() || name[0] == '@' || name[0] == ' ' || name[0] == '\t' || name.find_first_of(std::string(":\r\n\0", 4)) != std::string::npos)
            return false;
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "host" && ++hosts > 1) return false;
        if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
        if (value.find_first_not_of(" \t") == std::string::npos &&
            (name.find(';') != std::string::npos || name.back() == ' ' || name.back() == '\t'))
            return false;
        if (value.find_first_not_of(" \t") != std::string::npos && value.find_first_not_of(" \t\v\f") == std::string::npos)
            return false;  // curl reads it as empty and drops it
    }
    return !r.body || r.body->find('\0') == std::string::npos;
}

/// The code points of valid UTF-8 text, each with its bytes.
std::vector<std::string> code_points(const std::string& s) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        out.push_back(s.substr(i, n));
        i += n;
    }
    return out;
}

/// Whether a terminal or a line editor acts on the code point: controls other than LF, DEL, C1,
/// bidirectional controls.
bool terminal_acts_on(const std::string& c) {
    static const std::vector<std::string> bidi = {"\u061c", "\u200e", "\u200f", "\u202a", "\u202b", "\u202c",
                                                  "\u202d", "\u202e", "\u2066", "\u2067", "\u2068", "\u2069"};
    auto b = static_cast<unsigned char>(c[0]);
    if (c.size() == 1) return (b < 0x20 && b != '\n') || b == 0x7F;
    if (c.size() == 2 && b == 0xC2) return static_cast<unsigned char>(c[1]) < 0xA0;
    return std::find(bidi.begin(), bidi.end(), c) != bidi.end();
}

/// `s` in single quotes, where each run of code points a terminal acts on (and an LF before a '^',
/// with the '^') is written as "$(printf '\ooo...')" outside them.
std::string spliced(const std::string& s) {
    std::vector<std::string> points = code_points(s);
    std::string out = "'";
    bool in_run = false;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const std::string& c = points[i];
        bool acted = terminal_acts_on(c) || (c == "\n" && i + 1 < points.size() && points[i + 1] == "^") ||
                     (c == "^" && i > 0 && points[i - 1] == "\n");
        if (acted && !in_run) out += "'\"$(printf '";
        if (!acted && in_run) out += "')\"'";
        in_run = acted;
        if (acted) {
            for (unsigned char b : c) {
                char octal[5];
                std::snprintf(octal, sizeof octal, "\\%03o", b);
                out += octal;
            }
        } else {
            out += c == "'" ? std::string("'\\''") : c;
        }
    }
    return out + (in_run ? "')\"''" : "'");
}

bool has_acted(const std::string& s) { return spliced(s) != single_quoted(s); }

std::string reference_curl(const Spec& r) {
    const std::string bare = "_@%+=:,./-";
    bool url_bare = !r.url.empty() && r.url[0] != '=';
    for (char c : r.url) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        url_bare = url_bare && (alnum || bare.find(c) != std::string::npos);
    }
    std::string url;  // spaces travel as %20 (curl refuses them)
    for (char c : r.url) url += c == ' ' ? std::string("%20") : std::string(1, c);
    std::string out = "curl -X " + std::string(method_name(r.method));
    if (r.method == HttpMethod::HEAD && !r.body) out += " -I";
    if (r.url.find_first_of("[]{}") != std::string::npos) out += " -g";
    std::string path = r.url.substr(0, r.url.find_first_of("?#"));
    bool dots = false;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t slash = std::min(path.find('/', start), path.size());
        std::string segment = path.substr(start, slash - start);
        // curl 8 decodes %2e before it removes dot segments.
        for (std::size_t at; (at = segment.find("%2")) != std::string::npos && at + 2 < segment.size() &&
                             (segment[at + 2] == 'e' || segment[at + 2] == 'E');)
            segment.replace(at, 3, ".");
        dots = dots || segment == "." || segment == "..";
        start = slash + 1;
    }
    if (dots) out += " --path-as-is";
    // A URL that starts with "-" is named with --url so that curl does not read it as an option.
    out += (r.url.starts_with('-') ? " --url " : " ") + (url_bare ? url : spliced(url));
    for (const auto& [name, value] : r.headers) {
        bool empty = value.find_first_not_of(" \t") == std::string::npos;
        if (has_acted(name) || (!empty && has_acted(value))) {
            out += " -H " + spliced(name).substr(0, spliced(name).size() - 1) +
                   (empty ? std::string(";'") : ": " + spliced(value).substr(1));
            continue;
        }
        if (empty) {
            out += name.find_first_of("\"\\$`!") == std::string::npos ? " -H \"" + name + ";\"" : " -H " + single_quoted(name + ";");
            continue;
        }
        std::string line = name + ": " + value;
        if (line.find_first_of("\"\\$`!") == std::string::npos)
            out += " -H \"" + line + "\"";
        else
            out += " -H " + single_quoted(line);
    }
    // -d would read a file named by a body that starts with "@"; --data-raw sends it as it is.
    if (r.body) out += (r.body->starts_with('@') ? " --data-raw " : " -d ") + spliced(*r.body);
    return out;
}

std::string json(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

/// The "url" object: the text before the first "://" is the protocol when it is a scheme
/// (a later "://" cannot follow a valid scheme, as ':' and '/' are not scheme characters).
std::string reference_url(const std::string& url) {
    std::string protocol = "https", rest = url;
    std::size_t colon = url.find("://");
    bool scheme = colon != std::string::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(url[0]));
    for (std::size_t i = 0; scheme && i < colon; ++i) {
        unsigned char c = url[i];
        scheme = (c < 0x80 && std::isalnum(c)) || c == '+' || c == '-' || c == '.';
    }
    if (scheme) {
        protocol = url.substr(0, colon);
        rest = url.substr(colon + 3);
    } else if (url.rfind("//", 0) == 0) {
        rest = url.substr(2);
    }
    std::vector<std::string> segments(1);
    for (char c : rest) {
        if (c == '/')
            segments.emplace_back();
        else
            segments.back() += c;
    }
    // A "?" or "#" ends the host; the rest of its segment becomes the first path element.
    std::size_t cut = std::min(segments[0].find('?'), segments[0].find('#'));
    if (cut != std::string::npos) {
        segments.insert(segments.begin() + 1, segments[0].substr(cut));
        segments[0].resize(cut);
    }
    std::string path;
    for (std::size_t i = 1; i < segments.size(); ++i) path += (i > 1 ? "," : "") + json(segments[i]);
    return "{\"host\":" + json(segments[0]) + ",\"path\":[" + path + "],\"protocol\":" + json(protocol) +
           ",\"raw\":" + json(url) + "}";
}

/// One request's item of the document.
std::string reference_item(const Spec& r) {
    std::string headers;
    for (const auto& [name, value] : r.headers)
        headers += (headers.empty() ? "" : ",") + std::string("{\"key\":") + json(name) + ",\"value\":" + json(value) + "}";
    return "{\"name\":" + json(r.url) + ",\"request\":{\"body\":{\"mode\":\"raw\",\"raw\":" + json(r.body.value_or("")) +
           "},\"header\":[" + headers + "],\"method\":\"" + std::string(method_name(r.method)) +
           "\",\"url\":" + reference_url(r.url) + "}}";
}

std::string reference_document(const std::vector<Spec>& specs) {
    std::string items;
    for (const Spec& r : specs) {
        if (!items.empty()) items += ",";
        items += reference_item(r);
    }
    return "{\"info\":{\"name\":\"Tolmek Collection\",\"schema\":"
           "\"https://schema.getpostman.com/json/collection/v2.1.0/collection.json\"},\"item\":[" +
           items + "]}";
}

// ---- the two sink paths --------------------------------------------------------------------

render::Width width_of(const std::u32string& s) {
    char32_t top = 0;
    for (char32_t c : s) top = std::max(top, c);
    return top < 0x80 ? render::Width::ascii : top < 0x100 ? render::Width::latin1 : top < 0x10000 ? render::Width::bmp : render::Width::astral;
}

template <class Unit, class Render>
std::u32string write_units(Render& render, std::size_t length) {
    // Exactly sized heap storage, so a write past the measured length is an ASan report.
    auto buffer = std::make_unique<Unit[]>(length);
    render::UnitWriter<Unit> writer(buffer.get(), buffer.get() + length);
    render(writer);
    if (writer.position() != buffer.get() + length)
        fail("units written differ from the measured length", std::to_string(length),
             std::to_string(writer.position() - buffer.get()));
    return std::u32string(buffer.get(), buffer.get() + length);
}

/// Renders through render_utf8 and through Measure + UnitWriter; checks they agree with each
/// other and with `expected`.
template <class Render>
void check_render(const char* what, Render render, const std::string& expected) {
    std::string utf8 = render::render_utf8(render);
    if (utf8 != expected) fail(what, expected, utf8);

    // The UTF-8 writer into exactly sized heap storage as well (std::string may have slack).
    render::Utf8Measure bytes;
    render(bytes);
    auto buffer = std::make_unique<char[]>(bytes.size());
    render::Utf8Writer writer(buffer.get());
    render(writer);
    CHECK(writer.position() == buffer.get() + bytes.size());
    CHECK(std::string_view(buffer.get(), bytes.size()) == utf8);

    std::u32string points = decode(utf8);
    render::Measure measure;
    render(measure);
    CHECK(measure.length() == points.size());
    // The width must be exactly that of the widest character: Python strings must be made in
    // their most compact form.
    CHECK(measure.width() == width_of(points));
    std::u32string units;
    switch (measure.width()) {
        case render::Width::ascii:
        case render::Width::latin1: units = write_units<std::uint8_t>(render, measure.length()); break;
        case render::Width::bmp: units = write_units<std::uint16_t>(render, measure.length()); break;
        case render::Width::astral: units = write_units<std::uint32_t>(render, measure.length()); break;
    }
    CHECK(units == points);
}

/// Encodes the code points of `utf8` from each unit width that can hold them, as a str's
/// storage holds them, and checks the result is `utf8` again; a surrogate put in is reported.
void check_storage(const std::string& utf8) {
    namespace storage = tolmek::binding::str_storage;
    std::u32string points = decode(utf8);
    char32_t top = 0;
    for (char32_t c : points) top = std::max(top, c);
    auto check = [&](const auto& units) {
        auto size = storage::utf8_size(units.data(), units.size());
        CHECK(!size.surrogate && size.bytes == utf8.size());
        // Exactly the room the contract asks for (seven bytes past the end), on the heap so
        // that a write beyond it is an ASan report.
        auto buffer = std::make_unique<char[]>(size.bytes + 7);
        char* end = storage::encode_utf8(units.data(), units.size(), buffer.get());
        CHECK(end == buffer.get() + size.bytes);
        std::string out(buffer.get(), size.bytes);
        if (out != utf8) fail("str storage to UTF-8", utf8, out);
    };
    if (top < 0x100) check(std::basic_string<std::uint8_t>(points.begin(), points.end()));
    if (top < 0x10000) {
        std::basic_string<std::uint16_t> units(points.begin(), points.end());
        check(units);
        units.insert(units.size() / 2, 1, static_cast<std::uint16_t>(0xD800 + utf8.size() % 0x800));
        CHECK(storage::utf8_size(units.data(), units.size()).surrogate);
    }
    std::basic_string<std::uint32_t> units(points.begin(), points.end());
    check(units);
    units.push_back(0xDFFF);
    CHECK(storage::utf8_size(units.data(), units.size()).surrogate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return -1;
    std::vector<Spec> specs = parse(data, size);

    // Each record as made (with read padding, so it can be rendered as a command) and as a
    // collection stores it: a copy in the collection's blocks, with the document's notes taken
    // from the padded record as the module takes them, and a heap copy that must own its texts.
    std::vector<Request> made, records;
    tolmek::model::Collection stored;
    for (const Spec& s : specs) {
        std::vector<HeaderView> views;
        for (const auto& [name, value] : s.headers) views.push_back({name, value});
        std::optional<std::string_view> body;
        if (s.body) body = *s.body;
        made.push_back(render::make_request(s.url, views, s.method, body));
        Request copy(made.back());
        records.push_back(std::move(copy));
        Record source = made.back().record();
        stored.add(source.size(), [&](void* block) { render::copy_noting_document(source, block); });
    }

    for (std::size_t i = 0; i < specs.size(); ++i) {
        const Spec& s = specs[i];
        const Request& r = made[i];
        CHECK(std::memcmp(records[i].record().data(), r.record().data(), r.record().size()) == 0);
        // The stored copy differs only in the document's notes, which it completes.
        constexpr std::size_t fixed = sizeof(tolmek::model::RecordHeader);
        CHECK(stored.items()[i].size() == r.record().size());
        CHECK(std::memcmp(static_cast<const char*>(stored.items()[i].data()) + fixed,
                          static_cast<const char*>(r.record().data()) + fixed, r.record().size() - fixed) == 0);
        CHECK(r.url() == s.url);
        CHECK(r.method() == s.method);
        CHECK(r.headers().size() == s.headers.size());
        std::size_t k = 0;
        for (HeaderView h : r.headers()) {
            CHECK(h.name == s.headers[k].first && h.value == s.headers[k].second);
            ++k;
        }
        CHECK(r.body().has_value() == s.body.has_value());
        CHECK(!s.body || *r.body() == *s.body);
        check_storage(s.url);
        for (const auto& [name, value] : s.headers) check_storage(name + value);
        if (s.body) check_storage(*s.body);

        // The item's noted length and width are those of the reference item, as export
        // sizes the document by them alone.
        const auto& plan = r.record().header();
        const auto& notes = stored.items()[i].header();
        std::u32string item = decode(reference_item(s));
        CHECK(notes.document_notes == render::whole);
        CHECK(notes.document_length == item.size());
        CHECK(notes.document_width == static_cast<std::uint8_t>(width_of(item)));

        // The plan's one bit and the detailed reason agree with the reference, and a planned
        // command has exactly the planned length and width.
        CHECK(render::curl_refusal(r.record()).has_value() != reference_renders(s));
        CHECK(((plan.command_flags & render::refused) != 0) != reference_renders(s));
        if (!reference_renders(s)) continue;
        std::string expected = reference_curl(s);
        check_render("curl command", [&](auto& sink) { render::write_curl(sink, r.record()); }, expected);
        CHECK(render::curl_command(r.record()) == expected);
        std::u32string points = decode(expected);
        CHECK(plan.command_length == points.size());
        CHECK(plan.command_width == static_cast<std::uint8_t>(width_of(points)));
    }
    std::span<const Record> all = stored.items();
    check_render("collection document", [&](auto& sink) { render::write_collection(sink, all); },
                 reference_document(specs));
    CHECK(render::collection_document(all) == reference_document(specs));
    std::u32string document = decode(reference_document(specs));
    render::DocumentSize planned = render::collection_size(all);
    CHECK(planned.length == document.size());
    CHECK(planned.width == width_of(document));
    // A copy of a copy keeps its notes; items too long for their note (gigabytes of text) are
    // measured instead, to the same sum.
    tolmek::model::Collection again, unnoted;
    for (Record r : all) again.add(r.size(), [&](void* block) { render::copy_noting_document(r, block); });
    CHECK(render::collection_size(again.items()).length == document.size());
    for (Record r : all) unnoted.add(r)->document_length = tolmek::model::unnoted_length;
    render::DocumentSize measured = render::collection_size(unnoted.items());
    CHECK(measured.length == planned.length && measured.width == planned.width);
    return 0;
}
