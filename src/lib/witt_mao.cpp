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
// LIMB_BAND = 1e-5 Einstein radii of the limb (|delta| < 1e-5, an absolute
// band, not relative to rho) the limit at u = rho [Witt & Mao 1994, the lens
// on the limb] is used instead,
//
//   A = (2/rho + (1 + rho^2)/rho^2 (asin((rho^2 - 1)/(rho^2 + 1)) + pi/2)) / pi,
//
// which needs no elliptic integral.  The limit is the same for every entry of a
// call, so it is formed once.
//
// The limit.  Here 1 - n = delta^2/sigma^2 and 1 - m = delta^2 (4 + sigma^2)
// / (sigma^2 s^2), so m < n < 1, the circular case of Pi, in which (Byrd &
// Friedman 1971; Abramowitz & Stegun sec. 17.7)
//
//   Pi(n, m) = K(m) + (pi/2) delta_2 (1 - Lambda0(eps, m)),
//   delta_2 = sqrt(n/((1 - n)(n - m))) = sigma s/delta^2,
//   sin^2 eps = (1 - n)/(1 - m) = s^2/(4 + sigma^2),
//
// Lambda0 Heuman's Lambda function.  The Pi term's delta^2 cancels, and for
// every u != rho, exactly,
//
//   pi A = sigma s/(2 rho^2) E(m) + c_K K(m) + pi (1 + rho^2)/rho^2 (1 - Lambda0(eps, m)),
//   c_K  = -delta (8 + u^2 - rho^2)/(2 rho^2 s) + 2 delta^2 (1 + rho^2)/(rho^2 sigma s).
//
// As delta -> 0: E(m) -> 1 and sigma s -> 4 rho; c_K K(m) ~ delta ln|delta|
// -> 0; Lambda0(eps, m) -> 2 eps/pi as m -> 1, with sin^2 eps -> 1/(1 + rho^2),
// eps -> atan(1/rho).  So pi A(rho) = 2/rho + 2 (1 + rho^2) atan(rho)/rho^2,
// and 2 atan(rho) = asin((rho^2 - 1)/(rho^2 + 1)) + pi/2 (with rho = tan t
// both are 2t), the form above.
//
// Truncation error of the band.  To first order in delta, with
// K(m) = ln(4/sqrt(1 - m)) + O((1 - m) ln(1 - m)) [DLMF 19.12.1] and
// Lambda0 = 2 eps/pi + O((1 - m) ln(1 - m)), the three terms give
//
//   A(rho + delta) = A(rho) - (2 delta/(pi rho^2)) (ln(8 rho/(|delta| sqrt(1 + rho^2))) - 1)
//                    + O(delta^2 ln|delta|)
//
// (the E and Lambda0 terms contribute +delta/rho^2 each to pi A, the K term
// -2 delta/rho^2 times the logarithm).  The limb value is off by that
// first-order term within the band: relative 5e-5 at |delta| = 1e-5 for
// rho = 1, 5e-4 for rho = 0.1, 4e-3 for rho = 0.01, about
// (|delta|/(2 rho)) (ln(8 rho/|delta|) - 1) for a small source.  Checked
// against the closed form at 60 digits by tools/check_band_expansions.py.
//
// The operation order below is fixed: every operation rounds on its own (the
// library is built with -ffp-contract=off) and the grouping decides the last
// bits of each result.
#include <cmath>
#include <vector>

#include "lib/models.hpp"
#include "numeric/constants.hpp"
#include "numeric/elliptic.hpp"
#include "numeric/elliptic_batch.hpp"

namespace kelvora {

namespace {

using numeric::PI;
using numeric::PI_2;
using numeric::TWO_PI;

// Half-width of the limb band, in Einstein radii.  It trades two errors: just
// outside it the closed form keeps only about eps (sigma/delta)^2 of relative
// accuracy (the 1 - n = (delta/sigma)^2 on which Pi depends is formed by
// subtraction; about 1e-6 measured at the edge for rho = 1), just inside it
// the limit is off by the first-order term above (5e-5 for rho = 1).
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
    const double limb = (q3 + q2 * (std::asin(q1) + PI_2)) / PI;

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
