#include "fspl/core/small_source.hpp"

#include <array>
#include <cmath>

#include "fspl/core/small_source_table.hpp"

namespace kelvora::fspl {

namespace {

using detail::SMALL_SOURCE_DEGREE;
using detail::SmallSourceInterval;
constexpr int P = detail::SMALL_SOURCE_POWERS;
using Powers = std::array<double, P>;

// Where u/rho = z falls in the tables: the interval, x in [-1, 1] on it and
// dx/dz.  Inside the limb the variable is t = 1 - z^2 (in which the moments
// are analytic about z = 0, so that dA/du vanishes there), outside w =
// z - 1; both taken from u - rho, exact near the limb.
struct Place {
    const SmallSourceInterval* interval;
    double x, dx_dz;
};

// The derivatives of the tables lose digits near the limb like eps/(1 -
// z)^(3/2) (measured against the mpmath gradient table: 3e-9 at 6e-7 from
// the limb, 4e-10 at 2.2e-6): the gradient takes them only from 2^-14 of
// the limb on (t or w), where they keep 1e-12, and leaves the nearer points
// to the superposition integral.
constexpr int GRADIENT_DEPTH = 14;

inline bool place(double u, double rho, double z, int depth, Place* out) noexcept {
    if (u < rho) {
        const double t = ((rho - u) / rho) * (1.0 + z);
        int e = 0;
        std::frexp(t, &e);  // t in [2^(e-1), 2^e)
        const int k = e > 0 ? 0 : -e;
        if (k >= depth) return false;
        *out = {&detail::SMALL_SOURCE_INNER_TABLE[static_cast<std::size_t>(k)], std::ldexp(t, k + 2) - 3.0,
                -2.0 * z * std::ldexp(1.0, k + 2)};
        return true;
    }
    const double w = (u - rho) / rho;
    if (!(w > 0.0 && w < 2.0)) return false;
    int e = 0;
    std::frexp(w, &e);  // w in [2^(e-1), 2^e), e <= 1
    const int k = 1 - e;
    if (k > depth) return false;  // outside, one interval more (w up to 2)
    *out = {&detail::SMALL_SOURCE_OUTER_TABLE[static_cast<std::size_t>(k)], std::ldexp(w, k + 1) - 3.0,
            std::ldexp(1.0, k + 1)};
    return true;
}

// The weighted sum over the profiles of the moments' series at x
// (Clenshaw), and with Derivative its d/dx.
template <bool Derivative>
inline void moments(const SmallSourceInterval& table, const std::array<double, 4>& weights, double x, Powers& value,
                    Powers& slope) noexcept {
    Powers b1{}, b2{}, d1{}, d2{};
    const double x2 = 2.0 * x;
    for (int n = SMALL_SOURCE_DEGREE; n >= 1; --n) {
        Powers c{};
        for (std::size_t j = 0; j < 4; ++j) {
            if (weights[j] == 0.0) continue;
            const auto& row = table[j][static_cast<std::size_t>(n)];
            for (std::size_t p = 0; p < P; ++p) c[p] += weights[j] * row[p];
        }
        for (std::size_t p = 0; p < P; ++p) {
            if constexpr (Derivative) {
                const double d0 = 2.0 * b1[p] + x2 * d1[p] - d2[p];
                d2[p] = d1[p];
                d1[p] = d0;
            }
            const double b0 = c[p] + x2 * b1[p] - b2[p];
            b2[p] = b1[p];
            b1[p] = b0;
        }
    }
    Powers c{};
    for (std::size_t j = 0; j < 4; ++j) {
        if (weights[j] == 0.0) continue;
        for (std::size_t p = 0; p < P; ++p) c[p] += weights[j] * table[j][0][p];
    }
    for (std::size_t p = 0; p < P; ++p) {
        value[p] = c[p] + x * b1[p] - b2[p];
        if constexpr (Derivative) slope[p] = b1[p] + x * d1[p] - d2[p];
    }
}

static_assert(P == 5, "the series below has five terms");

// F A = sum_k a_k rho^(2k-1) N_k, with rho2 = rho^2, as (N_-1 + rho2 (a_1
// N_1 + rho2 (a_2 N_3 + rho2 (a_3 N_5 + rho2 a_4 N_7)))) / rho.
inline double series(const Powers& n, double rho, double rho2) noexcept {
    constexpr auto& a = detail::SMALL_SOURCE_SERIES;
    return (n[0] + rho2 * (a[1] * n[1] + rho2 * (a[2] * n[2] + rho2 * (a[3] * n[3] + rho2 * (a[4] * n[4]))))) / rho;
}

inline bool serves(double u, double rho, const Profile& profile, int level) noexcept {
    return profile.basis_weights() != nullptr && rho <= detail::SMALL_SOURCE_RHO_MAX[static_cast<std::size_t>(level)] &&
           u < 3.0 * rho;
}

// d w_j / d c_i of each law's coefficients (linear u1; quadratic u1, u2;
// square-root c, d).
constexpr std::array<double, 4> FIRST = {-1.0, 1.0, 0.0, 0.0};
constexpr std::array<double, 4> QUADRATIC_SECOND = {-1.0, 2.0, -1.0, 0.0};
constexpr std::array<double, 4> SQUARE_ROOT_SECOND = {-1.0, 0.0, 0.0, 1.0};

}  // namespace

bool small_source_magnification(double u, double rho, const Profile& profile, int level, double* value) noexcept {
    if (!serves(u, rho, profile, level)) return false;
    const double z = u / rho;
    Place at{};
    if (!place(u, rho, z, detail::SMALL_SOURCE_INNER, &at)) return false;
    Powers n{}, unused{};
    moments<false>(*at.interval, *profile.basis_weights(), at.x, n, unused);
    // The mean of A0 >= 1 is never below 1; rounding must not take it there.
    *value = std::max(1.0, series(n, rho, rho * rho) / profile.flux());
    return true;
}

bool small_source_gradient(double u, double rho, const Profile& profile, int level, Gradient* gradient,
                           std::span<double> coefficients, std::size_t count) noexcept {
    if (!serves(u, rho, profile, level)) return false;
    const double z = u / rho;
    Place at{};
    if (!place(u, rho, z, GRADIENT_DEPTH, &at)) return false;
    const auto& weights = *profile.basis_weights();
    Powers n{}, dn{};
    moments<true>(*at.interval, weights, at.x, n, dn);
    const double rho2 = rho * rho, flux = profile.flux();
    const double value = std::max(1.0, series(n, rho, rho2) / flux);
    constexpr auto& a = detail::SMALL_SOURCE_SERIES;
    // dN/dz, then with A = G(z, rho)/F, z = u/rho:
    //   dA/du   = G_z / (rho F),
    //   dA/drho = G_rho - z G_z / rho = sum_k a_k rho^(2k-2) ((2k-1) N_k - z N_k') / F.
    Powers dz{};
    for (std::size_t p = 0; p < P; ++p) dz[p] = dn[p] * at.dx_dz;
    const double g_z =
        dz[0] + rho2 * (a[1] * dz[1] + rho2 * (a[2] * dz[2] + rho2 * (a[3] * dz[3] + rho2 * (a[4] * dz[4]))));
    const double du = u == 0.0 ? 0.0 : g_z / rho2 / flux;
    const double drho =
        (-(n[0] + z * dz[0]) +
         rho2 * (a[1] * (n[1] - z * dz[1]) +
                 rho2 * (a[2] * (3.0 * n[2] - z * dz[2]) +
                         rho2 * (a[3] * (5.0 * n[3] - z * dz[3]) + rho2 * (a[4] * (7.0 * n[4] - z * dz[4])))))) /
        rho2 / flux;
    *gradient = {value, du, drho};
    if (count > 0) {
        // dA/dc_i = sum_j (d w_j/d c_i) (A_j F_j - A F_j) / F, A_j F_j the
        // profile j's own series; A unclamped, as the series gives it.
        // Only the profiles the law's coefficients move are summed.
        const double a_value = series(n, rho, rho2) / flux;
        const std::array<double, 4>& second = profile.law() == Law::quadratic ? QUADRATIC_SECOND : SQUARE_ROOT_SECOND;
        std::array<double, 4> share{};
        for (std::size_t j = 0; j < 4; ++j) {
            if (FIRST[j] == 0.0 && (count < 2 || second[j] == 0.0)) continue;
            std::array<double, 4> only{};
            only[j] = 1.0;
            Powers nj{}, unused{};
            moments<false>(*at.interval, only, at.x, nj, unused);
            share[j] = (series(nj, rho, rho2) - a_value * detail::SMALL_SOURCE_FLUX[j]) / flux;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const auto& dw = i == 0 ? FIRST : second;
            double sum = 0.0;
            for (std::size_t j = 0; j < 4; ++j) sum += dw[j] * share[j];
            coefficients[i] = sum;
        }
    }
    return true;
}

}  // namespace kelvora::fspl
