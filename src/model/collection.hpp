// The collection: an optional, ordered list of request records, copied one after another into blocks of its own.
#pragma once

#include <cstddef>
#include <cstring>
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

    /// Appends a record of `size` bytes that `fill(block)` writes (without throwing) and returns
    /// it. On failure (std::bad_alloc) the collection is unchanged.
    template <class Fill>
    RecordHeader* add(std::size_t size, Fill&& fill) {
        std::size_t room = make_room(size);
        fill(static_cast<void*>(free_));
        return commit(room);
    }

    /// Appends a copy of `record` (its size as it says, without read padding) and returns it.
    RecordHeader* add(Record record) {
        return add(record.size(), [&](void* block) { std::memcpy(block, record.data(), record.size()); });
    }

    /// Room for `count` records in the list (their blocks grow as they come).
    void reserve(std::size_t count) { items_.reserve(count); }
    /// Present, with no records yet.
    void make_present() noexcept { present_ = true; }
    bool present() const noexcept { return present_; }
    /// The stored records; empty when absent.
    std::span<const Record> items() const noexcept { return items_; }

private:
    /// Makes room at free_ for a record of `size` bytes and for its entry in the list; returns
    /// the bytes it takes (rounded up so that the next record is aligned).
    std::size_t make_room(std::size_t size);
    /// Lists the record written at free_, which takes `room` bytes.
    RecordHeader* commit(std::size_t room) noexcept;
    /// Room for `size` more bytes at free_, from a new block (cold: once per many records).
    [[gnu::cold]] void grow(std::size_t size);
    /// Room for more entries in the list, by doubling.
    [[gnu::cold]] void grow_list();

    bool present_ = false;
    std::vector<Record> items_;
    std::vector<std::unique_ptr<std::byte[]>> blocks_;
    std::byte* free_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_block_ = 0;  ///< size of the next block
};

}  // namespace tolmek::model
