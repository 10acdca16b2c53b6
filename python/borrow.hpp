// The borrow counter of an instance. Calls that change the record borrow it exclusively, all
// others share it. A call that finds a conflicting borrow held by another thread (one running
// with the interpreter lock released, or one whose argument conversion let other threads run)
// waits for it with the lock released, then proceeds. A conflict with a borrow held by the calling
// thread itself can only come from Python code run inside a call (an argument's __index__, say)
// calling back into the same object: waiting would never end, so that raises RuntimeError, as it
// always has.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "errors.hpp"
#include "interpreter_lock.hpp"

namespace quilane {

class BorrowFlag {
  public:
    void borrow_shared() {
        std::unique_lock<std::mutex> lock(mutex_);
        const bool nested = held_by_this_thread();
        // A waiting writer goes first, or a stream of overlapping readers could keep it out for
        // ever; but only for a while: a reader that holds the record may itself be waiting for
        // this one (through Python code run inside its call), and the writer waits for that
        // reader. A thread that already shares the record never waits for a writer.
        if (count_ != kExclusive && (writers_waiting_ == 0 || nested)) {
            ++count_;
        } else if (nested) {
            lock.unlock();
            raise_conflict("Already mutably borrowed");
        } else {
            lock.unlock();
            wait_for(
                [&](std::unique_lock<std::mutex>& held) {
                    released_.wait_for(held, kWriterHeadStart, [&] {
                        return count_ != kExclusive && writers_waiting_ == 0;
                    });
                    wait_until_ready(held, [&] { return count_ != kExclusive; });
                },
                [&] { ++count_; });
        }
        note_held();
    }

    void borrow_exclusive() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (count_ == 0) {
            count_ = kExclusive;
        } else if (held_by_this_thread()) {
            lock.unlock();
            raise_conflict("Already borrowed");
        } else {
            ++writers_waiting_;
            lock.unlock();
            wait_for(
                [&](std::unique_lock<std::mutex>& held) {
                    wait_until_ready(held, [&] { return count_ == 0; });
                },
                [&] {
                    --writers_waiting_;
                    count_ = kExclusive;
                });
        }
        note_held();
    }

    void release_shared() {
        forget_held();
        const std::lock_guard<std::mutex> lock(mutex_);
        if (--count_ == 0) {
            released_.notify_all();
        }
    }

    void release_exclusive() {
        forget_held();
        const std::lock_guard<std::mutex> lock(mutex_);
        count_ = 0;
        released_.notify_all();
    }

  private:
    // Waits until ready() holds, through timed waits only: the untimed wait of GCC 12's C++
    // runtime carries a symbol version that older runtimes lack, which would raise the glibc and
    // runtime the wheel needs.
    template <class Ready>
    void wait_until_ready(std::unique_lock<std::mutex>& held, Ready ready) {
        while (!released_.wait_for(held, std::chrono::seconds(1), ready)) {
        }
    }

    static constexpr intptr_t kExclusive = -1;

    static constexpr std::chrono::milliseconds kWriterHeadStart{100};

    // With the interpreter lock released, waits as wait(lock) does, then take()s the borrow. The
    // mutex is given up before the interpreter lock is taken back: a thread holding that lock
    // may be about to ask for the mutex.
    template <class Wait, class Take>
    void wait_for(Wait wait, Take take) {
        const InterpreterUnlocked unlocked;
        std::unique_lock<std::mutex> lock(mutex_);
        wait(lock);
        take();
    }

    // The borrows the calling thread holds, innermost last, of every instance: a few at most.
    static std::vector<const BorrowFlag*>& held_here() {
        thread_local std::vector<const BorrowFlag*> held;
        return held;
    }
    bool held_by_this_thread() const {
        const std::vector<const BorrowFlag*>& held = held_here();
        return std::find(held.begin(), held.end(), this) != held.end();
    }
    // Called with the borrow taken; if even this small list cannot grow, the borrow is given back.
    void note_held() {
        try {
            held_here().push_back(this);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex_);
            count_ = count_ == kExclusive ? 0 : count_ - 1;
            released_.notify_all();
            throw;
        }
    }
    void forget_held() {
        std::vector<const BorrowFlag*>& held = held_here();
        held.erase(std::find(held.rbegin(), held.rend(), this).base() - 1);
    }
    [[noreturn]] static void raise_conflict(const char* message) {
        PyErr_SetString(PyExc_RuntimeError, message);
        throw_python_error();
    }

    std::mutex mutex_;
    std::condition_variable released_;
    intptr_t count_ = 0;  // 0 when free, -1 while borrowed exclusively, else the shared borrows
    size_t writers_waiting_ = 0;
};

class SharedBorrow {
  public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) { flag_.borrow_shared(); }
    ~SharedBorrow() { flag_.release_shared(); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

  private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) { flag_.borrow_exclusive(); }
    ~ExclusiveBorrow() { flag_.release_exclusive(); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

  private:
    BorrowFlag& flag_;
};

}  // namespace quilane
