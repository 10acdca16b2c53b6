// The module's functions, beside its classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quilane {

PyMethodDef rerank_method();

}  // namespace quilane
