// The borrow counter of an instance. The interpreter lock is held for every whole call, so a
// conflict can only come from Python code that runs inside a call (an argument's __index__, say)
// and calls back into the same object; the counter turns that into a RuntimeError instead of a
// record changed under a reader.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "errors.hpp"

namespace quilane {

// 0 when free, -1 while borrowed exclusively, otherwise the number of shared borrows.
using BorrowFlag = std::atomic<intptr_t>;

inline constexpr intptr_t kExclusive = -1;

class SharedBorrow {
  public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        intptr_t current = flag_.load();
        do {
            if (current == kExclusive) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                throw_python_error();
            }
        } while (!flag_.compare_exchange_weak(current, current + 1));
    }
    ~SharedBorrow() { flag_.fetch_sub(1); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

  private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        intptr_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, kExclusive)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            throw_python_error();
        }
    }
    ~ExclusiveBorrow() { flag_.store(0); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

  private:
    BorrowFlag& flag_;
};

}  // namespace quilane
