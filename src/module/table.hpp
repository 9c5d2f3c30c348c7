// The ten functions. Each is declared once, by the record beside its body in the binding
// file of its subsystem (name, parameters, docstring text, body); the module registers
// them in the order listed here, which is the order of __all__.
#pragma once

#include "module/frame.hpp"

namespace zelk::table {

extern const py::Function cosine_similarity;  // vectors/
extern const py::Function top_k;              // vectors/
extern const py::Function encode_checkpoint;  // checkpoint/
extern const py::Function decode_checkpoint;  // checkpoint/
extern const py::Function reduce_channel;     // channels/
extern const py::Function advance_superstep;  // channels/
extern const py::Function plan_supersteps;    // scheduler/
extern const py::Function hash_event;         // actors/
extern const py::Function verify_chain;       // actors/
extern const py::Function aggregate_cost;     // cost/

inline constexpr const py::Function* functions[] = {
    &cosine_similarity, &top_k,           &encode_checkpoint, &decode_checkpoint, &reduce_channel,
    &advance_superstep, &plan_supersteps, &hash_event,        &verify_chain,      &aggregate_cost,
};

}  // namespace zelk::table
