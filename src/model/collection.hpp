// The collection: an optional, ordered list of request records, copied one after another into blocks of its own.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "model/request.hpp"

namespace tolmek::model {

/// Requests in arrival order. "Absent" (nothing given, nothing added) and "present but
/// empty" are distinct states; once present the list never becomes absent again.
///
/// Records are never removed one by one, so each is copied to the end of a block the collection
/// owns rather than into an allocation of its own: an append is a bump of a pointer (a heap
/// allocation and its release cost more than the copy itself), no per-allocation overhead is
/// stored, and export reads the records as one stream.
class Collection {
public:
    Collection() = default;
    Collection(Collection&&) noexcept = default;
    Collection& operator=(Collection&&) noexcept = default;
    Collection(const Collection&) = delete;
    Collection& operator=(const Collection&) = delete;

    /// Appends a copy of `record` (its size as it says, without read padding) and returns the
    /// copy's block, for the caller to finish before anything reads it. On failure
    /// (std::bad_alloc) the collection is unchanged.
    RecordHeader* add(Record record);

    /// Room for `count` records in the list (their blocks grow as they come).
    void reserve(std::size_t count) { items_.reserve(count); }
    /// Present, with no records yet.
    void make_present() noexcept { present_ = true; }
    bool present() const noexcept { return present_; }
    /// The stored records; empty when absent.
    std::span<const Record> items() const noexcept { return items_; }

private:
    /// Room for `size` more bytes at free_, from a new block (cold: once per many records).
    [[gnu::cold]] void grow(std::size_t size);

    bool present_ = false;
    std::vector<Record> items_;
    std::vector<std::unique_ptr<std::byte[]>> blocks_;
    std::byte* free_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_block_ = 0;  ///< size of the next block
};

}  // namespace tolmek::model
