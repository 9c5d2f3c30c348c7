// encode_checkpoint and decode_checkpoint: convert their arguments, run the codec, build
// the result.
#include "checkpoint/codec.hpp"
#include "module/table.hpp"

#include <cstring>

namespace zelk::table {

namespace {

PyObject* encode_checkpoint_body(const py::Arguments& args) {
    std::string_view text;
    if (!args.text(0, text)) return nullptr;
    // A text already in compact form frames to exactly its own size plus the header: the
    // frame is printed straight into a bytes object of that size, which is returned when
    // the frame fills it. Otherwise (the limited API cannot shrink a bytes object) the
    // frame is copied into one of its own size.
    const std::size_t size = checkpoint::header_size + text.size();
    char* block = nullptr;
    py::Ref blob(py::build_bytes_to_fill(size, block));
    const json::Outcome outcome = checkpoint::encode_checkpoint(text, {block, size});
    if (!outcome.ok()) return py::raise_value_error(outcome.error);
    if (outcome.text.size != size) return py::build_bytes(json::view(outcome.text));
    // The same size, but printed elsewhere once a token needed room past the end.
    if (outcome.text.data.get() != block) std::memcpy(block, outcome.text.data.get(), size);
    return blob.release();
}

PyObject* decode_checkpoint_body(const py::Arguments& args) {
    std::span<const std::uint8_t> blob;
    py::ByteStorage storage;
    if (!args.bytes(0, blob, storage)) return nullptr;
    const json::Outcome outcome = checkpoint::decode_checkpoint(blob);
    if (!outcome.ok()) return py::raise_value_error(outcome.error);
    return py::build_str(json::view(outcome.text));
}

}  // namespace

constexpr py::Function encode_checkpoint{"encode_checkpoint",
                                         {"json_str"},
                                         "Encode a JSON document string into a framed checkpoint blob.",
                                         encode_checkpoint_body};

constexpr py::Function decode_checkpoint{"decode_checkpoint",
                                         {"blob"},
                                         "Decode a framed checkpoint blob back into a JSON string.",
                                         decode_checkpoint_body};

}  // namespace zelk::table
