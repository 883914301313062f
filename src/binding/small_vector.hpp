// A growable array with inline room for the common small case.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>

namespace tolmek::binding {

/// Keeps up to N trivially copyable items without touching the heap; grows by doubling.
template <class T, std::size_t N>
class SmallVector {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallVector() = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;
    ~SmallVector() {
        if (data_ != inline_) std::free(data_);
    }

    void reserve(std::size_t capacity) {
        if (capacity > capacity_) grow_to(capacity);
    }
    void push_back(const T& item) {
        if (size_ == capacity_) [[unlikely]]
            grow_to(capacity_ * 2);
        data_[size_++] = item;
    }
    std::span<const T> items() const noexcept { return {data_, size_}; }
    std::size_t size() const noexcept { return size_; }

private:
    [[gnu::cold]] void grow_to(std::size_t capacity) {
        if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* grown = std::malloc(capacity * sizeof(T));
        if (grown == nullptr) throw std::bad_alloc();
        if (size_ != 0) std::memcpy(grown, data_, size_ * sizeof(T));
        if (data_ != inline_) std::free(data_);
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }

    T inline_[N];
    T* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

}  // namespace tolmek::binding
