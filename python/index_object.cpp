#include "index_object.hpp"

#include <array>
#include <string_view>

#include "arguments.hpp"
#include "notes.hpp"
#include "rotation_keyword.hpp"

namespace quilane {

ConstructorArguments constructor_arguments(const char* function, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> kNames = {"dim", "bits", "rotation"};
    const BoundArguments bound = bind_tuple({function, kNames, 2}, args, kwargs);
    ConstructorArguments result{};
    result.dim = to_u64(bound[0], "dim");
    result.bits = to_u64(bound[1], "bits");
    result.rotation =
        bound[2] != nullptr ? parse_rotation(to_utf8(bound[2], "rotation")) : Rotation::Rotor3;
    return result;
}

std::string file_path(PyObject* obj) {
    std::string path;
    try {
        path = to_utf8(obj, "path");
    } catch (const PythonErrorSet&) {
        if (!PyUnicode_Check(obj)) {
            raise_path_note(obj);
        }
        throw;
    }
    if (path.find('\0') != std::string::npos) {
        raise_os_error("file name contained an unexpected NUL byte");
    }
    return path;
}

PyObject* rotation_keyword(Rotation rotation) {
    const std::string_view name = rotation_name(rotation);
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr) {
        throw_python_error();
    }
    return text;
}

PyObject* index_repr(const char* class_name, uint64_t dim, uint64_t bits, Rotation rotation,
                     uint64_t n) {
    const std::string text =
        std::string(class_name) + "(dim=" + std::to_string(dim) + ", bits=" + std::to_string(bits) +
        ", rotation='" + std::string(rotation_name(rotation)) + "', n=" + std::to_string(n) + ")";
    PyObject* result =
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (result == nullptr) {
        throw_python_error();
    }
    return result;
}

PyObject* pair(OwnedRef first, OwnedRef second) {
    PyObject* tuple = PyTuple_Pack(2, first.get(), second.get());
    if (tuple == nullptr) {
        throw_python_error();
    }
    return tuple;
}

}  // namespace quilane
