// Binding a call's arguments to parameter names, and converting the plain (non-array) ones.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quilane {

inline constexpr size_t kMaxParameters = 6;

// The first `required` parameters have no default. The last `keyword_only` may only be given by
// keyword; the others by position or by keyword.
struct Signature {
    const char* function;  // as it appears in messages: "GyrelIndex.search()"
    std::span<const char* const> names;
    size_t required;
    size_t keyword_only = 0;

    size_t positional() const { return names.size() - keyword_only; }
};

// Strong references in parameter order, held until the call returns; nullptr for an optional
// parameter not given. Converting one argument can run Python code (an __index__) that drops
// every other reference the caller had, such as the keyword dictionary of a constructor call.
class BoundArguments {
  public:
    BoundArguments() = default;
    BoundArguments(BoundArguments&& other) noexcept : values_(other.values_) {
        other.values_.fill(nullptr);
    }
    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;
    BoundArguments& operator=(BoundArguments&&) = delete;
    ~BoundArguments() {
        for (PyObject* value : values_) {
            Py_XDECREF(value);
        }
    }

    PyObject* operator[](size_t i) const { return values_[i]; }
    // Takes a new reference to value.
    void bind(size_t i, PyObject* value) {
        Py_INCREF(value);
        values_[i] = value;
    }

  private:
    std::array<PyObject*, kMaxParameters> values_{};
};

// Binding failures raise TypeError in CPython's own wording.
BoundArguments bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
BoundArguments bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs);

// An unsigned 64-bit integer: ints directly, anything else through __index__.
uint64_t to_u64(PyObject* obj, const char* name);

// The truth value of a flag, as `if obj:` would take it.
bool to_flag(PyObject* obj);

// The UTF-8 text of a str (or subclass) instance.
std::string to_utf8(PyObject* obj, const char* name);

}  // namespace quilane
