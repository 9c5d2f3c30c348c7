// The ten functions: their descriptions (names and parameters) and their bodies.
// The descriptions drive both argument matching and the registered text signatures.
#pragma once

#include "module/frame.hpp"

namespace zelk::table {

using Body = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char* cosine_similarity_params[] = {"a", "b"};
inline constexpr const char* top_k_params[] = {"query", "matrix", "k"};
inline constexpr const char* encode_checkpoint_params[] = {"json_str"};
inline constexpr const char* decode_checkpoint_params[] = {"blob"};
inline constexpr const char* reduce_channel_params[] = {"reducer", "current_json", "update_json"};
inline constexpr const char* advance_superstep_params[] = {"state_json", "reducers_json",
                                                           "updates_json"};
inline constexpr const char* plan_supersteps_params[] = {"nodes", "edges"};
inline constexpr const char* hash_event_params[] = {"prev_hash", "payload"};
inline constexpr const char* verify_chain_params[] = {"genesis", "entries"};
inline constexpr const char* aggregate_cost_params[] = {"values"};

inline constexpr py::FunctionDescription cosine_similarity{"cosine_similarity", "cosine_similarity()", cosine_similarity_params};
inline constexpr py::FunctionDescription top_k{"top_k", "top_k()", top_k_params};
inline constexpr py::FunctionDescription encode_checkpoint{"encode_checkpoint", "encode_checkpoint()", encode_checkpoint_params};
inline constexpr py::FunctionDescription decode_checkpoint{"decode_checkpoint", "decode_checkpoint()", decode_checkpoint_params};
inline constexpr py::FunctionDescription reduce_channel{"reduce_channel", "reduce_channel()", reduce_channel_params};
inline constexpr py::FunctionDescription advance_superstep{"advance_superstep", "advance_superstep()", advance_superstep_params};
inline constexpr py::FunctionDescription plan_supersteps{"plan_supersteps", "plan_supersteps()", plan_supersteps_params};
inline constexpr py::FunctionDescription hash_event{"hash_event", "hash_event()", hash_event_params};
inline constexpr py::FunctionDescription verify_chain{"verify_chain", "verify_chain()", verify_chain_params};
inline constexpr py::FunctionDescription aggregate_cost{"aggregate_cost", "aggregate_cost()", aggregate_cost_params};

// Bodies, one per function, defined in the binding file of each subsystem.
// Each matches and converts its arguments, calls one routine and builds the result.
PyObject* cosine_similarity_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);  // vectors/
PyObject* top_k_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);              // vectors/
PyObject* encode_checkpoint_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);  // checkpoint/
PyObject* decode_checkpoint_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);  // checkpoint/
PyObject* reduce_channel_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);     // channels/
PyObject* advance_superstep_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);  // channels/
PyObject* plan_supersteps_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);    // scheduler/
PyObject* hash_event_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);         // actors/
PyObject* verify_chain_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);       // actors/
PyObject* aggregate_cost_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);     // cost/

}  // namespace zelk::table
