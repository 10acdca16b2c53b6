// Arrays that pick stored vectors: positions of any integer type, the allow sets of a filtered
// search, and ids looked up in an id map.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "id_map.hpp"

namespace quilane {

// A 1-D integer array (any integer dtype, any layout) of positions below n. Not an ndarray:
// the cast TypeError. Another number of dimensions, a dtype that is not an integer, or a position
// out of range: ValueError naming `argument`.
std::vector<uint64_t> position_array(PyObject* obj, const char* argument, uint64_t n);

// The allow set of GyrelIndex.search over n positions, as the bitmap the engine's search takes
// (bit p % 64 of word p / 64): a boolean mask of length n or an integer array of positions.
std::vector<uint64_t> allowed_positions(PyObject* allow, uint64_t n);

// The allow set of IdMapIndex.search: a 1-D uint64 array of ids; ids not stored are ignored.
std::vector<uint64_t> allowed_ids(PyObject* allow, const IdMapIndex& index);

// The positions of ids in the id map's inner index; ValueError for an id that is not stored.
std::vector<uint64_t> stored_positions(std::span<const uint64_t> ids, const IdMapIndex& index);

}  // namespace quilane
