// The IdMapIndex class: vectors addressed by the caller's uint64 ids.
#include <array>

#include "classes.hpp"
#include "id_map.hpp"
#include "index_class.hpp"
#include "io.hpp"
#include "numpy_api.hpp"

namespace quilane {

namespace {

struct IdMapClass {
    using Record = IdMapIndex;
    static constexpr const char* kName = "IdMapIndex";
    static constexpr const char* kPrepareDoc = "prepare($self, *, release_gil=False)\n--\n\n";

    static PyObject* type() { return id_map_index_type(); }
    static IdMapIndex construct(const ConstructorArguments& arguments) {
        return IdMapIndex::with_options(arguments.dim, arguments.bits, arguments.rotation,
                                        kDefaultSeed);
    }
    static void write_file(const std::string& path, const IdMapIndex& index) {
        write_id_map(path, index);
    }
    static IdMapIndex read_file(const std::string& path) { return read_id_map(path); }
};

using IdMap = IndexClass<IdMapClass>;

PyObject* id_map_add_with_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 3> kNames = {"vectors", "ids", "release_gil"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.add_with_ids()", kNames, 2, 1}, args, nargs, kwnames);
        IdMap::change(self, [&](IdMapIndex& index) {
            accept_array<float>(bound[0], 2, "vectors");
            accept_array<uint64_t>(bound[1], 1, "ids");
            const bool release = release_requested(bound[2]);
            const ArrayValues<float> vectors =
                contiguous_rows<float>(bound[0], "vectors", "vectors must be C-contiguous");
            const ArrayValues<uint64_t> ids =
                contiguous_elements<uint64_t>(bound[1], "ids", "ids must be C-contiguous");
            run_engine(release, [&] { index.add_with_ids(vectors.values, ids.values); });
        });
        Py_RETURN_NONE;
    });
}

PyObject* id_map_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"id"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.remove()", kNames, 1}, args, nargs, kwnames);
        return IdMap::change(self, [&](IdMapIndex& index) {
            return PyBool_FromLong(index.remove(to_u64(bound[0], "id")));
        });
    });
}

PyObject* id_map_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 3> kNames = {"queries", "k", "release_gil"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.search()", kNames, 2, 1}, args, nargs, kwnames);
        return IdMap::read(self, [&](IdMapIndex& index) {
            accept_array<float>(bound[0], 2, "queries");
            const uint64_t k = to_u64(bound[1], "k");
            const bool release = release_requested(bound[2]);
            const ArrayValues<float> queries =
                contiguous_rows<float>(bound[0], "queries", "queries must be C-contiguous");
            IdMapIndex::Results results =
                run_engine(release, [&] { return index.search(queries.values, k); });
            // Zero query rows keep the k asked for, as the id map always has.
            const size_t rows = queries.rows;
            const size_t columns = rows > 0 ? results.scores.size() / rows : k;
            return search_result_pair(std::move(results.scores), std::move(results.ids), rows,
                                      columns, "ids reshape: ");
        });
    });
}

PyObject* id_map_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"id"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.contains()", kNames, 1}, args, nargs, kwnames);
        return IdMap::read(self, [&](IdMapIndex& index) {
            return PyBool_FromLong(index.contains(to_u64(bound[0], "id")));
        });
    });
}

int id_map_sq_contains(PyObject* self, PyObject* key) {
    return guarded<int>(-1, [&] {
        return IdMap::read(
            self, [&](IdMapIndex& index) { return index.contains(to_u64(key, "id")) ? 1 : 0; });
    });
}

const PyMethodDef id_map_methods[] = {
    {"add_with_ids", as_method(id_map_add_with_ids), METH_FASTCALL | METH_KEYWORDS,
     with_release_note("add_with_ids($self, vectors, ids, *, release_gil=False)\n--\n\n"
                       "Add vectors with stable external `uint64` ids.")},
    {"remove", as_method(id_map_remove), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, id)\n--\n\n"},
    {"search", as_method(id_map_search), METH_FASTCALL | METH_KEYWORDS,
     with_release_note("search($self, queries, k, *, release_gil=False)\n--\n\n"
                       "Top-`k` search returning external ids. Returns `(scores, ids)` as\n"
                       "`(nq, k)` arrays.")},
    {"contains", as_method(id_map_contains), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, id)\n--\n\n"},
    IdMap::prepare_method(),
    IdMap::write_method(),
    IdMap::load_method(),
};

const PyType_Slot id_map_slots[] = {
    {Py_sq_contains, reinterpret_cast<void*>(id_map_sq_contains)},
};

}  // namespace

PyObject* id_map_index_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = IdMap::create_type(id_map_methods, id_map_slots);
    }
    return type;
}

}  // namespace quilane
