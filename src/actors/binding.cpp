// hash_event and verify_chain: convert their arguments, run the chain routine, build the
// hash text or the position of the first broken link.
#include "actors/chain.hpp"
#include "module/table.hpp"

namespace zelk::table {

PyObject* hash_event_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {};
    if (!py::extract_arguments_fastcall(hash_event, args, nargs, kwnames, slots)) return nullptr;
    std::string_view prev_hash;
    if (!py::extract_text(slots[0], "prev_hash", prev_hash)) return nullptr;
    // The payload, often long, is hashed as its UTF-8 form arrives.
    actors::Sha256Stream link = actors::link_start(prev_hash);
    const auto feed = [](void* context, std::string_view piece) {
        actors::stream_feed(*static_cast<actors::Sha256Stream*>(context), piece);
    };
    if (!py::extract_text_pieces(slots[1], "payload", feed, &link)) return nullptr;
    return py::build_str(actors::as_view(actors::link_finish(link)));
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
