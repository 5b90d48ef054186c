#pragma once

#include <atomic>
#include <cstdint>

#include "errors.hpp"

namespace tessary::py {

// Guards an instance against re-entrant use from Python code that runs
// during one of its calls (an __index__, a Python buffer exporter, an Arrow
// export method). 0: free; k: k readers inside; all ones: one writer.
class BorrowFlag {
 public:
  static constexpr std::uintptr_t writer = ~std::uintptr_t{0};

  bool try_acquire_exclusive() noexcept {
    std::uintptr_t expected = 0;
    return value_.compare_exchange_strong(expected, writer, std::memory_order_acquire);
  }
  void release_exclusive() noexcept { value_.store(0, std::memory_order_release); }

  bool try_acquire_shared() noexcept {
    std::uintptr_t current = value_.load(std::memory_order_relaxed);
    while (current != writer && current != writer - 1) {
      if (value_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return true;
    }
    return false;
  }
  void release_shared() noexcept { value_.fetch_sub(1, std::memory_order_release); }

 private:
  std::atomic<std::uintptr_t> value_{0};
};

// Held by the methods that change an instance, for their whole duration.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!flag_.try_acquire_exclusive()) raise_error(PyExc_RuntimeError, "Already borrowed");
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { flag_.release_exclusive(); }

 private:
  BorrowFlag& flag_;
};

// Held by snapshot() and the getters.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!flag_.try_acquire_shared()) raise_error(PyExc_RuntimeError, "Already mutably borrowed");
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() { flag_.release_shared(); }

 private:
  BorrowFlag& flag_;
};

}  // namespace tessary::py
