#include "interrupt.hpp"

#include <atomic>

namespace quilane {

namespace {

std::atomic<InterruptCheck> installed_check{nullptr};

}  // namespace

void set_interrupt_check(InterruptCheck check) {
    installed_check.store(check, std::memory_order_release);
}

void stop_if_interrupted() {
    const InterruptCheck check = installed_check.load(std::memory_order_acquire);
    if (check != nullptr && check()) {
        throw Interrupted{};
    }
}

}  // namespace quilane
