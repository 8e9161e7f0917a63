// The ring kernel: the point-lens magnification averaged over one thin,
// uniformly bright ring of the source, the building block of the ring
// formulation of finite-source microlensing (D. Heyrovsky, ApJ 594 (2003) 464).
//
// Lengths in stellar radii: the lens lies at distance l from the centre of
// the ring of radius r, and eta = re/rstar is the Einstein radius.  The ring
// average of A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4)) over the circle,
//
//   h = (1/2pi) int_0^{2pi} A0(sqrt(l^2 + r^2 - 2 l r cos phi)/eta) dphi,
//
// reduces to complete elliptic integrals (m = k^2 convention of
// numeric/elliptic.hpp).  With d = l - r and Q = d^2 + 4 eta^2,
//
//   h = 4 / (2pi (l + r) sqrt(Q)) * (d^2 Pi(n, m) + 2 eta^2 K(m)),
//   n = 4 l r / (l + r)^2,   m = n * 4 eta^2 / Q.
//
// As the ring approaches the lens (d -> 0) n and m both tend to 1 and the
// expression diverges like ln|d|.  Within RING_BAND = 1e-5 (|d| < 1e-5, an
// absolute band, in stellar radii) the kernel uses instead, on the side d >= 0,
//
//   2pi h = 4 atan(l/eta) + (1 - d/2l) (2 eta/l) L + d eta (2 l^2 + eta^2) / (l^2 (l^2 + eta^2)),
//   L = ln(8 eta l/(|d| sqrt(l^2 + eta^2))),
//
// and for a ring just outside the lens's distance (-1e-5 < d < 0) it gives
// exactly 0.  The first agrees with the ring average to leading order only,
// the second not at all (the average has the same peak on that side), as the
// derivation below shows; both are the module's defined values, pinned by
// tests/cpp/test_heyrovsky.cpp (HeyrovskyBand) and the README.
//
// Derivation.  Here 1 - n = d^2/(l + r)^2 and 1 - m = d^2 ((l + r)^2 + 4 eta^2)
// / ((l + r)^2 Q), so m < n < 1, the circular case of Pi, in which (Byrd &
// Friedman 1971; Abramowitz & Stegun sec. 17.7)
//
//   Pi(n, m) = K(m) + (pi/2) delta_2 (1 - Lambda0(eps, m)),
//   delta_2 = sqrt(n/((1 - n)(n - m))) = (l + r) sqrt(Q)/d^2,
//   sin^2 eps = (1 - n)/(1 - m) = Q/((l + r)^2 + 4 eta^2),
//
// Lambda0 Heuman's Lambda function.  The d^2 cancels, and for every d != 0,
// exactly,
//
//   2pi h = 2pi (1 - Lambda0(eps, m)) + 4 (d^2 + 2 eta^2) K(m) / ((l + r) sqrt(Q)),
//
// symmetric in l and r like the average itself, which has the same
// logarithmic peak on both sides of the lens.  As d -> 0, with
// K(m) = ln(4/sqrt(1 - m)) + O((1 - m) ln(1 - m)) [DLMF 19.12.1] and
// Lambda0(eps, m) = 2 eps/pi + O((1 - m) ln(1 - m)), and to first order in d
//
//   eps                = atan(eta/l) + eta d/(2 (l^2 + eta^2)),
//   ln(4/sqrt(1 - m))  = L + l d/(2 (l^2 + eta^2)) - d/(2l),
//   4 (d^2 + 2 eta^2) / ((l + r) sqrt(Q)) = (2 eta/l) (1 + d/2l),
//
// the exact expansion is
//
//   2pi h = 4 atan(l/eta) + (1 + d/2l) (2 eta/l) L - d eta (2 l^2 + eta^2) / (l^2 (l^2 + eta^2))
//           + O(d^2 ln|d|).
//
// Its leading terms are the kernel's; its first-order terms are the kernel's
// with the opposite sign (the kernel's are the exact ones written for
// d = r - l, but applied to d = l - r).  So within the band the kernel is off by twice the
// first-order term, (2 eta d/l^2) (L - (2 l^2 + eta^2)/(l^2 + eta^2)) in 2pi h:
// relative 8e-6 at d = 1e-5 for l = eta = 1, 9e-4 for l = 0.01, eta = 1, of
// order d/l in general (tests/cpp/test_heyrovsky.cpp bounds it by 1.2 d/l on
// the band rows of its table).  At the band edge this meets the elliptic
// form, which loses about eps ((l + r)/d)^2 there (the 1 - n on which Pi
// depends is formed by subtraction).  Checked against the closed form at 60
// digits by tools/check_band_expansions.py.
//
// The operation order below is fixed: every operation rounds on its own (the
// library is built with -ffp-contract=off) and the grouping decides the last
// bits of each result.
#pragma once

#include <cmath>

#include "numeric/constants.hpp"
#include "numeric/elliptic.hpp"
#include "numeric/elliptic_batch.hpp"
#include "numeric/failure.hpp"

namespace kelvora {

// The ring kernel for one pair (re, rstar): eta = re/rstar and eta^2 formed
// once, the kernel evaluated for any separation l and ring radius r.  The
// same bits as forming them in every call.
struct RingGeometry {
    // Half-width of the near-ring band, in stellar radii (see above: the
    // expansion's error grows like d/l, the elliptic form's like
    // eps ((l + r)/d)^2).
    static constexpr double RING_BAND = 1e-05;

    double eta;
    double eta2;

    RingGeometry(double re, double rstar) noexcept : eta(re / rstar), eta2(eta * eta) {}

    numeric::Expected<double> operator()(double l, double r) const noexcept {
        const double d = l - r;

        // A NaN d fails this test and goes through the general expression.
        if (std::fabs(d) < RING_BAND) {
            if (d < 0) return 0.0;
            const double l2 = l * l;
            const double log_term =
                std::log(((eta * 8) * l) / (std::fabs(d) * std::sqrt(l2 + eta2)));
            const double h = 4 * std::atan(l / eta) +
                             ((1 - d / (l + l)) * ((eta + eta) / l)) * log_term +
                             d * ((eta * ((l2 + l2) + eta2)) / (l2 * (l2 + eta2)));
            return h / numeric::TWO_PI;
        }

        const double q = d * d + eta2 * 4;
        double m = ((eta * 4) / (l + r)) * std::sqrt((l * r) / q);
        m = m * m;
        const auto k = numeric::ellipk(m);
        if (!k) return std::unexpected(k.error());
        const double n = ((l * 4) * r) / ((l + r) * (l + r));
        const auto p = numeric::ellippi(n, m);
        if (!p) return std::unexpected(p.error());
        return outside(l, r, d, q, *k, *p);
    }

    // The kernel at up to numeric::BATCH_WIDTH ring radii r[0..count) for one
    // separation l: out[i] is exactly (*this)(l, r[i]), value or failure.  The
    // elliptic integrals of the rings outside the near-ring band are
    // evaluated together (numeric/elliptic_batch.hpp).
    void batch(double l, const double* r, numeric::Expected<double>* out, int count) const noexcept {
        constexpr int W = numeric::BATCH_WIDTH;
        int lane_of[W];
        double d_of[W], q_of[W], n_of[W], m_of[W];
        int lanes = 0;
        for (int i = 0; i < count; ++i) {
            const double d = l - r[i];
            if (std::fabs(d) < RING_BAND) {
                out[i] = (*this)(l, r[i]);
                continue;
            }
            const double q = d * d + eta2 * 4;
            double m = ((eta * 4) / (l + r[i])) * std::sqrt((l * r[i]) / q);
            m = m * m;
            lane_of[lanes] = i;
            d_of[lanes] = d;
            q_of[lanes] = q;
            m_of[lanes] = m;
            n_of[lanes] = ((l * 4) * r[i]) / ((l + r[i]) * (l + r[i]));
            ++lanes;
        }
        if (lanes == 0) return;
        numeric::Expected<double> k[W];
        numeric::Expected<double> p[W];
        numeric::ellipk_batch(m_of, k, lanes);
        numeric::ellippi_batch(n_of, m_of, p, lanes);
        for (int j = 0; j < lanes; ++j) {
            const int i = lane_of[j];
            if (!k[j]) {
                out[i] = std::unexpected(k[j].error());
            } else if (!p[j]) {
                out[i] = std::unexpected(p[j].error());
            } else {
                out[i] = outside(l, r[i], d_of[j], q_of[j], *k[j], *p[j]);
            }
        }
    }

private:
    // The elliptic form outside the band, from K(m) and Pi(n, m).
    double outside(double l, double r, double d, double q, double k, double p) const noexcept {
        const double h = (4 / ((l + r) * std::sqrt(q))) * ((d * d) * p + (eta2 + eta2) * k);
        return h / numeric::TWO_PI;
    }
};

}  // namespace kelvora
