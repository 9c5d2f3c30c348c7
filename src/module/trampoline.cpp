// The trampoline and the registration steps shared by the modules built on this frame.
#include "module/trampoline.hpp"

#include "module/errors.hpp"
#include "module/frame.hpp"

#include <new>
#include <stdexcept>
#include <string>

namespace zelk::py {

namespace {

// Levels of native entry on this thread; tells nested entries (a conversion that calls
// back into the module) apart from the outermost one. The initial-exec model makes each
// access one load off the thread pointer instead of a call to the TLS resolver (the
// variable is a few bytes of the static TLS room the loader keeps for loaded modules).
__attribute__((tls_model("initial-exec"))) thread_local int entry_level = 0;

struct EntryLevel {
    EntryLevel() noexcept { ++entry_level; }
    ~EntryLevel() { --entry_level; }
    EntryLevel(const EntryLevel&) = delete;
    EntryLevel& operator=(const EntryLevel&) = delete;
};

}  // namespace

PyObject* trampoline(const Function& function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    EntryLevel level;
    try {
        // The usual call, every parameter by position and no keywords, reads the values
        // where they are; any other is matched into slots of its own.
        PyObject* slots[max_params];
        PyObject* const* matched = args;
        if (kwnames != nullptr || nargs != Py_ssize_t(function.arity)) {
            if (!match_arguments(function, args, nargs, kwnames, slots)) return nullptr;
            matched = slots;
        }
        PyObject* result = function.body(Arguments(function, matched));
        if (result == nullptr) ensure_error();
        return result;
    } catch (const Panic& panic) {
        raise_panic(panic.message);
    } catch (const ErrorPending&) {
        // the builder left its MemoryError pending
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

PyObject* registered_module(Registration& registration, const char* module_name, bool* failed) {
    *failed = true;
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = interpreter ? PyInterpreterState_GetID(interpreter) : -1;
    if (id == -1) {
        ensure_error();
        return nullptr;
    }
    std::int64_t recorded = -1;
    if (!registration.interpreter.compare_exchange_strong(recorded, id, std::memory_order_acq_rel) &&
        recorded != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it is already initialised in "
                     "another interpreter of this process",
                     module_name);
        return nullptr;
    }
    *failed = false;
    return registration.cell ? Py_NewRef(registration.cell) : nullptr;
}

bool add_attribute(PyObject* module, const char* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return ensure_error(), false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return ensure_error(), false;
        }
    }
    if (!PyList_Check(all.get())) return fail_cannot_convert(all.get(), "PyList");
    Ref key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0 || PyObject_SetAttr(module, key.get(), value) < 0) {
        return ensure_error(), false;
    }
    return true;
}

namespace {

// What the host registers for one function: the method record and the docstring it
// points to, "name(p1, p2)", "--", a blank line, then the text shown as __doc__.
struct MethodRecord {
    PyMethodDef definition;
    std::string doc;
};

std::string docstring(const Function& function) {
    std::string doc = function.name;
    doc += '(';
    for (std::size_t i = 0; i < function.arity; ++i) {
        if (i > 0) doc += ", ";
        doc += function.params[i];
    }
    doc += ")\n--\n\n";
    doc += function.doc;
    return doc;
}

}  // namespace

bool add_functions(PyObject* module, std::span<const Method> functions) {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return ensure_error(), false;
    for (const Method& function : functions) {
        // The record lives as long as the function object may: for the process.
        auto* record =
            new MethodRecord{{function.function->name,
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function.entry)),
                              METH_FASTCALL | METH_KEYWORDS, nullptr},
                             docstring(*function.function)};
        record->definition.ml_doc = record->doc.c_str();
        Ref object(PyCMethod_New(&record->definition, module, module_name.get(), nullptr));
        if (!object) return ensure_error(), false;
        Ref name(PyObject_GetAttrString(object.get(), "__name__"));
        if (!name) return ensure_error(), false;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (text == nullptr || !add_attribute(module, text, object.get())) {
            return ensure_error(), false;
        }
    }
    return true;
}

}  // namespace zelk::py
