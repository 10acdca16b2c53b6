#include "errors.hpp"

#include <string>

#include "interrupt.hpp"

namespace quilane {

namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the native code of the module fails fatally.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will usually propagate to the top and end the program.\n";

PyObject* decode_message(std::string_view message) {
    return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}

void set_error(PyObject* type, std::string_view message) {
    PyObject* text = decode_message(message);
    if (text == nullptr) {
        return;
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void set_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) {
        set_error(type, message);
    }
}

// The legacy triple is the only way to take the pending exception that the 3.10 stable ABI has;
// later interpreters mark it deprecated but keep it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
PyObject* take_pending_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}
#pragma GCC diagnostic pop

}  // namespace

[[noreturn]] void throw_python_error() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    throw PythonErrorSet{};
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

[[noreturn]] void raise_panic(std::string_view message) {
    set_panic(message);
    throw_python_error();
}

[[noreturn]] void raise_value_error(std::string_view message) {
    set_error(PyExc_ValueError, message);
    throw_python_error();
}

[[noreturn]] void raise_os_error(std::string_view message) {
    set_error(PyExc_OSError, message);
    throw_python_error();
}

void set_cast_error(PyObject* obj, const char* expected) {
    PyObject* given =
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
    if (given != nullptr) {
        PyErr_Format(PyExc_TypeError, "'%S' object cannot be cast as '%s'", given, expected);
        Py_DECREF(given);
    }
}

[[noreturn]] void raise_cast_error(PyObject* obj, const char* expected) {
    set_cast_error(obj, expected);
    throw_python_error();
}

[[noreturn]] void raise_argument_error(const char* name) {
    if (PyErr_Occurred() != PyExc_TypeError) {
        throw_python_error();
    }
    PyObject* original = take_pending_exception();
    PyObject* message = PyUnicode_FromFormat("argument '%s': %S", name, original);
    PyObject* replacement = message != nullptr
                                ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message, nullptr)
                                : nullptr;
    Py_XDECREF(message);
    if (replacement != nullptr) {
        PyException_SetCause(replacement, PyException_GetCause(original));
        PyErr_SetObject(PyExc_TypeError, replacement);
        Py_DECREF(replacement);
    }
    Py_DECREF(original);
    throw_python_error();
}

std::string take_error_text() {
    PyObject* exception = take_pending_exception();
    PyObject* text = exception != nullptr ? PyObject_Str(exception) : nullptr;
    const char* utf8 = text != nullptr ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
    std::string result = utf8 != nullptr ? utf8 : "";
    Py_XDECREF(text);
    Py_XDECREF(exception);
    PyErr_Clear();
    return result;
}

void set_python_error(std::exception_ptr caught) {
    try {
        std::rethrow_exception(caught);
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
    } catch (const Interrupted&) {
        // The interrupt check left the handler's exception pending.
        if (!PyErr_Occurred()) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
    } catch (const IoError& e) {
        set_error(PyExc_OSError, e.what());
    } catch (const Error& e) {
        set_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can ever hold: out of memory all the same.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("native code failed with an unknown exception");
    }
}

}  // namespace quilane
