#include "parallel.hpp"

#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "error.hpp"
#include "interrupt.hpp"

namespace quilane {

namespace {

// The pool's own control is process-wide and costs nothing per call: one object, replaced when
// the limit changes. Without one, the pool uses every processor it may run on.
struct ThreadLimit {
    std::mutex mutex;
    std::once_flag environment_read;
    std::atomic<size_t> threads{0};  // 0: not set
    std::unique_ptr<tbb::global_control> control;
};

ThreadLimit& process_limit() {
    static ThreadLimit limit;
    return limit;
}

void apply_limit(ThreadLimit& limit, size_t threads) {
    auto control = std::make_unique<tbb::global_control>(
        tbb::global_control::max_allowed_parallelism, threads);
    const std::lock_guard<std::mutex> lock(limit.mutex);
    limit.control = std::move(control);
    limit.threads.store(threads);
}

size_t parse_thread_count(const char* text) {
    size_t threads = 0;
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, threads);
    if (error != std::errc() || stop != end || threads == 0) {
        fail("QUILANE_NUM_THREADS must be a positive integer (got '" + std::string(text) + "')");
    }
    return threads;
}

// The environment is read once, at the first use of the pool or of the limit; a value that is
// not a positive integer fails every use until it is set from the program.
ThreadLimit& configured_limit() {
    ThreadLimit& limit = process_limit();
    std::call_once(limit.environment_read, [&] {
        const char* text = std::getenv("QUILANE_NUM_THREADS");
        if (text != nullptr && limit.threads.load() == 0) {
            apply_limit(limit, parse_thread_count(text));
        }
    });
    return limit;
}

}  // namespace

size_t thread_limit() {
    const size_t threads = configured_limit().threads.load();
    return threads != 0 ? threads : static_cast<size_t>(tbb::info::default_concurrency());
}

void set_thread_limit(size_t threads) {
    if (threads == 0) {
        fail("the number of threads must be at least 1");
    }
    ThreadLimit& limit = process_limit();
    // A limit set from the program wins over the environment, whichever comes first.
    std::call_once(limit.environment_read, [] {});
    apply_limit(limit, threads);
}

void parallel_for_each(size_t count, const std::function<void(size_t)>& body) {
    configured_limit();
    if (count == 0) {
        return;
    }
    const std::thread::id caller = std::this_thread::get_id();
    InterruptPoll poll;
    tbb::task_group_context context;
    // An exception thrown here (Interrupted from the poll included) cancels the context; the
    // pool then starts no further iteration and rethrows it on the calling thread.
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, count, 1),
        [&](const tbb::blocked_range<size_t>& range) {
            for (size_t i = range.begin(); i != range.end(); ++i) {
                if (context.is_group_execution_cancelled()) {
                    return;
                }
                if (std::this_thread::get_id() == caller) {
                    poll();
                }
                body(i);
            }
        },
        context);
}

void InterruptPoll::operator()() {
    if (++steps_ % stride_ != 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kInterruptPollInterval) {
        return;
    }
    last_ = now;
    stop_if_interrupted();
}

}  // namespace quilane
