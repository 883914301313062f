// Layout, construction and copying of request records.
#include "model/request.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tolmek::model {

namespace {

/// A heap block of `size` bytes, followed by `padding` zeroed bytes.
RecordHeader* allocate_block(std::size_t size, std::size_t padding) {
    void* memory = std::malloc(checked_add(size, padding));
    if (memory == nullptr) throw std::bad_alloc();
    std::memset(static_cast<char*>(memory) + size, 0, padding);
    return static_cast<RecordHeader*>(memory);
}

}  // namespace

std::size_t record_size(std::size_t header_count, std::size_t text_bytes) {
    if (header_count > max_header_count) throw std::bad_alloc();
    // Per header pair: its lengths and its form byte.
    constexpr std::size_t per_header = sizeof(HeaderLengths) + 1;
    if (header_count > SIZE_MAX / per_header) throw std::bad_alloc();
    return checked_add(checked_add(sizeof(RecordHeader), header_count * per_header), text_bytes);
}

RecordWriter::RecordWriter(void* block, std::size_t size, HttpMethod method, std::size_t url_length,
                           std::size_t header_count, std::optional<std::size_t> body_length) noexcept
    : block_(static_cast<RecordHeader*>(block)) {
    *block_ = RecordHeader{size, url_length, body_length.value_or(0), static_cast<std::uint32_t>(header_count), 0, 0,
                           method, body_length.has_value(), 0, 0, 0, 0, 0};
}

Request Request::make(std::string_view url, std::span<const HeaderView> headers, HttpMethod method,
                      std::optional<std::string_view> body) {
    // 1. Size the block exactly, checking every addition.
    std::size_t text_bytes = url.size();
    for (const HeaderView& h : headers) text_bytes = checked_add(checked_add(text_bytes, h.name.size()), h.value.size());
    if (body) text_bytes = checked_add(text_bytes, body->size());
    std::size_t size = record_size(headers.size(), text_bytes);

    // 2. Lay it out, then copy the texts in record order.
    RecordHeader* block = allocate_block(size, read_padding);
    RecordWriter writer(block, size, method, url.size(), headers.size(),
                        body ? std::optional<std::size_t>(body->size()) : std::nullopt);
    std::memset(writer.header_forms(), 0, headers.size());  // until a plan writes them
    char* out = writer.text();
    auto put = [&out](std::string_view s) {
        if (!s.empty()) std::memcpy(out, s.data(), s.size());
        out += s.size();
    };
    put(url);
    for (std::size_t i = 0; i < headers.size(); ++i) {
        writer.set_lengths(i, headers[i].name.size(), headers[i].value.size());
        put(headers[i].name);
        put(headers[i].value);
    }
    if (body) put(*body);
    return Request(block);
}

Request::Request(Record record) : block_(allocate_block(record.size(), 0)) {
    std::memcpy(block_, record.data(), record.size());
}

Request& Request::operator=(const Request& other) {
    if (this != &other) *this = Request(other);
    return *this;
}

Request& Request::operator=(Request&& other) noexcept {
    if (this != &other) {
        std::free(block_);
        block_ = other.block_;
        other.block_ = nullptr;
    }
    return *this;
}

Request::~Request() { std::free(block_); }

}  // namespace tolmek::model
