// The GyrelIndex class: vectors addressed by position.
#include <array>

#include "classes.hpp"
#include "index_class.hpp"
#include "io.hpp"
#include "lib.hpp"
#include "numpy_api.hpp"

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
    static void write_file(const std::string& path, const GyrelIndex& index) {
        write_index(path, index);
    }
    static GyrelIndex read_file(const std::string& path) { return read_index(path); }
};

using Gyrel = IndexClass<GyrelClass>;

PyObject* gyrel_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr std::array<const char*, 2> kNames = {"vectors", "release_gil"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.add()", kNames, 1, 1}, args, nargs, kwnames);
        Gyrel::change(self, [&](GyrelIndex& index) {
            accept_array<float>(bound[0], 2, "vectors");
            const bool release = release_requested(bound[1]);
            const ArrayValues<float> vectors =
                contiguous_rows<float>(bound[0], "vectors", "vectors must be C-contiguous");
            run_engine(release, [&] { index.add(vectors.values); });
        });
        Py_RETURN_NONE;
    });
}

PyObject* gyrel_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 3> kNames = {"queries", "k", "release_gil"};
        const BoundArguments bound =
            bind_fastcall({"GyrelIndex.search()", kNames, 2, 1}, args, nargs, kwnames);
        return Gyrel::read(self, [&](GyrelIndex& index) {
            accept_array<float>(bound[0], 2, "queries");
            const uint64_t k = to_u64(bound[1], "k");
            const bool release = release_requested(bound[2]);
            const ArrayValues<float> queries =
                contiguous_rows<float>(bound[0], "queries", "queries must be C-contiguous");
            SearchResults results =
                run_engine(release, [&] { return index.search(queries.values, k); });
            return search_result_pair(std::move(results.scores), std::move(results.positions),
                                      queries.rows, results.k, "indices reshape: ");
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
     with_release_note("search($self, queries, k, *, release_gil=False)\n--\n\n"
                       "Top-`k` search. Returns `(scores, indices)` as `(nq, k)` arrays.")},
    Gyrel::write_method(),
    Gyrel::load_method(),
    Gyrel::prepare_method(),
    {"swap_remove", as_method(gyrel_swap_remove), METH_FASTCALL | METH_KEYWORDS,
     "swap_remove($self, idx)\n--\n\n"
     "Remove the vector at `idx` in O(1) by swap-with-last. Returns the\n"
     "previous index of the moved vector. Order is **not** preserved."},
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
