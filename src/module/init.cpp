// Module initialisation of zelk_core: the function table, the module attributes, the
// interpreter guard and the module cell (single-phase initialisation).
#include "module/table.hpp"
#include "module/trampoline.hpp"

#include <new>

namespace zelk {

namespace {

using py::entry;
using py::FunctionEntry;

// Docstrings: the text signature, "--", a blank line, then the text shown as __doc__.
constexpr FunctionEntry functions[] = {
    {"cosine_similarity", entry<table::cosine_similarity_body>,
     "cosine_similarity(a, b)\n--\n\nCosine similarity between two equal-length vectors."},
    {"top_k", entry<table::top_k_body>,
     "top_k(query, matrix, k)\n--\n\nIndices and scores of the `k` rows most similar to `query`."},
    {"encode_checkpoint", entry<table::encode_checkpoint_body>,
     "encode_checkpoint(json_str)\n--\n\nEncode a JSON document string into a framed checkpoint blob."},
    {"decode_checkpoint", entry<table::decode_checkpoint_body>,
     "decode_checkpoint(blob)\n--\n\nDecode a framed checkpoint blob back into a JSON string."},
    {"reduce_channel", entry<table::reduce_channel_body>,
     "reduce_channel(reducer, current_json, update_json)\n--\n\n"
     "Reduce `current` with `update` under the named channel reducer."},
    {"advance_superstep", entry<table::advance_superstep_body>,
     "advance_superstep(state_json, reducers_json, updates_json)\n--\n\n"
     "Apply a whole superstep's node updates to graph state in one call."},
    {"plan_supersteps", entry<table::plan_supersteps_body>,
     "plan_supersteps(nodes, edges)\n--\n\nPlan BSP supersteps for the given nodes and edges."},
    {"hash_event", entry<table::hash_event_body>,
     "hash_event(prev_hash, payload)\n--\n\n"
     "Chained hash for an audit entry: `sha256(prev_hash || payload)`."},
    {"verify_chain", entry<table::verify_chain_body>,
     "verify_chain(genesis, entries)\n--\n\n"
     "Verify a hash chain; returns the index of the first broken link or `None`."},
    {"aggregate_cost", entry<table::aggregate_cost_body>,
     "aggregate_cost(values)\n--\n\nSum per-call costs into a single total."},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "zelk_core",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

py::Registration registration;

PyObject* build_module() {
    py::Ref module(PyModule_Create2(&definition, 3));
    if (!module) return nullptr;
    py::Ref version(PyUnicode_FromString("0.1.0"));
    if (!version || !py::add_attribute(module.get(), "__version__", version.get()) ||
        !py::add_attribute(module.get(), "RUST", Py_True) ||
        !py::add_functions(module.get(), functions)) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

}  // namespace zelk

PyMODINIT_FUNC PyInit_zelk_core(void) {
    using namespace zelk;
    try {
        bool failed = false;
        if (PyObject* cached = py::registered_module(registration, "zelk_core", &failed)) return cached;
        if (failed) return nullptr;
        PyObject* module = build_module();
        if (module == nullptr) return nullptr;
        registration.cell = Py_NewRef(module);
        return module;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
