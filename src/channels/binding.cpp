// reduce_channel and advance_superstep: convert their arguments, run the routine, build
// the result.
#include "channels/reduce.hpp"
#include "channels/superstep.hpp"
#include "module/table.hpp"

namespace zelk::table {

PyObject* reduce_channel_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3] = {};
    if (!py::extract_arguments_fastcall(reduce_channel, args, nargs, kwnames, slots)) return nullptr;
    std::string_view reducer, current, update;
    if (!py::extract_text(slots[0], "reducer", reducer)) return nullptr;
    if (!py::extract_text(slots[1], "current_json", current)) return nullptr;
    if (!py::extract_text(slots[2], "update_json", update)) return nullptr;
    const json::Outcome outcome = channels::reduce_channel(reducer, current, update);
    if (!outcome.ok()) return py::raise_value_error(outcome.error);
    return py::build_str(json::view(outcome.text));
}

PyObject* advance_superstep_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3] = {};
    if (!py::extract_arguments_fastcall(advance_superstep, args, nargs, kwnames, slots)) return nullptr;
    std::string_view state, reducers, updates;
    if (!py::extract_text(slots[0], "state_json", state)) return nullptr;
    if (!py::extract_text(slots[1], "reducers_json", reducers)) return nullptr;
    if (!py::extract_text(slots[2], "updates_json", updates)) return nullptr;
    const json::Outcome outcome = channels::advance_superstep(state, reducers, updates);
    if (!outcome.ok()) return py::raise_value_error(outcome.error);
    return py::build_str(json::view(outcome.text));
}

}  // namespace zelk::table
