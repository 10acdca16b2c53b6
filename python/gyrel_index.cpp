// The GyrelIndex class: vectors addressed by position.
#include <array>

#include "arguments.hpp"
#include "classes.hpp"
#include "index_object.hpp"
#include "io.hpp"
#include "lib.hpp"
#include "numpy_api.hpp"

namespace quilane {

namespace {

using GyrelObject = IndexObject<GyrelIndex>;

GyrelObject& self_index(PyObject* self) {
    return index_object<GyrelIndex>(self, gyrel_index_type(), "GyrelIndex");
}

PyObject* gyrel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        const ConstructorArguments arguments =
            constructor_arguments("GyrelIndex.__new__()", args, kwargs);
        GyrelIndex record(arguments.dim, arguments.bits, arguments.rotation, kDefaultSeed);
        return wrap_record(type, std::move(record));
    });
}

PyObject* gyrel_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 1> kNames = {"vectors"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.add()", kNames, 1}, args, nargs, kwnames);
        GyrelObject& index = self_index(self);
        ExclusiveBorrow borrow(index.borrow);
        accept_array<float>(bound[0], 2, "vectors");
        const ArrayValues<float> vectors =
            contiguous_rows<float>(bound[0], "vectors", "vectors must be C-contiguous");
        index.record.add(vectors.values);
        Py_RETURN_NONE;
    });
}

PyObject* gyrel_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 2> kNames = {"queries", "k"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.search()", kNames, 2}, args, nargs, kwnames);
        GyrelObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        accept_array<float>(bound[0], 2, "queries");
        const uint64_t k = to_u64(bound[1], "k");
        const ArrayValues<float> queries =
            contiguous_rows<float>(bound[0], "queries", "queries must be C-contiguous");
        SearchResults results = index.record.search(queries.values, k);
        OwnedRef scores(
            result_array(std::move(results.scores), queries.rows, results.k, "scores reshape: "));
        OwnedRef indices(result_array(std::move(results.positions), queries.rows, results.k,
                                      "indices reshape: "));
        return pair(std::move(scores), std::move(indices));
    });
}

PyObject* gyrel_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 1> kNames = {"path"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.write()", kNames, 1}, args, nargs, kwnames);
        GyrelObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        write_index(file_path(bound[0]), index.record);
        Py_RETURN_NONE;
    });
}

PyObject* gyrel_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"path"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.load()", kNames, 1}, args, nargs, kwnames);
        GyrelIndex record = read_index(file_path(bound[0]));
        return wrap_record(reinterpret_cast<PyTypeObject*>(gyrel_index_type()), std::move(record));
    });
}

PyObject* gyrel_prepare(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        GyrelObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        index.record.prepare();
        Py_RETURN_NONE;
    });
}

PyObject* gyrel_swap_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"idx"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.swap_remove()", kNames, 1}, args, nargs, kwnames);
        GyrelObject& index = self_index(self);
        ExclusiveBorrow borrow(index.borrow);
        const uint64_t idx = to_u64(bound[0], "idx");
        return PyLong_FromUnsignedLongLong(index.record.swap_remove(idx));
    });
}

template <class Getter>
PyObject* shared_get(PyObject* self, Getter&& get) {
    return guarded<PyObject*>(nullptr, [&] {
        GyrelObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        return get(index.record);
    });
}

PyObject* gyrel_dim(PyObject* self, void*) {
    return shared_get(self, [](GyrelIndex& r) { return PyLong_FromUnsignedLongLong(r.dim()); });
}

PyObject* gyrel_bits(PyObject* self, void*) {
    return shared_get(self, [](GyrelIndex& r) { return PyLong_FromUnsignedLongLong(r.bits()); });
}

PyObject* gyrel_rotation(PyObject* self, void*) {
    return shared_get(self, [](GyrelIndex& r) { return rotation_keyword(r.rotation()); });
}

PyObject* gyrel_repr(PyObject* self) {
    return shared_get(self, [](GyrelIndex& r) {
        return index_repr("GyrelIndex", r.dim(), r.bits(), r.rotation(), r.len());
    });
}

Py_ssize_t gyrel_len(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&] {
        GyrelObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        return static_cast<Py_ssize_t>(index.record.len());
    });
}

PyMethodDef gyrel_methods[] = {
    {"add", as_method(gyrel_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, vectors)\n--\n\n"
     "Add `n = vectors.shape[0]` vectors. `vectors` must be a 2-D\n"
     "`float32` array of shape `(n, dim)`."},
    {"search", as_method(gyrel_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, queries, k)\n--\n\n"
     "Top-`k` search. Returns `(scores, indices)` as `(nq, k)` arrays."},
    {"write", as_method(gyrel_write), METH_FASTCALL | METH_KEYWORDS, "write($self, path)\n--\n\n"},
    {"load", as_method(gyrel_load), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "load($cls, path)\n--\n\n"},
    {"prepare", as_method(gyrel_prepare), METH_NOARGS,
     "prepare($self)\n--\n\n"
     "Eagerly populate caches (block-rotation matrices, Lloyd-Max\n"
     "centroids) so the first `search` call doesn't pay the init cost."},
    {"swap_remove", as_method(gyrel_swap_remove), METH_FASTCALL | METH_KEYWORDS,
     "swap_remove($self, idx)\n--\n\n"
     "Remove the vector at `idx` in O(1) by swap-with-last. Returns the\n"
     "previous index of the moved vector. Order is **not** preserved."},
    {},
};

PyGetSetDef gyrel_getset[] = {
    {"dim", gyrel_dim, nullptr, "", nullptr},
    {"bits", gyrel_bits, nullptr, "", nullptr},
    {"rotation", gyrel_rotation, nullptr, "", nullptr},
    kModuleEntry,
    {},
};

PyType_Slot gyrel_slots[] = {
    {Py_tp_doc, const_cast<char*>("GyrelIndex(dim, bits, rotation=\"rotor3\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(gyrel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_index<GyrelIndex>)},
    {Py_tp_repr, reinterpret_cast<void*>(gyrel_repr)},
    {Py_mp_length, reinterpret_cast<void*>(gyrel_len)},
    {Py_tp_methods, gyrel_methods},
    {Py_tp_getset, gyrel_getset},
    {0, nullptr},
};

PyType_Spec gyrel_spec = {"GyrelIndex", sizeof(GyrelObject), 0, Py_TPFLAGS_DEFAULT, gyrel_slots};

}  // namespace

PyObject* gyrel_index_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = create_type(gyrel_spec);
    }
    return type;
}

}  // namespace quilane
