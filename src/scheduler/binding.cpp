// plan_supersteps: converts the node and edge lists, plans, and builds the list of
// supersteps straight from the plan's views of the converted names.
#include "module/table.hpp"
#include "scheduler/plan.hpp"

namespace zelk::table {

namespace {

PyObject* plan_supersteps_body(const py::Arguments& args) {
    py::Keep keep;  // holds the strings the views below point into
    std::vector<std::string_view> nodes;
    std::vector<py::TextPair> edges;
    if (!args.texts(0, nodes, keep)) return nullptr;
    if (!args.pairs(1, edges, keep)) return nullptr;

    const scheduler::Plan result = scheduler::plan(nodes, edges);

    py::Ref steps{py::build_list(Py_ssize_t(result.ends.size()))};
    for (std::size_t i = 0; i < result.ends.size(); ++i) {
        const auto names = scheduler::superstep(result, i);
        py::Ref step{py::build_list(Py_ssize_t(names.size()))};
        for (std::size_t j = 0; j < names.size(); ++j) {
            // A superstep's names lie scattered in the host's memory: ask for those a
            // little ahead while this one is copied.
            if (j + 8 < names.size()) __builtin_prefetch(names[j + 8].data());
            py::list_set(step.get(), Py_ssize_t(j), py::build_str(names[j]));
        }
        py::list_set(steps.get(), Py_ssize_t(i), step.release());
    }
    return steps.release();
}

}  // namespace

constexpr py::Function plan_supersteps{"plan_supersteps",
                                       {"nodes", "edges"},
                                       "Plan BSP supersteps for the given nodes and edges.",
                                       plan_supersteps_body};

}  // namespace zelk::table
