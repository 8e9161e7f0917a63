// Module initialisation: single-phase init with a per-process module cache
// and owner interpreter, and registration of the fast-call functions of a
// function table (binding/function.hpp makes the table).
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <span>

#include "binding/pending.hpp"

namespace kelvora::binding {

// One row of the function table.  `doc` is exactly the text signature block
// "name(params)\n--\n\n", so __text_signature__ is "(params)" and __doc__ None.
struct FunctionEntry {
    const char* name;
    PyCFunctionFastWithKeywords entry;
    const char* doc;
};

// A CPython module definition followed by this module's own fields.
struct ModuleDefinition {
    PyModuleDef def;
    std::atomic<std::int64_t> owner_interpreter{-1};
    std::atomic<PyObject*> module{nullptr};
    std::span<const FunctionEntry> functions;
};

// The whole of PyInit_<name>: claims the module for the first interpreter,
// returns the cached module on re-initialisation, or creates, declares the
// GIL need (free-threaded builds), registers every function and caches it.
PyObject* initialise_module(ModuleDefinition& definition) noexcept;

// Registers one function on `module`: a PyCMethod with the module as self,
// appended by its __name__ to the module's __all__ (created when absent) and
// set as the module attribute of that name.
std::expected<void, PendingError> add_function(PyObject* module, const FunctionEntry& function);

}  // namespace kelvora::binding
