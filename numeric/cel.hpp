// Bulirsch's general complete elliptic integral
//
//   cel(kc, p, a, b) = int_0^{pi/2} (a cos^2 t + b sin^2 t)
//                      / ((cos^2 t + p sin^2 t) sqrt(cos^2 t + kc^2 sin^2 t)) dt,
//
// R. Bulirsch, "Numerical calculation of elliptic integrals and elliptic
// functions. III", Numer. Math. 13 (1969) 305-315, in the form of Press et
// al., Numerical Recipes (2nd ed.), section 6.11.  With m = 1 - kc^2 and
// n = 1 - p,
//
//   cel(kc, 1, 1, 1)    = K(m),
//   cel(kc, p, 1, 1)    = Pi(n, m),
//   cel(kc, p, a, b)    = a K(m) + (b - a p) (Pi(n, m) - K(m)) / n,
//
// so any combination alpha K + gamma Pi(n) is one call with a = alpha + gamma,
// b = gamma + alpha p: one pass of a Gauss (arithmetic-geometric mean)
// transformation, one square root and one division per step, where Carlson's
// duplication needs several square roots per step and a final series.
//
// The complementary modulus kc enters directly, never 1 - m: callers close to
// the logarithmic singularity (kc -> 0) form kc from their own geometry without
// cancellation.  The step converges quadratically; stopping when the two means
// agree to ACCURACY leaves a relative error of about ACCURACY^2.  Measured
// against mpmath (tests/cpp/test_cel.cpp): a few ulp for 1e-12 <= kc <= 1 and
// 1e-14 <= p <= 1.  Domain: kc != 0, p > 0 (the only case this project needs;
// Pi with n > 1 or n < 0 has other reductions).  NaN arguments give NaN.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "numeric/constants.hpp"

namespace kelvora::numeric {

namespace detail {
// The Gauss step converges quadratically: once the two means agree to
// 2^-26 = sqrt(2^-52), the error left is about (2^-26)^2, one ulp.
inline constexpr double CEL_ACCURACY = 1.4901161193847656e-08;  // 2^-26
// A safeguard that no argument reaches: kc down to 5e-324 stops within 13
// steps, an infinite kc within 2, and a NaN fails the test at once.
inline constexpr int CEL_MAX_STEPS = 40;
}  // namespace detail

inline double cel(double kc, double p, double a, double b) noexcept {
    double k = std::fabs(kc);
    double e = k;
    double em = 1.0;
    p = std::sqrt(p);
    b = b / p;
    for (int step = 0; step < detail::CEL_MAX_STEPS; ++step) {
        // One division per step: b/p and e/p as products with 1/p.
        const double inv = 1.0 / p;
        const double f = a;
        a = a + b * inv;
        double g = e * inv;
        b = b + f * g;
        b = b + b;
        p = g + p;
        g = em;
        em = em + k;
        if (!(std::fabs(g - k) > g * detail::CEL_ACCURACY)) break;
        k = 2.0 * std::sqrt(e);
        e = k * em;
    }
    return PI_2 * (b + a * em) / (em * (em + p));
}

// Several combinations of K(m) and Pi(n, m) for the same kc and p at the cost
// of little more than one: the recurrences of kc and p are shared, and each
// pair (a[i], b[i]) is carried through the very operations cel() applies to
// its (a, b), so result i is bit for bit cel(kc, p, a[i], b[i]).
template <std::size_t N>
std::array<double, N> cel(double kc, double p, std::array<double, N> a, std::array<double, N> b) noexcept {
    double k = std::fabs(kc);
    double e = k;
    double em = 1.0;
    p = std::sqrt(p);
    for (auto& bi : b) bi = bi / p;
    for (int step = 0; step < detail::CEL_MAX_STEPS; ++step) {
        const double inv = 1.0 / p;
        double g = e * inv;
        for (std::size_t i = 0; i < N; ++i) {
            const double f = a[i];
            a[i] = a[i] + b[i] * inv;
            b[i] = b[i] + f * g;
            b[i] = b[i] + b[i];
        }
        p = g + p;
        g = em;
        em = em + k;
        if (!(std::fabs(g - k) > g * detail::CEL_ACCURACY)) break;
        k = 2.0 * std::sqrt(e);
        e = k * em;
    }
    std::array<double, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = PI_2 * (b[i] + a[i] * em) / (em * (em + p));
    return out;
}

}  // namespace kelvora::numeric
