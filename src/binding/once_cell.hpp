// Process-wide cells that are filled at most once.
#pragma once

#include <atomic>

namespace tolmek::binding {

/// Holds a pointer that is set at most once for the life of the process. Two fillers that
/// race both compute; the first stored value wins and the other keeps its candidate.
template <class T>
class OnceCell {
public:
    constexpr OnceCell() noexcept = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    T* get() const noexcept { return value_.load(std::memory_order_acquire); }

    /// Stores `candidate` if the cell is empty. Returns the value the cell holds afterwards;
    /// when that is not `candidate`, the caller still owns (and must dispose of) `candidate`.
    T* set(T* candidate) noexcept {
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, candidate, std::memory_order_acq_rel)) return candidate;
        return expected;
    }

private:
    std::atomic<T*> value_{nullptr};
};

}  // namespace tolmek::binding
