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

PyObject* panic(const py::Arguments&) { throw py::Panic{"probe: an internal failure"}; }

PyObject* std_failure(const py::Arguments&) { throw std::runtime_error("probe: a standard exception"); }

PyObject* bad_alloc(const py::Arguments&) { throw std::bad_alloc(); }

PyObject* length_error(const py::Arguments&) {
    std::vector<double> huge;
    huge.reserve(huge.max_size() + 1);
    return py::build_none();
}

// A result build that fails with an error other than MemoryError: invalid UTF-8.
PyObject* bad_result(const py::Arguments&) { return py::build_str("\xff\xfe"); }

// A result build that runs out of memory: a list too long to allocate.
PyObject* huge_result(const py::Arguments&) { return py::build_list(std::numeric_limits<Py_ssize_t>::max()); }

// A host call that reports failure without setting an exception.
PyObject* silent_failure(const py::Arguments&) {
    py::host_failed();
    return nullptr;
}

// A body that returns no result and sets no exception.
PyObject* forgetful(const py::Arguments&) { return nullptr; }

// Converts its argument by the text-sequence rule and returns the texts read through the
// views, so that tests can feed sequences that hand out fresh strings on every access.
PyObject* texts(const py::Arguments& args) {
    py::Keep keep;
    std::vector<std::string_view> items;
    if (!args.texts(0, items, keep)) return nullptr;
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
    for (std::size_t i = 0; i < values.size(); ++i)
        py::list_set(list.get(), Py_ssize_t(i), py::build_float(values[i]));
    return list.release();
}

PyObject* floats32(const py::Arguments& args) {
    py::Views views;
    py::Floats32 values;
    if (!args.floats32(0, values, views)) return nullptr;
    return float_list(values.values);
}

PyObject* matrix32(const py::Arguments& args) {
    py::Views views;
    py::Matrix32 matrix;
    if (!args.matrix(0, matrix, views)) return nullptr;
    py::Ref list(py::build_list(Py_ssize_t(matrix.matrix.rows)));
    for (std::size_t i = 0; i < matrix.matrix.rows; ++i)
        py::list_set(list.get(), Py_ssize_t(i), float_list(matrix.matrix.row(i)));
    return list.release();
}

// The str's code points through each UTF-8 encoder of the frame: a list of (name, result)
// where the result is the bytes written or the negative surrogate code; an encoder this
// CPU lacks gives None.
PyObject* utf8_paths(const py::Arguments& args) {
    const Py_ssize_t length = PyUnicode_GetLength(args[0]);
    if (length < 0) return nullptr;
    std::vector<std::uint32_t> code_points(std::size_t(length) + 1);
    if (PyUnicode_AsUCS4(args[0], reinterpret_cast<Py_UCS4*>(code_points.data()), length + 1, 1) == nullptr) {
        return nullptr;
    }
    struct Path {
        const char* name;
        py::Utf8Encoder encode;
        bool present;
    };
    const Path paths[] = {{"portable", py::utf8_portable, true},
                          {"ssse3", py::utf8_ssse3, py::cpu_has_ssse3()}};
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

PyObject* floats_fingerprint(const py::Arguments& args) {
    double total = 0.0;
    if (!args.floats_folded(0, fingerprint, total)) return nullptr;
    return py::build_float(total);
}

PyObject* blob(const py::Arguments& args) {
    std::span<const std::uint8_t> bytes;
    py::ByteStorage storage;
    if (!args.bytes(0, bytes, storage)) return nullptr;
    return py::build_bytes({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

// The registration step that appends to __all__, on any module object.
PyObject* add_attribute(const py::Arguments& args) {
    std::string_view name;
    if (!args.text(1, name)) return nullptr;
    const std::string owned(name);
    if (!py::add_attribute(args[0], owned.c_str(), args[2])) return nullptr;
    return py::build_none();
}

constexpr py::Function panic_function{"panic", {}, "Fails with an internal failure.", panic};
constexpr py::Function std_failure_function{"std_failure", {}, "Throws a standard exception.", std_failure};
constexpr py::Function bad_alloc_function{"bad_alloc", {}, "Runs out of memory.", bad_alloc};
constexpr py::Function length_error_function{
    "length_error", {}, "Asks for an impossible size.", length_error};
constexpr py::Function bad_result_function{"bad_result", {}, "Fails to build its result.", bad_result};
constexpr py::Function huge_result_function{
    "huge_result", {}, "Runs out of memory building its result.", huge_result};
constexpr py::Function silent_failure_function{
    "silent_failure", {}, "A host failure without exception.", silent_failure};
constexpr py::Function forgetful_function{"forgetful", {}, "Returns nothing and raises nothing.", forgetful};
constexpr py::Function texts_function{"texts", {"value"}, "The texts of a sequence of str.", texts};
constexpr py::Function floats32_function{
    "floats32", {"value"}, "The 32-bit float elements of a sequence.", floats32};
constexpr py::Function matrix32_function{"matrix32", {"value"}, "The rows of a matrix.", matrix32};
constexpr py::Function floats_fingerprint_function{
    "floats_fingerprint", {"value"}, "A fingerprint of the float elements.", floats_fingerprint};
constexpr py::Function blob_function{"blob", {"value"}, "The byte elements of a sequence.", blob};
constexpr py::Function utf8_paths_function{
    "utf8_paths", {"value"}, "A str's UTF-8 form by each encoder.", utf8_paths};
constexpr py::Function add_attribute_function{
    "add_attribute", {"module", "name", "value"}, "Adds a module attribute.", add_attribute};

constexpr const py::Function* functions[] = {
    &panic_function,      &std_failure_function, &bad_alloc_function,      &length_error_function,
    &bad_result_function, &huge_result_function, &silent_failure_function, &forgetful_function,
    &texts_function,      &floats32_function,    &matrix32_function,       &floats_fingerprint_function,
    &blob_function,       &utf8_paths_function,  &add_attribute_function,
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_zelk_probe", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
py::Registration registration;

}  // namespace

PyMODINIT_FUNC PyInit__zelk_probe(void) {
    bool failed = false;
    if (PyObject* cached = py::registered_module(registration, "_zelk_probe", &failed)) return cached;
    if (failed) return nullptr;
    py::Ref module(PyModule_Create2(&definition, 3));
    if (!module || !py::add_functions(module.get(), py::methods_of<functions>())) return nullptr;
    registration.cell = Py_NewRef(module.get());
    return module.release();
}
