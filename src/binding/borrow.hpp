// The borrow state of every instance and the guards that hold a borrow for one call.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "binding/error.hpp"

namespace tolmek::binding {

/// 0: free; 1 to max-1: that many shared borrows; max (all bits set): one exclusive borrow.
class BorrowState {
public:
    static constexpr std::uint64_t exclusive = std::numeric_limits<std::uint64_t>::max();

    bool try_shared() noexcept {
        std::uint64_t seen = state_.load(std::memory_order_relaxed);
        do {
            if (seen == exclusive) return false;
        } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_seq_cst));
        return true;
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_seq_cst); }

    bool try_exclusive() noexcept {
        std::uint64_t expected = 0;
        return state_.compare_exchange_strong(expected, exclusive, std::memory_order_seq_cst);
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_seq_cst); }

private:
    std::atomic<std::uint64_t> state_{0};
};

/// Holds a shared borrow until destroyed; RuntimeError "Already mutably borrowed" if refused.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowState& state) : state_(state) {
        if (!state.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { state_.release_shared(); }

private:
    BorrowState& state_;
};

/// Holds an exclusive borrow until destroyed; RuntimeError "Already borrowed" if refused.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowState& state) : state_(state) {
        if (!state.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { state_.release_exclusive(); }

private:
    BorrowState& state_;
};

}  // namespace tolmek::binding
