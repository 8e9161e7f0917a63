// The uniform disk's magnification A_U(u, rho) with its derivatives in the
// separation u and the radius rho.
//
// Both derivatives are integrals over the disk's edge (the disk moves, or
// grows, and only its edge sweeps new ground).  With the point-lens
// magnification A0 averaged around the edge,
//
//   M0(u, rho) = (1/2pi) int A0(|u + rho e(phi)|) dphi          (Heyrovsky 2003),
//   M1(u, rho) = (1/2pi) int A0(|u + rho e(phi)|) cos phi dphi,
//
// the divergence theorem gives dA_U/du = (2/rho) M1, and d(rho^2 A_U)/drho =
// 2 rho M0 gives dA_U/drho = (2/rho) (M0 - A_U).  In complete elliptic
// integrals, with S = u + rho, b = (u - rho)^2, sigma = u^2 + rho^2 and
// n, m as in uniform_disk.hpp,
//
//   M0      = 2/(pi S sqrt(4 + b)) (2 K(m) + b Pi(n, m)),
//   dA_U/du = [S^2 (4 + b) E(m) - (S^2 b + 4 sigma) K(m)] / (pi u rho^2 S sqrt(4 + b)).
//
// The second is Byrd & Friedman 336.02 applied to the derivative of the Witt &
// Mao form; its Pi terms cancel identically (the coefficient of Pi reduces to
// b (sigma - 2) + (2 - sigma) b = 0), leaving E and K.  Both the K and Pi
// combinations share one Bulirsch cel pass with the value's, and E is the
// value's own.
//
// Where the closed forms cancel, series take over:
// * u < SMALL_SEPARATION rho: dA_U/du -> 0 like u, and the bracket above
//   cancels to (u/rho)^2 of its terms.  Expanding A0 = f(x^2) about x^2 = rho^2
//   with x^2 = rho^2 + eps, eps = u^2 + 2 u rho cos phi, and averaging
//   cos phi eps^j over the circle,
//
//     M1 = (1/sqrt(t (t + 4))) sum_n (u/rho)^n sum_j c_nj P_j(z)/(t + 4)^j,
//
//   t = rho^2, z = t + 2, n odd, f^(j)(t) = P_j(z) (t (t + 4))^(-j-1/2) with
//   P_0 = z, P_(j+1) = P_j' (z^2 - 4) - (2j + 1) z P_j, and
//   c_nj = C(j, i) 2^i <cos^(i+1)>/j!, i = 2j - n (odd, 1 <= i <= j).  Terms
//   to n = 7 leave (u/rho)^8 relative: below 4e-11 here.
// * u >= GRADIENT_FAR_FIELD_RATIO rho (rho > 1; for smaller disks the closed
//   form keeps 1e-10 up to FAR_FIELD_RATIO): the derivatives of the far-field
//   series (far_field.hpp); the value stays the closed form's below
//   FAR_FIELD_RATIO.
// * u - rho >= DISTANT_LENS (for u below those): the sums of distant_lens.hpp,
//   where the closed forms' terms of size one would cancel to A_U - 1 (for
//   rho = 100 at u = 2 rho, 2e-9 of them).
//
// For rho > HUGE_SOURCE, where A_U is 1 to the last bit, the derivatives are
// given as 0 (their true size is below 4/rho^3 < 4e-27).
//
// At u = rho both derivatives diverge like ln|u - rho| (M0 and K are
// logarithmically infinite there): dA_U/du = -inf and dA_U/drho = +inf, the
// limits from either side.
//
// Accuracy against mpmath (tests/cpp/test_fspl_gradient.cpp): both
// derivatives to 1e-9 relative for rho <= 100.  For larger sources A_U - 1 ~
// 2/rho^2, and between u = 0.05 rho and the lens 4 Einstein radii outside the
// limb both derivatives are small differences of terms of size one: there the
// error is absolute, below 1e-16/rho.
#pragma once

#include <array>
#include <cmath>
#include <limits>

#include "fspl/core/distant_lens.hpp"
#include "fspl/core/far_field.hpp"
#include "fspl/core/uniform_disk.hpp"
#include "numeric/cel.hpp"

namespace kelvora::fspl {

// A magnification and its derivatives in u and rho.
struct Gradient {
    double value, du, drho;
};

// Below this u/rho, dA_U/du comes from the series of M1.
inline constexpr double SMALL_SEPARATION = 0.05;
// From this u/rho on, both derivatives come from the far-field series: M0 -
// A_U and the E-K bracket fall like (rho/u)^2 against their terms, while the
// series's terms fall like (rho/u)^2k (at u = 3 rho the thirteenth is 9^-13,
// 4e-13; measured, 2e-10 of the derivatives at rho = 10).
inline constexpr double GRADIENT_FAR_FIELD_RATIO = 3.0;

namespace detail {

inline constexpr int M1_ORDERS = 4;  // n = 1, 3, 5, 7
inline constexpr int M1_DEGREE = 7;  // largest j

// P_j(z), j = 0..7, coefficients lowest power first, and c_nj.
struct MomentSeries {
    double p[M1_DEGREE + 1][M1_DEGREE + 2]{};
    double c[M1_ORDERS][M1_DEGREE + 1]{};
};

constexpr MomentSeries make_moment_series() {
    MomentSeries m{};
    m.p[0][1] = 1.0;  // P_0 = z
    for (int j = 0; j < M1_DEGREE; ++j) {
        // P_(j+1) = P_j' (z^2 - 4) - (2j + 1) z P_j
        for (int i = 1; i <= M1_DEGREE + 1; ++i) {
            const double d = i * m.p[j][i];  // coefficient of z^(i-1) in P_j'
            if (i + 1 <= M1_DEGREE + 1) m.p[j + 1][i + 1] += d;
            m.p[j + 1][i - 1] -= 4.0 * d;
        }
        for (int i = 0; i + 1 <= M1_DEGREE + 1; ++i) m.p[j + 1][i + 1] -= (2 * j + 1) * m.p[j][i];
    }
    auto binomial = [](int n, int k) {
        double b = 1.0;
        for (int i = 1; i <= k; ++i) b = b * (n - k + i) / i;
        return b;
    };
    for (int o = 0; o < M1_ORDERS; ++o) {
        const int n = 2 * o + 1;
        double factorial = 1.0;
        for (int j = 1; j <= M1_DEGREE; ++j) {
            factorial *= j;
            const int i = 2 * j - n;
            if (i < 1 || i > j || i % 2 == 0) continue;
            // <cos^(2q)> = C(2q, q)/4^q with 2q = i + 1.
            const int q = (i + 1) / 2;
            double mean = binomial(2 * q, q);
            for (int r = 0; r < q; ++r) mean /= 4.0;
            double two_i = 1.0;
            for (int r = 0; r < i; ++r) two_i *= 2.0;
            m.c[o][j] = binomial(j, i) * two_i * mean / factorial;
        }
    }
    return m;
}

inline constexpr MomentSeries MOMENT_SERIES = make_moment_series();

// dA_U/du = (2/rho) M1 for u < SMALL_SEPARATION rho, by the series above.
inline double small_separation_du(double u, double rho) noexcept {
    const double t = rho * rho;
    const double z = t + 2.0;
    const double v = 1.0 / (t + 4.0);
    // f_j = P_j(z)/(t + 4)^j, j = 1..7
    std::array<double, M1_DEGREE + 1> f{};
    double vj = 1.0;
    for (int j = 1; j <= M1_DEGREE; ++j) {
        vj *= v;
        double h = MOMENT_SERIES.p[j][M1_DEGREE + 1];
        for (int i = M1_DEGREE; i >= 0; --i) h = h * z + MOMENT_SERIES.p[j][i];
        f[j] = h * vj;
    }
    const double q = u / rho;
    const double q2 = q * q;
    double qn = q, sum = 0.0;
    for (int o = 0; o < M1_ORDERS; ++o) {
        double b = 0.0;
        for (int j = 1; j <= M1_DEGREE; ++j) b += MOMENT_SERIES.c[o][j] * f[j];
        sum += qn * b;
        qn *= q2;
    }
    // 2/rho * sum/sqrt(t (t + 4)), sqrt(t (t + 4)) = rho sqrt(t + 4)
    return 2.0 * sum / (t * std::sqrt(t + 4.0));
}

}  // namespace detail

// A_U and its derivatives for rho > 0 and u >= 0.  value is bit for bit
// uniform_disk(u, rho, separation).  NaN u gives NaN in all three.
// separation is u - rho, or a better value of it (closed_form_parts).
inline Gradient uniform_disk_gradient(double u, double rho, double separation) noexcept {
    constexpr double INF = std::numeric_limits<double>::infinity();
    if (!(u < FAR_FIELD_RATIO * rho)) {
        if (u != u) return {u, u, u};
        const FarFieldGradient g = far_field_uniform_gradient(u, rho);
        return {g.value, g.du, g.drho};
    }
    if (rho > HUGE_SOURCE) return {1.0, 0.0, 0.0};
    if (u == 0) {
        // A_U = sqrt(rho^2 + 4)/rho, M0 = A0(rho): M0 - A_U = -2/(rho sqrt(rho^2 + 4)).
        const double root = std::sqrt(rho * rho + 4.0);
        return {root / rho, 0.0, (-4.0 / rho) / (rho * root)};
    }
    if (separation == 0) return {uniform_disk(u, rho, separation), -INF, INF};
    // (For rho <= 1 the closed form's derivatives keep 1e-10 up to 8 rho and
    // cost less than a second evaluation by the series.)
    if (u >= GRADIENT_FAR_FIELD_RATIO * rho && rho > 1.0) {
        const FarFieldGradient g = far_field_uniform_gradient(u, rho);
        return {uniform_disk(u, rho, separation), g.du, g.drho};
    }
    // Every point of the disk 4 Einstein radii or more from the lens: the
    // closed forms' terms of size one cancel to A_U - 1, the sums of
    // distant_lens.hpp do not.
    if (separation >= DISTANT_LENS) {
        const DistantDisk d = distant_lens_disk(u, rho, separation);
        return {uniform_disk(u, rho, separation), d.du, d.ds};
    }
    using numeric::INV_PI;
    const detail::ClosedForm f = detail::closed_form_parts(u, rho, separation);
    const double b = f.rho2 * (f.d * f.d);  // (u - rho)^2
    const double l = u / rho;
    // pi A_U = t_e + alpha K + gamma Pi;  pi M0 S s rho/2 = 2 K + b Pi;  K.
    const auto cels = numeric::cel<3>(f.kc, f.p, {f.alpha + f.gamma, 2.0 + b, 1.0},
                                      {f.gamma + f.alpha * f.p, b + 2.0 * f.p, f.p});
    const double value = std::max(1.0, (f.t_e + cels[0]) * INV_PI);
    const double ring = 2.0 / (rho * f.S * f.s) * cels[1] * INV_PI;
    const double drho = 2.0 * (ring - value) / rho;
    double du;
    if (l < SMALL_SEPARATION) {
        du = detail::small_separation_du(u, rho);
    } else {
        // In lengths of rho: [S^2 s^2 E - (rho^2 S^2 d^2 + 4 (l^2 + 1)) K] / (pi rho^2 l S s).
        const double SS = f.S * f.S;
        const double bracket = SS * (f.s * f.s) * f.e - (b * SS + 4.0 * (l * l + 1.0)) * cels[2];
        du = bracket / (f.rho2 * l * f.S * f.s) * INV_PI;
    }
    return {value, du, drho};
}

inline Gradient uniform_disk_gradient(double u, double rho) noexcept { return uniform_disk_gradient(u, rho, u - rho); }

}  // namespace kelvora::fspl
