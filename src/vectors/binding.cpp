// cosine_similarity and top_k: convert the vectors, score, build floats and (index, score) pairs.
#include "module/table.hpp"
#include "vectors/cosine.hpp"

namespace zelk::table {

PyObject* cosine_similarity_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(cosine_similarity, args, nargs, kwnames, slots)) return nullptr;
    py::Views views;
    py::Floats32 a, b;
    if (!py::extract_floats32(slots[0], "a", a, views)) return nullptr;
    if (!py::extract_floats32(slots[1], "b", b, views)) return nullptr;
    return py::build_float(vectors::cosine_similarity(a.values, b.values));
}

PyObject* top_k_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3] = {};
    if (!py::extract_arguments_fastcall(top_k, args, nargs, kwnames, slots)) return nullptr;
    py::Views views;
    py::Floats32 query;
    py::Matrix32 rows;
    std::uint64_t k = 0;
    if (!py::extract_floats32(slots[0], "query", query, views)) return nullptr;
    if (!py::extract_matrix(slots[1], "matrix", rows, views)) return nullptr;
    if (!py::extract_count(slots[2], "k", k, views)) return nullptr;

    const vectors::Matrix matrix = rows.uniform
        ? vectors::uniform_matrix(rows.data, rows.count, rows.cols, rows.stride)
        : vectors::ragged_matrix(rows.rows.values, rows.rows.offsets);
    const std::vector<vectors::ScoredRow> best = vectors::top_k(query.values, matrix, k);
    py::Ref list(py::build_list(Py_ssize_t(best.size())));
    for (std::size_t i = 0; i < best.size(); ++i) {
        py::Ref index(py::build_uint(best[i].index));
        py::Ref score(py::build_float(best[i].score));
        py::list_set(list.get(), Py_ssize_t(i), py::build_pair(index.release(), score.release()));
    }
    return list.release();
}

}  // namespace zelk::table
