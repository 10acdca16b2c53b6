#include "types.hpp"

#include "errors.hpp"

namespace quilane {

PyObject* module_placeholder(PyObject*, void*) {
    return PyUnicode_FromString("_quilane");
}

PyObject* create_type(PyType_Spec& shape) {
    PyObject* type = PyType_FromSpec(&shape);
    if (type == nullptr) {
        throw_python_error();
    }
    PyObject* module_name = PyUnicode_FromString("_quilane");
    const int status =
        module_name != nullptr ? PyObject_SetAttrString(type, "__module__", module_name) : -1;
    Py_XDECREF(module_name);
    if (status < 0) {
        Py_DECREF(type);
        throw_python_error();
    }
    return type;
}

PyObject* allocate_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc != nullptr ? alloc(type, 0) : PyType_GenericAlloc(type, 0);
    if (self == nullptr) {
        throw_python_error();
    }
    return self;
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

}  // namespace quilane
