// Magnification of a finite source by a single point-mass lens.
//
// Separations `l` are in units of the stellar radius; `re` (Einstein radius)
// and `rstar` (stellar radius) share one arbitrary unit, only their ratio
// enters.  Every model returns its value or the first numeric Failure of the
// kernels it calls, unchanged; no partial result is ever returned.
#pragma once

#include <vector>

#include "lib/fault.hpp"
#include "numeric/failure.hpp"

namespace kelvora {

using numeric::Expected;
using numeric::Failure;

// Witt & Mao (1994) magnification of a uniformly bright disk, one entry per
// separation, in the order of `l`.  Consumes `l`: the result is built in its
// storage, so a call allocates nothing.  The first elliptic-integral failure
// ends the call and is returned unchanged, without any of the entries.
Expected<std::vector<double>> witt_mao_magnification(std::vector<double> l, double re,
                                                     double rstar);

// Magnification of one thin, uniformly bright ring of radius `r` about the
// source centre, with the lens at distance `l` from that centre: the
// point-lens magnification averaged over the ring.  Within 1e-5 of the ring
// (|l - r| < 1e-5) a near-ring expansion is used, which gives exactly 0.0 on
// the side l < r.  The first failure of ellipk or ellippi (in that order) is
// returned unchanged.  l = r > 0 gives +inf, l = r = 0 NaN.
Expected<double> heyrovsky_magnification(double l, double r, double re, double rstar) noexcept;

// Magnification of a source made of thin rings: for every separation in `l`,
// sum over j in table order of heyrovsky_magnification(l_i, bl[j], re, rstar)
// * bf[j].  The weights are used as given (no normalisation).  Unequal lengths
// of `bl` and `bf` are an internal fault (kelvora::Fault), checked before
// anything else.  The first kernel failure ends the call, also for a ring of
// zero weight.  Consumes `l`, as witt_mao_magnification does.
Expected<std::vector<double>> discrete_flux_map_heyrovsky_magnification(
    std::vector<double> l, double re, double rstar, const std::vector<double>& bl,
    const std::vector<double>& bf);

}  // namespace kelvora
