// A test-only companion module built from the same frame as zelk_core and absent from the
// wheel. Its bodies fail inside the trampoline in every way the frame must handle, so
// that the failure paths are exercised for real.
#include "module/errors.hpp"
#include "module/frame.hpp"
#include "module/trampoline.hpp"
#include "module/utf8.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

using namespace zelk;

constexpr const char* no_params[] = {""};
constexpr const char* one_param[] = {"value"};
constexpr const char* three_params[] = {"module", "name", "value"};
constexpr py::FunctionDescription none_description{"none", "none()", std::span(no_params, 0)};
constexpr py::FunctionDescription value_description{"value", "value()", one_param};
constexpr py::FunctionDescription add_description{"add_attribute", "add_attribute()", three_params};

bool no_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    return py::extract_arguments_fastcall(none_description, args, nargs, kwnames, slots);
}

PyObject* panic(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments(args, nargs, kwnames)) return nullptr;
    throw py::Panic{"probe: an internal failure"};
}

PyObject* std_failure(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments(args, nargs, kwnames)) return nullptr;
    throw std::runtime_error("probe: a standard exception");
}

PyObject* bad_alloc(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments(args, nargs, kwnames)) return nullptr;
    throw std::bad_alloc();
}

PyObject* length_error(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments(args, nargs, kwnames)) return nullptr;
    std::vector<double> huge;
    huge.reserve(huge.max_size() + 1);
    return py::build_none();
}

// A result build that fails with an error other than MemoryError: invalid UTF-8.
PyObject* bad_result(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments(args, nargs, kwnames)) return nullptr;
    return py::build_str("\xff\xfe");
}

// A result build that runs out of memory: a list too long to allocate.
PyObject* huge_result(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments(args, nargs, kwnames)) return nullptr;
    return py::build_list(std::numeric_limits<Py_ssize_t>::max());
}

// A host call that reports failure without setting an exception.
PyObject* silent_failure(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments(args, nargs, kwnames)) return nullptr;
    py::host_failed();
    return nullptr;
}

// A body that returns no result and sets no exception.
PyObject* forgetful(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_arguments(args, nargs, kwnames)) return nullptr;
    return nullptr;
}

// Converts its argument by the text-sequence rule and returns the texts read through the
// views, so that tests can feed sequences that hand out fresh strings on every access.
PyObject* texts(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(value_description, args, nargs, kwnames, slots)) return nullptr;
    py::Keep keep;
    std::vector<std::string_view> items;
    if (!py::extract_texts(slots[0], "value", items, keep)) return nullptr;
    py::Ref list(py::build_list(Py_ssize_t(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        py::list_set(list.get(), Py_ssize_t(i), py::build_str(items[i]));
    }
    return list.release();
}

// The numeric rules as the bodies use them, returning what was converted, so that tests
// can compare the buffer fast path with the plain rule element by element.
PyObject* float_list(std::span<const float> values) {
    py::Ref list(py::build_list(Py_ssize_t(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) py::list_set(list.get(), Py_ssize_t(i), py::build_float(values[i]));
    return list.release();
}

PyObject* floats32(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(value_description, args, nargs, kwnames, slots)) return nullptr;
    py::Views views;
    py::Floats32 values;
    if (!py::extract_floats32(slots[0], "value", values, views)) return nullptr;
    return float_list(values.values);
}

PyObject* matrix32(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(value_description, args, nargs, kwnames, slots)) return nullptr;
    py::Views views;
    py::Matrix32 matrix;
    if (!py::extract_matrix(slots[0], "value", matrix, views)) return nullptr;
    const std::size_t count = matrix.uniform ? matrix.count : matrix.rows.count();
    py::Ref list(py::build_list(Py_ssize_t(count)));
    for (std::size_t i = 0; i < count; ++i) {
        const std::span<const float> row = matrix.uniform ? std::span<const float>(matrix.data + i * matrix.stride, matrix.cols)
                                                          : matrix.rows.row(i);
        py::list_set(list.get(), Py_ssize_t(i), float_list(row));
    }
    return list.release();
}

// The str's code points through each UTF-8 encoder of the frame: a list of (name, result)
// where the result is the bytes written or the negative surrogate code; an encoder this
// CPU lacks gives None.
PyObject* utf8_paths(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(value_description, args, nargs, kwnames, slots)) return nullptr;
    const Py_ssize_t length = PyUnicode_GetLength(slots[0]);
    if (length < 0) return nullptr;
    std::vector<std::uint32_t> code_points(std::size_t(length) + 1);
    if (PyUnicode_AsUCS4(slots[0], reinterpret_cast<Py_UCS4*>(code_points.data()), length + 1, 1) == nullptr) {
        return nullptr;
    }
    struct Path {
        const char* name;
        py::Utf8Encoder encode;
        bool present;
    };
    const Path paths[] = {{"portable", py::utf8_portable, true}, {"ssse3", py::utf8_ssse3, py::cpu_has_ssse3()}};
    py::Ref list(py::build_list(2));
    for (std::size_t k = 0; k < 2; ++k) {
        PyObject* result = nullptr;
        if (!paths[k].present) {
            result = py::build_none();
        } else {
            std::vector<char> out(4 * std::size_t(length) + py::utf8_slack);
            const std::ptrdiff_t size = paths[k].encode(code_points.data(), std::size_t(length), out.data());
            result = size >= 0 ? py::build_bytes({out.data(), std::size_t(size)})
                               : PyLong_FromSsize_t(Py_ssize_t(size));
        }
        py::list_set(list.get(), Py_ssize_t(k), py::build_pair(py::build_str(paths[k].name), result));
    }
    return list.release();
}

// Folds the float elements into a fingerprint of every value's bits and their order.
double fingerprint(double total, std::span<const double> chunk) {
    std::uint64_t hash = 0;
    std::memcpy(&hash, &total, sizeof hash);
    for (double value : chunk) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        hash = (hash ^ bits) * 0x100000001B3u;
        hash ^= hash >> 29;
    }
    std::memcpy(&total, &hash, sizeof total);
    return total;
}

PyObject* floats_fingerprint(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(value_description, args, nargs, kwnames, slots)) return nullptr;
    double total = 0.0;
    if (!py::extract_floats_folded(slots[0], "value", fingerprint, total)) return nullptr;
    return py::build_float(total);
}

PyObject* blob(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[1] = {};
    if (!py::extract_arguments_fastcall(value_description, args, nargs, kwnames, slots)) return nullptr;
    std::span<const std::uint8_t> bytes;
    py::ByteStorage storage;
    if (!py::extract_bytes(slots[0], "value", bytes, storage)) return nullptr;
    return py::build_bytes({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

// The registration step that appends to __all__, on any module object.
PyObject* add_attribute(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3] = {};
    if (!py::extract_arguments_fastcall(add_description, args, nargs, kwnames, slots)) return nullptr;
    std::string_view name;
    if (!py::extract_text(slots[1], "name", name)) return nullptr;
    const std::string owned(name);
    if (!py::add_attribute(slots[0], owned.c_str(), slots[2])) return nullptr;
    return py::build_none();
}

constexpr py::FunctionEntry functions[] = {
    {"panic", py::entry<panic>, "panic()\n--\n\nFails with an internal failure."},
    {"std_failure", py::entry<std_failure>, "std_failure()\n--\n\nThrows a standard exception."},
    {"bad_alloc", py::entry<bad_alloc>, "bad_alloc()\n--\n\nRuns out of memory."},
    {"length_error", py::entry<length_error>, "length_error()\n--\n\nAsks for an impossible size."},
    {"bad_result", py::entry<bad_result>, "bad_result()\n--\n\nFails to build its result."},
    {"huge_result", py::entry<huge_result>, "huge_result()\n--\n\nRuns out of memory building its result."},
    {"silent_failure", py::entry<silent_failure>, "silent_failure()\n--\n\nA host failure without exception."},
    {"forgetful", py::entry<forgetful>, "forgetful()\n--\n\nReturns nothing and raises nothing."},
    {"texts", py::entry<texts>, "texts(value)\n--\n\nThe texts of a sequence of str."},
    {"floats32", py::entry<floats32>, "floats32(value)\n--\n\nThe 32-bit float elements of a sequence."},
    {"matrix32", py::entry<matrix32>, "matrix32(value)\n--\n\nThe rows of a matrix."},
    {"floats_fingerprint", py::entry<floats_fingerprint>, "floats_fingerprint(value)\n--\n\nA fingerprint of the float elements."},
    {"blob", py::entry<blob>, "blob(value)\n--\n\nThe byte elements of a sequence."},
    {"utf8_paths", py::entry<utf8_paths>, "utf8_paths(value)\n--\n\nA str's UTF-8 form by each encoder."},
    {"add_attribute", py::entry<add_attribute>, "add_attribute(module, name, value)\n--\n\nAdds a module attribute."},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_zelk_probe", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
py::Registration registration;

}  // namespace

PyMODINIT_FUNC PyInit__zelk_probe(void) {
    bool failed = false;
    if (PyObject* cached = py::registered_module(registration, "_zelk_probe", &failed)) return cached;
    if (failed) return nullptr;
    py::Ref module(PyModule_Create2(&definition, 3));
    if (!module || !py::add_functions(module.get(), functions)) return nullptr;
    registration.cell = Py_NewRef(module.get());
    return module.release();
}
