// hash_event and verify_chain: convert their arguments, run the chain routine, build the
// hash text or the position of the first broken link.
#include "actors/chain.hpp"
#include "module/table.hpp"

namespace zelk::table {

PyObject* hash_event_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(hash_event, args, nargs, kwnames, slots)) return nullptr;
    std::string_view prev_hash, payload;
    if (!py::extract_text(slots[0], "prev_hash", prev_hash)) return nullptr;
    if (!py::extract_text(slots[1], "payload", payload)) return nullptr;
    return py::build_str(actors::as_view(actors::hash_event(prev_hash, payload)));
}

PyObject* verify_chain_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(verify_chain, args, nargs, kwnames, slots)) return nullptr;
    std::string_view genesis;
    py::Keep keep;
    std::vector<py::TextPair> entries;
    if (!py::extract_text(slots[0], "genesis", genesis)) return nullptr;
    if (!py::extract_pairs(slots[1], "entries", entries, keep)) return nullptr;
    const auto broken = actors::verify_chain(genesis, entries);
    return broken ? py::build_uint(*broken) : py::build_none();
}

}  // namespace zelk::table
