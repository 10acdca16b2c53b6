// How failures travel inside the module and how they leave it: every entry point runs its body
// under `guarded`, which turns whatever the body or the engine threw into a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "error.hpp"

namespace quilane {

// Thrown once a Python exception is set; the entry point then returns its error value.
struct PythonErrorSet {};

// Throws PythonErrorSet, first setting SystemError when a failed CPython call left no exception.
[[noreturn]] void throw_python_error();

// The exception type that carries the engine's fatal errors: derived from BaseException so that a
// bare `except Exception` does not swallow it. Created on first use.
PyObject* panic_exception_type();

[[noreturn]] void raise_panic(std::string_view message);
[[noreturn]] void raise_value_error(std::string_view message);
[[noreturn]] void raise_os_error(std::string_view message);

// "'{given}' object cannot be cast as '{expected}'" for obj's type: set_ leaves it pending,
// raise_ also throws.
void set_cast_error(PyObject* obj, const char* expected);
[[noreturn]] void raise_cast_error(PyObject* obj, const char* expected);

// Replaces a pending TypeError (exactly that type) by "argument '{name}': {message}", keeping its
// cause; any other pending exception passes unchanged. Always throws PythonErrorSet.
[[noreturn]] void raise_argument_error(const char* name);

// The text of the pending exception, which is cleared.
std::string take_error_text();

// Sets the Python exception for an exception caught at an entry point.
void set_python_error(std::exception_ptr caught);

// Runs body and returns its result, or `on_error` with a Python exception set. No C++ exception
// leaves this function: CPython cannot unwind through its own frames.
template <class Result, class Body>
Result guarded(Result on_error, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error(std::current_exception());
    }
    return on_error;
}

}  // namespace quilane
