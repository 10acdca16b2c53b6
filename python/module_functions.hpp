// The module's own functions, outside __all__: the threads knob, and helpers that the quilane
// package exports, some under other names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quilane {

// rerank(queries, candidates, vectors, k), defined beside its argument handling.
PyMethodDef rerank_method();

// Adds them to module; throws PythonErrorSet on failure.
void add_module_functions(PyObject* module);

}  // namespace quilane
