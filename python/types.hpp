// Creating the module's classes: heap types from specs, with bare names, not subclassable.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quilane {

PyObject* module_placeholder(PyObject* self, void* closure);

// Every class lists this in its getset table. A bare type name would make the interpreter warn,
// while creating the type, that it has no __module__; this entry supplies one for that moment,
// and create_type then replaces it with the module's name.
inline constexpr PyGetSetDef kModuleEntry = {"__module__", module_placeholder, nullptr, nullptr,
                                             nullptr};

// A method's C function as the method table stores it.
template <class Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A new reference to the type, with __module__ "_quilane"; throws PythonErrorSet on failure.
PyObject* create_type(PyType_Spec& shape);

// Allocates an instance through the type's allocation slot (or the generic allocator).
PyObject* allocate_instance(PyTypeObject* type);

// Frees an instance whose members have been destroyed, and drops the reference to its heap type
// that the instance held.
void free_instance(PyObject* self);

}  // namespace quilane
