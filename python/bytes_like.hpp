// Reading any bytes-like object in place. The 3.10 stable ABI has no buffer calls, so an object
// other than bytes and bytearray is viewed through numpy.frombuffer, which takes its buffer
// without copying.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

#include "index_object.hpp"

namespace quilane {

struct BytesView {
    std::span<const uint8_t> bytes;
    OwnedRef owner;  // keeps the viewed buffer alive and exported while bytes is read
};

// A TypeError "argument '{argument}': ..." for an object without the buffer protocol.
BytesView bytes_like(PyObject* obj, const char* argument);

}  // namespace quilane
