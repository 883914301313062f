// Appending request records to a collection's blocks.
#include "model/collection.hpp"

#include <algorithm>

namespace tolmek::model {

namespace {

/// Records start at multiples of this (their fields are 64-bit).
constexpr std::size_t record_alignment = alignof(RecordHeader);
/// The first block's size; each later one doubles, up to the largest.
constexpr std::size_t first_block = 4096;
constexpr std::size_t largest_block = std::size_t{1} << 20;

}  // namespace

void Collection::grow(std::size_t size) {
    std::size_t block = std::max(next_block_, first_block);
    next_block_ = std::min(block * 2, largest_block);
    block = std::max(block, size);
    // The list of blocks has room before the block exists, so that nothing is left half done.
    blocks_.reserve(blocks_.size() + 1);
    blocks_.emplace_back(new std::byte[block]);
    free_ = blocks_.back().get();
    left_ = block;
}

void Collection::grow_list() { items_.reserve(std::max<std::size_t>(16, 2 * items_.capacity())); }

std::size_t Collection::make_room(std::size_t size) {
    // A size this close to SIZE_MAX was never allocated.
    std::size_t room = checked_add(size, record_alignment - 1) & ~(record_alignment - 1);
    if (items_.size() == items_.capacity()) grow_list();
    if (room > left_) grow(room);
    return room;
}

RecordHeader* Collection::commit(std::size_t room) noexcept {
    auto* record = reinterpret_cast<RecordHeader*>(free_);
    free_ += room;
    left_ -= room;
    items_.push_back(Record(record));  // cannot throw: make_room reserved it
    present_ = true;
    return record;
}

}  // namespace tolmek::model
