// Magnification of a uniformly bright disk by a single point-mass lens, in
// closed form: H. J. Witt & S. Mao, "Can lensed stars be regarded as pointlike
// for microlensing by MACHOs?", ApJ 430 (1994) 505.
//
// With rho the source radius and u the lens-source separation, both in Einstein
// radii, delta = u - rho, sigma = u + rho and s = sqrt(4 + delta^2),
//
//   A = (1/pi) [ sigma s / (2 rho^2) E(m)
//              - delta (8 + u^2 - rho^2) / (2 rho^2 s) K(m)
//              + 2 delta^2 (1 + rho^2) / (rho^2 sigma s) Pi(n, m) ],
//
//   n = 4 u rho / sigma^2,   m = 4 n / s^2,
//
// with the parameter convention m = k^2 of numeric/elliptic.hpp.  The one
// expression holds inside (u < rho) and outside (u > rho) the source alike.
//
// On the limb (u = rho) n and m both reach 1: K(m) and Pi(n, m) diverge while
// their prefactors delta and delta^2 vanish, so the expression turns into
// 0 * inf, and close to the limb it loses its accuracy to cancellation.  Within
// 1e-5 Einstein radii of the limb (an absolute band, not relative to rho) the
// limit at u = rho is used instead,
//
//   A = (2/rho + (1 + rho^2)/rho^2 (asin((rho^2 - 1)/(rho^2 + 1)) + pi/2)) / pi,
//
// which needs no elliptic integral.  The limit is the same for every entry of a
// call, so it is formed once.
//
// The operation order below is fixed: every operation rounds on its own (the
// library is built with -ffp-contract=off) and the grouping decides the last
// bits of each result.
#include <cmath>
#include <vector>

#include "lib/models.hpp"
#include "numeric/elliptic.hpp"
#include "numeric/elliptic_batch.hpp"

namespace kelvora {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double HALF_PI = 1.5707963267948966;
constexpr double TWO_PI = 6.283185307179586;
// Half-width of the limb band, in Einstein radii.
constexpr double LIMB_BAND = 1e-05;

}  // namespace

Expected<std::vector<double>> witt_mao_magnification(std::vector<double> l, double re,
                                                     double rstar) {
    const double rho = rstar / re;
    const double rho2 = rho * rho;
    const double q1 = (rho2 + -1.0) / (rho2 + 1.0);
    const double q2 = (rho2 + 1.0) / rho2;
    const double q3 = 2.0 / rho;
    const double four_rho = rho * 4;
    const double two_rho2 = rho2 + rho2;
    const double rho2_plus_1 = rho2 + 1.0;
    const double limb = (q3 + q2 * (std::asin(q1) + HALF_PI)) / PI;

    // Each separation is replaced by its magnification, in place.  The
    // elliptic integrals of up to BATCH_WIDTH entries outside the limb band
    // are evaluated together (numeric/elliptic_batch.hpp: the same bits as one
    // at a time); the entries are then finished in their order, so the first
    // failure in the order of the entries, and for one entry in the order E,
    // K, Pi, ends the call, as it would one entry at a time.
    constexpr int W = numeric::BATCH_WIDTH;
    struct Pending {
        double* entry;
        double u, delta, sigma, s;
    };
    Pending pending[W];
    double n_of[W];
    double m_of[W];
    int count = 0;

    // Returns the message of the first failure, or nullptr.
    auto finish = [&]() -> const char* {
        numeric::Expected<double> e[W];
        numeric::Expected<double> kk[W];
        numeric::Expected<double> pi_nm[W];
        numeric::ellipe_ellipk_batch(m_of, e, kk, count);
        numeric::ellippi_batch(n_of, m_of, pi_nm, count);
        for (int i = 0; i < count; ++i) {
            if (!e[i]) return e[i].error().message;
            if (!kk[i]) return kk[i].error().message;
            if (!pi_nm[i]) return pi_nm[i].error().message;
            const Pending& q = pending[i];
            const double u = q.u;
            const double delta = q.delta;
            const double sigma = q.sigma;
            const double s = q.s;

            const double delta2 = delta * delta;
            const double t_e = ((sigma * s) / two_rho2) * *e[i];
            const double t_k = ((delta * (4.0 + (u * u - rho2) * 0.5)) / (rho2 * s)) * *kk[i];
            const double t_pi = ((rho2_plus_1 * (delta2 + delta2)) / ((rho2 * sigma) * s)) * *pi_nm[i];
            const double h = t_e - t_k + t_pi;

            // h/pi is the total magnification of the two images of a point lens;
            // it is formed as the sum of the two image magnifications,
            // (h/pi - 1)/2 + (h/pi + 1)/2, each quotient on its own, which equals
            // h/pi up to rounding and keeps the results identical to the last bit
            // with the two-image evaluation of the same expression.
            *q.entry = (h - PI) / TWO_PI + (h + PI) / TWO_PI;
        }
        count = 0;
        return nullptr;
    };

    for (double& entry : l) {
        const double u = rho * entry;
        const double delta = u - rho;
        // A NaN delta fails this test and goes through the general expression.
        if (std::fabs(delta) < LIMB_BAND) {
            entry = limb;
            continue;
        }

        const double sigma = rho + u;
        const double n = (four_rho * u) / (sigma * sigma);
        const double s = std::sqrt(delta * delta + 4.0);
        const double k = std::sqrt(n * 4.0) / s;
        const double m = k * k;

        pending[count] = Pending{&entry, u, delta, sigma, s};
        n_of[count] = n;
        m_of[count] = m;
        if (++count == W) {
            if (const char* message = finish()) return numeric::fail(message);
        }
    }
    if (count > 0) {
        if (const char* message = finish()) return numeric::fail(message);
    }
    return l;
}

}  // namespace kelvora
