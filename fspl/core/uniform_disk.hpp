// The point-lens magnification of a uniformly bright disk,
//
//   A_U(u, rho) = (1/(pi rho^2)) int_disk A0(|x|) d^2x,
//   A0(x) = (x^2 + 2) / (x sqrt(x^2 + 4)),
//
// for a source of radius rho whose centre lies at u from the lens, both in
// Einstein radii.  Four regimes:
//
// * u = 0: the disk is centred on the lens and A_U = sqrt(rho^2 + 4)/rho.
// * u = rho (the lens on the limb): the limit of the closed form (derived in
//   src/lib/witt_mao.cpp),
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

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "fspl/core/far_field.hpp"
#include "numeric/cel.hpp"
#include "numeric/constants.hpp"
#include "numeric/legendre_ke.hpp"

namespace kelvora::fspl {

// Separations beyond this many source radii use the far-field series.
inline constexpr double FAR_FIELD_RATIO = 8.0;

namespace detail {

// E from its complementary parameter x = 1 - m, 0 <= x <= 1 (Cephes ellpe).
inline double ellipe_complement(double x) noexcept {
    using numeric::detail::horner;
    if (x == 0) return 1.0;
    return horner(numeric::detail::PE, x) - std::log(x) * (x * horner(numeric::detail::QE, x));
}

// The Witt & Mao closed form, 0 < u, u != rho, rho <= HUGE_SOURCE, written
// in lengths of source radii (l = u/rho, d = l - 1, S = l + 1) so that no
// intermediate overflows or underflows for any rho in range:
//
//   pi A_U = S s E/(2 rho) - d (8 + rho^2 S d)/(2 rho s) K + 2 d^2 (1 + rho^2)/(rho S s) Pi,
//
// s = sqrt(4 + rho^2 d^2), 1 - n = d^2/S^2, 1 - m = d^2 (4 + rho^2 S^2)/(S^2 s^2).
// The quantities shared with the derivatives below are kept.  separation is
// u - rho, passed by callers that know it better than the difference of the
// rounded u and rho (near the limb, where every digit of it counts).
struct ClosedForm {
    double d, S, rho2, s, p, kc, e;
    double t_e, alpha, gamma;  // pi A_U = t_e + alpha K + gamma Pi
};

inline ClosedForm closed_form_parts(double u, double rho, double separation) noexcept {
    ClosedForm f{};
    f.d = separation / rho;
    f.S = (u + rho) / rho;
    const double d2 = f.d * f.d;
    f.rho2 = rho * rho;
    f.s = std::sqrt(4.0 + f.rho2 * d2);
    f.p = (f.d / f.S) * (f.d / f.S);                                            // 1 - n
    f.kc = std::fabs(f.d) * std::sqrt(4.0 + f.rho2 * f.S * f.S) / (f.S * f.s);  // sqrt(1 - m)
    f.e = ellipe_complement(f.kc * f.kc);
    f.t_e = f.S * f.s / (2.0 * rho) * f.e;
    f.alpha = -f.d * (8.0 + f.rho2 * f.S * f.d) / (2.0 * rho * f.s);
    f.gamma = 2.0 * d2 * (1.0 + f.rho2) / (rho * f.S * f.s);
    return f;
}

inline ClosedForm closed_form_parts(double u, double rho) noexcept { return closed_form_parts(u, rho, u - rho); }

inline double uniform_disk_closed_form(double u, double rho, double separation) noexcept {
    const ClosedForm f = closed_form_parts(u, rho, separation);
    const double kpi = numeric::cel(f.kc, f.p, f.alpha + f.gamma, f.gamma + f.alpha * f.p);
    return (f.t_e + kpi) * numeric::INV_PI;
}

}  // namespace detail

// The mean of A0 over the circle of radius s about the source centre
// (Heyrovsky 2003), the derivative of the disks: d(s^2 A_U)/ds = 2 s A_ring.
// With b = (u - s)^2, S = u + s:
//
//   A_ring = 2/(pi S sqrt(4 + b)) (2 K(m) + b Pi(n, m)),
//   1 - n = b/S^2,  1 - m = b (4 + S^2)/(S^2 (4 + b)),
//
// one cel.  Logarithmically infinite at s = u.
// d = u - s is passed by callers that know it better than the difference of
// the rounded u and s (near the singularity every digit of d counts).
inline double ring_average(double u, double s, double d) noexcept {
    if (s == 0) return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0));
    if (u == 0) return (s * s + 2.0) / (s * std::sqrt(s * s + 4.0));
    if (d == 0) return std::numeric_limits<double>::infinity();
    const double S = u + s;
    const double b = d * d;
    const double q = std::sqrt(4.0 + b);
    const double p = (d / S) * (d / S);
    const double kc = std::fabs(d) * std::sqrt(4.0 + S * S) / (S * q);
    return 2.0 / (S * q) * numeric::cel(kc, p, 2.0 + b, b + 2.0 * p) * numeric::INV_PI;
}

inline double ring_average(double u, double s) noexcept { return ring_average(u, s, u - s); }

// Beyond this radius A_U - 1 <= 2/rho^2 (the whole excess flux of a point
// lens, int (A0 - 1) dSigma = 2 pi, spread over the disk) is below half an
// ulp of 1, and A_U is 1.
inline constexpr double HUGE_SOURCE = 1e9;

// A_U(u, rho) for rho > 0 and u >= 0 (NaN u gives NaN, u = inf gives 1).
// Never below 1, as the mean of A0 >= 1 is not.  separation is u - rho, or
// a better value of it (closed_form_parts); u - rho gives uniform_disk(u, rho).
inline double uniform_disk(double u, double rho, double separation) noexcept {
    if (!(u < FAR_FIELD_RATIO * rho)) {
        if (u != u) return u;
        return far_field_uniform(u, rho);
    }
    if (rho > HUGE_SOURCE) return 1.0;
    // sqrt(rho^2 + 4)/rho; rho <= HUGE_SOURCE keeps rho^2 finite.  (Not
    // std::hypot: its glibc 2.35 symbol version would raise the wheel's
    // manylinux floor for no accuracy gain here.)
    if (u == 0) return std::sqrt(rho * rho + 4.0) / rho;
    if (separation == 0) {
        // 2 (1 + 1/rho^2) atan(rho), without 1/rho^2 overflowing.
        const double arc = std::atan(rho);
        return (2.0 / rho + 2.0 * (arc + (arc / rho) / rho)) * numeric::INV_PI;
    }
    return std::max(1.0, detail::uniform_disk_closed_form(u, rho, separation));
}

inline double uniform_disk(double u, double rho) noexcept { return uniform_disk(u, rho, u - rho); }

// A_U(u, s[i]) for n radii at once (the nodes of a quadrature rule), each
// bit for bit uniform_disk(u, s[i]): the closed form's lanes four at a time
// where the processor has AVX2 (disk_lanes.hpp), the other regimes and
// processors by uniform_disk() itself.
void uniform_disk_many(double u, const double* s, double* out, std::size_t n) noexcept;

// A_U(u[i], rho[i]) for n points, each bit for bit uniform_disk(u[i],
// rho[i]), the closed form's lanes side by side as in uniform_disk_many.
void uniform_disk_points(const double* u, const double* rho, double* out, std::size_t n) noexcept;

}  // namespace kelvora::fspl
