// The limb-darkened and flux-map magnifications of the module: the templates
// of lib/integrated.hpp with the default profile, or with a caller's table.
#include "lib/integrated.hpp"

#include "lib/fault.hpp"

namespace kelvora {

Expected<std::vector<double>> integrated_witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_witt_mao_magnification(std::move(l), DefaultLimbDarkening{}, re, rstar,
                                              DEFAULT_NORMALISATION);
}

std::vector<double> integrated_heyrovsky_magnification(std::vector<double> l, double re, double rstar) {
    return _integrated_heyrovsky_magnification(std::move(l), DefaultLimbDarkening{}, re, rstar,
                                               DEFAULT_NORMALISATION);
}

Expected<std::vector<double>> integrated_flux_map_witt_mao_magnification(std::vector<double> l, double re,
                                                                         double rstar,
                                                                         const std::vector<double>& bl,
                                                                         const std::vector<double>& bf) {
    check_equal_lengths(bl.size(), bf.size());
    const InterpolatedProfile profile{bl, bf};
    const double flux = profile_flux(profile);
    return _integrated_witt_mao_magnification(std::move(l), profile, re, rstar, flux);
}

std::vector<double> integrated_flux_map_heyrovsky_magnification(std::vector<double> l, double re, double rstar,
                                                                const std::vector<double>& bl,
                                                                const std::vector<double>& bf) {
    check_equal_lengths(bl.size(), bf.size());
    const InterpolatedProfile profile{bl, bf};
    const double flux = profile_flux(profile);
    return _integrated_heyrovsky_magnification(std::move(l), profile, re, rstar, flux);
}

}  // namespace kelvora
