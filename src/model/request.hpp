// The request record: URL, ordered header pairs, method and optional body, in one allocation.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>

#include "model/http_method.hpp"

namespace tolmek::model {

/// One header pair as views; in a record it points into the record's own block.
struct HeaderView {
    std::string_view name;
    std::string_view value;
};

/// An immutable HTTP request that owns all of its texts in a single heap block.
///
/// Copying copies the block (a deep copy that never shares text); records are never
/// changed after they are made. A moved-from record may only be destroyed or assigned.
class Request {
    struct Block;
    struct Lengths {
        std::size_t name;
        std::size_t value;
    };

public:
    /// Iterates the header pairs in their stored order.
    class HeaderIterator {
    public:
        using value_type = HeaderView;
        using difference_type = std::ptrdiff_t;
        HeaderIterator() = default;
        HeaderIterator(const Lengths* lengths, const char* text) : lengths_(lengths), text_(text) {}
        HeaderView operator*() const {
            return {{text_, lengths_->name}, {text_ + lengths_->name, lengths_->value}};
        }
        HeaderIterator& operator++() {
            text_ += lengths_->name + lengths_->value;
            ++lengths_;
            return *this;
        }
        HeaderIterator operator++(int) {
            HeaderIterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const HeaderIterator& other) const { return lengths_ == other.lengths_; }

    private:
        const Lengths* lengths_ = nullptr;
        const char* text_ = nullptr;
    };

    struct Headers {
        HeaderIterator first;
        HeaderIterator last;
        std::size_t count;
        HeaderIterator begin() const { return first; }
        HeaderIterator end() const { return last; }
        std::size_t size() const { return count; }
    };

    /// Copies every text into one new block; throws std::bad_alloc when memory runs out
    /// (including sizes too large to represent).
    static Request make(std::string_view url, std::span<const HeaderView> headers, HttpMethod method,
                        std::optional<std::string_view> body);

    Request(const Request& other);
    Request& operator=(const Request& other);
    Request(Request&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    Request& operator=(Request&& other) noexcept;
    ~Request();

    std::string_view url() const noexcept;
    Headers headers() const noexcept;
    HttpMethod method() const noexcept;
    /// Absent and present-but-empty bodies stay distinct.
    std::optional<std::string_view> body() const noexcept;
    /// Bytes of heap memory the record occupies (its block).
    std::size_t footprint() const noexcept;

private:
    explicit Request(Block* block) noexcept : block_(block) {}
    const Lengths* lengths() const noexcept;
    const char* text() const noexcept;

    Block* block_;
};

static_assert(std::forward_iterator<Request::HeaderIterator>);

}  // namespace tolmek::model
