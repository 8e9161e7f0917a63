// Magnification of a finite source by a single point-mass lens.
//
// Separations `l` are in units of the stellar radius; `re` (Einstein radius)
// and `rstar` (stellar radius) share one arbitrary unit, only their ratio
// enters.  Every model returns its value or the first numeric Failure of the
// kernels it calls, unchanged; no partial result is ever returned.
#pragma once

#include <vector>

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

}  // namespace kelvora
