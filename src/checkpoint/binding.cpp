// encode_checkpoint and decode_checkpoint: convert their arguments, run the codec, build
// the result.
#include "checkpoint/codec.hpp"
#include "module/table.hpp"

namespace zelk::table {

PyObject* encode_checkpoint_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(encode_checkpoint, args, nargs, kwnames, slots)) return nullptr;
    std::string_view text;
    if (!py::extract_text(slots[0], "json_str", text)) return nullptr;
    const json::Outcome outcome = checkpoint::encode_checkpoint(text);
    if (!outcome.ok()) return py::raise_value_error(outcome.error);
    return py::build_bytes(json::view(outcome.text));
}

PyObject* decode_checkpoint_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(decode_checkpoint, args, nargs, kwnames, slots)) return nullptr;
    std::span<const std::uint8_t> blob;
    py::ByteStorage storage;
    if (!py::extract_bytes(slots[0], "blob", blob, storage)) return nullptr;
    const json::Outcome outcome = checkpoint::decode_checkpoint(blob);
    if (!outcome.ok()) return py::raise_value_error(outcome.error);
    return py::build_str(json::view(outcome.text));
}

}  // namespace zelk::table
