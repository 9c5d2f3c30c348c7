// aggregate_cost: add the costs while converting them (nothing is stored), build a float.
#include "cost/aggregate.hpp"
#include "module/table.hpp"

namespace zelk::table {

PyObject* aggregate_cost_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(aggregate_cost, args, nargs, kwnames, slots)) return nullptr;
    double total = cost::no_costs;
    if (!py::extract_floats_folded(slots[0], "values", cost::add_costs, total)) return nullptr;
    return py::build_float(total);
}

}  // namespace zelk::table
