// hash_event and verify_chain: convert their arguments, run the chain routine, build the
// hash text or the position of the first broken link.
#include "actors/chain.hpp"
#include "module/table.hpp"

namespace zelk::table {

namespace {

PyObject* hash_event_body(const py::Arguments& args) {
    std::string_view prev_hash;
    if (!args.text(0, prev_hash)) return nullptr;
    // The payload, often long, is hashed as its UTF-8 form arrives.
    actors::Sha256Stream link = actors::link_start(prev_hash);
    const auto feed = [](void* context, std::string_view piece) {
        actors::stream_feed(*static_cast<actors::Sha256Stream*>(context), piece);
    };
    if (!args.text_pieces(1, feed, &link)) return nullptr;
    return py::build_str(actors::as_view(actors::link_finish(link)));
}

PyObject* verify_chain_body(const py::Arguments& args) {
    std::string_view genesis;
    py::Keep keep;
    std::vector<py::TextPair> entries;
    if (!args.text(0, genesis)) return nullptr;
    if (!args.pairs(1, entries, keep)) return nullptr;
    const auto broken = actors::verify_chain(genesis, entries);
    return broken ? py::build_uint(*broken) : py::build_none();
}

}  // namespace

constexpr py::Function hash_event{"hash_event",
                                  {"prev_hash", "payload"},
                                  "Chained hash for an audit entry: `sha256(prev_hash || payload)`.",
                                  hash_event_body};

constexpr py::Function verify_chain{
    "verify_chain",
    {"genesis", "entries"},
    "Verify a hash chain; returns the index of the first broken link or `None`.",
    verify_chain_body};

}  // namespace zelk::table
