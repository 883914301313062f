// The request record: URL, ordered header pairs, method and optional body in one block of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
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

/// The fixed part at the start of every record block. A block is position independent (it
/// holds sizes, never pointers), so copying a record is one memcpy, and a block may live on its
/// own in the heap or inside a Python object.
///
/// Layout: this header, one HeaderLengths per header pair, one form byte per header pair, then
/// the text bytes (UTF-8) url, name 0, value 0, name 1, value 1, ..., body.
struct RecordHeader {
    std::uint64_t size;  ///< of the whole block
    std::uint64_t url_length;
    std::uint64_t body_length;
    std::uint32_t header_count;  ///< at most max_header_count
    /// The record's item in the collection document (render/document_plan.hpp): its length in
    /// code points, or unnoted_length when it does not fit here, once document_notes says it is
    /// whole. Export sums these instead of reading every text twice.
    std::uint32_t document_length;
    /// The curl command, decided when the record is made: its length in code points, the
    /// widest character class in it and flags (render/command_plan.hpp gives their meaning).
    std::uint64_t command_length;
    HttpMethod method;
    bool has_body;
    std::uint8_t command_width;
    std::uint8_t command_flags;
    std::uint8_t command_quotes;  ///< which single-quoted texts hold apostrophes
    std::uint8_t document_width;  ///< widest character class of the item (render::Width)
    std::uint8_t document_notes;  ///< how far document_length is noted (render::DocumentNotes)
};

// The document's notes live in what was padding: a stored request costs no more memory.
static_assert(sizeof(RecordHeader) == 48);

/// More header pairs than this cannot be stored (record_size() refuses them, as memory for
/// their 17 bytes each of lengths and forms could not be had anyway).
inline constexpr std::size_t max_header_count = UINT32_MAX;

/// RecordHeader::document_length of an item too long to note; it is measured when exported.
inline constexpr std::uint32_t unnoted_length = UINT32_MAX;

struct HeaderLengths {
    std::uint64_t name;
    std::uint64_t value;
};

/// Bytes past the end of a record block that planning and writing its curl command may read
/// (they load whole 16-byte chunks). Blocks that are planned or rendered carry them, zeroed:
/// those inside Tolmek objects and those Request::make makes. A collection's stored copies are
/// only copied and exported, and go without (they are the bulk of a collection's memory).
inline constexpr std::size_t read_padding = 16;

/// a + b; throws std::bad_alloc when the sum cannot be represented (a block of that size could
/// not be allocated anyway).
inline std::size_t checked_add(std::size_t a, std::size_t b) {
    std::size_t sum = a + b;  // wraps modulo 2^N exactly when it does not fit
    if (sum < a) throw std::bad_alloc();
    return sum;
}

/// Bytes of a record with `header_count` header pairs and `text_bytes` bytes of text in all;
/// throws std::bad_alloc when the size cannot be represented or there are more than
/// max_header_count pairs (it could not be allocated anyway).
std::size_t record_size(std::size_t header_count, std::size_t text_bytes);

/// Where the parts of a record block lie (see RecordHeader): the one place that knows the layout.
namespace layout {
inline const HeaderLengths* lengths(const RecordHeader* block) noexcept {
    return reinterpret_cast<const HeaderLengths*>(block + 1);
}
inline const std::uint8_t* header_forms(const RecordHeader* block) noexcept {
    return reinterpret_cast<const std::uint8_t*>(lengths(block) + block->header_count);
}
inline const char* text(const RecordHeader* block) noexcept {
    return reinterpret_cast<const char*>(header_forms(block) + block->header_count);
}
}  // namespace layout

/// A read-only view of a record block; valid while the block lives.
class Record {
public:
    /// Iterates the header pairs in their stored order.
    class HeaderIterator {
    public:
        using value_type = HeaderView;
        using difference_type = std::ptrdiff_t;
        HeaderIterator() = default;
        HeaderIterator(const HeaderLengths* lengths, const char* text) : lengths_(lengths), text_(text) {}
        HeaderView operator*() const {
            return {{text_, static_cast<std::size_t>(lengths_->name)},
                    {text_ + lengths_->name, static_cast<std::size_t>(lengths_->value)}};
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
        const HeaderLengths* lengths_ = nullptr;
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

    explicit Record(const RecordHeader* block) noexcept : block_(block) {}

    std::string_view url() const noexcept { return {text(), static_cast<std::size_t>(block_->url_length)}; }
    Headers headers() const noexcept {
        const HeaderLengths* first = layout::lengths(block_);
        auto count = static_cast<std::size_t>(block_->header_count);
        return {HeaderIterator(first, text() + block_->url_length), HeaderIterator(first + count, nullptr), count};
    }
    /// One byte per header pair for the curl command (render/command_plan.hpp).
    std::span<const std::uint8_t> header_forms() const noexcept {
        return {layout::header_forms(block_), static_cast<std::size_t>(block_->header_count)};
    }
    HttpMethod method() const noexcept { return block_->method; }
    /// Absent and present-but-empty bodies stay distinct.
    std::optional<std::string_view> body() const noexcept {
        if (!block_->has_body) return std::nullopt;
        const char* end = reinterpret_cast<const char*>(block_) + block_->size;
        return std::string_view(end - block_->body_length, static_cast<std::size_t>(block_->body_length));
    }
    const RecordHeader& header() const noexcept { return *block_; }
    /// Bytes of the whole block.
    std::size_t size() const noexcept { return static_cast<std::size_t>(block_->size); }
    const void* data() const noexcept { return block_; }

private:
    const char* text() const noexcept { return layout::text(block_); }

    const RecordHeader* block_;
};

static_assert(std::forward_iterator<Record::HeaderIterator>);

/// Lays a new record out in memory of record_size() bytes. The maker then writes each header
/// pair's lengths, the text bytes at text() in record order, and the command plan (which
/// writes the header forms).
class RecordWriter {
public:
    RecordWriter(void* block, std::size_t size, HttpMethod method, std::size_t url_length,
                 std::size_t header_count, std::optional<std::size_t> body_length) noexcept;
    /// Goes on with a block that is laid out already.
    explicit RecordWriter(RecordHeader* block) noexcept : block_(block) {}

    void set_lengths(std::size_t header, std::size_t name, std::size_t value) noexcept {
        const_cast<HeaderLengths*>(layout::lengths(block_))[header] = HeaderLengths{name, value};
    }
    /// Where the texts go: url, name 0, value 0, ..., body, with nothing between them.
    char* text() noexcept { return const_cast<char*>(layout::text(block_)); }
    RecordHeader& header() noexcept { return *block_; }
    std::uint8_t* header_forms() noexcept { return const_cast<std::uint8_t*>(layout::header_forms(block_)); }
    Record record() const noexcept { return Record(block_); }

private:
    RecordHeader* block_;
};

/// An immutable HTTP request that owns its record block in the heap.
///
/// Copying copies the block (a deep copy that never shares text). A moved-from request may
/// only be destroyed or assigned.
class Request {
public:
    /// A heap copy of `record`, without read padding (it is for storing, copying back and
    /// exporting, not for rendering a command); throws std::bad_alloc when memory runs out.
    explicit Request(Record record);

    /// Copies every text into one new block with read padding; the command plan is left empty
    /// (zero), as render::plan_command() fills it. Throws std::bad_alloc when memory runs out.
    static Request make(std::string_view url, std::span<const HeaderView> headers, HttpMethod method,
                        std::optional<std::string_view> body);

    Request(const Request& other) : Request(other.record()) {}
    Request& operator=(const Request& other);
    Request(Request&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    Request& operator=(Request&& other) noexcept;
    ~Request();

    Record record() const noexcept { return Record(block_); }
    /// Only while the request is being made (before anyone else can see it).
    RecordHeader* block() noexcept { return block_; }

    std::string_view url() const noexcept { return record().url(); }
    Record::Headers headers() const noexcept { return record().headers(); }
    HttpMethod method() const noexcept { return record().method(); }
    std::optional<std::string_view> body() const noexcept { return record().body(); }
    /// Bytes of heap memory the request occupies (its block).
    std::size_t footprint() const noexcept { return record().size(); }

private:
    explicit Request(RecordHeader* block) noexcept : block_(block) {}

    RecordHeader* block_;
};

}  // namespace tolmek::model
