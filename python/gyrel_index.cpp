// The GyrelIndex class: vectors addressed by position.
#include <array>

#include "classes.hpp"
#include "index_bytes.hpp"
#include "index_class.hpp"
#include "index_file.hpp"
#include "lib.hpp"
#include "notes.hpp"
#include "numpy_api.hpp"
#include "reconstruct.hpp"
#include "search_arguments.hpp"
#include "selection.hpp"

namespace quilane {

namespace {

struct GyrelClass {
    using Record = GyrelIndex;
    static constexpr const char* kName = "GyrelIndex";
    static constexpr const char* kPrepareDoc =
        "prepare($self, *, release_gil=False)\n--\n\n"
        "Eagerly populate caches (block-rotation matrices, Lloyd-Max\n"
        "centroids) so the first `search` call doesn't pay the init cost.";

    static PyObject* type() { return gyrel_index_type(); }
    static GyrelIndex construct(const ConstructorArguments& arguments) {
        return GyrelIndex(arguments.dim, arguments.bits, arguments.rotation, kDefaultSeed);
    }
    static constexpr auto write_file = &write_index;
    static constexpr auto read_file = &read_index;
    static constexpr auto file_size = &index_file_size;
    static constexpr auto write_bytes = &write_index_bytes;
    static constexpr auto parse_bytes = &index_from_bytes;
};

using Gyrel = IndexClass<GyrelClass>;
using GyrelBytes = IndexBytes<GyrelClass>;

PyObject* gyrel_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 2> kNames = {"vectors", "release_gil"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.add()", kNames, 1, 1}, args, nargs, kwnames);
        Gyrel::change(self, [&](GyrelIndex& index) {
            accept_rows(bound[0], "vectors", index.dim());
            const bool release = release_requested(bound[1]);
            const ArrayValues<float> vectors =
                contiguous_rows<float>(bound[0], "vectors", "vectors must be C-contiguous");
            with_width_note("vectors", vectors.rows, columns_of(vectors), index.dim(),
                            [&] { run_engine(release, [&] { index.add(vectors.values); }); });
        });
        Py_RETURN_NONE;
    });
}

PyObject* gyrel_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 4> kNames = {"queries", "k", "allow",
                                                              "release_gil"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.search()", kNames, 2, 2}, args, nargs, kwnames);
        return Gyrel::read(self, [&](GyrelIndex& index) {
            accept_rows(bound[0], "queries", index.dim());
            const uint64_t k = to_u64(bound[1], "k");
            const std::vector<uint64_t> allowed = bound[2] != nullptr && bound[2] != Py_None
                                                      ? allowed_positions(bound[2], index.len())
                                                      : std::vector<uint64_t>{};
            const bool release = release_requested(bound[3]);
            const ArrayValues<float> queries =
                contiguous_rows<float>(bound[0], "queries", "queries must be C-contiguous");
            return with_width_note("queries", queries.rows, columns_of(queries), index.dim(), [&] {
                SearchResults results =
                    run_engine(release, [&] { return index.search(queries.values, k, allowed); });
                return search_result_pair(std::move(results.scores), std::move(results.positions),
                                          queries.rows, results.k, "indices reshape: ");
            });
        });
    });
}

PyObject* gyrel_reconstruct(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"positions"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.reconstruct()", kNames, 1}, args, nargs, kwnames);
        return Gyrel::read(self, [&](GyrelIndex& index) {
            const std::vector<uint64_t> positions =
                position_array(bound[0], "positions", index.len());
            return result_array(reconstruct(index, positions), positions.size(), index.dim(), "");
        });
    });
}

PyObject* gyrel_swap_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 1> kNames = {"idx"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.swap_remove()", kNames, 1}, args, nargs, kwnames);
        return Gyrel::change(self, [&](GyrelIndex& index) {
            const uint64_t idx = to_u64(bound[0], "idx");
            return PyLong_FromUnsignedLongLong(index.swap_remove(idx));
        });
    });
}

const PyMethodDef gyrel_methods[] = {
    {"add", as_method(gyrel_add), METH_FASTCALL | METH_KEYWORDS,
     with_release_note("add($self, vectors, *, release_gil=False)\n--\n\n"
                       "Add `n = vectors.shape[0]` vectors. `vectors` must be a 2-D\n"
                       "`float32` array of shape `(n, dim)`.")},
    {"search", as_method(gyrel_search), METH_FASTCALL | METH_KEYWORDS,
     with_release_note("search($self, queries, k, *, allow=None, release_gil=False)\n--\n\n"
                       "Top-`k` search. Returns `(scores, indices)` as `(nq, k)` arrays.\n\n"
                       "`allow` searches only some stored vectors: a boolean mask of\n"
                       "`len(index)` entries or an integer array of positions. The result is\n"
                       "that of an index holding only those vectors, in position order, reported\n"
                       "with their positions here: `k' = max(1, min(k, number allowed))`, and\n"
                       "nothing allowed gives one column of `-inf` and `-1`.")},
    Gyrel::write_method(),
    Gyrel::load_method(),
    Gyrel::prepare_method(),
    {"swap_remove", as_method(gyrel_swap_remove), METH_FASTCALL | METH_KEYWORDS,
     "swap_remove($self, idx)\n--\n\n"
     "Remove the vector at `idx` in O(1) by swap-with-last. Returns the\n"
     "previous index of the moved vector. Order is **not** preserved."},
    {"reconstruct", as_method(gyrel_reconstruct), METH_FASTCALL | METH_KEYWORDS,
     "reconstruct($self, positions)\n--\n\n"
     "The vectors the index scores against at these positions (an integer\n"
     "array), as an `(m, dim)` `float32` array: the centroids of the stored\n"
     "codes, transformed back and scaled by the norm. A row's inner product\n"
     "with a query is the search score, up to float rounding."},
    GyrelBytes::to_bytes_method(),
    GyrelBytes::from_bytes_method(),
    GyrelBytes::reduce_method(),
};

}  // namespace

PyObject* gyrel_index_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = Gyrel::create_type(gyrel_methods, {});
    }
    return type;
}

}  // namespace quilane
