#include "module_functions.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "arguments.hpp"
#include "errors.hpp"
#include "index_file.hpp"
#include "index_object.hpp"
#include "parallel.hpp"
#include "types.hpp"

namespace quilane {

namespace {

// A str names a file; bytes are a file's contents.
FileHeader header_of(PyObject* source) {
    if (PyBytes_Check(source)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(source, &data, &size) < 0) {
            throw_python_error();
        }
        return file_header_from_bytes(std::span<const uint8_t>(
            reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)));
    }
    return read_file_header(file_path(source));
}

// _read_header(source) -> (magic, version, bits, rotation, dim, n)
PyObject* read_header(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"source"};
        const BoundArguments bound =
            bind_fastcall({"_read_header()", kNames, 1}, args, nargs, kwnames);
        const FileHeader header = header_of(bound[0]);
        OwnedRef rotation(rotation_keyword(header.rotation));
        PyObject* result = Py_BuildValue(
            "(s#BKOKK)", header.magic.data(), static_cast<Py_ssize_t>(header.magic.size()),
            header.version, static_cast<unsigned long long>(header.bits), rotation.get(),
            static_cast<unsigned long long>(header.dim), static_cast<unsigned long long>(header.n));
        if (result == nullptr) {
            throw_python_error();
        }
        return result;
    });
}

// set_num_threads(n): the most threads any later call uses; ValueError for n < 1.
PyObject* set_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 1> kNames = {"n"};
        const BoundArguments bound =
            bind_fastcall({"set_num_threads()", kNames, 1}, args, nargs, kwnames);
        PyObject* index = PyNumber_Index(bound[0]);
        if (index == nullptr) {
            raise_argument_error("n");
        }
        const long long threads = PyLong_AsLongLong(index);
        Py_DECREF(index);
        if (threads == -1 && PyErr_Occurred()) {
            raise_argument_error("n");
        }
        if (threads < 1) {
            raise_value_error("n must be at least 1 (got " + std::to_string(threads) + ")");
        }
        set_thread_limit(static_cast<size_t>(threads));
        Py_RETURN_NONE;
    });
}

PyObject* get_num_threads(PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [] {
        PyObject* threads = PyLong_FromSize_t(thread_limit());
        if (threads == nullptr) {
            throw_python_error();
        }
        return threads;
    });
}

}  // namespace

void add_module_functions(PyObject* module) {
    static PyMethodDef module_functions[] = {
        {"set_num_threads", as_method(set_num_threads), METH_FASTCALL | METH_KEYWORDS,
         "set_num_threads(n)\n--\n\n"
         "Use at most `n` threads (n >= 1) in every later call, a single query's\n"
         "search included. Until it is called, the environment variable\n"
         "QUILANE_NUM_THREADS gives the number, and without it every processor\n"
         "is used."},
        {"get_num_threads", get_num_threads, METH_NOARGS,
         "get_num_threads()\n--\n\n"
         "The most threads a call uses (see set_num_threads)."},
        {"_read_header", as_method(read_header), METH_FASTCALL | METH_KEYWORDS,
         "_read_header(source)\n--\n\n"
         "The header of an index file (a str path) or of its bytes, checked as load checks it:\n"
         "(magic, version, bits, rotation, dim, n). Backs quilane.read_header."},
        rerank_method(),
        {},
    };
    if (PyModule_AddFunctions(module, module_functions) < 0) {
        throw_python_error();
    }
}

}  // namespace quilane
