// The common wrapper through which the host enters every function, and the module
// registration steps shared by every module built on this frame.
#pragma once

#include "module/python.hpp"

#include <atomic>
#include <cstdint>
#include <span>

namespace zelk::py {

using Body = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Runs `body` and turns its outcome into the host's protocol: a result is returned; a
// pending error is left raised (nullptr); an internal failure raises PanicException;
// running out of memory raises MemoryError.
PyObject* trampoline(Body body, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The fast-call entry of one function: hands its values and its body to the trampoline.
template <Body body>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return trampoline(body, args, nargs, kwnames);
}

// One function of a module's table: name, entry point and the docstring that carries the
// text signature ("name(params)\n--\n\ntext").
struct FunctionEntry {
    const char* name;
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
    const char* doc;
};

// Process-wide registration state of one module: the interpreter that first initialised
// it and, after the first successful initialisation, the module itself.
struct Registration {
    std::atomic<std::int64_t> interpreter{-1};
    PyObject* cell = nullptr;
};

// Interpreter guard and module cell. Returns a new reference to the cached module, or
// nullptr with `*failed` false when the module must be built now, or nullptr with
// `*failed` true and an exception set (another interpreter, or a host failure).
PyObject* registered_module(Registration& registration, const char* module_name, bool* failed);

// Appends `name` to the module's __all__ (creating it as a list when absent) and sets
// the attribute. Returns false with an exception set.
bool add_attribute(PyObject* module, const char* name, PyObject* value);

// Creates each function object (module as __self__, module name as __module__) and adds it
// under its __name__. Returns false with an exception set.
bool add_functions(PyObject* module, std::span<const FunctionEntry> functions);

}  // namespace zelk::py
