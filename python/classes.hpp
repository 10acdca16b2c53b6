// The two classes the module exports. Each type is created on first use and lives as long as the
// process; the functions return borrowed references and throw PythonErrorSet on failure.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quilane {

PyObject* gyrel_index_type();
PyObject* id_map_index_type();

}  // namespace quilane
