// aggregate_cost: convert the costs, sum them, build a float.
#include "cost/aggregate.hpp"
#include "module/table.hpp"

namespace zelk::table {

PyObject* aggregate_cost_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(aggregate_cost, args, nargs, kwnames, slots)) return nullptr;
    std::vector<double> values;
    if (!py::extract_floats(slots[0], "values", values)) return nullptr;
    return py::build_float(cost::aggregate_cost(values));
}

}  // namespace zelk::table
