// What the two index classes share: the instance layout, construction arguments, file paths and
// the textual representation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "borrow.hpp"
#include "errors.hpp"
#include "rotation.hpp"
#include "types.hpp"

namespace quilane {

// Every index the classes construct starts from this seed; a loaded index keeps its file's seed.
inline constexpr uint64_t kDefaultSeed = 117900524;

template <class Record>
struct IndexObject {
    PyObject ob_base;
    Record record;
    BorrowFlag borrow;
};

// A new instance of type that owns record.
template <class Record>
PyObject* wrap_record(PyTypeObject* type, Record&& record) {
    PyObject* self = allocate_instance(type);
    auto* object = reinterpret_cast<IndexObject<Record>*>(self);
    new (&object->record) Record(std::move(record));
    new (&object->borrow) BorrowFlag();
    return self;
}

template <class Record>
void dealloc_index(PyObject* self) {
    auto* object = reinterpret_cast<IndexObject<Record>*>(self);
    object->record.~Record();
    object->borrow.~BorrowFlag();
    free_instance(self);
}

// self as an instance of type; otherwise the cast TypeError naming the class.
template <class Record>
IndexObject<Record>& index_object(PyObject* self, PyObject* type, const char* class_name) {
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
        raise_cast_error(self, class_name);
    }
    return *reinterpret_cast<IndexObject<Record>*>(self);
}

struct ConstructorArguments {
    uint64_t dim;
    uint64_t bits;
    Rotation rotation;
};

// Binds and converts (dim, bits, rotation="rotor3"); the rotation keyword is parsed here, before
// the engine checks dim and bits.
ConstructorArguments constructor_arguments(const char* function, PyObject* args, PyObject* kwargs);

// A str path as UTF-8; OSError for one with a NUL character, which no file name can hold.
std::string file_path(PyObject* obj);

PyObject* index_repr(const char* class_name, uint64_t dim, uint64_t bits, Rotation rotation,
                     uint64_t n);

PyObject* rotation_keyword(Rotation rotation);

struct DecRef {
    void operator()(PyObject* obj) const { Py_DECREF(obj); }
};
using OwnedRef = std::unique_ptr<PyObject, DecRef>;

// The tuple (first, second), taking both references.
PyObject* pair(OwnedRef first, OwnedRef second);

}  // namespace quilane
