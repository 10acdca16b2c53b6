// What the two index classes share, written once: construction, the borrow discipline, files,
// prepare, the read-only properties, len and repr, the release_gil keyword of the long-running
// methods (its conversion and its docstring paragraph), and the assembly of the type itself. A
// class supplies a description (its record type, name, type object, file functions and docstrings)
// and its own methods; everything here is instantiated once per class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "index_object.hpp"
#include "interpreter_lock.hpp"
#include "numpy_api.hpp"
#include "types.hpp"

namespace quilane {

// "GyrelIndex.write()": a method's name as binding errors print it.
template <class Class>
std::string method_name(const char* method) {
    return std::string(Class::kName) + "." + method + "()";
}

// The value of a call's release_gil argument; nullptr when it was not given.
inline bool release_requested(PyObject* release_gil) {
    return release_gil != nullptr && to_flag(release_gil);
}

// doc (a text signature, maybe followed by a description) with the paragraph on release_gil
// appended, for the methods that take it. Kept for the life of the process, as the method tables
// that point to it are.
inline const char* with_release_note(const char* doc) {
    static constexpr const char* kNote =
        "With `release_gil=True` the interpreter lock is released while the\n"
        "engine works, so that other Python threads run meanwhile; the result\n"
        "is the same. Arrays passed in must not be changed by other threads\n"
        "until the call returns.";
    static std::vector<std::unique_ptr<std::string>> kept;
    std::string text(doc);
    const bool has_description = text.size() < 4 || text.compare(text.size() - 4, 4, "--\n\n") != 0;
    text += has_description ? std::string("\n\n") + kNote : kNote;
    kept.push_back(std::make_unique<std::string>(std::move(text)));
    return kept.back()->c_str();
}

template <class Class>
struct IndexClass {
    using Record = typename Class::Record;
    using Object = IndexObject<Record>;

    static Object& self_index(PyObject* self) {
        return index_object<Record>(self, Class::type(), Class::kName);
    }

    // Runs body(record) while self is borrowed for reading; the result is body's.
    template <class Body>
    static auto read(PyObject* self, Body&& body) {
        Object& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        return body(index.record);
    }

    // Runs body(record) while self is borrowed exclusively.
    template <class Body>
    static auto change(PyObject* self, Body&& body) {
        Object& index = self_index(self);
        ExclusiveBorrow borrow(index.borrow);
        return body(index.record);
    }

    static PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guarded<PyObject*>(nullptr, [&] {
            static const std::string function = method_name<Class>("__new__");
            const ConstructorArguments arguments =
                constructor_arguments(function.c_str(), args, kwargs);
            return wrap_record(type, Class::construct(arguments));
        });
    }

    static PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static constexpr std::array<const char*, 2> kNames = {"path", "release_gil"};
            static const std::string function = method_name<Class>("write");
            const BoundArguments bound =
                bind_fastcall({function.c_str(), kNames, 1, 1}, args, nargs, kwnames);
            read(self, [&](const Record& record) {
                const std::string path = file_path(bound[0]);
                run_engine(release_requested(bound[1]), [&] { Class::write_file(path, record); });
            });
            Py_RETURN_NONE;
        });
    }

    static PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] {
            static constexpr std::array<const char*, 2> kNames = {"path", "release_gil"};
            static const std::string function = method_name<Class>("load");
            const BoundArguments bound =
                bind_fastcall({function.c_str(), kNames, 1, 1}, args, nargs, kwnames);
            const std::string path = file_path(bound[0]);
            Record record =
                run_engine(release_requested(bound[1]), [&] { return Class::read_file(path); });
            return wrap_record(reinterpret_cast<PyTypeObject*>(Class::type()), std::move(record));
        });
    }

    static PyObject* prepare(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            static constexpr std::array<const char*, 1> kNames = {"release_gil"};
            static const std::string function = method_name<Class>("prepare");
            const BoundArguments bound =
                bind_fastcall({function.c_str(), kNames, 0, 1}, args, nargs, kwnames);
            read(self, [&](Record& record) {
                run_engine(release_requested(bound[0]), [&] { record.prepare(); });
            });
            Py_RETURN_NONE;
        });
    }

    static PyObject* dim(PyObject* self, void*) {
        return guarded<PyObject*>(nullptr, [&] {
            return read(self, [](Record& r) { return PyLong_FromUnsignedLongLong(r.dim()); });
        });
    }

    static PyObject* bits(PyObject* self, void*) {
        return guarded<PyObject*>(nullptr, [&] {
            return read(self, [](Record& r) { return PyLong_FromUnsignedLongLong(r.bits()); });
        });
    }

    static PyObject* rotation(PyObject* self, void*) {
        return guarded<PyObject*>(nullptr, [&] {
            return read(self, [](Record& r) { return rotation_keyword(r.rotation()); });
        });
    }

    static PyObject* repr(PyObject* self) {
        return guarded<PyObject*>(nullptr, [&] {
            return read(self, [](Record& r) {
                return index_repr(Class::kName, r.dim(), r.bits(), r.rotation(), r.len());
            });
        });
    }

    static Py_ssize_t len(PyObject* self) {
        return guarded<Py_ssize_t>(-1, [&] {
            return read(self, [](Record& r) { return static_cast<Py_ssize_t>(r.len()); });
        });
    }

    // The entries of the methods every index class has, for the class's own method table.
    static PyMethodDef prepare_method() {
        return {"prepare", as_method(prepare), METH_FASTCALL | METH_KEYWORDS,
                with_release_note(Class::kPrepareDoc)};
    }
    static PyMethodDef write_method() {
        return {"write", as_method(write), METH_FASTCALL | METH_KEYWORDS,
                with_release_note("write($self, path, *, release_gil=False)\n--\n\n")};
    }
    static PyMethodDef load_method() {
        return {"load", as_method(load), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
                with_release_note("load($cls, path, *, release_gil=False)\n--\n\n")};
    }

    // The class's type from its method table (in the order its attributes are listed) and its own
    // slots, with the slots and properties every index class has.
    static PyObject* create_type(std::span<const PyMethodDef> own_methods,
                                 std::span<const PyType_Slot> own_slots) {
        static std::vector<PyMethodDef> methods;
        static std::vector<PyType_Slot> slots;
        static std::string doc =
            std::string(Class::kName) + "(dim, bits, rotation=\"rotor3\")\n--\n\n";
        static PyGetSetDef getset[] = {
            {"dim", dim, nullptr, "", nullptr},
            {"bits", bits, nullptr, "", nullptr},
            {"rotation", rotation, nullptr, "", nullptr},
            kModuleEntry,
            {},
        };
        methods.assign(own_methods.begin(), own_methods.end());
        methods.push_back({});
        slots.assign(own_slots.begin(), own_slots.end());
        slots.push_back({Py_tp_doc, doc.data()});
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(create)});
        slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc_index<Record>)});
        slots.push_back({Py_tp_repr, reinterpret_cast<void*>(repr)});
        slots.push_back({Py_mp_length, reinterpret_cast<void*>(len)});
        slots.push_back({Py_tp_methods, methods.data()});
        slots.push_back({Py_tp_getset, getset});
        slots.push_back({0, nullptr});
        static PyType_Spec shape = {Class::kName, sizeof(Object), 0, Py_TPFLAGS_DEFAULT,
                                    slots.data()};
        return quilane::create_type(shape);
    }
};

// A search's (scores, labels) pair as arrays of rows x columns; a buffer that does not fill that
// shape raises ValueError with the prefix of its array.
template <class Label>
PyObject* search_result_pair(std::vector<float>&& scores, std::vector<Label>&& labels, size_t rows,
                             size_t columns, const char* labels_prefix) {
    OwnedRef score_array(result_array(std::move(scores), rows, columns, "scores reshape: "));
    OwnedRef label_array(result_array(std::move(labels), rows, columns, labels_prefix));
    return pair(std::move(score_array), std::move(label_array));
}

}  // namespace quilane
