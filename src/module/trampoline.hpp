// The common wrapper through which the host enters every function, and the module
// registration steps shared by every module built on this frame.
#pragma once

#include "module/frame.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>

namespace zelk::py {

// Matches the values to the parameters of `function` and runs its body, then turns the
// outcome into the host's protocol: a result is returned; a pending error is left raised
// (nullptr); an internal failure raises PanicException; running out of memory raises
// MemoryError.
PyObject* trampoline(const Function& function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;

// The fast-call entry of one function: hands its values and its record to the trampoline.
template <const Function& function>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline(function, args, nargs, kwnames);
}

// One function of a module's table: its record and its entry point.
struct Method {
    const Function* function;
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
};

// The table of the functions that `list`, a constant array of pointers to records, names,
// in its order.
template <const auto& list>
constexpr auto methods_of() {
    return []<std::size_t... i>(std::index_sequence<i...>) {
        return std::array<Method, sizeof...(i)>{Method{list[i], entry<*list[i]>}...};
    }(std::make_index_sequence<std::size(list)>());
}

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

// Creates each function object (module as __self__, module name as __module__, the
// docstring "name(p1, p2)\n--\n\ntext" that carries its text signature) and adds it under
// its __name__. Returns false with an exception set.
bool add_functions(PyObject* module, std::span<const Method> functions);

}  // namespace zelk::py
