// The trampoline and the registration steps shared by the modules built on this frame.
#include "module/trampoline.hpp"

#include "module/errors.hpp"
#include "module/frame.hpp"

#include <new>
#include <stdexcept>

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

PyObject* trampoline(Body body, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    EntryLevel level;
    try {
        PyObject* result = body(args, nargs, kwnames);
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
    if (!key || PyList_Append(all.get(), key.get()) < 0 ||
        PyObject_SetAttr(module, key.get(), value) < 0) {
        return ensure_error(), false;
    }
    return true;
}

bool add_functions(PyObject* module, std::span<const FunctionEntry> functions) {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return ensure_error(), false;
    for (const FunctionEntry& function : functions) {
        // The method record lives as long as the function object may: for the process.
        auto* method = new PyMethodDef{function.name, reinterpret_cast<PyCFunction>(
                                                          reinterpret_cast<void (*)()>(function.entry)),
                                       METH_FASTCALL | METH_KEYWORDS, function.doc};
        Ref object(PyCMethod_New(method, module, module_name.get(), nullptr));
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
