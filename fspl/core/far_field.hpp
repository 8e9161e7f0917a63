// The far-field series of a finite-source magnification.
//
// For a source of radius rho with radial brightness I(r) (r in source radii),
// whose centre lies at u > rho from the lens, the flux-weighted mean of the
// point-lens magnification is
//
//   A = sum_k  c_k (rho^2/u^2)^k  Q_k(t) / (t + 4)^(2k)  /  sqrt(t (t + 4)),
//
// t = u^2, c_k = <r^2k>_I / (k!)^2 the brightness moments, Q_k the integer
// polynomials of tools/gen_far_field_series.py (the circular-mean Taylor
// series applied to A0; c_0 = 1 and the k = 0 term is A0 itself).  A uniform
// disk has c_k = 1/((k + 1) (k!)^2).
//
// Every term is positive up to a few small negative coefficients of Q_k (the
// sums lose at most a factor 1.2 to cancellation), so the series keeps full
// precision where the elliptic closed form cancels.  Q_k/(t + 4)^(2k) is
// evaluated as (t/(t + 4))^(2k-1)/(t + 4) times a polynomial in 1/t for t >= 1
// and as a polynomial in t over (t + 4)^(2k) for t < 1, so neither overflows.
// Summation stops once a term adds less than 2^-60 of the sum; at u >= 8 rho
// that happens by k = 12 (FAR_FIELD_TERMS).
#pragma once

#include <array>

#include "fspl/core/far_field_series.hpp"

namespace kelvora::fspl {

using FarFieldMoments = std::array<double, detail::FAR_FIELD_TERMS>;

// The series with moments c (c[0] = 1), u > rho > 0, u finite or infinite,
// summed until a term adds less than `stop` of A - 1 (by default 2^-60, the
// last bit and a margin; a looser accuracy may stop sooner).
inline constexpr double FAR_FIELD_STOP = 8.673617379884035e-19;  // 2^-60
double far_field(double u, double rho, const FarFieldMoments& c, double stop = FAR_FIELD_STOP) noexcept;

// The series and its derivatives in u and rho, term by term: with
// d/dt M^k A0 = R_k(t)/(t^(k+3/2) (t+4)^(2k+3/2)) (far_field_series.hpp),
//
//   dA/du   = (2/u) sum_k c_k (rho^2/u^2)^k R_k(t)/(t + 4)^(2k+1) / sqrt(t (t + 4)),
//   dA/drho = (2/rho) sum_k k (term k of A).
//
// value is bit for bit far_field(u, rho, c): its sum stops where that one
// does, the derivative sums where their own terms fall below 2^-34.
struct FarFieldGradient {
    double value, du, drho;
};
// With basis, also each term's factor of c_k: basis[k] = (term k)/c_k for
// k >= 1 (the derivative of A in c_k), zero beyond the last term summed.
FarFieldGradient far_field_gradient(double u, double rho, const FarFieldMoments& c,
                                    FarFieldMoments* basis = nullptr) noexcept;
FarFieldGradient far_field_uniform_gradient(double u, double rho) noexcept;

// The series for a uniformly bright disk.
double far_field_uniform(double u, double rho) noexcept;

// c_k = m[k] / (m[0] (k!)^2) from the moments m[k] = int I r^2k 2r dr.
FarFieldMoments far_field_moments(const FarFieldMoments& m) noexcept;

}  // namespace kelvora::fspl
