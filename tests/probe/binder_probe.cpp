// _binder_probe: a test-only extension that drives the module's binding and
// error-translation layer through paths the public functions cannot reach
// (positional-only and keyword-only parameters, class-qualified names, faults
// with non-text payloads, a pending-error fetch with nothing pending, a result
// list that cannot be created, registration into arbitrary modules).

#include <array>
#include <span>

#include "binding/bind.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/box.hpp"
#include "binding/module_init.hpp"
#include "binding/text.hpp"

namespace {

using kelvora::binding::FunctionDescription;
using kelvora::binding::KeywordOnlyParameter;
using kelvora::binding::Outcome;
using kelvora::binding::Ref;

// Binds the arguments and returns a tuple of the slots, None where empty.
template <const FunctionDescription& D, std::size_t N>
PyObject* bound_slots(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return kelvora::binding::boundary([&]() -> Outcome<Ref> {
        std::array<PyObject*, N> slots{};
        if (auto bound = kelvora::binding::bind_arguments(D, args, nargs, kwnames, slots); !bound) {
            return std::unexpected(std::move(bound.error()));
        }
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
        if (!tuple) return std::unexpected(kelvora::binding::fetch_or_substitute());
        for (std::size_t i = 0; i < N; ++i) {
            PyObject* item = slots[i] != nullptr ? slots[i] : Py_None;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(item));
        }
        return tuple;
    });
}

constexpr const char* kABC[] = {"a", "b", "c"};
constexpr const char* kA[] = {"a"};
constexpr const char* kABCD[] = {"a", "b", "c", "d"};
constexpr KeywordOnlyParameter kKOpt[] = {{"k", true}, {"opt", false}};

constexpr FunctionDescription kPosonly{"posonly", nullptr, kABC, 2, 3, {}};
constexpr FunctionDescription kKwonly{"kwonly", nullptr, kA, 0, 1, kKOpt};
constexpr FunctionDescription kOptional{"optional", nullptr, kABC, 0, 1, {}};
constexpr FunctionDescription kOne{"one", nullptr, kA, 0, 1, {}};
constexpr FunctionDescription kFour{"four", nullptr, kABCD, 0, 4, {}};
constexpr FunctionDescription kMethod{"method", "Probe", kA, 0, 1, {}};

PyObject* panic(PyObject*, PyObject* message) {
    return kelvora::binding::boundary([&]() -> Outcome<Ref> {
        if (!PyUnicode_Check(message)) return std::unexpected(kelvora::binding::PendingError::downcast(message, "PyString"));
        kelvora::raise_fault(kelvora::binding::exact_utf8(message));
    });
}

struct OpaquePayload {};

PyObject* panic_opaque(PyObject*, PyObject*) {
    return kelvora::binding::boundary([&]() -> Outcome<Ref> { throw OpaquePayload{}; });
}

PyObject* fetch_none(PyObject*, PyObject*) {
    return kelvora::binding::boundary([&]() -> Outcome<Ref> {
        return std::unexpected(kelvora::binding::fetch_or_substitute());
    });
}

PyObject* huge_list(PyObject*, PyObject*) {
    return kelvora::binding::boundary([&]() -> Outcome<Ref> {
        // PyList_New refuses this size before any item would be read.
        return kelvora::binding::list_result(nullptr, PY_SSIZE_T_MAX);
    });
}

PyObject* refused_list(PyObject*, PyObject*) {
    return kelvora::binding::boundary([&]() -> Outcome<Ref> {
        // PyList_New rejects a negative size (SystemError) before it allocates
        // anything, the same way on every build of CPython.
        return kelvora::binding::list_result(nullptr, -1);
    });
}

PyObject* probe_fn(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { Py_RETURN_NONE; }

constexpr kelvora::binding::FunctionEntry kProbeFn{"probe_fn", probe_fn, "probe_fn()\n--\n\n"};

PyObject* register_into(PyObject*, PyObject* module) {
    return kelvora::binding::boundary([&]() -> Outcome<Ref> {
        if (auto added = kelvora::binding::add_function(module, kProbeFn); !added) {
            return std::unexpected(std::move(added.error()));
        }
        return Ref::borrow(Py_None);
    });
}

// The converter of real parameters, named "x", so faults fetched from Python
// code can be resumed within this extension's own PanicException type.
PyObject* to_real(PyObject*, PyObject* object) {
    return kelvora::binding::boundary([&]() -> Outcome<Ref> {
        auto value = kelvora::binding::real_argument(object, "x");
        if (!value) return std::unexpected(std::move(value.error()));
        return kelvora::binding::float_result(*value);
    });
}

// The sequence converter, with and without its fast paths: the same object
// through both must give the same values or the same error.
template <bool Generic>
PyObject* to_reals(PyObject*, PyObject* object) {
    return kelvora::binding::boundary([&]() -> Outcome<Ref> {
        auto values = Generic ? kelvora::binding::to_reals_generic(object) : kelvora::binding::to_reals(object);
        if (!values) return std::unexpected(std::move(values.error()));
        return kelvora::binding::list_result(*values);
    });
}

PyObject* panic_type(PyObject*, PyObject*) {
    PyObject* type = kelvora::binding::panic_exception_type();
    return type != nullptr ? Py_NewRef(type) : nullptr;
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kMethods[] = {
    {"posonly", FASTCALL((bound_slots<kPosonly, 3>)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"kwonly", FASTCALL((bound_slots<kKwonly, 3>)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"optional", FASTCALL((bound_slots<kOptional, 3>)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"one", FASTCALL((bound_slots<kOne, 1>)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"four", FASTCALL((bound_slots<kFour, 4>)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"method", FASTCALL((bound_slots<kMethod, 1>)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"panic", panic, METH_O, nullptr},
    {"panic_opaque", panic_opaque, METH_NOARGS, nullptr},
    {"fetch_none", fetch_none, METH_NOARGS, nullptr},
    {"huge_list", huge_list, METH_NOARGS, nullptr},
    {"refused_list", refused_list, METH_NOARGS, nullptr},
    {"register_into", register_into, METH_O, nullptr},
    {"panic_type", panic_type, METH_NOARGS, nullptr},
    {"to_real", to_real, METH_O, nullptr},
    {"to_reals", to_reals<false>, METH_O, nullptr},
    {"to_reals_generic", to_reals<true>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kProbeModule = {
    PyModuleDef_HEAD_INIT, "_binder_probe", "Test-only access to kelvora's argument binder.", -1, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__binder_probe(void) { return PyModule_Create(&kProbeModule); }
