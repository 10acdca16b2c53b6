#include "module_functions.hpp"

#include <array>
#include <cstdint>
#include <span>

#include "arguments.hpp"
#include "errors.hpp"
#include "index_object.hpp"
#include "io.hpp"
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

PyMethodDef module_functions[] = {
    {"_read_header", as_method(read_header), METH_FASTCALL | METH_KEYWORDS,
     "_read_header(source)\n--\n\n"
     "The header of an index file (a str path) or of its bytes, checked as load checks it:\n"
     "(magic, version, bits, rotation, dim, n). Backs quilane.read_header."},
    {},
};

}  // namespace

void add_module_functions(PyObject* module) {
    if (PyModule_AddFunctions(module, module_functions) < 0) {
        throw_python_error();
    }
}

}  // namespace quilane
