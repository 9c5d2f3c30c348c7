// Error helpers shared by the frame's own files (not by binding bodies).
#pragma once

#include "module/python.hpp"

#include <string>
#include <string_view>

namespace zelk::py {

// Thrown to unwind a body while a Python exception stays pending (MemoryError from a
// result builder); the trampoline returns nullptr without touching it.
struct ErrorPending {};

// The pending error, taken out of the host's error indicator for the scope: `restore`
// puts it back (it is pending again); one not restored is dropped when the scope ends.
class FetchedError {
public:
    FetchedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    FetchedError(const FetchedError&) = delete;
    FetchedError& operator=(const FetchedError&) = delete;
    ~FetchedError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    PyObject* type() const noexcept { return type_; }
    // The exception object itself (instantiated from the type if it was not yet).
    PyObject* value() noexcept {
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        return value_;
    }
    void restore() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The internal-failure exception type, created on first use and kept for the process.
// Returns nullptr with an exception set if it cannot be created.
PyObject* panic_type();

// The type if it was created already, else nullptr; never creates it.
PyObject* panic_type_if_created();

// Raises PanicException with `message` as its single argument.
void raise_panic(std::string_view message);

// Called after a host call reported failure during argument conversion. Makes sure an
// exception is pending (SystemError when the host set none) and, when the pending
// exception is a PanicException raised by user code, reports it on standard error and
// throws it on as an internal failure. Always returns false.
bool host_failed();

// Same as host_failed for module initialisation: no PanicException handling.
void ensure_error();

// The qualified name of an object's type, or "<failed to extract type name>".
PyObject* type_qualname(PyObject* obj);  // new reference, never null unless out of memory

// Sets TypeError "'{type}' object cannot be converted to '{target}'".
bool fail_cannot_convert(PyObject* obj, const char* target);

// UTF-8 text of a str, or an empty view when it has none (errors cleared).
std::string_view utf8_or_empty(PyObject* str);

}  // namespace zelk::py
