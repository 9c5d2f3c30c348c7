// cosine_similarity and top_k: convert the vectors, score, build floats and (index, score) pairs.
#include "module/table.hpp"
#include "vectors/cosine.hpp"

namespace zelk::table {

namespace {

PyObject* cosine_similarity_body(const py::Arguments& args) {
    py::Views views;
    py::Floats32 a, b;
    if (!args.floats32(0, a, views)) return nullptr;
    if (!args.floats32(1, b, views)) return nullptr;
    return py::build_float(vectors::cosine_similarity(a.values, b.values));
}

PyObject* top_k_body(const py::Arguments& args) {
    py::Views views;
    py::Floats32 query;
    py::Matrix32 rows;
    std::uint64_t k = 0;
    if (!args.floats32(0, query, views)) return nullptr;
    if (!args.matrix(1, rows, views)) return nullptr;
    if (!args.count(2, k, views)) return nullptr;

    const std::vector<vectors::ScoredRow> best = vectors::top_k(query.values, rows.matrix, k);
    py::Ref list(py::build_list(Py_ssize_t(best.size())));
    for (std::size_t i = 0; i < best.size(); ++i) {
        py::Ref index(py::build_uint(best[i].index));
        py::Ref score(py::build_float(best[i].score));
        py::list_set(list.get(), Py_ssize_t(i), py::build_pair(index.release(), score.release()));
    }
    return list.release();
}

}  // namespace

constexpr py::Function cosine_similarity{"cosine_similarity",
                                         {"a", "b"},
                                         "Cosine similarity between two equal-length vectors.",
                                         cosine_similarity_body};

constexpr py::Function top_k{"top_k",
                             {"query", "matrix", "k"},
                             "Indices and scores of the `k` rows most similar to `query`.",
                             top_k_body};

}  // namespace zelk::table
