#include "fspl/core/magnification.hpp"

#include <algorithm>
#include <cmath>

#include "fspl/core/uniform_disk.hpp"
#include "numeric/gauss_legendre.hpp"

namespace kelvora::fspl {

namespace {

// Nodes per piece, measured against 64-node rules and the mpmath table.  The
// laws polynomial in mu or sqrt(mu) take 20 on each piece and leave at most
// 1.4e-10 (quadratic, lens at half the radius); power-2's limb pieces and the
// table segments (as long as the whole interval) take 24 and leave 8e-11.
using Rule = numeric::GaussLegendreHalf<24>;
using ShortRule = numeric::GaussLegendreHalf<20>;

// Table segments thinner than this (in r) are integrated over rings.
constexpr double NARROW = 1e-4;

// One piece [a, b] of the tau-interval, with the grading of its ends: 1 for
// none, q > 1 for nodes crowded as distance^q towards that end.  h > 0 is
// the distance from the graded end of a pair of complex singularities (see
// below), resolved by a sinh map when it is small against the piece.
struct Piece {
    double a, b;
    double qa = 1.0, qb = 1.0;
    double h = 0.0;
};

// Gauss-Legendre over a piece, plain or graded at one end, x = w^q from that
// end (dx/dw = q w^(q-1)), the nodes placed from that end.  (No piece is
// graded at both ends: a piece that would be is split.)
template <class R, class F>
double integrate(const Piece& piece, F&& f) noexcept {
    const double width = piece.b - piece.a;
    double sum = 0.0;
    if (piece.qa == 1.0 && piece.qb == 1.0) {
        for (std::size_t i = 0; i < R::x.size(); ++i) {
            const double x = R::x[i];
            sum += width * R::w[i] * (f(piece.a + width * x) + f(piece.b - width * x));
        }
        return sum;
    }
    const bool at_a = piece.qa > 1.0;
    const double q = at_a ? piece.qa : piece.qb;
    const bool square = q == 2.0;
    if (square && piece.h > 0.0 && piece.h < 0.25 * width) {
        // The complex singularities h off the kink: the graded rule on the
        // first h, then pieces growing geometrically (ratio 4) away from the
        // kink, on each of which the singularities lie at least a third of
        // the piece's width from it; 12 points then leave 3^-24 there.
        using Outer = numeric::GaussLegendreHalf<12>;
        const double h = piece.h;
        auto at = [&](double d) noexcept { return at_a ? piece.a + d : piece.b - d; };
        sum = integrate<R>(at_a ? Piece{piece.a, at(h), 2.0, 1.0} : Piece{at(h), piece.b, 1.0, 2.0}, f);
        for (double lo = h; lo < width;) {
            double hi = 4.0 * lo;
            if (hi > width || width - hi < lo) hi = width;
            const Piece outer = at_a ? Piece{at(lo), at(hi)} : Piece{at(hi), at(lo)};
            sum += integrate<Outer>(outer, f);
            lo = hi;
        }
        return sum;
    }
    auto point = [&](double v, double weight) noexcept {  // v: distance from the graded end
        const double x = square ? v * v : std::pow(v, q);
        const double jacobian = square ? 2.0 * v : q * std::pow(v, q - 1.0);
        sum += width * weight * jacobian * f(at_a ? piece.a + width * x : piece.b - width * x);
    };
    for (std::size_t i = 0; i < R::x.size(); ++i) {
        point(R::x[i], R::w[i]);
        point(1.0 - R::x[i], R::w[i]);
    }
    return sum;
}

// r = 1 - tau^4, written so that it keeps its relative accuracy near tau = 1.
inline double radius(double tau) noexcept {
    return (1.0 - tau) * (1.0 + tau) * (1.0 + tau * tau);
}

}  // namespace

double magnification(double u, double rho, const Profile& profile) noexcept {
    if (profile.law() == Law::uniform) return uniform_disk(u, rho);
    if (!(u < FAR_FIELD_RATIO * rho)) {
        if (u != u) return u;
        return far_field(u, rho, profile.far_field_coefficients());
    }
    // F (A - A_U(rho)) = int dI/dtau r^2 (A_U(u, rho r) - A_U(u, rho)) dtau:
    // the disk superposition less the same for the uniform disk, so that a
    // profile whose light sits in a thin limb (all of F from a sliver of the
    // disk) keeps its accuracy; the difference vanishes at the limb.
    const double whole = uniform_disk(u, rho);
    auto excess = [u, rho, whole](double r) noexcept { return r * r * (uniform_disk(u, rho * r) - whole); };

    // The lens lies on the edge of the sub-disk r_u = u/rho, at tau_u =
    // (1 - r_u)^(1/4); the integrand has its kink there.
    double split = -1.0;
    if (u > 0 && u < rho) split = std::sqrt(std::sqrt((rho - u) / rho));
    const bool inside = split > 0.0 && split < 1.0;
    // A0 is also singular at x^2 = -4, and so the disks are at s = u +- 2i:
    // complex points 2/rho (in r) off the kink, 1/(2 rho tau_u^3) in tau,
    // which close in on it for a source larger than the Einstein ring.  With
    // the lens at the centre they sit at r = +-2i/rho, by the end tau = 1.
    const double kink = inside ? split : 1.0;
    const double h = 0.5 / (rho * kink * kink * kink);
    const bool centred = u == 0 && h < 0.25;
    // Grading at the limb: 2 resolves a lens just outside; the power-2 law
    // needs more (Profile::limb_grading).
    const double q_limb = profile.limb_grading();

    double integral = 0.0;
    if (profile.law() != Law::tabulated) {
        auto integrand = [&](double tau) noexcept {
            const double r = radius(tau);
            return profile.slope(tau, r) * excess(r);
        };
        if (centred) {
            integral = integrate<Rule>(Piece{0.0, 0.5, q_limb, 1.0}, integrand) +
                       integrate<Rule>(Piece{0.5, 1.0, 1.0, 2.0, h}, integrand);
        } else if (!inside && profile.law() != Law::power_2) {
            integral = integrate<ShortRule>(Piece{0.0, 1.0, q_limb, 1.0}, integrand);
        } else if (!inside) {
            // The strong grading of mu^alpha on a limb piece of its own.
            integral = integrate<Rule>(Piece{0.0, 0.5, q_limb, 1.0}, integrand) +
                       integrate<Rule>(Piece{0.5, 1.0}, integrand);
        } else if (profile.law() != Law::power_2) {
            // dI/dtau is smooth at the limb: grade only towards the lens.
            integral = integrate<ShortRule>(Piece{0.0, split, 1.0, 2.0, h}, integrand) +
                       integrate<ShortRule>(Piece{split, 1.0, 2.0, 1.0, h}, integrand);
        } else {
            // mu^alpha needs its own grading at the limb: a third piece.
            const double mid = 0.5 * split;
            integral = integrate<Rule>(Piece{0.0, mid, q_limb, 1.0}, integrand) +
                       integrate<Rule>(Piece{mid, split, 1.0, 2.0, h}, integrand) +
                       integrate<ShortRule>(Piece{split, 1.0, 2.0, 1.0, h}, integrand);
        }
    } else {
        // On each segment between nodes I rises linearly in mu by rise[j]:
        // its share is rise[j] times the mean of the excess over the segment
        // weighted by dmu = 4 tau r/sqrt(1 + r) dtau, the weight integrated
        // exactly (mu = tau^2 sqrt(1 + r)).  Written as a mean, a segment of
        // any width (down to a single point) contributes its rise once.
        auto integrand = [&](double tau) noexcept {
            const double r = radius(tau);
            return (4.0 * tau * r / std::sqrt(1.0 + r)) * excess(r);
        };
        auto mu_at = [](double tau) noexcept { return tau * tau * std::sqrt(1.0 + radius(tau)); };
        const auto& edges = profile.breakpoints();
        const auto& rises = profile.segment_rises();
        const auto& mus = profile.segment_edges();
        // mu of the lens's circle, for the thin zones.
        const double mu_u = u <= rho ? std::sqrt((1.0 - u / rho) * (1.0 + u / rho)) : -1.0;
        double lo = 0.0;
        for (std::size_t j = 0; j <= edges.size(); ++j) {
            const double hi = j < edges.size() ? edges[j] : 1.0;
            const double rise = rises[j];
            const double weight = mu_at(hi) - mu_at(lo);
            const double r_outer = radius(lo), r_inner = radius(hi);
            if (r_outer - r_inner < NARROW) {
                // A thin zone: the share of the disks, int X dI, is the
                // difference of nearly equal disks and keeps only eps/width of
                // its digits.  Integrated by parts back to the rings,
                //   int X dI = int_zone I dX - [I X]_r_inner^r_outer,
                // dX = 2r (A_ring(u, rho r) - A_U(u, rho)) dr, no difference is
                // taken; in mu (r dr = -mu dmu) I is linear on the zone.
                const double mu_a = mus[j], mu_b = mus[j + 1];
                const double i_a = profile.intensity(mu_a), i_b = profile.intensity(mu_b);
                if (i_a == 0.0 && i_b == 0.0) {
                    lo = hi;
                    continue;
                }
                auto ring = [&](double mu) noexcept {
                    const double r = std::sqrt((1.0 - mu) * (1.0 + mu));
                    // u - rho r = (u - rho) + rho (1 - r), 1 - r = mu^2/(1 + r).
                    const double d = (u - rho) + rho * (mu * mu / (1.0 + r));
                    // A node on the singularity itself (d underflows at mu <
                    // 1e-154 with u = rho) carries no weight: the integrand
                    // vanishes there like mu ln mu.
                    if (d == 0) return 0.0;
                    const double level = i_a + (i_b - i_a) * ((mu - mu_a) / (mu_b - mu_a));
                    return level * (2.0 * mu) * (ring_average(u, rho * r, d) - whole);
                };
                double zone = 0.0;
                if (mu_u > mu_a && mu_u < mu_b) {
                    zone = integrate<Rule>(Piece{mu_a, mu_u, 1.0, 4.0}, ring) +
                           integrate<Rule>(Piece{mu_u, mu_b, 4.0, 1.0}, ring);
                } else if (mu_u >= 0.0 && mu_u <= mu_a && mu_a - mu_u < mu_b - mu_a) {
                    zone = integrate<Rule>(Piece{mu_a, mu_b, 4.0, 1.0}, ring);
                } else if (mu_u >= mu_b && mu_u - mu_b < mu_b - mu_a) {
                    zone = integrate<Rule>(Piece{mu_a, mu_b, 1.0, 4.0}, ring);
                } else {
                    zone = integrate<Rule>(Piece{mu_a, mu_b}, ring);
                }
                integral += zone - (i_a * excess(r_outer) - i_b * excess(r_inner));
            } else if (rise != 0.0 && !(weight > 0.0)) {
                integral += rise * excess(radius(lo));
            } else if (rise != 0.0) {
                const double qa = lo == 0.0 && !inside ? 2.0 : 1.0;
                double part = 0.0;
                if (inside && split > lo && split < hi) {
                    part = integrate<Rule>(Piece{lo, split, qa, 2.0, h}, integrand) +
                           integrate<Rule>(Piece{split, hi, 2.0, 1.0, h}, integrand);
                } else if (centred && hi == 1.0) {
                    const double mid = lo == 0.0 ? 0.5 : lo;
                    if (mid > lo) part = integrate<Rule>(Piece{lo, mid, qa, 1.0}, integrand);
                    part += integrate<Rule>(Piece{mid, hi, 1.0, 2.0, h}, integrand);
                } else {
                    const double qb = inside && split == hi ? 2.0 : 1.0;
                    const double qa2 = inside && split == lo ? 2.0 : qa;
                    part = integrate<Rule>(Piece{lo, hi, qa2, qb, h}, integrand);
                }
                integral += rise * (part / weight);
            }
            lo = hi;
        }
    }
    // The mean of A0 >= 1 is never below 1; rounding must not take it there.
    return std::max(1.0, whole + integral / profile.flux());
}

}  // namespace kelvora::fspl
