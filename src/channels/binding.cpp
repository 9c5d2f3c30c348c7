// reduce_channel and advance_superstep: convert their arguments, run the routine, build
// the result.
#include "channels/reduce.hpp"
#include "channels/superstep.hpp"
#include "module/table.hpp"

namespace zelk::table {

namespace {

PyObject* reduce_channel_body(const py::Arguments& args) {
    std::string_view reducer, current, update;
    if (!args.text(0, reducer)) return nullptr;
    if (!args.text(1, current)) return nullptr;
    if (!args.text(2, update)) return nullptr;
    const json::Outcome outcome = channels::reduce_channel(reducer, current, update);
    if (!outcome.ok()) return py::raise_value_error(outcome.error);
    return py::build_str(json::view(outcome.text));
}

PyObject* advance_superstep_body(const py::Arguments& args) {
    std::string_view state, reducers, updates;
    if (!args.text(0, state)) return nullptr;
    if (!args.text(1, reducers)) return nullptr;
    if (!args.text(2, updates)) return nullptr;
    const json::Outcome outcome = channels::advance_superstep(state, reducers, updates);
    if (!outcome.ok()) return py::raise_value_error(outcome.error);
    return py::build_str(json::view(outcome.text));
}

}  // namespace

constexpr py::Function reduce_channel{"reduce_channel",
                                      {"reducer", "current_json", "update_json"},
                                      "Reduce `current` with `update` under the named channel reducer.",
                                      reduce_channel_body};

constexpr py::Function advance_superstep{"advance_superstep",
                                         {"state_json", "reducers_json", "updates_json"},
                                         "Apply a whole superstep's node updates to graph state in one call.",
                                         advance_superstep_body};

}  // namespace zelk::table
