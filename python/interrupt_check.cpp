#include "interrupt_check.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quilane {

bool python_signal_raised() {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return raised;
}

}  // namespace quilane
