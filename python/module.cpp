// The module `_quilane`: one module object per process, owned by the main interpreter.
//
// Multi-phase initialisation, so that every import in every interpreter runs the creation slot:
// with single-phase initialisation the interpreter copies the first module's dictionary into
// later interpreters without calling back, and no check here could refuse them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "classes.hpp"
#include "errors.hpp"
#include "interrupt.hpp"
#include "interrupt_check.hpp"
#include "module_functions.hpp"

namespace quilane {

namespace {

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
// interpreter that made them; handing them to another interpreter would mix the two. Only the
// main interpreter (id 0) may make them, so a sub-interpreter that imports first is refused
// without leaving anything behind, and the main interpreter can still import afterwards.
void check_interpreter() {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) {
        throw_python_error();
    }
    if (current != 0) {
        PyErr_SetString(PyExc_ImportError, "_quilane does not support sub-interpreters");
        throw_python_error();
    }
}

PyObject* make_module() {
    PyObject* created = PyModule_New("_quilane");
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
        // Private: the package re-exports it under its public name.
        PyObject* panic = panic_exception_type();
        if (panic == nullptr || PyObject_SetAttrString(created, "_PanicException", panic) < 0) {
            throw_python_error();
        }
        add_module_functions(created);
    } catch (...) {
        Py_DECREF(created);
        throw;
    }
    set_interrupt_check(python_signal_raised);
    return created;
}

// Every import returns the same module object.
PyObject* create_module(PyObject*, PyModuleDef*) {
    return guarded<PyObject*>(nullptr, [] {
        static PyObject* module = nullptr;
        check_interpreter();
        if (module == nullptr) {
            module = make_module();
        }
        return new_reference(module);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_quilane", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quilane

PyMODINIT_FUNC PyInit__quilane(void) {
    return PyModuleDef_Init(&quilane::module_definition);
}
