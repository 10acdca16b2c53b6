// quilane.rerank: candidates of a compressed search re-scored by exact float32 inner products.
#include "rerank.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "errors.hpp"
#include "index_class.hpp"
#include "module_functions.hpp"
#include "notes.hpp"
#include "numpy_api.hpp"

namespace quilane {

namespace {

// Candidates as search returns them: int64 positions (-1 empty) or uint64 ids (2**64 - 1 empty).
// Both are read as uint64, where -1 is 2**64 - 1; other negative positions read as huge values
// and are refused as out of range, in their signed form.
struct Candidates {
    ArrayValues<uint64_t> values;
    bool is_signed = false;
};

Candidates candidate_rows(PyObject* obj) {
    Candidates candidates;
    try {
        accept_array<int64_t>(obj, 2, "candidates");
        candidates.is_signed = true;
    } catch (const PythonErrorSet&) {
        PyErr_Clear();
        accept_noted_array<uint64_t>(obj, 2, "candidates", "2-D int64 or uint64 of shape (nq, c)",
                                     "the indices or ids a search returned");
    }
    if (candidates.is_signed) {
        const ArrayValues<int64_t> rows =
            contiguous_rows<int64_t>(obj, "candidates", "candidates must be C-contiguous");
        candidates.values.rows = rows.rows;
        // Copied as unsigned values: candidates are few beside the vectors they name.
        candidates.values.aligned_copy.assign(rows.values.begin(), rows.values.end());
        candidates.values.values = candidates.values.aligned_copy;
    } else {
        candidates.values =
            contiguous_rows<uint64_t>(obj, "candidates", "candidates must be C-contiguous");
    }
    return candidates;
}

std::string candidate_text(uint64_t candidate, bool is_signed) {
    return is_signed ? std::to_string(static_cast<int64_t>(candidate)) : std::to_string(candidate);
}

void check_shapes(const ArrayValues<float>& queries, size_t query_columns,
                  const Candidates& candidates, const ArrayValues<float>& vectors, size_t dim) {
    if (query_columns != dim) {
        raise_value_error("queries have " + std::to_string(query_columns) +
                          " columns but vectors have " + std::to_string(dim));
    }
    if (candidates.values.rows != queries.rows) {
        raise_value_error("candidates have " + std::to_string(candidates.values.rows) +
                          " rows but queries have " + std::to_string(queries.rows));
    }
    for (const uint64_t candidate : candidates.values.values) {
        if (candidate != kNoCandidate && candidate >= vectors.rows) {
            raise_value_error("candidate " + candidate_text(candidate, candidates.is_signed) +
                              " is out of range for " + std::to_string(vectors.rows) + " vectors");
        }
    }
}

PyObject* rerank_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        static constexpr std::array<const char*, 4> kNames = {"queries", "candidates", "vectors",
                                                              "k"};
        const BoundArguments bound = bind_fastcall({"rerank()", kNames, 4}, args, nargs, kwnames);
        accept_noted_array<float>(bound[0], 2, "queries", "2-D float32 of shape (nq, dim)",
                                  "np.ascontiguousarray(queries, dtype=np.float32)");
        Candidates candidates = candidate_rows(bound[1]);
        accept_noted_array<float>(bound[2], 2, "vectors", "2-D float32 of shape (n, dim)",
                                  "np.ascontiguousarray(vectors, dtype=np.float32)");
        const uint64_t k = to_u64(bound[3], "k");
        const ArrayValues<float> queries =
            contiguous_rows<float>(bound[0], "queries", "queries must be C-contiguous");
        const ArrayValues<float> vectors =
            contiguous_rows<float>(bound[2], "vectors", "vectors must be C-contiguous");
        const size_t dim = array_dimension(bound[2], 1);
        check_shapes(queries, array_dimension(bound[0], 1), candidates, vectors, dim);
        const size_t columns = array_dimension(bound[1], 1);
        RerankResults results = rerank({queries.values, candidates.values.values, vectors.values,
                                        queries.rows, columns, vectors.rows, dim},
                                       k);
        if (!candidates.is_signed) {
            return search_result_pair(std::move(results.scores), std::move(results.candidates),
                                      queries.rows, results.k, "candidates reshape: ");
        }
        std::vector<int64_t> positions(results.candidates.begin(), results.candidates.end());
        return search_result_pair(std::move(results.scores), std::move(positions), queries.rows,
                                  results.k, "candidates reshape: ");
    });
}

}  // namespace

PyMethodDef rerank_method() {
    return {"rerank", as_method(rerank_function), METH_FASTCALL | METH_KEYWORDS,
            "rerank(queries, candidates, vectors, k)\n--\n\n"
            "Re-score each query's candidates by exact `float32` inner products with\n"
            "the rows of `vectors` they name, and keep the best `k`. `candidates` are\n"
            "the `int64` indices or `uint64` ids a search returned, used as row\n"
            "numbers; -1 and 2**64 - 1 slots are ignored, and a candidate repeated in\n"
            "a row counts once. Returns `(scores, candidates)` of shape `(nq, k')`,\n"
            "`k' = max(1, min(k, candidates.shape[1]))`, best first, equal scores by\n"
            "lower candidate; a row with fewer candidates is filled with `-inf` and\n"
            "-1 (or 2**64 - 1)."};
}

}  // namespace quilane
