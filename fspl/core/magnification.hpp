// The flux-weighted magnification of a limb-darkened source star by a point
// lens,
//
//   A(u, rho) = int I A0 dSigma / int I dSigma   over the source disk,
//
// u the lens-source separation and rho the source radius, in Einstein radii.
//
// Method.  The star is a superposition of uniform disks: with
// D(s) = pi s^2 A_U(u, s) the disk of radius s (uniform_disk.hpp) and r = s/rho,
//
//   F A = I(1) D(rho) - int_0^rho I'(s) D(s) ds
//
// (integration by parts of int I(r) dD, since dD/ds is the ring of radius s).
// The integrand has two kinds of trouble: a (s - u) ln|s - u| kink where the
// lens lies on the edge of a sub-disk (s = u), and, for the laws in mu, an
// I' ~ (1 - r)^(-1/2) singularity at the limb.  Both are taken out by the
// choice of the variable and the split:
//
// * r = 1 - tau^(2p) (p = 2; power-2: p = 2 ceil(alpha)/alpha), so that
//   mu = tau^p sqrt(1 + r) and dI/dtau is a smooth function of tau for every
//   law, and r is linear in tau at the centre;
// * the tau-interval is split at the lens, tau_u = (1 - u/rho)^(1/2p), and,
//   for a tabulated profile, at its nodes;
// * on each piece the nodes of a Gauss-Legendre rule are graded towards both
//   ends by x = w^2 (3 - 2w), which turns the kink into w^2 ln w, and resolves
//   the kink of a lens just outside the limb (at tau ~ (u/rho - 1)^(1/4) in
//   the complex plane).
//
// Beyond FAR_FIELD_RATIO source radii the far-field series of far_field.hpp is
// used for every law, with the profile's moments.
//
// Accuracy against the two mpmath routes of tools/gen_fspl_reference.py:
// see tests/cpp/test_fspl.cpp.
#pragma once

#include "fspl/core/profile.hpp"

namespace kelvora::fspl {

// A(u, rho) for u >= 0 and rho > 0 (checked by the caller); NaN u gives NaN.
double magnification(double u, double rho, const Profile& profile) noexcept;

}  // namespace kelvora::fspl
