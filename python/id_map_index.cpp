// The IdMapIndex class: vectors addressed by the caller's uint64 ids.
#include <array>

#include "arguments.hpp"
#include "classes.hpp"
#include "id_map.hpp"
#include "index_object.hpp"
#include "io.hpp"
#include "numpy_api.hpp"

namespace quilane {

namespace {

using IdMapObject = IndexObject<IdMapIndex>;

IdMapObject& self_index(PyObject* self) {
    return index_object<IdMapIndex>(self, id_map_index_type(), "IdMapIndex");
}

PyObject* id_map_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        const ConstructorArguments arguments =
            constructor_arguments("IdMapIndex.__new__()", args, kwargs);
        IdMapIndex record = IdMapIndex::with_options(arguments.dim, arguments.bits,
                                                     arguments.rotation, kDefaultSeed);
        return wrap_record(type, std::move(record));
    });
}

PyObject* id_map_add_with_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 2> kNames = {"vectors", "ids"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.add_with_ids()", kNames, 2}, args, nargs, kwnames);
        IdMapObject& index = self_index(self);
        ExclusiveBorrow borrow(index.borrow);
        accept_array<float>(bound[0], 2, "vectors");
        accept_array<uint64_t>(bound[1], 1, "ids");
        const ArrayValues<float> vectors =
            contiguous_rows<float>(bound[0], "vectors", "vectors must be C-contiguous");
        const ArrayValues<uint64_t> ids =
            contiguous_elements<uint64_t>(bound[1], "ids", "ids must be C-contiguous");
        index.record.add_with_ids(vectors.values, ids.values);
        Py_RETURN_NONE;
    });
}

PyObject* id_map_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"id"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.remove()", kNames, 1}, args, nargs, kwnames);
        IdMapObject& index = self_index(self);
        ExclusiveBorrow borrow(index.borrow);
        const uint64_t id = to_u64(bound[0], "id");
        return PyBool_FromLong(index.record.remove(id));
    });
}

PyObject* id_map_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 2> kNames = {"queries", "k"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.search()", kNames, 2}, args, nargs, kwnames);
        IdMapObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        accept_array<float>(bound[0], 2, "queries");
        const uint64_t k = to_u64(bound[1], "k");
        const ArrayValues<float> queries =
            contiguous_rows<float>(bound[0], "queries", "queries must be C-contiguous");
        IdMapIndex::Results results = index.record.search(queries.values, k);
        const size_t rows = queries.rows;
        const size_t columns = rows > 0 ? results.scores.size() / rows : k;
        OwnedRef scores(result_array(std::move(results.scores), rows, columns, "scores reshape: "));
        OwnedRef ids(result_array(std::move(results.ids), rows, columns, "ids reshape: "));
        return pair(std::move(scores), std::move(ids));
    });
}

PyObject* id_map_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"id"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.contains()", kNames, 1}, args, nargs, kwnames);
        IdMapObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        const uint64_t id = to_u64(bound[0], "id");
        return PyBool_FromLong(index.record.contains(id));
    });
}

int id_map_sq_contains(PyObject* self, PyObject* key) {
    return guarded<int>(-1, [&] {
        IdMapObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        return index.record.contains(to_u64(key, "id")) ? 1 : 0;
    });
}

PyObject* id_map_prepare(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        IdMapObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        index.record.prepare();
        Py_RETURN_NONE;
    });
}

PyObject* id_map_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 1> kNames = {"path"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.write()", kNames, 1}, args, nargs, kwnames);
        IdMapObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        write_id_map(file_path(bound[0]), index.record);
        Py_RETURN_NONE;
    });
}

PyObject* id_map_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"path"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.load()", kNames, 1}, args, nargs, kwnames);
        IdMapIndex record = read_id_map(file_path(bound[0]));
        return wrap_record(reinterpret_cast<PyTypeObject*>(id_map_index_type()), std::move(record));
    });
}

template <class Getter>
PyObject* shared_get(PyObject* self, Getter&& get) {
    return guarded<PyObject*>(nullptr, [&] {
        IdMapObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        return get(index.record);
    });
}

PyObject* id_map_dim(PyObject* self, void*) {
    return shared_get(self, [](IdMapIndex& r) { return PyLong_FromUnsignedLongLong(r.dim()); });
}

PyObject* id_map_bits(PyObject* self, void*) {
    return shared_get(self, [](IdMapIndex& r) { return PyLong_FromUnsignedLongLong(r.bits()); });
}

PyObject* id_map_rotation(PyObject* self, void*) {
    return shared_get(self, [](IdMapIndex& r) { return rotation_keyword(r.rotation()); });
}

PyObject* id_map_repr(PyObject* self) {
    return shared_get(self, [](IdMapIndex& r) {
        return index_repr("IdMapIndex", r.dim(), r.bits(), r.rotation(), r.len());
    });
}

Py_ssize_t id_map_len(PyObject* self) {
    return guarded<Py_ssize_t>(-1, [&] {
        IdMapObject& index = self_index(self);
        SharedBorrow borrow(index.borrow);
        return static_cast<Py_ssize_t>(index.record.len());
    });
}

PyMethodDef id_map_methods[] = {
    {"add_with_ids", as_method(id_map_add_with_ids), METH_FASTCALL | METH_KEYWORDS,
     "add_with_ids($self, vectors, ids)\n--\n\n"
     "Add vectors with stable external `uint64` ids."},
    {"remove", as_method(id_map_remove), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, id)\n--\n\n"},
    {"search", as_method(id_map_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, queries, k)\n--\n\n"
     "Top-`k` search returning external ids. Returns `(scores, ids)` as\n"
     "`(nq, k)` arrays."},
    {"contains", as_method(id_map_contains), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, id)\n--\n\n"},
    {"prepare", as_method(id_map_prepare), METH_NOARGS, "prepare($self)\n--\n\n"},
    {"write", as_method(id_map_write), METH_FASTCALL | METH_KEYWORDS, "write($self, path)\n--\n\n"},
    {"load", as_method(id_map_load), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "load($cls, path)\n--\n\n"},
    {},
};

PyGetSetDef id_map_getset[] = {
    {"dim", id_map_dim, nullptr, "", nullptr},
    {"bits", id_map_bits, nullptr, "", nullptr},
    {"rotation", id_map_rotation, nullptr, "", nullptr},
    kModuleEntry,
    {},
};

PyType_Slot id_map_slots[] = {
    {Py_tp_doc, const_cast<char*>("IdMapIndex(dim, bits, rotation=\"rotor3\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(id_map_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_index<IdMapIndex>)},
    {Py_tp_repr, reinterpret_cast<void*>(id_map_repr)},
    {Py_mp_length, reinterpret_cast<void*>(id_map_len)},
    {Py_sq_contains, reinterpret_cast<void*>(id_map_sq_contains)},
    {Py_tp_methods, id_map_methods},
    {Py_tp_getset, id_map_getset},
    {0, nullptr},
};

PyType_Spec id_map_spec = {"IdMapIndex", sizeof(IdMapObject), 0, Py_TPFLAGS_DEFAULT, id_map_slots};

}  // namespace

PyObject* id_map_index_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = create_type(id_map_spec);
    }
    return type;
}

}  // namespace quilane
