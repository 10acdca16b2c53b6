// The module `_quilane`: single-phase initialisation, one module object per process.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "classes.hpp"
#include "errors.hpp"
#include "functions.hpp"

namespace quilane {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_quilane", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends name to __all__ (creating the list on first use), then sets the attribute, taking the
// reference to value.
void add_exported(PyObject* module, const char* name, PyObject* value) {
    PyObject* exported = PyObject_GetAttrString(module, "__all__");
    if (exported == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        exported = PyList_New(0);
        if (exported != nullptr && PyObject_SetAttrString(module, "__all__", exported) < 0) {
            Py_CLEAR(exported);
        }
    }
    PyObject* text = exported != nullptr ? PyUnicode_FromString(name) : nullptr;
    const int appended = text != nullptr ? PyList_Append(exported, text) : -1;
    Py_XDECREF(text);
    Py_XDECREF(exported);
    const int set = appended == 0 ? PyObject_SetAttrString(module, name, value) : -1;
    Py_DECREF(value);
    if (set < 0) {
        throw_python_error();
    }
}

PyObject* new_reference(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}

// The module object, its types and the NumPy table are made once per process and belong to the
// interpreter that made them; handing them to another interpreter would mix the two.
void check_interpreter() {
    static int64_t first_interpreter = -1;
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) {
        throw_python_error();
    }
    if (first_interpreter == -1) {
        first_interpreter = current;
    } else if (first_interpreter != current) {
        PyErr_SetString(PyExc_ImportError, "_quilane does not support sub-interpreters");
        throw_python_error();
    }
}

PyObject* initialise() {
    static PyObject* module = nullptr;
    check_interpreter();
    if (module != nullptr) {
        return new_reference(module);
    }
    PyObject* created = PyModule_Create(&module_definition);
    if (created == nullptr) {
        throw_python_error();
    }
    try {
        add_exported(created, "GyrelIndex", new_reference(gyrel_index_type()));
        add_exported(created, "IdMapIndex", new_reference(id_map_index_type()));
        PyObject* version = PyUnicode_FromString(QUILANE_VERSION);
        if (version == nullptr) {
            throw_python_error();
        }
        add_exported(created, "__version__", version);
        // Beside the classes, outside __all__: the package exports it.
        static PyMethodDef functions[] = {rerank_method(), {}};
        if (PyModule_AddFunctions(created, functions) < 0) {
            throw_python_error();
        }
        // Private: the package re-exports it under its public name.
        PyObject* panic = panic_exception_type();
        if (panic == nullptr || PyObject_SetAttrString(created, "_PanicException", panic) < 0) {
            throw_python_error();
        }
    } catch (...) {
        Py_DECREF(created);
        throw;
    }
    module = created;
    return new_reference(module);
}

}  // namespace

}  // namespace quilane

PyMODINIT_FUNC PyInit__quilane(void) {
    return quilane::guarded<PyObject*>(nullptr, [] { return quilane::initialise(); });
}
