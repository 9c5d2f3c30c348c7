// cosine_similarity and top_k: convert the vectors, score, build floats and (index, score) pairs.
#include "module/table.hpp"
#include "vectors/cosine.hpp"

namespace zelk::table {

PyObject* cosine_similarity_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(cosine_similarity, args, nargs, kwnames, slots)) return nullptr;
    std::vector<float> a, b;
    if (!py::extract_floats32(slots[0], "a", a)) return nullptr;
    if (!py::extract_floats32(slots[1], "b", b)) return nullptr;
    return py::build_float(vectors::cosine_similarity(a, b));
}

PyObject* top_k_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3] = {};
    if (!py::extract_arguments_fastcall(top_k, args, nargs, kwnames, slots)) return nullptr;
    std::vector<float> query;
    py::Rows rows;
    std::uint64_t k = 0;
    if (!py::extract_floats32(slots[0], "query", query)) return nullptr;
    if (!py::extract_rows(slots[1], "matrix", rows)) return nullptr;
    if (!py::extract_count(slots[2], "k", k)) return nullptr;

    const std::vector<vectors::ScoredRow> best =
        vectors::top_k(query, vectors::ragged_matrix(rows.values, rows.offsets), k);
    py::Ref list(py::build_list(Py_ssize_t(best.size())));
    for (std::size_t i = 0; i < best.size(); ++i) {
        py::Ref index(py::build_uint(best[i].index));
        py::Ref score(py::build_float(best[i].score));
        py::list_set(list.get(), Py_ssize_t(i), py::build_pair(index.release(), score.release()));
    }
    return list.release();
}

}  // namespace zelk::table
