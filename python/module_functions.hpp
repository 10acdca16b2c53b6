// The module's own functions: the threads knob, and private helpers of the quilane package.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quilane {

// Adds them to module; throws PythonErrorSet on failure.
void add_module_functions(PyObject* module);

}  // namespace quilane
