// Notes (PEP 678) that say what to do, attached to exceptions whose message is fixed: the message
// and the exception type stay exactly as they are.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <string>

#include "errors.hpp"
#include "numpy_api.hpp"

namespace quilane {

// Adds note() to the pending exception (add_note from 3.11, the __notes__ list on 3.10) and
// throws PythonErrorSet. The exception is taken aside while note() runs, so that the note may
// call into Python.
[[noreturn]] void raise_with_note(const std::function<std::string()>& note);

// The note for an array argument that was refused: the type, dtype, dimensions and shape given,
// and what is needed. `needed` describes the array wanted, as "2-D float32 of shape (n, 128)".
std::string array_note(PyObject* given, const char* argument, const std::string& needed,
                       const char* conversion);

// "2-D float32 of shape (n, {dim})", the needed form of vectors and queries.
std::string rows_needed(size_t dim);

// accept_array, whose TypeError also carries array_note.
template <class T>
void accept_noted_array(PyObject* obj, int ndim, const char* argument, const std::string& needed,
                        const char* conversion) {
    try {
        accept_array<T>(obj, ndim, argument);
    } catch (const PythonErrorSet&) {
        raise_with_note([&] { return array_note(obj, argument, needed, conversion); });
    }
}

// "'{argument}' has rows of {columns} values but the index has dim {dim}: ..."
std::string width_note(const char* argument, size_t columns, size_t dim);

// Runs body; if it fails and the rows of `argument` are not dim wide, the exception (an engine
// failure converted as an entry point converts it) notes the row width against dim.
template <class Body>
auto with_width_note(const char* argument, size_t rows, size_t columns, size_t dim, Body&& body) {
    if (rows == 0 || columns == dim) {
        return body();
    }
    try {
        return body();
    } catch (...) {
        set_python_error(std::current_exception());
        raise_with_note([&] { return width_note(argument, columns, dim); });
    }
}

// The note for a path that is not a str.
[[noreturn]] void raise_path_note(PyObject* path);

}  // namespace quilane
