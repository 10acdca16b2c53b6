// The IdMapIndex class: vectors addressed by the caller's uint64 ids.
#include <array>

#include "classes.hpp"
#include "id_map.hpp"
#include "index_bytes.hpp"
#include "index_class.hpp"
#include "index_file.hpp"
#include "notes.hpp"
#include "numpy_api.hpp"
#include "reconstruct.hpp"
#include "search_arguments.hpp"
#include "selection.hpp"

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
    static constexpr auto write_file = &write_id_map;
    static constexpr auto read_file = &read_id_map;
    static constexpr auto file_size = &id_map_file_size;
    static constexpr auto write_bytes = &write_id_map_bytes;
    static constexpr auto parse_bytes = &id_map_from_bytes;
};

using IdMap = IndexClass<IdMapClass>;
using IdMapBytes = IndexBytes<IdMapClass>;

PyObject* id_map_add_with_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 3> kNames = {"vectors", "ids", "release_gil"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.add_with_ids()", kNames, 2, 1}, args, nargs, kwnames);
        IdMap::change(self, [&](IdMapIndex& index) {
            accept_rows(bound[0], "vectors", index.dim());
            accept_ids(bound[1], "ids");
            const bool release = release_requested(bound[2]);
            const ArrayValues<float> vectors =
                contiguous_rows<float>(bound[0], "vectors", "vectors must be C-contiguous");
            const ArrayValues<uint64_t> ids =
                contiguous_elements<uint64_t>(bound[1], "ids", "ids must be C-contiguous");
            with_width_note("vectors", vectors.rows, columns_of(vectors), index.dim(), [&] {
                run_engine(release, [&] { index.add_with_ids(vectors.values, ids.values); });
            });
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
        static constexpr std::array<const char*, 4> kNames = {"queries", "k", "allow",
                                                              "release_gil"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.search()", kNames, 2, 2}, args, nargs, kwnames);
        return IdMap::read(self, [&](IdMapIndex& index) {
            accept_rows(bound[0], "queries", index.dim());
            const uint64_t k = to_u64(bound[1], "k");
            const std::vector<uint64_t> allowed = bound[2] != nullptr && bound[2] != Py_None
                                                      ? allowed_ids(bound[2], index)
                                                      : std::vector<uint64_t>{};
            const bool release = release_requested(bound[3]);
            const ArrayValues<float> queries =
                contiguous_rows<float>(bound[0], "queries", "queries must be C-contiguous");
            return with_width_note("queries", queries.rows, columns_of(queries), index.dim(), [&] {
                IdMapIndex::Results results =
                    run_engine(release, [&] { return index.search(queries.values, k, allowed); });
                // Zero query rows keep the k asked for, as the id map always has.
                const size_t rows = queries.rows;
                const size_t columns = rows > 0 ? results.scores.size() / rows : k;
                return search_result_pair(std::move(results.scores), std::move(results.ids), rows,
                                          columns, "ids reshape: ");
            });
        });
    });
}

// The ids of a uint64 array, checked as add_with_ids checks its ids.
ArrayValues<uint64_t> id_array(PyObject* obj) {
    accept_ids(obj, "ids");
    return contiguous_elements<uint64_t>(obj, "ids", "ids must be C-contiguous");
}

PyObject* id_map_ids(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        return IdMap::read(self, [](IdMapIndex& index) {
            return result_vector(std::vector<uint64_t>(index.ids().begin(), index.ids().end()));
        });
    });
}

PyObject* id_map_remove_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"ids"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.remove_many()", kNames, 1}, args, nargs, kwnames);
        return IdMap::change(self, [&](IdMapIndex& index) {
            return PyLong_FromUnsignedLongLong(index.remove_many(id_array(bound[0]).values));
        });
    });
}

PyObject* id_map_reconstruct(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"ids"};
        const BoundArguments bound =
            bind_fastcall({"IdMapIndex.reconstruct()", kNames, 1}, args, nargs, kwnames);
        return IdMap::read(self, [&](IdMapIndex& index) {
            const std::vector<uint64_t> positions =
                stored_positions(id_array(bound[0]).values, index);
            return result_array(reconstruct(index.inner(), positions), positions.size(),
                                index.dim(), "");
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
     with_release_note("search($self, queries, k, *, allow=None, release_gil=False)\n--\n\n"
                       "Top-`k` search returning external ids. Returns `(scores, ids)` as\n"
                       "`(nq, k)` arrays.\n\n"
                       "`allow` searches only the vectors of some ids: a `uint64` array, whose\n"
                       "ids that are not stored are ignored. The result is that of an index\n"
                       "holding only those vectors, in their current order:\n"
                       "`k' = max(1, min(k, number allowed))`, and nothing allowed gives one\n"
                       "column of `-inf` and id `2**64 - 1`.")},
    {"contains", as_method(id_map_contains), METH_FASTCALL | METH_KEYWORDS,
     "contains($self, id)\n--\n\n"},
    IdMap::prepare_method(),
    IdMap::write_method(),
    IdMap::load_method(),
    {"ids", as_method(id_map_ids), METH_NOARGS,
     "ids($self)\n--\n\n"
     "The stored ids as a new `uint64` array, in position order."},
    {"remove_many", as_method(id_map_remove_many), METH_FASTCALL | METH_KEYWORDS,
     "remove_many($self, ids)\n--\n\n"
     "Remove the stored ids of a `uint64` array, in array order, exactly as\n"
     "`remove` for each would. Returns how many were stored."},
    {"reconstruct", as_method(id_map_reconstruct), METH_FASTCALL | METH_KEYWORDS,
     "reconstruct($self, ids)\n--\n\n"
     "The vectors the index scores against for these ids (a `uint64` array),\n"
     "as an `(m, dim)` `float32` array. A row's inner product with a query is\n"
     "the search score, up to float rounding."},
    IdMapBytes::to_bytes_method(),
    IdMapBytes::from_bytes_method(),
    IdMapBytes::reduce_method(),
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
