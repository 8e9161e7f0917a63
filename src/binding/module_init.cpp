#include "binding/module_init.hpp"

#include <string>

#include "binding/boundary.hpp"
#include "binding/text.hpp"
#include "lib/fault.hpp"

namespace kelvora::binding {
namespace {

constexpr const char kSubinterpreterMessage[] =
    "C++ extension modules such as kelvora do not yet support subinterpreters, "
    "see the 'Subinterpreters' section of kelvora's README.md";

// An interned attribute name, made once per process.
PyObject* interned(std::atomic<PyObject*>& cell, const char* text) {
    if (PyObject* name = cell.load(std::memory_order_acquire)) return name;
    PyObject* made = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(std::char_traits<char>::length(text)));
    if (made == nullptr) return nullptr;
    PyUnicode_InternInPlace(&made);
    return publish_once(cell, made);
}

std::atomic<PyObject*> g_name_attr{nullptr};
std::atomic<PyObject*> g_all_attr{nullptr};

std::unexpected<PendingError> failed() { return std::unexpected(fetch_or_substitute()); }

// Debug rendering of a Python error: its type, value and traceback.
std::string render_error(PendingError& error) {
    PyObject* exc = error.instance();
    if (exc == nullptr) return "PyErr { <unavailable> }";
    Ref traceback = Ref::steal(PyException_GetTraceback(exc));
    Ref text = Ref::steal(PyUnicode_FromFormat("PyErr { type: %R, value: %R, traceback: %R }",
                                               reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc,
                                               traceback ? traceback.get() : Py_None));
    if (!text) {
        PyErr_Clear();
        return "PyErr { <unprintable> }";
    }
    return lossy_utf8(text.get());
}

std::expected<void, PendingError> register_all(PyObject* module, std::span<const FunctionEntry> functions) {
    for (const FunctionEntry& function : functions) {
        if (auto added = add_function(module, function); !added) return added;
    }
    return {};
}

}  // namespace

std::expected<void, PendingError> add_function(PyObject* module, const FunctionEntry& function) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return failed();

    // The definition record lives for the rest of the process: the function
    // object keeps a pointer to it.
    auto* method = new PyMethodDef{function.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function.entry)),
                                   METH_FASTCALL | METH_KEYWORDS, function.doc};
    Ref callable = Ref::steal(PyCMethod_New(method, module, module_name.get(), nullptr));
    if (!callable) return failed();

    PyObject* name_attr = interned(g_name_attr, "__name__");
    if (name_attr == nullptr) return failed();
    Ref name = Ref::steal(PyObject_GetAttr(callable.get(), name_attr));
    if (!name) return failed();
    if (!PyUnicode_Check(name.get())) return std::unexpected(PendingError::downcast(name.get(), "PyString"));

    PyObject* all_attr = interned(g_all_attr, "__all__");
    if (all_attr == nullptr) return failed();
    Ref all = Ref::steal(PyObject_GetAttr(module, all_attr));
    if (!all) {
        PendingError lookup = fetch_or_substitute();
        if (!PyErr_GivenExceptionMatches(lookup.type(), PyExc_AttributeError)) return std::unexpected(std::move(lookup));
        all = Ref::steal(PyList_New(0));
        if (!all) return failed();
        if (PyObject_SetAttr(module, all_attr, all.get()) < 0) return failed();
    } else if (!PyList_Check(all.get())) {
        return std::unexpected(PendingError::downcast(all.get(), "PyList"));
    }

    if (PyList_Append(all.get(), name.get()) < 0) {
        PendingError error = fetch_or_substitute();
        raise_fault("could not append __name__ to __all__: " + render_error(error));
    }
    if (PyObject_SetAttr(module, name.get(), callable.get()) < 0) return failed();
    return {};
}

PyObject* initialise_module(ModuleDefinition& definition) noexcept {
    return boundary([&]() -> Outcome<Ref> {
        const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) return failed();

        // The first interpreter to initialise the module owns it for good.
        std::int64_t owner = -1;
        if (!definition.owner_interpreter.compare_exchange_strong(owner, id, std::memory_order_acq_rel) &&
            owner != id) {
            return std::unexpected(PendingError::fixed(PyExc_ImportError, kSubinterpreterMessage));
        }

        if (PyObject* cached = definition.module.load(std::memory_order_acquire)) return Ref::borrow(cached);

        Ref module = Ref::steal(PyModule_Create2(&definition.def, 1013));
        if (!module) return failed();
#ifdef Py_GIL_DISABLED
        // The functions share no state, but the module has not been audited
        // for running without the GIL: ask CPython to keep it enabled.
        if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return failed();
#endif
        if (auto registered = register_all(module.get(), definition.functions); !registered) {
            return std::unexpected(std::move(registered.error()));
        }

        // The cache keeps the module's own reference (when another thread
        // cached one first, that one is used and this one released); the
        // caller gets another.
        return Ref::borrow(publish_once(definition.module, module.release()));
    });
}

}  // namespace kelvora::binding
