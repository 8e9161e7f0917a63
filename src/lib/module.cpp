// The kelvora extension module: its definition and its seven functions, each
// declared once (binding/function.hpp produces the descriptor, the text
// signature, the fast-call entry and the table row from the declaration).
// The table's order is the order of registration and of __all__.

#include "binding/function.hpp"
#include "binding/module_init.hpp"
#include "lib/integrated.hpp"
#include "lib/models.hpp"

namespace kelvora {
namespace {

using binding::as_float;
using binding::as_list;
using binding::declare;
using binding::Real;
using binding::Reals;

// Uniform disk (Witt & Mao 1994).
constexpr auto kWittMao =
    declare("witt_mao_magnification", witt_mao_magnification, as_list, Reals{"l"}, Real{"re"}, Real{"rstar"});
// The disk integrated against the default limb-darkening profile, divided by
// its stored flux.
constexpr auto kIntegratedWittMao = declare("integrated_witt_mao_magnification", integrated_witt_mao_magnification,
                                            as_list, Reals{"l"}, Real{"re"}, Real{"rstar"});
// The disk integrated against a caller's flux map (radii, brightnesses).
constexpr auto kIntegratedFluxMapWittMao =
    declare("integrated_flux_map_witt_mao_magnification", integrated_flux_map_witt_mao_magnification, as_list,
            Reals{"l"}, Real{"re"}, Real{"rstar"}, Reals{"bl"}, Reals{"bf"});
// One thin ring.
constexpr auto kHeyrovsky = declare("heyrovsky_magnification", heyrovsky_magnification, as_float, Real{"l"},
                                    Real{"r"}, Real{"re"}, Real{"rstar"});
// Rings integrated against the default limb-darkening profile.
constexpr auto kIntegratedHeyrovsky = declare("integrated_heyrovsky_magnification", integrated_heyrovsky_magnification,
                                              as_list, Reals{"l"}, Real{"re"}, Real{"rstar"});
// Rings integrated against a caller's flux map.
constexpr auto kIntegratedFluxMapHeyrovsky =
    declare("integrated_flux_map_heyrovsky_magnification", integrated_flux_map_heyrovsky_magnification, as_list,
            Reals{"l"}, Real{"re"}, Real{"rstar"}, Reals{"bl"}, Reals{"bf"});
// A caller's table of rings, summed with their weights.
constexpr auto kDiscreteFluxMapHeyrovsky =
    declare("discrete_flux_map_heyrovsky_magnification", discrete_flux_map_heyrovsky_magnification, as_list,
            Reals{"l"}, Real{"re"}, Real{"rstar"}, Reals{"bl"}, Reals{"bf"});

constexpr const auto& kFunctions =
    binding::function_table<kWittMao, kIntegratedWittMao, kIntegratedFluxMapWittMao, kHeyrovsky, kIntegratedHeyrovsky,
                            kIntegratedFluxMapHeyrovsky, kDiscreteFluxMapHeyrovsky>;

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
