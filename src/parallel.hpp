// Every parallel part of the engine runs through here, so that one limit bounds them all and
// every long loop can be stopped by the host's interrupt check (interrupt.hpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace quilane {

// The most threads any one call of the engine uses (the calling thread included). Until it is
// set, the environment variable QUILANE_NUM_THREADS gives it when it holds a positive integer
// (read on first use; any other value fails with Error), and otherwise every processor the
// process may run on.
size_t thread_limit();
// Sets the limit for every later parallel loop; fails with Error when threads is 0.
void set_thread_limit(size_t threads);

// Runs body(i) for every i in [0, count) on the pool, within the limit, in any order and on any
// thread. The calling thread asks the interrupt check every few milliseconds while it takes part;
// when the check says stop, the iterations not yet started are dropped and Interrupted is thrown
// once the running ones have finished. An exception of body stops the loop the same way and is
// rethrown on the calling thread.
void parallel_for_each(size_t count, const std::function<void(size_t)>& body);

// For a sequential loop of short steps: asks the interrupt check when a few milliseconds have
// passed since it last asked, and throws Interrupted when it says stop. The clock is read every
// `stride` steps, so that steps of a fraction of a microsecond do not pay for it each.
class InterruptPoll {
  public:
    explicit InterruptPoll(size_t stride = 1) : stride_(stride) {}
    void operator()();

  private:
    size_t stride_;
    size_t steps_ = 0;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// How often a long loop asks the interrupt check.
inline constexpr std::chrono::milliseconds kInterruptPollInterval{5};

}  // namespace quilane
