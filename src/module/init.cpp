// Module initialisation of zelk_core: the function table, the module attributes, the
// interpreter guard and the module cell (single-phase initialisation).
#include "module/table.hpp"
#include "module/trampoline.hpp"

#include <new>

namespace zelk {

namespace {

constexpr auto functions = py::methods_of<table::functions>();

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "zelk_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

py::Registration registration;

PyObject* build_module() {
    py::Ref module(PyModule_Create2(&definition, 3));
    if (!module) return nullptr;
    py::Ref version(PyUnicode_FromString("0.1.0"));
    if (!version || !py::add_attribute(module.get(), "__version__", version.get()) ||
        !py::add_attribute(module.get(), "RUST", Py_True) || !py::add_functions(module.get(), functions)) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

}  // namespace zelk

PyMODINIT_FUNC PyInit_zelk_core(void) {
    using namespace zelk;
    try {
        bool failed = false;
        if (PyObject* cached = py::registered_module(registration, "zelk_core", &failed)) return cached;
        if (failed) return nullptr;
        PyObject* module = build_module();
        if (module == nullptr) return nullptr;
        registration.cell = Py_NewRef(module);
        return module;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
