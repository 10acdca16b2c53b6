// The array checks of add, add_with_ids and search, whose refusals carry notes that say what to
// do. The order of the checks is the methods' own: every array is accepted before any is tested
// for contiguity.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "numpy_api.hpp"

namespace quilane {

// accept_array for a 2-D float32 array of rows of dim values.
void accept_rows(PyObject* obj, const char* argument, uint64_t dim);

// accept_array for a 1-D uint64 array of ids.
void accept_ids(PyObject* obj, const char* argument);

// The values per row of an array of rows (0 when there are none).
inline size_t columns_of(const ArrayValues<float>& rows) {
    return rows.rows == 0 ? 0 : rows.values.size() / rows.rows;
}

}  // namespace quilane
