#include "arguments.hpp"

#include <string>
#include <vector>

#include "errors.hpp"

namespace quilane {

namespace {

[[noreturn]] void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const size_t total = signature.positional();
    const char* verb = given == 1 ? "was" : "were";
    if (total == 0) {
        // As for a method without parameters, which prepare was before it took keywords.
        PyErr_Format(PyExc_TypeError, "%s takes no arguments (%zd given)", signature.function,
                     given);
    } else if (signature.required >= total) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional argument%s but %zd %s given",
                     signature.function, total, total == 1 ? "" : "s", given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given",
                     signature.function, signature.required, total, given, verb);
    }
    throw_python_error();
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- as CPython lists missing parameters.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += names.size() > 2 ? ", " : " ";
        }
        if (i > 0 && i + 1 == names.size()) {
            text += "and ";
        }
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

void check_required(const Signature& signature, const BoundArguments& bound) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < signature.required; ++i) {
        if (bound[i] == nullptr) {
            missing.push_back(signature.names[i]);
        }
    }
    if (missing.empty()) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                 signature.function, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_list(missing).c_str());
    throw_python_error();
}

void bind_keyword(const Signature& signature, BoundArguments& bound, PyObject* name,
                  PyObject* value) {
    for (size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) != 0) {
            continue;
        }
        if (bound[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         signature.function, signature.names[i]);
            throw_python_error();
        }
        bound.bind(i, value);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.function,
                 name);
    throw_python_error();
}

void bind_positional(const Signature& signature, BoundArguments& bound, PyObject* const* args,
                     Py_ssize_t nargs) {
    if (static_cast<size_t>(nargs) > signature.positional()) {
        raise_too_many_positional(signature, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound.bind(static_cast<size_t>(i), args[i]);
    }
}

}  // namespace

BoundArguments bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArguments bound;
    bind_positional(signature, bound, args, nargs);
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        bind_keyword(signature, bound, PyTuple_GetItem(kwnames, i), args[nargs + i]);
    }
    check_required(signature, bound);
    return bound;
}

BoundArguments bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (static_cast<size_t>(nargs) > signature.positional()) {
        raise_too_many_positional(signature, nargs);
    }
    BoundArguments bound;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound.bind(static_cast<size_t>(i), PyTuple_GetItem(args, i));
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            bind_keyword(signature, bound, name, value);
        }
    }
    check_required(signature, bound);
    return bound;
}

uint64_t to_u64(PyObject* obj, const char* name) {
    if (PyLong_Check(obj)) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            raise_argument_error(name);
        }
        return value;
    }
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) {
        raise_argument_error(name);
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        raise_argument_error(name);
    }
    return value;
}

bool to_flag(PyObject* obj) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
        throw_python_error();
    }
    return truth == 1;
}

std::string to_utf8(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) {
        set_cast_error(obj, "str");
        raise_argument_error(name);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) {
        raise_argument_error(name);
    }
    return std::string(text, static_cast<size_t>(size));
}

}  // namespace quilane
