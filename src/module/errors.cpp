// Error plumbing: the PanicException type, missing-exception substitution, type names.
#include "module/errors.hpp"

#include "module/frame.hpp"

namespace zelk::py {

namespace {

constexpr const char* panic_doc =
    "\nThe exception raised when the native code of the module fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it is\n"
    "not caught by ordinary handlers and typically propagates through the whole stack\n"
    "and ends the interpreter.\n";

// Created once per process under the interpreter lock; never released.
PyObject*& panic_slot() {
    static PyObject* type = nullptr;
    return type;
}

}  // namespace

PyObject* panic_type() {
    PyObject*& slot = panic_slot();
    if (slot == nullptr) {
        slot =
            PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException, nullptr);
    }
    return slot;
}

PyObject* panic_type_if_created() { return panic_slot(); }

void raise_panic(std::string_view message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;
    Ref text(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void ensure_error() {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

bool host_failed() {
    ensure_error();
    PyObject* panic = panic_type_if_created();
    if (panic == nullptr || !PyErr_ExceptionMatches(panic)) return false;

    // A PanicException raised by user code during conversion: report it with its
    // traceback, then end the call as an internal failure carrying its message.
    FetchedError caught;
    std::string message = "PanicException";
    if (PyObject* value = caught.value()) {
        Ref text(PyObject_Str(value));
        if (text) {
            message = std::string(utf8_or_empty(text.get()));
        } else {
            PyErr_Clear();
        }
    }
    PySys_WriteStderr(
        "zelk_core: a PanicException was raised while converting an argument; "
        "it is raised again from the native call. Its traceback:\n");
    caught.restore();
    PyErr_Print();
    throw Panic{std::move(message)};
}

PyObject* type_qualname(PyObject* obj) {
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (name == nullptr) {
        PyErr_Clear();
        name = PyUnicode_FromString("<failed to extract type name>");
    }
    return name;
}

bool fail_cannot_convert(PyObject* obj, const char* target) {
    Ref name(type_qualname(obj));
    if (!name) return host_failed();
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    return false;
}

std::string_view utf8_or_empty(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {data, std::size_t(size)};
}

}  // namespace zelk::py
