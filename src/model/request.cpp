// Layout, construction and copying of request records.
#include "model/request.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace tolmek::model {

// Block layout: this header, then one Lengths per header pair, then the text bytes
// url, name0, value0, name1, value1, ..., body.
struct Request::Block {
    std::size_t size;  // of the whole block, so a copy is one memcpy
    std::size_t url_length;
    std::size_t body_length;
    std::size_t header_count;
    HttpMethod method;
    bool has_body;
};

namespace {

/// Adds sizes, turning overflow into the allocation failure it would become anyway.
std::size_t checked_add(std::size_t a, std::size_t b) {
    std::size_t sum;
    if (__builtin_add_overflow(a, b, &sum)) throw std::bad_alloc();
    return sum;
}

void* allocate(std::size_t size) {
    void* memory = std::malloc(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

}  // namespace

Request Request::make(std::string_view url, std::span<const HeaderView> headers, HttpMethod method,
                      std::optional<std::string_view> body) {
    // 1. Size the block exactly, checking every addition.
    std::size_t lengths_bytes;
    if (__builtin_mul_overflow(headers.size(), sizeof(Lengths), &lengths_bytes)) throw std::bad_alloc();
    std::size_t size = checked_add(sizeof(Block), lengths_bytes);
    size = checked_add(size, url.size());
    for (const HeaderView& h : headers) size = checked_add(checked_add(size, h.name.size()), h.value.size());
    if (body) size = checked_add(size, body->size());

    // 2. Fill the header, the length table and the texts in order.
    auto* block = static_cast<Block*>(allocate(size));
    *block = Block{size, url.size(), body ? body->size() : 0, headers.size(), method, body.has_value()};
    auto* lengths = reinterpret_cast<Lengths*>(block + 1);
    char* out = reinterpret_cast<char*>(lengths + headers.size());
    auto put = [&out](std::string_view s) {
        if (!s.empty()) std::memcpy(out, s.data(), s.size());
        out += s.size();
    };
    put(url);
    for (const HeaderView& h : headers) {
        *lengths++ = Lengths{h.name.size(), h.value.size()};
        put(h.name);
        put(h.value);
    }
    if (body) put(*body);
    return Request(block);
}

Request::Request(const Request& other) : block_(static_cast<Block*>(allocate(other.block_->size))) {
    std::memcpy(block_, other.block_, other.block_->size);
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

const Request::Lengths* Request::lengths() const noexcept { return reinterpret_cast<const Lengths*>(block_ + 1); }

const char* Request::text() const noexcept {
    return reinterpret_cast<const char*>(lengths() + block_->header_count);
}

std::string_view Request::url() const noexcept { return {text(), block_->url_length}; }

Request::Headers Request::headers() const noexcept {
    const Lengths* first = lengths();
    return {HeaderIterator(first, text() + block_->url_length),
            HeaderIterator(first + block_->header_count, nullptr), block_->header_count};
}

HttpMethod Request::method() const noexcept { return block_->method; }

std::optional<std::string_view> Request::body() const noexcept {
    if (!block_->has_body) return std::nullopt;
    const char* end = reinterpret_cast<const char*>(block_) + block_->size;
    return std::string_view(end - block_->body_length, block_->body_length);
}

std::size_t Request::footprint() const noexcept { return block_->size; }

}  // namespace tolmek::model
