// aggregate_cost: add the costs while converting them (nothing is stored), build a float.
#include "cost/aggregate.hpp"
#include "module/table.hpp"

namespace zelk::table {

namespace {

PyObject* aggregate_cost_body(const py::Arguments& args) {
    double total = cost::no_costs;
    if (!args.floats_folded(0, cost::add_costs, total)) return nullptr;
    return py::build_float(total);
}

}  // namespace

constexpr py::Function aggregate_cost{
    "aggregate_cost", {"values"}, "Sum per-call costs into a single total.", aggregate_cost_body};

}  // namespace zelk::table
