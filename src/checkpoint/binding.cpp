// encode_checkpoint and decode_checkpoint: convert their arguments; the codec comes with its own change.
#include "module/table.hpp"

namespace zelk::table {

PyObject* encode_checkpoint_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(encode_checkpoint, args, nargs, kwnames, slots)) return nullptr;
    std::string_view text;
    if (!py::extract_text(slots[0], "json_str", text)) return nullptr;
    throw py::Panic{"encode_checkpoint is not built yet"};
}

PyObject* decode_checkpoint_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(decode_checkpoint, args, nargs, kwnames, slots)) return nullptr;
    std::vector<std::uint8_t> blob;
    if (!py::extract_bytes(slots[0], "blob", blob)) return nullptr;
    throw py::Panic{"decode_checkpoint is not built yet"};
}

}  // namespace zelk::table
