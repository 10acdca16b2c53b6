// NumPy arrays in and out. NumPy's C API is reached through the function table it publishes in a
// capsule, fetched on the first use of an array so that importing the module does not import NumPy.
// Only the few table slots and array fields used here are declared; they are the same in NumPy
// 1.26 and 2.x.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quilane {

// Whether obj is an ndarray (or a subtype), and the number of dimensions and the length along
// an axis of one.
bool is_array(PyObject* obj);
int array_ndim(PyObject* array);
size_t array_dimension(PyObject* array, int axis);

// Checks, in this order, that obj is an ndarray (or a subtype), has `ndim` dimensions and elements
// of type T (float, uint64_t, int64_t); otherwise raises the cast TypeError for `argument`.
template <class T>
void accept_array(PyObject* obj, int ndim, const char* argument);

// The elements of an accepted array, read in place. A buffer not aligned for T (possible for views
// of raw bytes) is copied first, because the engine reads it as T. `values` may point into
// `aligned_copy`, so a value is moved, never copied.
template <class T>
struct ArrayValues {
    std::span<const T> values;
    size_t rows = 0;
    std::vector<T> aligned_copy;
};

// The r x c elements of a C-contiguous 2-D array, row after row; ValueError `not_contiguous`
// otherwise. Accepts the array again first, since Python code may have run since it was checked.
template <class T>
ArrayValues<T> contiguous_rows(PyObject* obj, const char* argument, const char* not_contiguous);

// The elements of a contiguous 1-D array; ValueError `not_contiguous` otherwise.
template <class T>
ArrayValues<T> contiguous_elements(PyObject* obj, const char* argument, const char* not_contiguous);

// A (rows, columns) C-ordered array of T (float, int64_t, uint64_t) that takes over the buffer
// without copying. The shape must cover the buffer exactly; otherwise ValueError `prefix` followed
// by the shape error.
template <class T>
PyObject* result_array(std::vector<T>&& buffer, size_t rows, size_t columns, const char* prefix);

// The same as a 1-D array of the buffer's length.
template <class T>
PyObject* result_vector(std::vector<T>&& buffer);

}  // namespace quilane
