// Deciding a record's curl command: flags, header forms, exact length, or refusal.
#include "render/command_plan.hpp"

#include "render/document_plan.hpp"
#include "render/scan.hpp"
#include "render/terminal.hpp"

namespace tolmek::render {

namespace {

/// The widest character the command writes when some texts are spliced: spliced runs are ASCII
/// escapes, and a str must be no wider than its widest character.
[[gnu::cold]] Width kept_width(model::Record record) noexcept {
    Measure measure;
    auto kept = [&measure](std::string_view s) {
        terminal::split(s, [&measure](std::string_view run) { measure.text(run); }, [](std::string_view) {});
    };
    kept(record.url());
    for (model::HeaderView h : record.headers()) {
        kept(h.name);
        kept(h.value);
    }
    if (auto body = record.body()) kept(*body);
    return measure.width();
}

}  // namespace

TextEscapes plan_command(model::RecordWriter& writer, std::uint64_t text_code_points, Width text_width) noexcept {
    model::Record record = writer.record();
    model::RecordHeader& header = writer.header();
    TextEscapes escapes;
    auto refuse = [&header, &escapes] {
        header.command_flags = refused;
        header.command_quotes = 0;
        header.command_length = 0;
        header.command_width = 0;
        return escapes;  // not counted: the collection's copy counts them
    };
    // Code points the command holds besides the texts themselves: 1. "curl -X " and the method.
    std::uint64_t extra = 8 + model::name_text(record.method()).size();
    std::uint8_t flags = 0, quotes = 0;
    bool any_spliced = false;

    // 2. The URL and the flags it needs.
    std::string_view url = record.url();
    scan::Result u = scan::url(url);
    escapes.url = u.escapes;
    if (u.classes & (scan::nul | scan::line_break | scan::control)) return refuse();
    auto body = record.body();
    if (record.method() == model::HttpMethod::HEAD && !body) flags |= head_only, extra += 3;
    if (u.classes & scan::glob) flags |= no_glob, extra += 3;
    if (scan::segment_may_be_dots(url) && has_dot_segment(url)) flags |= path_as_is, extra += 13;
    if (url.starts_with('-')) flags |= url_option, extra += 7;
    else extra += 1;
    if (url.empty() || url.front() == '=' || (u.classes & scan::not_bare)) {
        flags |= url_quoted;
        extra += 2 + 3 * u.apostrophes + 2 * u.spaces;
        if (u.spaces != 0) flags |= url_spaces;
        if (u.apostrophes != 0) quotes |= url_apostrophe;
    }
    if (u.classes & scan::terminal) [[unlikely]] {
        // Only non-ASCII characters can be acted on here (controls are refused), so the URL is quoted.
        if (std::uint64_t more = terminal::splice_extra(url)) quotes |= url_spliced, extra += more, any_spliced = true;
    }

    // 3. Each header: refused, "Name;" for a blank value, else double or single quotes. The
    //    names and values lie one after the other in the record, so one pass finds the bytes
    //    that matter in all of them, and each header takes those within its own two texts.
    std::uint8_t* forms = writer.header_forms();
    model::Record::Headers headers = record.headers();
    if (headers.size() != 0) {
        // Hits are few (quotes, colons in values); past `most` each text is scanned on its own.
        constexpr std::size_t most = 64;
        std::size_t hits[most + 1];
        std::size_t count = 0;
        // They run from the URL's end to the body's start (or the block's end).
        const char* region = url.data() + url.size();
        const char* region_end = body ? body->data() : static_cast<const char*>(record.data()) + record.size();
        auto region_size = static_cast<std::size_t>(region_end - region);
        scan::for_each_hit<scan::detail::header_mask>(region, region_size, [&](std::size_t pos) {
            if (count <= most) hits[count++] = pos;
        });
        bool each_alone = count > most;
        std::size_t next = 0, at = 0;  // the next hit; where the current header's name starts
        bool host = false;
        for (model::HeaderView h : headers) {
            scan::Result n, v;
            std::size_t value_at = at + h.name.size(), end = value_at + h.value.size();
            if (each_alone) {
                n = scan::classify<scan::detail::header_mask>(h.name);
                v = scan::classify<scan::detail::header_mask>(h.value);
            } else {
                std::string_view all(region, region_size);
                for (; next < count && hits[next] < value_at; ++next) n.add_in(all, hits[next]);
                for (; next < count && hits[next] < end; ++next) v.add_in(all, hits[next]);
            }
            at = end;
            escapes.headers += n.escapes + v.escapes;
            if (h.name.empty() || h.name.front() == '@' || h.name.front() == ' ' || h.name.front() == '\t' ||
                ((n.classes | v.classes) & (scan::nul | scan::line_break)) || (n.classes & scan::colon))
                return refuse();
            if (is_host(h.name)) {
                if (host) return refuse();
                host = true;
            }
            std::uint8_t form = 0;
            bool empty = is_blank(h.value);
            if (empty) {
                if ((n.classes & scan::semicolon) || h.name.back() == ' ' || h.name.back() == '\t') return refuse();
            } else if ((v.classes & scan::control) && is_white_only(h.value)) {
                return refuse();
            }
            std::uint64_t more = 0;
            if ((n.classes | v.classes) & scan::terminal) [[unlikely]]
                more = terminal::splice_extra(h.name) + (empty ? 0 : terminal::splice_extra(h.value));
            if (more != 0) {
                // " -H '" + name + (";'" | ": " + value + "'"), each text spliced.
                form = single_quoted | spliced | (empty ? blank : 0);
                extra += empty ? 7 - h.value.size() + 3 * n.apostrophes : 8 + 3 * (n.apostrophes + v.apostrophes);
                extra += more;
                any_spliced = true;
            } else if (empty) {
                // " -H \"" + name + ";\"": the value's code points are not written (they are blanks).
                form = blank;
                extra += 7;
                extra -= h.value.size();
                if (n.classes & scan::shell) {
                    form |= single_quoted | (n.apostrophes ? has_apostrophe : 0);
                    extra += 3 * n.apostrophes;
                }
            } else {
                extra += 8;  // " -H \"" + ": " + "\""
                if ((n.classes | v.classes) & scan::shell) {
                    std::uint64_t apostrophes = n.apostrophes + v.apostrophes;
                    form = single_quoted | (apostrophes ? has_apostrophe : 0);
                    extra += 3 * apostrophes;
                }
            }
            *forms++ = form;
        }
    }

    // 4. The body, always in single quotes.
    if (body) {
        scan::Result b = scan::body(*body);
        if (b.classes & scan::nul) return refuse();
        if (body->starts_with('@')) flags |= data_raw;
        if (b.apostrophes != 0) quotes |= body_apostrophe;
        extra += (flags & data_raw ? 13 : 5) + 1 + 3 * b.apostrophes;
        if (b.classes & scan::terminal) [[unlikely]] {
            if (std::uint64_t more = terminal::splice_extra(*body)) quotes |= body_spliced, extra += more, any_spliced = true;
        }
    }

    header.command_flags = flags;
    header.command_quotes = quotes;
    header.command_length = text_code_points + extra;
    header.command_width = static_cast<std::uint8_t>(any_spliced ? kept_width(record) : text_width);
    escapes.counted = true;
    return escapes;
}

void measure_texts(model::Record record, std::uint64_t& code_points, Width& width) noexcept {
    Measure measure;
    measure.text(record.url());
    for (model::HeaderView h : record.headers()) {
        measure.text(h.name);
        measure.text(h.value);
    }
    if (auto body = record.body()) measure.text(*body);
    code_points = measure.length();
    width = measure.width();
}

model::Request make_request(std::string_view url, std::span<const model::HeaderView> headers, model::HttpMethod method,
                            std::optional<std::string_view> body) {
    model::Request request = model::Request::make(url, headers, method, body);
    std::uint64_t code_points;
    Width width;
    measure_texts(request.record(), code_points, width);
    model::RecordWriter writer(request.block());
    TextEscapes escapes = plan_command(writer, code_points, width);
    Measure url_measure;
    url_measure.text(url);
    note_texts(writer, url_measure.length(), code_points, width, escapes);
    return request;
}

}  // namespace tolmek::render
