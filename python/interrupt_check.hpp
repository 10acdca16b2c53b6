// The engine's interrupt check (src/interrupt.hpp) as Python sees it: a pending signal whose
// handler raises (Ctrl-C's KeyboardInterrupt) stops the call.
#pragma once

namespace quilane {

// Runs the interpreter's signal handlers; true when one raised, which then stays pending on this
// thread for the call to report. Takes the interpreter lock for that moment only, so it also
// serves a call that has released the lock. Signals are handled on the main thread only; on any
// other thread this returns false.
bool python_signal_raised();

}  // namespace quilane
