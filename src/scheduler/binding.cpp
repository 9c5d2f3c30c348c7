// plan_supersteps: converts the node and edge lists; the planner comes with its own change.
#include "module/table.hpp"

namespace zelk::table {

PyObject* plan_supersteps_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(plan_supersteps, args, nargs, kwnames, slots)) return nullptr;
    py::Keep keep;
    std::vector<std::string_view> nodes;
    std::vector<py::TextPair> edges;
    if (!py::extract_texts(slots[0], "nodes", nodes, keep)) return nullptr;
    if (!py::extract_pairs(slots[1], "edges", edges, keep)) return nullptr;
    throw py::Panic{"plan_supersteps is not built yet"};
}

}  // namespace zelk::table
