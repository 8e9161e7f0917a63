// The point-lens magnification of a uniformly bright disk,
//
//   A_U(u, rho) = (1/(pi rho^2)) int_disk A0(|x|) d^2x,
//   A0(x) = (x^2 + 2) / (x sqrt(x^2 + 4)),
//
// for a source of radius rho whose centre lies at u from the lens, both in
// Einstein radii.  Four regimes:
//
// * u = 0: the disk is centred on the lens and A_U = sqrt(rho^2 + 4)/rho.
// * u = rho (the lens on the limb): the limit of the closed form,
//   A_U = (2/rho + 2 (1 + rho^2) atan(rho)/rho^2)/pi; the usual
//   asin((rho^2 - 1)/(rho^2 + 1)) + pi/2 is written as 2 atan(rho), which
//   does not cancel for small rho.
// * u >= FAR_FIELD_RATIO rho: the series of far_field.hpp.  The closed form
//   below is a sum of three terms of size (u/rho)^2 A_U that cancel, losing
//   about eps (u/rho)^2 of relative accuracy; the series converges like
//   (rho/u)^2k there and loses nothing.
// * otherwise the closed form of H. J. Witt & S. Mao, ApJ 430 (1994) 505:
//   with d = u - rho, S = u + rho, s = sqrt(4 + d^2), n = 4 u rho/S^2 and
//   m = 4n/s^2,
//
//     pi A_U = S s/(2 rho^2) E(m) - d (8 + u^2 - rho^2)/(2 rho^2 s) K(m)
//              + 2 d^2 (1 + rho^2)/(rho^2 S s) Pi(n, m).
//
//   The K and Pi terms are one Bulirsch cel (numeric/cel.hpp), E is Cephes'
//   polynomial (numeric/legendre_ke.hpp).  Near the limb n and m tend to 1;
//   their complements are formed from d^2 directly,
//
//     1 - n = d^2/S^2,   1 - m = d^2 (4 + S^2)/(S^2 s^2),
//
//   never by subtraction, which would leave only eps/d^2 of them.
//
// Accuracy against mpmath (tests/cpp/test_uniform_disk.cpp, 60-digit closed
// form and series): below 1e-13 relative for 1e-6 <= rho <= 1e3, every u.
#pragma once

#include <cmath>
#include <limits>

#include "fspl/core/far_field.hpp"
#include "numeric/cel.hpp"
#include "numeric/legendre_ke.hpp"

namespace kelvora::fspl {

// Separations beyond this many source radii use the far-field series.
inline constexpr double FAR_FIELD_RATIO = 8.0;

namespace detail {

inline constexpr double PI = 3.141592653589793;
inline constexpr double INV_PI = 0.3183098861837907;

// E from its complementary parameter x = 1 - m, 0 <= x <= 1 (Cephes ellpe).
inline double ellipe_complement(double x) noexcept {
    using numeric::detail::horner;
    if (x == 0) return 1.0;
    return horner(numeric::detail::PE, x) - std::log(x) * (x * horner(numeric::detail::QE, x));
}

// The Witt & Mao closed form, 0 < u, u != rho.
inline double uniform_disk_closed_form(double u, double rho) noexcept {
    const double d = u - rho;
    const double S = u + rho;
    const double d2 = d * d;
    const double S2 = S * S;
    const double s2 = 4.0 + d2;
    const double s = std::sqrt(s2);
    const double rho2 = rho * rho;
    const double p = d2 / S2;                                   // 1 - n
    const double kc = std::fabs(d) * std::sqrt(4.0 + S2) / (S * s);  // sqrt(1 - m)
    const double e = ellipe_complement(kc * kc);
    const double t_e = S * s / (2.0 * rho2) * e;
    const double alpha = -d * (8.0 + S * d) / (2.0 * rho2 * s);
    const double gamma = 2.0 * d2 * (1.0 + rho2) / (rho2 * S * s);
    const double kpi = numeric::cel(kc, p, alpha + gamma, gamma + alpha * p);
    return (t_e + kpi) * INV_PI;
}

}  // namespace detail

// A_U(u, rho) for rho > 0 and u >= 0 (NaN u gives NaN, u = inf gives 1).
inline double uniform_disk(double u, double rho) noexcept {
    if (!(u < FAR_FIELD_RATIO * rho)) {
        if (u != u) return u;
        return far_field_uniform(u, rho);
    }
    if (u == 0) return std::hypot(rho, 2.0) / rho;
    if (u == rho) {
        return (2.0 / rho + 2.0 * (1.0 + 1.0 / (rho * rho)) * std::atan(rho)) * detail::INV_PI;
    }
    return detail::uniform_disk_closed_form(u, rho);
}

}  // namespace kelvora::fspl
