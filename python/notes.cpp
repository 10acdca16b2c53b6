#include "notes.hpp"

namespace quilane {

namespace {

struct Pending {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

// The legacy triple is the only way to take and restore the pending exception that the 3.10
// stable ABI has; later interpreters mark it deprecated but keep it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
Pending take_pending() {
    Pending pending;
    PyErr_Fetch(&pending.type, &pending.value, &pending.traceback);
    PyErr_NormalizeException(&pending.type, &pending.value, &pending.traceback);
    return pending;
}

void restore(Pending pending) {
    PyErr_Restore(pending.type, pending.value, pending.traceback);
}
#pragma GCC diagnostic pop

// PEP 678: add_note where the interpreter has it, otherwise a __notes__ list of str.
bool add_note(PyObject* exception, PyObject* note) {
    if (PyObject_HasAttrString(exception, "add_note")) {
        PyObject* result = PyObject_CallMethod(exception, "add_note", "O", note);
        Py_XDECREF(result);
        return result != nullptr;
    }
    PyObject* notes = PyObject_GetAttrString(exception, "__notes__");
    if (notes == nullptr) {
        PyErr_Clear();
        notes = PyList_New(0);
        if (notes == nullptr || PyObject_SetAttrString(exception, "__notes__", notes) < 0) {
            Py_XDECREF(notes);
            return false;
        }
    }
    const bool added = PyList_Check(notes) && PyList_Append(notes, note) == 0;
    Py_DECREF(notes);
    return added;
}

// str(obj), or "" when that fails (the note is a courtesy; the exception matters).
std::string text_of(PyObject* obj) {
    PyObject* text = PyObject_Str(obj);
    const char* utf8 = text != nullptr ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
    std::string result = utf8 != nullptr ? utf8 : "";
    Py_XDECREF(text);
    PyErr_Clear();
    return result;
}

std::string attribute_text(PyObject* obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj, name);
    if (value == nullptr) {
        PyErr_Clear();
        return "";
    }
    std::string text = text_of(value);
    Py_DECREF(value);
    return text;
}

}  // namespace

[[noreturn]] void raise_with_note(const std::function<std::string()>& note) {
    if (!PyErr_Occurred()) {
        throw_python_error();
    }
    Pending pending = take_pending();
    std::string note_text;
    try {
        note_text = note();
    } catch (...) {
        // A note that cannot be made leaves the exception as it was.
        PyErr_Clear();
    }
    PyObject* text = note_text.empty() ? nullptr
                                       : PyUnicode_DecodeUTF8(
                                             note_text.data(),
                                             static_cast<Py_ssize_t>(note_text.size()), "replace");
    // A note that cannot be added leaves the exception as it was.
    if (text == nullptr || !add_note(pending.value, text)) {
        PyErr_Clear();
    }
    Py_XDECREF(text);
    restore(pending);
    throw_python_error();
}

std::string array_note(PyObject* given, const char* argument, const std::string& needed,
                       const char* conversion) {
    std::string description;
    const std::string dtype = attribute_text(given, "dtype");
    const std::string shape = attribute_text(given, "shape");
    const std::string ndim = attribute_text(given, "ndim");
    if (!dtype.empty() && !shape.empty() && !ndim.empty()) {
        description = ndim + "-D " + dtype + " of shape " + shape;
    } else {
        description =
            "a " + attribute_text(reinterpret_cast<PyObject*>(Py_TYPE(given)), "__qualname__");
    }
    std::string note = std::string("'") + argument;
    note += "' was " + description + "; it must be a NumPy array, " + needed + ": " + conversion;
    return note;
}

std::string width_note(const char* argument, size_t columns, size_t dim) {
    std::string note = std::string("'") + argument;
    note += "' has rows of " + std::to_string(columns) + " values but the index has dim " +
            std::to_string(dim) + ": pass an array of shape (n, " + std::to_string(dim) + ")";
    return note;
}

std::string rows_needed(size_t dim) {
    return "2-D float32 of shape (n, " + std::to_string(dim) + ")";
}

[[noreturn]] void raise_path_note(PyObject* path) {
    raise_with_note([&]() -> std::string {
        if (PyObject_HasAttrString(path, "__fspath__")) {
            return "paths must be str: pass str(path), here '" + text_of(path) + "'";
        }
        if (PyBytes_Check(path)) {
            return "paths must be str: pass os.fsdecode(path)";
        }
        return "paths must be str";
    });
}

}  // namespace quilane
