// The small-source expansion of the finite-source magnification.
//
// For |x| < 2, x A0(x) = sum_k a_k x^(2k) (a_k = 1, 3/8, -5/128, 7/1024,
// ...), so that a source of radius rho at u = z rho from the lens, of
// brightness I = sum_j w_j I_j over the profiles I_j = 1, mu, mu^2, sqrt(mu),
// has
//
//     F A(u, rho) = sum_k a_k rho^(2k-1) sum_j w_j M_j,2k-1(z),
//     M_j,p(z) = (1/pi) int_disk I_j(r) |z + r|^p d^2r,   F = sum_j w_j F_j,
//
// whose terms fall off like (rho (z + 1))^2.  Five terms, with the moments
// from Chebyshev tables in z (tools/gen_fspl_small_source_table.py, to a few
// 1e-14), give A to a twentieth of an accuracy level's tolerance for rho up
// to SMALL_SOURCE_RHO_MAX[level] (0.064 at the default, 0.2 at 1e-4), at a
// small fraction of the superposition integral's cost.  The tables reach
// from z = 0 to z = 3 except within about 1e-6 of the limb (z = 1), where
// the moments' logarithmic singularity is left to the integral.
//
// Yoo et al. (2004, ApJ 603, 139) keep the leading order in rho (the
// point-lens magnification times tabulated functions of z); here the series
// is kept to rho^7, so that every law made of the four profiles (linear,
// quadratic, square-root) is exact to the tolerance.
#pragma once

#include <cstddef>
#include <span>

#include "fspl/core/profile.hpp"
#include "fspl/core/uniform_gradient.hpp"

namespace kelvora::fspl {

// A(u, rho) into *value when the expansion serves (the profile has basis
// weights, rho <= SMALL_SOURCE_RHO_MAX[level], u/rho below 3 and not within
// the tables' distance of the limb); false, *value untouched, when not.
// u >= 0 and rho > 0 finite, not tiny (magnification.cpp).
bool small_source_magnification(double u, double rho, const Profile& profile, int level, double* value) noexcept;

// The same, with dA/du, dA/drho and, for count > 0, dA/dc_i into
// coefficients[0 .. count) (the law's coefficients in order).  Where it
// serves, the value is bit for bit small_source_magnification's.
bool small_source_gradient(double u, double rho, const Profile& profile, int level, Gradient* gradient,
                           std::span<double> coefficients, std::size_t count) noexcept;

}  // namespace kelvora::fspl
