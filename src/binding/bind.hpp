// Binding of fast-call arguments (METH_FASTCALL | METH_KEYWORDS) to named
// parameters, with CPython-style messages for wrong, missing or surplus
// arguments.
#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "binding/pending.hpp"

namespace kelvora::binding {

struct KeywordOnlyParameter {
    const char* name;
    bool required;
};

// Static description of one function's parameters.
struct FunctionDescription {
    const char* function_name;
    const char* class_name;  // null for module-level functions
    std::span<const char* const> positional;
    std::size_t positional_only;
    std::size_t required_positional;
    std::span<const KeywordOnlyParameter> keyword_only;

    std::size_t parameter_count() const noexcept { return positional.size() + keyword_only.size(); }
};

// Fills one slot per parameter (positional ones first, then keyword-only ones)
// with a borrowed reference, or leaves it null when the argument is absent.
// `slots` must hold parameter_count() null pointers.  On failure the error is
// the TypeError CPython would give for a def with the same signature.
std::expected<void, PendingError> bind_arguments(const FunctionDescription& description,
                                                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                                 std::span<PyObject*> slots);

}  // namespace kelvora::binding
