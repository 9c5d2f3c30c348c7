// Result builders: native results to new host objects. A failed build never returns:
// MemoryError stays pending and is raised as it is; any other failure is printed to
// standard error and becomes the internal failure "Python API call failed".
#include "module/errors.hpp"
#include "module/frame.hpp"

namespace zelk::py {

namespace {

[[noreturn]] void builder_failed() {
    if (PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        throw ErrorPending{};
    }
    PyErr_Print();
    throw Panic{"Python API call failed"};
}

PyObject* checked(PyObject* built) {
    if (built == nullptr) builder_failed();
    return built;
}

}  // namespace

PyObject* build_str(std::string_view utf8) {
    return checked(PyUnicode_FromStringAndSize(utf8.data(), Py_ssize_t(utf8.size())));
}

PyObject* build_bytes(std::string_view bytes) {
    return checked(PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size())));
}

PyObject* build_bytes_to_fill(std::size_t size, char*& storage) {
    PyObject* bytes = checked(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
    storage = PyBytes_AsString(bytes);
    return bytes;
}

PyObject* build_float(double value) { return checked(PyFloat_FromDouble(value)); }

PyObject* build_uint(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

PyObject* build_none() { return Py_NewRef(Py_None); }

PyObject* build_list(Py_ssize_t size) { return checked(PyList_New(size)); }

void list_set(PyObject* list, Py_ssize_t i, PyObject* item) {
    if (PyList_SetItem(list, i, item) < 0) builder_failed();
}

PyObject* build_pair(PyObject* first, PyObject* second) {
    Ref a(first);
    Ref b(second);
    Ref pair(checked(PyTuple_New(2)));
    if (PyTuple_SetItem(pair.get(), 0, a.release()) < 0) builder_failed();
    if (PyTuple_SetItem(pair.get(), 1, b.release()) < 0) builder_failed();
    return pair.release();
}

}  // namespace zelk::py
