#include "search_arguments.hpp"

#include <string>

#include "notes.hpp"

namespace quilane {

void accept_rows(PyObject* obj, const char* argument, uint64_t dim) {
    const std::string conversion =
        "np.ascontiguousarray(" + std::string(argument) + ", dtype=np.float32)";
    accept_noted_array<float>(obj, 2, argument, rows_needed(dim), conversion.c_str());
}

void accept_ids(PyObject* obj, const char* argument) {
    const std::string conversion =
        "np.ascontiguousarray(" + std::string(argument) + ", dtype=np.uint64)";
    accept_noted_array<uint64_t>(obj, 1, argument, "1-D uint64", conversion.c_str());
}

}  // namespace quilane
