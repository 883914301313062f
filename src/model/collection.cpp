// Appending request records to a collection's blocks.
#include "model/collection.hpp"

#include <algorithm>
#include <cstring>

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

RecordHeader* Collection::add(Record record) {
    std::size_t size = record.size();
    // Rounded up so that the next record is aligned; a size this close to SIZE_MAX was never allocated.
    std::size_t room = checked_add(size, record_alignment - 1) & ~(record_alignment - 1);
    if (items_.size() == items_.capacity()) items_.reserve(std::max<std::size_t>(16, 2 * items_.capacity()));
    if (room > left_) grow(room);
    auto* copy = reinterpret_cast<RecordHeader*>(free_);
    std::memcpy(copy, record.data(), size);
    free_ += room;
    left_ -= room;
    items_.push_back(Record(copy));  // cannot throw: reserved above
    present_ = true;
    return copy;
}

}  // namespace tolmek::model
