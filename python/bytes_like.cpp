#include "bytes_like.hpp"

#include "errors.hpp"
#include "numpy_api.hpp"

namespace quilane {

namespace {

std::span<const uint8_t> span_of(const char* data, Py_ssize_t size) {
    return {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

OwnedRef numpy_view(PyObject* obj, const char* argument) {
    PyObject* numpy = PyImport_ImportModule("numpy");
    PyObject* view =
        numpy != nullptr ? PyObject_CallMethod(numpy, "frombuffer", "Os", obj, "uint8") : nullptr;
    Py_XDECREF(numpy);
    if (view == nullptr) {
        raise_argument_error(argument);
    }
    return OwnedRef(view);
}

}  // namespace

BytesView bytes_like(PyObject* obj, const char* argument) {
    Py_INCREF(obj);
    BytesView view{{}, OwnedRef(obj)};
    if (PyBytes_Check(obj)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) {
            throw_python_error();
        }
        view.bytes = span_of(data, size);
        return view;
    }
    if (PyByteArray_Check(obj)) {
        view.bytes = span_of(PyByteArray_AsString(obj), PyByteArray_Size(obj));
        return view;
    }
    view.owner = numpy_view(obj, argument);
    const ArrayValues<uint8_t> values =
        contiguous_elements<uint8_t>(view.owner.get(), argument, "");
    view.bytes = values.values;
    return view;
}

}  // namespace quilane
