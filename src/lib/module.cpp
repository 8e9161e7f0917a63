// The kelvora extension module: its definition, function table and the
// fast-call entry of each function.
//
// Each entry reads as: bind the arguments, convert them in parameter order,
// call the model, box the result; the boundary (binding/boundary.hpp) raises
// whatever failed and contains internal faults.

#include <array>

#include "binding/bind.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/registry.hpp"
#include "lib/integrated.hpp"
#include "lib/models.hpp"

namespace kelvora {
namespace {

using binding::FunctionDescription;
using binding::Outcome;
using binding::Ref;

template <std::size_t N>
using Slots = std::array<PyObject*, N>;

// Binds into `slots` or returns the binding error from the enclosing body.
#define KELVORA_BIND(description, slots)                                                                      \
    if (auto bound = binding::bind_arguments(description, args, nargs, kwnames, slots); !bound)                \
        return std::unexpected(std::move(bound.error()))

#define KELVORA_CONVERT(var, converter, object, name)                                                          \
    auto var = binding::converter(object, name);                                                                \
    if (!var) return std::unexpected(std::move(var.error()))

constexpr const char* kLReRstar[] = {"l", "re", "rstar"};

constexpr const char* kLRReRstar[] = {"l", "r", "re", "rstar"};
constexpr const char* kLReRstarBlBf[] = {"l", "re", "rstar", "bl", "bf"};

constexpr FunctionDescription kWittMao{"witt_mao_magnification", nullptr, kLReRstar, 0, 3, {}};
constexpr FunctionDescription kIntegratedWittMao{"integrated_witt_mao_magnification", nullptr, kLReRstar, 0, 3, {}};
constexpr FunctionDescription kIntegratedFluxMapWittMao{
    "integrated_flux_map_witt_mao_magnification", nullptr, kLReRstarBlBf, 0, 5, {}};
constexpr FunctionDescription kIntegratedHeyrovsky{"integrated_heyrovsky_magnification", nullptr, kLReRstar, 0, 3, {}};
constexpr FunctionDescription kIntegratedFluxMapHeyrovsky{
    "integrated_flux_map_heyrovsky_magnification", nullptr, kLReRstarBlBf, 0, 5, {}};
constexpr FunctionDescription kHeyrovsky{"heyrovsky_magnification", nullptr, kLRReRstar, 0, 4, {}};
constexpr FunctionDescription kDiscreteFluxMapHeyrovsky{
    "discrete_flux_map_heyrovsky_magnification", nullptr, kLReRstarBlBf, 0, 5, {}};

PyObject* witt_mao_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::boundary([&]() -> Outcome<Ref> {
        Slots<3> slots{};
        KELVORA_BIND(kWittMao, slots);
        KELVORA_CONVERT(l, reals_argument, slots[0], "l");
        KELVORA_CONVERT(re, real_argument, slots[1], "re");
        KELVORA_CONVERT(rstar, real_argument, slots[2], "rstar");
        auto result = witt_mao_magnification(std::move(*l), *re, *rstar);
        if (!result) return std::unexpected(binding::numeric_error(result.error()));
        return binding::list_result(*result);
    });
}

PyObject* integrated_witt_mao_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::boundary([&]() -> Outcome<Ref> {
        Slots<3> slots{};
        KELVORA_BIND(kIntegratedWittMao, slots);
        KELVORA_CONVERT(l, reals_argument, slots[0], "l");
        KELVORA_CONVERT(re, real_argument, slots[1], "re");
        KELVORA_CONVERT(rstar, real_argument, slots[2], "rstar");
        auto result = integrated_witt_mao_magnification(std::move(*l), *re, *rstar);
        if (!result) return std::unexpected(binding::numeric_error(result.error()));
        return binding::list_result(*result);
    });
}

PyObject* integrated_flux_map_witt_mao_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    return binding::boundary([&]() -> Outcome<Ref> {
        Slots<5> slots{};
        KELVORA_BIND(kIntegratedFluxMapWittMao, slots);
        KELVORA_CONVERT(l, reals_argument, slots[0], "l");
        KELVORA_CONVERT(re, real_argument, slots[1], "re");
        KELVORA_CONVERT(rstar, real_argument, slots[2], "rstar");
        KELVORA_CONVERT(bl, reals_argument, slots[3], "bl");
        KELVORA_CONVERT(bf, reals_argument, slots[4], "bf");
        auto result = integrated_flux_map_witt_mao_magnification(std::move(*l), *re, *rstar, *bl, *bf);
        if (!result) return std::unexpected(binding::numeric_error(result.error()));
        return binding::list_result(*result);
    });
}

PyObject* integrated_heyrovsky_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::boundary([&]() -> Outcome<Ref> {
        Slots<3> slots{};
        KELVORA_BIND(kIntegratedHeyrovsky, slots);
        KELVORA_CONVERT(l, reals_argument, slots[0], "l");
        KELVORA_CONVERT(re, real_argument, slots[1], "re");
        KELVORA_CONVERT(rstar, real_argument, slots[2], "rstar");
        return binding::list_result(integrated_heyrovsky_magnification(std::move(*l), *re, *rstar));
    });
}

PyObject* integrated_flux_map_heyrovsky_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    return binding::boundary([&]() -> Outcome<Ref> {
        Slots<5> slots{};
        KELVORA_BIND(kIntegratedFluxMapHeyrovsky, slots);
        KELVORA_CONVERT(l, reals_argument, slots[0], "l");
        KELVORA_CONVERT(re, real_argument, slots[1], "re");
        KELVORA_CONVERT(rstar, real_argument, slots[2], "rstar");
        KELVORA_CONVERT(bl, reals_argument, slots[3], "bl");
        KELVORA_CONVERT(bf, reals_argument, slots[4], "bf");
        return binding::list_result(
            integrated_flux_map_heyrovsky_magnification(std::move(*l), *re, *rstar, *bl, *bf));
    });
}

PyObject* heyrovsky_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::boundary([&]() -> Outcome<Ref> {
        Slots<4> slots{};
        KELVORA_BIND(kHeyrovsky, slots);
        KELVORA_CONVERT(l, real_argument, slots[0], "l");
        KELVORA_CONVERT(r, real_argument, slots[1], "r");
        KELVORA_CONVERT(re, real_argument, slots[2], "re");
        KELVORA_CONVERT(rstar, real_argument, slots[3], "rstar");
        const auto result = heyrovsky_magnification(*l, *r, *re, *rstar);
        if (!result) return std::unexpected(binding::numeric_error(result.error()));
        return binding::float_result(*result);
    });
}

PyObject* discrete_flux_map_heyrovsky_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    return binding::boundary([&]() -> Outcome<Ref> {
        Slots<5> slots{};
        KELVORA_BIND(kDiscreteFluxMapHeyrovsky, slots);
        KELVORA_CONVERT(l, reals_argument, slots[0], "l");
        KELVORA_CONVERT(re, real_argument, slots[1], "re");
        KELVORA_CONVERT(rstar, real_argument, slots[2], "rstar");
        KELVORA_CONVERT(bl, reals_argument, slots[3], "bl");
        KELVORA_CONVERT(bf, reals_argument, slots[4], "bf");
        auto result = discrete_flux_map_heyrovsky_magnification(std::move(*l), *re, *rstar, *bl, *bf);
        if (!result) return std::unexpected(binding::numeric_error(result.error()));
        return binding::list_result(*result);
    });
}

#undef KELVORA_BIND
#undef KELVORA_CONVERT

constexpr binding::FunctionEntry kFunctions[] = {
    {"witt_mao_magnification", witt_mao_entry, "witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_witt_mao_magnification", integrated_witt_mao_entry,
     "integrated_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_witt_mao_magnification", integrated_flux_map_witt_mao_entry,
     "integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"heyrovsky_magnification", heyrovsky_entry, "heyrovsky_magnification(l, r, re, rstar)\n--\n\n"},
    {"integrated_heyrovsky_magnification", integrated_heyrovsky_entry,
     "integrated_heyrovsky_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_heyrovsky_magnification", integrated_flux_map_heyrovsky_entry,
     "integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"discrete_flux_map_heyrovsky_magnification", discrete_flux_map_heyrovsky_entry,
     "discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
};

binding::ModuleDefinition g_module{
    .def =
        {
            .m_base = PyModuleDef_HEAD_INIT,
            .m_name = "kelvora",
            .m_doc = "A Python module implemented in C++.",
            .m_size = 0,
            .m_methods = nullptr,
            .m_slots = nullptr,
            .m_traverse = nullptr,
            .m_clear = nullptr,
            .m_free = nullptr,
        },
    .functions = kFunctions,
};

}  // namespace
}  // namespace kelvora

PyMODINIT_FUNC PyInit_kelvora(void) { return kelvora::binding::initialise_module(kelvora::g_module); }
