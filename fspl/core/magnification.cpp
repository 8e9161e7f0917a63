#include "fspl/core/magnification.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>
#include <limits>
#include <vector>

#include "fspl/core/distant_lens.hpp"
#include "fspl/core/small_source.hpp"
#include "fspl/core/uniform_gradient.hpp"
#include "numeric/gauss_legendre.hpp"

namespace kelvora::fspl {

namespace {

// Nodes per piece, measured against 64-node rules and the two mpmath tables.
// For sources up to the Einstein radius the laws polynomial in mu or sqrt(mu)
// take 20 on a piece with no kink; the pieces on either side of the lens's
// kink, power-2's limb pieces and the table segments (as long as the whole
// interval) take 24.  At most 1.5e-10 remains (quadratic, lens on the limb).
// Larger sources bring the disks' complex singularities (s = u +- 2i, see
// disk_integral) within a fraction of a piece of the kink and of the limb:
// there the rules are 24 and 32 nodes, which keep the value to 3e-11 and the
// derivatives to 1e-9 (24 and 20 would leave the derivatives 4e-8).
//
// Grading towards the lens's kink: nodes crowded as w^4, which makes the
// (s - u) ln|s - u| of the disks w^7 ln w and the ln|s - u| of their
// derivatives (the gradient) w^3 ln w, so that one set of nodes serves the
// value and its derivatives (q = 2 leaves the derivatives 1e-5).
// Rule: the pieces either side of the lens's kink, graded as w^Kink towards
// it; ShortRule: a piece with no kink (the lens at the centre, or outside the
// source); LimbRule: the piece of a lens just outside the limb (closer than
// NEAR_LIMB radii); Outer: the pieces growing geometrically from a pair of
// complex singularities (integrate()).
template <int N, int NShort, int NOuter, int Kink = 4, int NLimb = N>
struct Rules {
    static constexpr double kink = Kink;
    using LimbRule = numeric::GaussLegendreHalf<NLimb>;
    using Rule = numeric::GaussLegendreHalf<N>;
    using ShortRule = numeric::GaussLegendreHalf<NShort>;
    using Outer = numeric::GaussLegendreHalf<NOuter>;
};
// The rules of each accuracy level (Accuracy::level(), 0 the default): for
// sources up to the Einstein radius and for larger ones.  Outer is the rule
// of the pieces growing geometrically from a pair of complex singularities
// (integrate() below).
template <int Level>
struct LevelRules;
template <>
struct LevelRules<0> {
    using Small = Rules<20, 20, 12>;
    using Large = Rules<32, 24, 12>;
};
template <>
struct LevelRules<1> {
    using Small = Rules<20, 16, 10>;
    using Large = Rules<24, 20, 10>;
};
template <>
struct LevelRules<2> {
    using Small = Rules<16, 14, 10>;
    using Large = Rules<20, 16, 10>;
};
template <>
struct LevelRules<3> {
    using Small = Rules<14, 12, 8>;
    using Large = Rules<16, 14, 8>;
};
template <>
struct LevelRules<4> {
    using Small = Rules<12, 10, 8>;
    using Large = Rules<14, 12, 8>;
};
template <>
struct LevelRules<5> {
    using Small = Rules<10, 8, 6>;
    using Large = Rules<12, 10, 6>;
};
template <>
struct LevelRules<6> {
    using Small = Rules<8, 6, 6>;
    using Large = Rules<10, 8, 6>;
};

// The value's rules at each level, where they differ from the derivatives':
// the value's integrand has only a kink, (s - u) ln|s - u|, at the lens,
// which grading as w^2 makes w^3 ln w, and the milder grading leaves the
// rest of the piece smoother, so that fewer nodes reach the tolerance
// (measured on the tables and a dense grid about the limb); the
// derivatives' integrands are log-singular there and keep w^4.
template <int Level>
struct ValueRules {
    using Small = typename LevelRules<Level>::Small;
    using Large = typename LevelRules<Level>::Large;
};
template <>
struct ValueRules<1> {
    using Small = Rules<16, 16, 10, 2, 20>;
    using Large = LevelRules<1>::Large;
};
template <>
struct ValueRules<2> {
    using Small = Rules<12, 14, 10, 2, 16>;
    using Large = LevelRules<2>::Large;
};
template <>
struct ValueRules<3> {
    using Small = Rules<10, 12, 8, 2, 14>;
    using Large = LevelRules<3>::Large;
};
template <>
struct ValueRules<4> {
    using Small = Rules<8, 10, 8, 2, 12>;
    using Large = LevelRules<4>::Large;
};
template <>
struct ValueRules<5> {
    using Small = Rules<8, 10, 6, 2, 10>;
    using Large = LevelRules<5>::Large;
};
template <>
struct ValueRules<6> {
    using Small = Rules<6, 8, 6, 2, 8>;
    using Large = LevelRules<6>::Large;
};

// From how many source radii out each level takes the far-field series for
// the value (its derivatives from GRADIENT_FAR_FIELD_RATIO): where the
// series' twelve terms, for the profile that converges slowest (all of its
// light at the limb), leave a fifth of the level's tolerance or less
// (measured: 2.2 radii 3e-11, 2.0 4e-10, 1.8 7e-9, 1.6 2e-7, 1.5 9e-7,
// 1.35 1.5e-5, 1.2 5e-4).
constexpr std::array<double, Accuracy::LEVELS> FAR_FIELD_FROM = {2.5, 2.0, 1.8, 1.6, 1.5, 1.35, 1.2};

// The level whose rules the derivatives take at each level: measured on the
// gradient table, the derivatives at the rules of levels 0 to 4 are good to
// 4e-9, 2e-8, 3e-7, 1.2e-5 and 3.3e-4, against 10 times the tolerance asked.
constexpr std::array<int, Accuracy::LEVELS> GRADIENT_RULES = {0, 0, 1, 2, 2, 3, 4};

// Where each level stops the far-field series: at the default the last
// bit; beyond, once a term adds less than 1/64 of the tolerance to A - 1
// (the terms shrink at least like (rho/u)^2 <= 0.7 per term from 1.2 radii
// out, so the rest of the series is at most about 2.3 times the last term).
constexpr std::array<double, Accuracy::LEVELS> SERIES_STOP = {
    FAR_FIELD_STOP, 1e-8 / 64, 1e-7 / 64, 1e-6 / 64, 1e-5 / 64, 1e-4 / 64, 1e-3 / 64};

// A lens just outside the limb, closer than this many source radii, puts
// singularities near the limb end of the single piece: it takes the longer
// rule.
constexpr double NEAR_LIMB = 1.25;


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

// The integrand at the nodes x[0 .. n): by its many() where it has one (the
// value's disks, computed side by side), else point by point.
template <class F, class V>
void evaluate(F& f, const double* x, V* y, std::size_t n) noexcept {
    if constexpr (requires { f.many(x, y, n); }) {
        f.many(x, y, n);
    } else {
        for (std::size_t i = 0; i < n; ++i) y[i] = f(x[i]);
    }
}

// Gauss-Legendre over a piece, plain or graded at one end, x = w^q from that
// end (dx/dw = q w^(q-1)), the nodes placed from that end.  (No piece is
// graded at both ends: a piece that would be is split.)  The integrand is
// evaluated at all of the rule's nodes at once, then summed in the rule's
// order.
template <class R, class Outer, class F>
auto integrate(const Piece& piece, F&& f) noexcept {
    using V = decltype(f(0.0));
    constexpr std::size_t H = R::x.size();
    const double width = piece.b - piece.a;
    std::array<double, 2 * H> nodes;
    std::array<V, 2 * H> values;
    V sum{};
    if (piece.qa == 1.0 && piece.qb == 1.0) {
        for (std::size_t i = 0; i < H; ++i) {
            const double x = R::x[i];
            nodes[2 * i] = piece.a + width * x;
            nodes[2 * i + 1] = piece.b - width * x;
        }
        evaluate(f, nodes.data(), values.data(), 2 * H);
        for (std::size_t i = 0; i < H; ++i) sum += width * R::w[i] * (values[2 * i] + values[2 * i + 1]);
        return sum;
    }
    const bool at_a = piece.qa > 1.0;
    const double q = at_a ? piece.qa : piece.qb;
    const bool square = q == 2.0, fourth = q == 4.0, third = q == 3.0;
    if (piece.h > 0.0 && piece.h < 0.5 * width) {
        // The complex singularities h off the kink: the graded rule on the
        // first h, then pieces growing geometrically (ratio 4) away from the
        // kink, on each of which the singularities lie at least a third of
        // the piece's width from it; 12 points then leave 3^-24 there (the
        // Outer rule of the accuracy level).
        const double h = piece.h;
        auto at = [&](double d) noexcept { return at_a ? piece.a + d : piece.b - d; };
        sum = integrate<R, Outer>(at_a ? Piece{piece.a, at(h), q, 1.0} : Piece{at(h), piece.b, 1.0, q}, f);
        for (double lo = h; lo < width;) {
            double hi = 4.0 * lo;
            if (hi > width || width - hi < lo) hi = width;
            const Piece outer = at_a ? Piece{at(lo), at(hi)} : Piece{at(hi), at(lo)};
            sum += integrate<Outer, Outer>(outer, f);
            lo = hi;
        }
        return sum;
    }
    std::array<double, 2 * H> factors;
    auto point = [&](std::size_t j, double v, double weight) noexcept {  // v: distance from the graded end
        const double v2 = v * v;
        const double x = square ? v2 : fourth ? v2 * v2 : third ? v2 * v : std::pow(v, q);
        const double jacobian = square ? 2.0 * v : fourth ? 4.0 * (v2 * v) : third ? 3.0 * v2 : q * std::pow(v, q - 1.0);
        factors[j] = width * weight * jacobian;
        nodes[j] = at_a ? piece.a + width * x : piece.b - width * x;
    };
    for (std::size_t i = 0; i < H; ++i) {
        point(2 * i, R::x[i], R::w[i]);
        point(2 * i + 1, 1.0 - R::x[i], R::w[i]);
    }
    evaluate(f, nodes.data(), values.data(), 2 * H);
    for (std::size_t j = 0; j < 2 * H; ++j) sum += factors[j] * values[j];
    return sum;
}

// r = 1 - tau^4, written so that it keeps its relative accuracy near tau = 1.
inline double radius(double tau) noexcept {
    return (1.0 - tau) * (1.0 + tau) * (1.0 + tau * tau);
}

// u - rho r, the disk's distance from the lens, at tau (r = radius(tau)).
// With the lens within 2^-20 rho of the limb, from u - rho (exact there) and
// rho tau^4 = rho (1 - r) (exact to its rounding): the difference of rho r
// and u keeps only eps rho/|u - rho r| of it, none where r rounds to 1 (tau
// below 1e-4), and near the limb the kink's neighbourhood is all there.
inline double distance_from_lens(double u, double rho, double tau, double r) noexcept {
    if (!(std::fabs(u - rho) <= 0x1p-20 * rho)) return u - rho * r;
    const double t2 = tau * tau;
    return (u - rho) + rho * (t2 * t2);
}

// The principal square root of x + iy, y >= 0, without cancellation.  (Not
// std::hypot, see uniform_disk: here |x| < 8 and y = 2/rho < 2^505, as the
// disk integral has rho > 2^-504, so the squares stay finite.)
inline std::array<double, 2> complex_sqrt(double x, double y) noexcept {
    const double m = std::sqrt(x * x + y * y);
    if (x >= 0) {
        const double re = std::sqrt(0.5 * (m + x));
        return {re, re > 0 ? 0.5 * y / re : 0.0};
    }
    const double im = std::sqrt(0.5 * (m - x));
    return {0.5 * y / im, im};
}

// The disks' singularities s = u +- 2i in tau, the roots of tau^4 = (rho -
// u)/rho -+ 2i/rho nearest the interval: tau_c +- i h_c, {tau_c, h_c}, at
// 22.5 to 90 degrees from the kink inside the limb (45 to 22.5 from the end
// tau = 0 outside it).
inline std::array<double, 2> disk_pole(double u, double rho) noexcept {
    const auto root = complex_sqrt((rho - u) / rho, 2.0 / rho);
    return complex_sqrt(root[0], root[1]);
}

// A piece graded at its start a (the lens's kink, or the limb with the lens
// outside it), and refined geometrically from there when piece.h is below
// half of it (integrate()).  Those resolve the disks' singularities where
// they lie square to a, h = 1/(2 rho tau_u^3) off the kink to first order in
// 2/(rho (1 - u/rho)).  With the lens near the limb they do not (disk_pole):
// inside, once 1 - u/rho is below about 2/rho, they turn towards the line
// (down to 22.5 degrees from it as seen from the kink), and outside they lie
// at 22.5 to 45 degrees from the limb, beyond the graded part, inside one of
// the geometric pieces or near the line of a single graded one.  Then the
// piece is split at tau_c: on either side the pair lies square to an end.
// Not when the pair is still nearly square to the kink (tau_c - a < h_c/2:
// then it is within the graded part, or a plain tail would start next to the
// kink), nor, with no geometric pieces, when it is a quarter of the piece off
// the line.  For sources up to the Einstein radius the pair lies beyond the
// interval (tau_c > 1).
template <class R, class Tail, class Outer, class F>
auto integrate_to_pole(const Piece& piece, double u, double rho, F&& f) noexcept {
    const double width = piece.b - piece.a;
    if (rho > 1.0) {
        const bool geometric = piece.h > 0.0 && piece.h < 0.5 * width;
        const double graded = geometric ? piece.h : 0.0;
        const auto [tau_c, h_c] = disk_pole(u, rho);
        if (tau_c < piece.b && tau_c - piece.a > std::max(graded, 0.5 * h_c) && (geometric || h_c < 0.25 * width)) {
            return integrate<R, Outer>(Piece{piece.a, tau_c, piece.qa, 1.0, piece.h}, f) +
                   integrate<Tail, Outer>(Piece{tau_c, piece.b}, f);
        }
    }
    return integrate<R, Outer>(piece, f);
}

// Lanes of a gradient integral: the value, its derivatives in u and rho, and
// in up to two coefficients of an analytic law.  Each lane takes exactly the
// operations the value alone takes, so lane 0 is bit for bit the value.
struct Lanes {
    std::array<double, 5> v{};
    Lanes& operator+=(const Lanes& o) noexcept {
        for (std::size_t i = 0; i < v.size(); ++i) v[i] += o.v[i];
        return *this;
    }
    friend Lanes operator+(Lanes a, const Lanes& b) noexcept { return a += b; }
    friend Lanes operator-(Lanes a, const Lanes& b) noexcept {
        for (std::size_t i = 0; i < a.v.size(); ++i) a.v[i] = a.v[i] - b.v[i];
        return a;
    }
    friend Lanes operator*(double c, Lanes a) noexcept {
        for (auto& x : a.v) x = c * x;
        return a;
    }
    friend Lanes operator/(Lanes a, double c) noexcept {
        for (auto& x : a.v) x = x / c;
        return a;
    }
};

// The value alone.
struct ValueModel {
    using V = double;
    double u, rho, whole;
    double whole_value() const noexcept { return whole; }
    // (A node at the very centre, tau rounded to 1 on a source of more than
    // 1e13 Einstein radii, is a disk of radius 0: no excess, rather than 0 * NaN.)
    // (sep: u - rho r, distance_from_lens.)
    double excess(double r, double sep) const noexcept {
        return r == 0 ? 0.0 : r * r * (uniform_disk(u, rho * r, sep) - whole);
    }
    double excess(double r) const noexcept { return excess(r, u - rho * r); }
    double slope_excess(const Profile& profile, double tau, double r) const noexcept {
        return profile.slope(tau, r) * excess(r, distance_from_lens(u, rho, tau, r));
    }
    // slope_excess at n <= MANY nodes tau[i], bit for bit, the disks side by
    // side (with the lens on the limb, where the distances come from tau,
    // one at a time).
    static constexpr std::size_t MANY = 64;
    void slope_excess_many(const Profile& profile, const double* tau, double* out, std::size_t n) const noexcept {
        if (std::fabs(u - rho) <= 0x1p-20 * rho) {
            for (std::size_t i = 0; i < n; ++i) out[i] = slope_excess(profile, tau[i], radius(tau[i]));
            return;
        }
        std::array<double, MANY> r, s, disk;
        for (std::size_t i = 0; i < n; ++i) {
            r[i] = radius(tau[i]);
            s[i] = rho * r[i];
        }
        uniform_disk_many(u, s.data(), disk.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            const double e = r[i] == 0 ? 0.0 : r[i] * r[i] * (disk[i] - whole);
            out[i] = profile.slope(tau[i], r[i]) * e;
        }
    }
    // A_ring(u, s) - A_U(u, rho), the rings of a thin table zone (d = u - s).
    double ring_excess(double s, double d) const noexcept { return ring_average(u, s, d) - whole; }
    static double value(double x) noexcept { return x; }
    // A table segment's share, rise times the mean of the excess (or, for a
    // thin zone, linear in the intensities at its two edges): nothing to keep.
    void segment(std::size_t, double, double) const noexcept {}
};

// The value and its derivatives.  The excess r^2 (A_U(u, rho r) - A_U(u, rho))
// differentiates to r^2 (dA_U/du(u, rho r) - dA_U/du(u, rho)) and, as
// d/drho A_U(u, rho r) = r dA_U/ds at s = rho r, to r^2 (r dA_U/ds - dA_U/drho).
// (At u = rho the whole disk's derivatives are infinite and so are lanes 1
// and 2; they are not read there: a bright limb under the lens gives -inf and
// +inf, a dark one is evaluated just inside.)
//
// With the lens DISTANT_LENS or more outside the limb, every disk's excess
// over 1 and derivatives come from the sums of distant_lens.hpp, and the
// lanes are differences of those (whole_rise = A_U(u, rho) - 1): the
// differences of the disks themselves, all close to 1, would keep only
// eps/(A - 1) of the coefficients' derivatives.  The value is then not
// lane 0's (scaled_gradient takes magnification()'s).
struct GradientModel {
    using V = Lanes;
    double u, rho;
    Gradient whole;
    std::vector<double>* shares;  // tabulated: d(integral)/dI at each edge, or null
    bool distant = false;
    double whole_rise = 0.0;
    double whole_value() const noexcept { return whole.value; }
    Lanes excess(double r, double sep) const noexcept {
        Lanes e;
        if (r == 0) return e;
        if (distant) {
            const DistantDisk d = distant_lens_disk(u, rho * r, sep);
            e.v[0] = r * r * (d.rise - whole_rise);
            e.v[1] = r * r * (d.du - whole.du);
            e.v[2] = r * r * (r * d.ds - whole.drho);
            return e;
        }
        const Gradient g = uniform_disk_gradient(u, rho * r, sep);
        e.v[0] = r * r * (g.value - whole.value);
        // A node on the log singularity itself (rho r rounds to u) carries
        // no weight: the derivatives' integrands vanish there like d ln d.
        if (sep == 0) return e;
        e.v[1] = r * r * (g.du - whole.du);
        e.v[2] = r * r * (r * g.drho - whole.drho);
        return e;
    }
    Lanes excess(double r) const noexcept { return excess(r, u - rho * r); }
    double ring_excess(double s, double d) const noexcept {
        if (distant) return distant_lens_disk(u, s, d).ring_rise - whole_rise;
        return ring_average(u, s, d) - whole.value;
    }
    Lanes slope_excess(const Profile& profile, double tau, double r) const noexcept {
        const double slope = profile.slope(tau, r);
        const auto dslope = profile.slope_derivatives(tau, r);
        const Lanes e = excess(r, distance_from_lens(u, rho, tau, r));
        Lanes out;
        out.v[0] = slope * e.v[0];
        out.v[1] = slope * e.v[1];
        out.v[2] = slope * e.v[2];
        out.v[3] = dslope[0] * e.v[0];
        out.v[4] = dslope[1] * e.v[0];
        return out;
    }
    static double value(const Lanes& x) noexcept { return x.v[0]; }
    void segment(std::size_t edge, double d_lo, double d_hi) const noexcept {
        if (shares == nullptr) return;
        (*shares)[edge] += d_lo;
        (*shares)[edge + 1] += d_hi;
    }
};

// dI/dtau r^2 (A_U(u, rho r) - A_U(u, rho)) at tau, for an analytic law,
// in the lanes of the model; the value's also at many nodes at once.
template <class Model>
struct LawIntegrand {
    const Model& model;
    const Profile& profile;
    typename Model::V operator()(double tau) const noexcept { return model.slope_excess(profile, tau, radius(tau)); }
    void many(const double* tau, double* out, std::size_t n) const noexcept
        requires std::is_same_v<Model, ValueModel>
    {
        model.slope_excess_many(profile, tau, out, n);
    }
};

// int dI/dtau r^2 (A_U(u, rho r) - A_U(u, rho)) dtau over the disk, in the
// lanes of the model; 0 < u < FAR_FIELD_RATIO rho.
template <class Rules, class Model>
typename Model::V disk_integral(double u, double rho, const Profile& profile, const Model& model) noexcept {
    using V = typename Model::V;
    using Rule = typename Rules::Rule;
    using ShortRule = typename Rules::ShortRule;
    using Outer = typename Rules::Outer;
    using LimbRule = typename Rules::LimbRule;
    constexpr double KINK = Rules::kink;
    auto excess = [&model](double r) noexcept { return model.excess(r); };

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
    // In tau the kink has images: r = 1 - tau^4 is the same at tau_u i^k, so
    // the excess is singular also at +-i tau_u and -tau_u, sqrt(2) tau_u
    // from the kink.  For a lens near the limb (tau_u small) they crowd the
    // kink's inner end, and are resolved there like the complex points.
    const double h_inner = inside ? std::min(h, split) : h;
    // A lens just outside the limb puts the disks' singularity at tau^4 =
    // -(u - rho)/rho, tau_out = ((u - rho)/rho)^(1/4) off the end tau = 0.
    const double out = u > rho ? std::sqrt(std::sqrt((u - rho) / rho)) : 0.0;
    // Grading at the limb: 2 resolves a lens just outside; the power-2 law
    // needs more (Profile::limb_grading).
    const double q_limb = profile.limb_grading();

    V integral{};
    if (profile.law() != Law::tabulated) {
        const LawIntegrand<Model> integrand{model, profile};
        if (centred) {
            integral = integrate<Rule, Outer>(Piece{0.0, 0.5, q_limb, 1.0}, integrand) +
                       integrate<Rule, Outer>(Piece{0.5, 1.0, 1.0, 2.0, h}, integrand);
        } else if (!inside && profile.law() != Law::power_2) {
            // A lens just outside the limb, tau_out off the end tau = 0 (at
            // 45 degrees): resolved like the complex points above, a graded
            // piece on the first tau_out and pieces growing geometrically from
            // it (integrate() does so below half of the interval, u < 1.0625
            // rho); closer than NEAR_LIMB radii, with the longer rule.
            // With the lens at the centre (a source within the Einstein ring)
            // the integrand is smooth in tau up to the branch point of
            // mu = tau^2 sqrt(2 - tau^4) at tau = 2^(1/4), which grading at the
            // limb would bring closer: no grading there.
            const Piece piece{0.0, 1.0, u == 0 ? 1.0 : q_limb, 1.0, out};
            integral = u < NEAR_LIMB * rho && u > 0
                           ? integrate_to_pole<LimbRule, Rule, Outer>(piece, u, rho, integrand)
                           : integrate_to_pole<ShortRule, Rule, Outer>(piece, u, rho, integrand);
        } else if (!inside) {
            // The strong grading of mu^alpha on a limb piece of its own.
            integral = integrate_to_pole<Rule, Rule, Outer>(Piece{0.0, 0.5, q_limb, 1.0, out}, u, rho, integrand) +
                       integrate<Rule, Outer>(Piece{0.5, 1.0}, integrand);
        } else if (profile.law() != Law::power_2) {
            // dI/dtau is smooth at the limb: grade only towards the lens.
            integral = integrate<Rule, Outer>(Piece{0.0, split, 1.0, KINK, h}, integrand) +
                       integrate_to_pole<Rule, Rule, Outer>(Piece{split, 1.0, KINK, 1.0, h_inner}, u, rho, integrand);
        } else {
            // mu^alpha needs its own grading at the limb: a third piece.
            const double mid = 0.5 * split;
            integral = integrate<Rule, Outer>(Piece{0.0, mid, q_limb, 1.0}, integrand) +
                       integrate<Rule, Outer>(Piece{mid, split, 1.0, KINK, h}, integrand) +
                       integrate_to_pole<Rule, Rule, Outer>(Piece{split, 1.0, KINK, 1.0, h_inner}, u, rho, integrand);
        }
        return integral;
    }
    // On each segment between nodes I rises linearly in mu by rise[j]:
    // its share is rise[j] times the mean of the excess over the segment
    // weighted by dmu = 4 tau r/sqrt(1 + r) dtau, the weight integrated
    // exactly (mu = tau^2 sqrt(1 + r)).  Written as a mean, a segment of
    // any width (down to a single point) contributes its rise once.
    auto integrand = [&](double tau) noexcept {
        const double r = radius(tau);
        return (4.0 * tau * r / std::sqrt(1.0 + r)) * model.excess(r, distance_from_lens(u, rho, tau, r));
    };
    auto mu_at = [](double tau) noexcept { return tau * tau * std::sqrt(1.0 + radius(tau)); };
    const auto& edges = profile.breakpoints();
    const auto& rises = profile.segment_rises();
    const auto& mus = profile.segment_edges();
    // mu of the lens's circle, for the thin zones.
    const double mu_u = u <= rho ? std::sqrt((1.0 - u / rho) * (1.0 + u / rho)) : -1.0;
    // The integral of the excess over the segment [lo, hi] in tau, split and
    // graded at the lens's kink when it lies there.
    auto segment_part = [&](double lo, double hi) noexcept {
        const double qa = lo == 0.0 && !inside ? 2.0 : 1.0;
        V part{};
        if (inside && split > lo && split < hi) {
            part = integrate<Rule, Outer>(Piece{lo, split, qa, KINK, h}, integrand) +
                   integrate_to_pole<Rule, Rule, Outer>(Piece{split, hi, KINK, 1.0, h_inner}, u, rho, integrand);
        } else if (centred && hi == 1.0) {
            const double mid = lo == 0.0 ? 0.5 : lo;
            if (mid > lo) part = integrate<Rule, Outer>(Piece{lo, mid, qa, 1.0}, integrand);
            part += integrate<Rule, Outer>(Piece{mid, hi, 1.0, 2.0, h}, integrand);
        } else {
            const double qb = inside && split == hi ? KINK : 1.0;
            const double qa2 = inside && split == lo ? KINK : qa;
            // (The first segment with the lens outside: tau_out off its end.)
            const double h2 = qa > 1.0 && out > 0.0 ? std::min(h, out) : h;
            part = integrate<Rule, Outer>(Piece{lo, hi, qa2, qb, h2}, integrand);
        }
        return part;
    };
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
            if (i_a == 0.0 && i_b == 0.0 && !std::is_same_v<V, Lanes>) {
                lo = hi;
                continue;
            }
            // The share per unit intensity at either edge (for the gradient;
            // the value uses level = i_a + (i_b - i_a) x, as these do not).
            auto ring_at = [&](double mu, double side) noexcept {
                const double r = std::sqrt((1.0 - mu) * (1.0 + mu));
                // u - rho r = (u - rho) + rho (1 - r), 1 - r = mu^2/(1 + r).
                const double d = (u - rho) + rho * (mu * mu / (1.0 + r));
                // A node on the singularity itself (d underflows at mu <
                // 1e-154 with u = rho) carries no weight: the integrand
                // vanishes there like mu ln mu.
                if (d == 0) return 0.0;
                const double x = (mu - mu_a) / (mu_b - mu_a);
                const double level = side < 0 ? i_a + (i_b - i_a) * x : side == 0 ? 1.0 - x : x;
                return level * (2.0 * mu) * model.ring_excess(rho * r, d);
            };
            auto zone_of = [&](double side) noexcept {
                auto ring = [&](double mu) noexcept { return ring_at(mu, side); };
                if (mu_u > mu_a && mu_u < mu_b) {
                    return integrate<Rule, Outer>(Piece{mu_a, mu_u, 1.0, 4.0}, ring) +
                           integrate<Rule, Outer>(Piece{mu_u, mu_b, 4.0, 1.0}, ring);
                } else if (mu_u >= 0.0 && mu_u <= mu_a && mu_a - mu_u < mu_b - mu_a) {
                    return integrate<Rule, Outer>(Piece{mu_a, mu_b, 4.0, 1.0}, ring);
                } else if (mu_u >= mu_b && mu_u - mu_b < mu_b - mu_a) {
                    return integrate<Rule, Outer>(Piece{mu_a, mu_b, 1.0, 4.0}, ring);
                }
                return integrate<Rule, Outer>(Piece{mu_a, mu_b}, ring);
            };
            const double x_outer = Model::value(excess(r_outer)), x_inner = Model::value(excess(r_inner));
            V share{};
            if (!(i_a == 0.0 && i_b == 0.0)) {
                const double zone = zone_of(-1.0);
                if constexpr (std::is_same_v<V, double>) {
                    share = zone - (i_a * x_outer - i_b * x_inner);
                } else {
                    share.v[0] = zone - (i_a * x_outer - i_b * x_inner);
                }
            }
            if constexpr (std::is_same_v<V, Lanes>) {
                // The derivatives in u and rho: the ring means' derivatives
                // are not integrable at the lens, so these come from the
                // disks, rise times their mean over the zone.
                V part = weight > 0.0 ? segment_part(lo, hi) / weight : excess(radius(lo));
                share.v[1] = rise * part.v[1];
                share.v[2] = rise * part.v[2];
                model.segment(j, zone_of(0.0) - x_outer, zone_of(1.0) + x_inner);
            }
            integral += share;
        } else if ((rise != 0.0 || std::is_same_v<V, Lanes>) && !(weight > 0.0)) {
            const V at = excess(radius(lo));
            integral += rise * at;
            model.segment(j, -Model::value(at), Model::value(at));
        } else if (rise != 0.0 || std::is_same_v<V, Lanes>) {
            const V mean = segment_part(lo, hi) / weight;
            if (rise != 0.0) integral += rise * mean;
            model.segment(j, -Model::value(mean), Model::value(mean));
        }
        lo = hi;
    }
    return integral;
}

// The integral with the rules for the accuracy and the source's size.
template <int Level, class Model>
typename Model::V disk_integral_at(double u, double rho, const Profile& profile, const Model& model) noexcept {
    using Table = std::conditional_t<std::is_same_v<Model, ValueModel>, ValueRules<Level>, LevelRules<Level>>;
    if (rho <= 1.0) return disk_integral<typename Table::Small>(u, rho, profile, model);
    return disk_integral<typename Table::Large>(u, rho, profile, model);
}

template <class Model>
typename Model::V disk_integral(double u, double rho, const Profile& profile, const Model& model,
                                Accuracy accuracy) noexcept {
    static_assert(Accuracy::LEVELS == 7);
    switch (accuracy.level()) {
        case 1: return disk_integral_at<1>(u, rho, profile, model);
        case 2: return disk_integral_at<2>(u, rho, profile, model);
        case 3: return disk_integral_at<3>(u, rho, profile, model);
        case 4: return disk_integral_at<4>(u, rho, profile, model);
        case 5: return disk_integral_at<5>(u, rho, profile, model);
        case 6: return disk_integral_at<6>(u, rho, profile, model);
        default: return disk_integral_at<0>(u, rho, profile, model);
    }
}

// Lengths below TINY: there A0(x) = (1/x)(1 + 3x^2/8 + ...) is 1/x to the
// last bit, so the magnification is homogeneous of degree -1 in (u, rho),
// A(u, rho) = s A(s u, s rho), its derivatives in u and rho of degree -2 and
// those in the coefficients of degree -1.  Evaluated directly, the disks of
// the superposition overflow below about 1e-308 and their differences give
// NaN; evaluated at the scale s = 2^k that brings the larger of u and rho to
// 2^-450 and scaled back exactly, A overflows to +inf only where A ~ 1/rho
// itself does.  The scaled lengths are no longer tiny: one rescaling, no
// recursion.
constexpr double TINY = 0x1p-500;
inline bool tiny(double u, double rho) noexcept { return std::max(u, rho) < TINY; }
inline int tiny_scale(double u, double rho) noexcept {
    int exponent = 0;
    std::frexp(std::max(u, rho), &exponent);  // > 0 in the domain
    return -450 - exponent;
}

// The domain: u >= 0 (+inf included) and 0 < rho < inf.  Outside it every
// result is NaN, so that no value reaching the core, however it got there,
// can take a path meant for the valid ones.
inline bool in_domain(double u, double rho) noexcept {
    return u >= 0 && rho > 0 && rho < std::numeric_limits<double>::infinity();
}

double scaled_magnification(double u, double rho, const Profile& profile, Accuracy accuracy) noexcept {
    if (profile.law() == Law::uniform) return uniform_disk(u, rho);
    const auto level = static_cast<std::size_t>(accuracy.level());
    if (!(u < FAR_FIELD_FROM[level] * rho)) return far_field(u, rho, profile.far_field_coefficients(), SERIES_STOP[level]);
    if (double value = 0.0; small_source_magnification(u, rho, profile, accuracy.level(), &value)) return value;
    // F (A - A_U(rho)) = int dI/dtau r^2 (A_U(u, rho r) - A_U(u, rho)) dtau:
    // the disk superposition less the same for the uniform disk, so that a
    // profile whose light sits in a thin limb (all of F from a sliver of the
    // disk) keeps its accuracy; the difference vanishes at the limb.
    const double whole = uniform_disk(u, rho);
    const double integral = disk_integral(u, rho, profile, ValueModel{u, rho, whole}, accuracy);
    // The mean of A0 >= 1 is never below 1; rounding must not take it there.
    return std::max(1.0, whole + integral / profile.flux());
}

}  // namespace

double magnification(double u, double rho, const Profile& profile, Accuracy accuracy) noexcept {
    if (!in_domain(u, rho)) return std::numeric_limits<double>::quiet_NaN();
    if (tiny(u, rho)) {
        const int k = tiny_scale(u, rho);
        return std::ldexp(scaled_magnification(std::ldexp(u, k), std::ldexp(rho, k), profile, accuracy), k);
    }
    return scaled_magnification(u, rho, profile, accuracy);
}

void magnification_points(const double* u, const double* rho, const Profile& profile, Accuracy accuracy,
                          double* out, std::size_t n) noexcept {
    if (profile.law() != Law::uniform) {
        for (std::size_t i = 0; i < n; ++i) out[i] = magnification(u[i], rho[i], profile, accuracy);
        return;
    }
    uniform_disk_points(u, rho, out, n);
    // Outside the domain, and for tiny lengths (rescaled), as magnification() does.
    for (std::size_t i = 0; i < n; ++i) {
        if (!in_domain(u[i], rho[i]) || tiny(u[i], rho[i])) out[i] = magnification(u[i], rho[i], profile, accuracy);
    }
}

std::expected<Accuracy, Error> Accuracy::of(double tolerance) {
    if (!(tolerance >= DEFAULT_TOLERANCE && tolerance < 1.0)) {
        return std::unexpected(Error{"tolerance must lie in [1e-09, 1) (the default, 1e-09, is the most accurate), got " +
                                     repr(tolerance)});
    }
    Accuracy accuracy;
    accuracy.tolerance_ = tolerance;
    while (accuracy.level_ + 1 < LEVELS && LEVEL_TOLERANCE[accuracy.level_ + 1] <= tolerance) ++accuracy.level_;
    return accuracy;
}

CoefficientTerms::CoefficientTerms(const Profile& profile) : moments(profile.moment_derivatives()) {
    const auto& m = profile.moments();
    far.resize(moments.size());
    for (std::size_t i = 0; i < moments.size(); ++i) {
        double factorial = 1.0;
        for (int k = 0; k < detail::FAR_FIELD_TERMS; ++k) {
            if (k > 0) factorial *= k;
            const auto& dm = moments[i];
            far[i][k] = k == 0 ? 0.0 : (dm[k] * m[0] - m[k] * dm[0]) / (m[0] * m[0]) / (factorial * factorial);
        }
    }
}

namespace {

// The derivatives by the superposition integral, 0 <= u < 3 rho, rho <=
// HUGE_SOURCE, not tiny.
Gradient integral_gradient(double u, double rho, const Profile& profile, const CoefficientTerms* terms,
                           std::span<double> coefficients, std::size_t count, Accuracy accuracy) noexcept {
    constexpr double INF = std::numeric_limits<double>::infinity();
    const Gradient whole = uniform_disk_gradient(u, rho);
    std::vector<double> shares;
    if (profile.law() == Law::tabulated && count > 0) shares.assign(profile.segment_edges().size(), 0.0);
    GradientModel model{u, rho, whole, shares.empty() ? nullptr : &shares};
    if (u - rho >= DISTANT_LENS) {
        model.distant = true;
        model.whole_rise = distant_lens_disk(u, rho, u - rho).rise;
    }
    const Lanes integral = disk_integral(u, rho, profile, model, accuracy);
    const double flux = profile.flux();
    const double value = std::max(1.0, whole.value + integral.v[0] / flux);
    Gradient out{value, 0.0, 0.0};
    if (u != rho) {
        out.du = whole.du + integral.v[1] / flux;
        out.drho = whole.drho + integral.v[2] / flux;
    } else {
        out.du = -INF;  // a bright limb under the lens
        out.drho = INF;
    }
    // By symmetry; and a source so small (rho < 1e-150) that its derivatives
    // overflow gives them infinite, never inf - inf.
    if (u == 0) out.du = 0.0;
    if (std::isnan(out.du)) out.du = std::copysign(INF, whole.du);
    if (std::isnan(out.drho)) out.drho = std::copysign(INF, whole.drho);
    if (count > 0) {
        // dA/dc = ((W - A) dF/dc + J_c)/F, W = A_U(u, rho), F = m_0, with
        // W - A = -J/F taken from the integral itself (the difference of the
        // two would keep only eps/(A - W) of its digits).
        const double excess = -integral.v[0] / flux;
        if (profile.law() == Law::tabulated) {
            // J_i gathers the shares of the edges whose intensity is node i's.
            const auto& nodes = profile.edge_nodes();
            std::vector<double> j(count, 0.0);
            for (std::size_t e = 0; e < shares.size(); ++e) j[nodes[e]] += shares[e];
            for (std::size_t i = 0; i < count; ++i)
                coefficients[i] = (excess * terms->moments[i][0] + j[i]) / flux / profile.intensity_scale();
        } else {
            for (std::size_t i = 0; i < count; ++i)
                coefficients[i] = (excess * terms->moments[i][0] + integral.v[3 + i]) / flux;
        }
    }
    return out;
}

// In the domain, not tiny.
Gradient scaled_gradient(double u, double rho, const Profile& profile, const CoefficientTerms* terms,
                         std::span<double> coefficients, std::size_t count, Accuracy accuracy) noexcept {
    if (profile.law() == Law::uniform) return uniform_disk_gradient(u, rho);
    if (!(u < GRADIENT_FAR_FIELD_RATIO * rho)) {
        // From 3 source radii out the derivatives come from the far-field
        // series (at 3 radii its thirteenth term is 9^-13 of the first), which
        // keeps their digits where the disks' differences, all close to
        // A - 1, would not; the value is magnification()'s (the series from
        // FAR_FIELD_FROM radii out, at most 2.5).
        FarFieldMoments basis{};
        FarFieldGradient g =
            far_field_gradient(u, rho, profile.far_field_coefficients(), count > 0 ? &basis : nullptr);
        g.value = scaled_magnification(u, rho, profile, accuracy);
        for (std::size_t i = 0; i < count; ++i) {
            double sum = 0.0;
            for (int k = detail::FAR_FIELD_TERMS - 1; k >= 1; --k) sum += terms->far[i][k] * basis[k];
            coefficients[i] = sum;
        }
        if (profile.law() == Law::tabulated)
            for (std::size_t i = 0; i < count; ++i) coefficients[i] /= profile.intensity_scale();
        return {g.value, g.du, g.drho};
    }
    // Beyond HUGE_SOURCE A - 1 < 2/rho^2 is below the last bit of 1, and so
    // are the derivatives' effects: they are given as 0, as for the uniform disk.
    if (rho > HUGE_SOURCE) return {scaled_magnification(u, rho, profile, accuracy), 0.0, 0.0};
    if (Gradient g{}; small_source_gradient(u, rho, profile, accuracy.level(), &g, coefficients, count)) {
        // From FAR_FIELD_FROM radii out the value is the far-field series'.
        if (!(u < FAR_FIELD_FROM[static_cast<std::size_t>(accuracy.level())] * rho))
            g.value = scaled_magnification(u, rho, profile, accuracy);
        return g;
    }
    if (u == rho && profile.limb() == 0.0) {
        // A dark limb under the lens: the derivatives are finite, and given
        // as the limit from inside, taken one ulp inside.  (They vary like
        // d ln d in the distance d from the limb, 1e-14 of them here.  The
        // kink then lies 1e-4 from the limb in tau, resolved by the pieces
        // growing from it and the disks' distances taken from tau, see
        // distance_from_lens; at u = rho itself the kink sits on the end of
        // the interval, where the rules resolve the derivatives only to about
        // 1e-6.)
        const Accuracy rules = accuracy.with_level(GRADIENT_RULES[static_cast<std::size_t>(accuracy.level())]);
        Gradient g = integral_gradient(std::nextafter(u, 0.0), rho, profile, terms, coefficients, count, rules);
        g.value = scaled_magnification(u, rho, profile, accuracy);
        return g;
    }
    // The derivatives' integrands are log-singular at the lens where the
    // value's has a kink: at the same nodes they keep about a thousandth of
    // the value's accuracy, and so they take the rules of a tighter level
    // (GRADIENT_RULES), the value those of its own.
    const Accuracy rules = accuracy.with_level(GRADIENT_RULES[static_cast<std::size_t>(accuracy.level())]);
    Gradient g = integral_gradient(u, rho, profile, terms, coefficients, count, rules);
    if (rules.level() != accuracy.level() || u - rho >= DISTANT_LENS ||
        !(u < FAR_FIELD_FROM[static_cast<std::size_t>(accuracy.level())] * rho))
        g.value = scaled_magnification(u, rho, profile, accuracy);
    else if (double value = 0.0; small_source_magnification(u, rho, profile, accuracy.level(), &value))
        g.value = value;  // near the limb the series serves the value, the integral the derivatives
    return g;
}

}  // namespace

Gradient magnification_gradient(double u, double rho, const Profile& profile, const CoefficientTerms* terms,
                                std::span<double> coefficients, Accuracy accuracy) noexcept {
    const std::size_t count = terms != nullptr ? terms->moments.size() : 0;
    if (!in_domain(u, rho)) {
        constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t i = 0; i < count; ++i) coefficients[i] = NaN;
        return {NaN, NaN, NaN};
    }
    for (std::size_t i = 0; i < count; ++i) coefficients[i] = 0.0;
    if (tiny(u, rho)) {
        const int k = tiny_scale(u, rho);
        const Gradient g = scaled_gradient(std::ldexp(u, k), std::ldexp(rho, k), profile, terms, coefficients, count, accuracy);
        for (std::size_t i = 0; i < count; ++i) coefficients[i] = std::ldexp(coefficients[i], k);
        return {std::ldexp(g.value, k), std::ldexp(g.du, 2 * k), std::ldexp(g.drho, 2 * k)};
    }
    return scaled_gradient(u, rho, profile, terms, coefficients, count, accuracy);
}

}  // namespace kelvora::fspl
