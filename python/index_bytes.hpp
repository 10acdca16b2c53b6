// An index as a value, for both classes: its file bytes (to_bytes, from_bytes) and pickling
// through them, which also gives copy.copy and copy.deepcopy. A class description supplies, beside
// what IndexClass reads, file_size(record), write_bytes(record, out) and parse_bytes(bytes).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "bytes_like.hpp"
#include "index_class.hpp"
#include "interpreter_lock.hpp"

namespace quilane {

template <class Class>
struct IndexBytes {
    using Record = typename Class::Record;
    using Index = IndexClass<Class>;

    static PyObject* to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] {
            static constexpr std::array<const char*, 1> kNames = {"release_gil"};
            static const std::string function = method_name<Class>("to_bytes");
            const BoundArguments bound =
                bind_fastcall({function.c_str(), kNames, 0, 1}, args, nargs, kwnames);
            return bytes_of(self, release_requested(bound[0]));
        });
    }

    // Validated as load validates a file, read in place: the parse is the one copy.
    static PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] {
            static constexpr std::array<const char*, 2> kNames = {"data", "release_gil"};
            static const std::string function = method_name<Class>("from_bytes");
            const BoundArguments bound =
                bind_fastcall({function.c_str(), kNames, 1, 1}, args, nargs, kwnames);
            const BytesView view = bytes_like(bound[0], "data");
            Record record = run_engine(release_requested(bound[1]),
                                       [&] { return Class::parse_bytes(view.bytes); });
            return wrap_record(reinterpret_cast<PyTypeObject*>(Class::type()), std::move(record));
        });
    }

    // (Class.from_bytes, (index.to_bytes(),)): pickle protocol 2 and later, cloudpickle, copy.
    static PyObject* reduce(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&] {
            OwnedRef bytes(bytes_of(self, false));
            OwnedRef rebuild(checked(PyObject_GetAttrString(Class::type(), "from_bytes")));
            return checked(Py_BuildValue("(O(O))", rebuild.get(), bytes.get()));
        });
    }

    static PyMethodDef to_bytes_method() {
        return {"to_bytes", as_method(to_bytes), METH_FASTCALL | METH_KEYWORDS,
                with_release_note("to_bytes($self, *, release_gil=False)\n--\n\n"
                                  "The index as the bytes `write` would store in a file.")};
    }
    static PyMethodDef from_bytes_method() {
        return {"from_bytes", as_method(from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
                with_release_note(
                    "from_bytes($cls, data, *, release_gil=False)\n--\n\n"
                    "An index from the bytes of a file (any bytes-like object), checked as\n"
                    "`load` checks a file.")};
    }
    static PyMethodDef reduce_method() {
        return {"__reduce__", as_method(reduce), METH_NOARGS, nullptr};
    }

  private:
    // The bytes are written straight into the new bytes object: one copy of the codes. Nothing
    // else can see that object until it is returned, so the lock need not be held meanwhile.
    static PyObject* bytes_of(PyObject* self, bool release) {
        return Index::read(self, [&](const Record& record) {
            const uint64_t size = Class::file_size(record);
            OwnedRef bytes(checked(PyBytes_FromStringAndSize(nullptr, checked_size(size))));
            auto* data = reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes.get()));
            run_engine(release,
                       [&] { Class::write_bytes(record, std::span<uint8_t>(data, size)); });
            return bytes.release();
        });
    }

    static PyObject* checked(PyObject* obj) {
        if (obj == nullptr) {
            throw_python_error();
        }
        return obj;
    }
    static Py_ssize_t checked_size(uint64_t size) {
        if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
            throw std::bad_alloc();
        }
        return static_cast<Py_ssize_t>(size);
    }
};

}  // namespace quilane
