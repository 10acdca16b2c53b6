// Releasing the interpreter lock around engine work, for the calls that ask for it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quilane {

// Releases the calling thread's interpreter lock for its lifetime; takes it back on the way out,
// an exception's included.
class InterpreterUnlocked {
  public:
    InterpreterUnlocked() : saved_(PyEval_SaveThread()) {}
    ~InterpreterUnlocked() { PyEval_RestoreThread(saved_); }
    InterpreterUnlocked(const InterpreterUnlocked&) = delete;
    InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

  private:
    PyThreadState* saved_;
};

// Runs work() with the lock released when release is set and held otherwise. work touches no
// Python object: everything it reads was taken from its arguments before, with the lock held.
template <class Work>
auto run_engine(bool release, Work&& work) {
    if (!release) {
        return work();
    }
    InterpreterUnlocked unlocked;
    return work();
}

}  // namespace quilane
