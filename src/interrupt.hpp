// Stopping a call on request of its host. The engine knows nothing of who asks: the host installs
// one check, which the engine consults where it waits or works for long (a blocking system call
// that returned EINTR, say), and a call that is told to stop unwinds with Interrupted. Everything
// the call built is released on the way out, as for any other failure.
#pragma once

namespace quilane {

// Returns true when the current call must stop. Runs on the thread that made the call, which may
// or may not hold whatever lock the host keeps; the check takes what it needs itself. It may leave
// the reason for stopping with the host (a pending exception, say) for when Interrupted arrives.
using InterruptCheck = bool (*)();

// Thrown by stop_if_interrupted. Not an error: the host asked for it and knows why.
struct Interrupted {};

// Installs check for every later call (nullptr: never stop). Meant to be set once, before calls
// start.
void set_interrupt_check(InterruptCheck check);

// Throws Interrupted when the installed check says so.
void stop_if_interrupted();

}  // namespace quilane
