// Tanh-sinh (double-exponential) quadrature over a finite interval with a
// fixed ladder of seven levels: H. Takahasi & M. Mori, "Double exponential
// formulas for numerical integration", Publ. RIMS 9 (1974) 721.
//
// The estimate starts from the centre point at step 1 and halves the step at
// every level, adding only the new points (numeric/tanh_sinh_nodes.hpp); it
// stops as soon as two consecutive estimates agree to the requested absolute
// accuracy.  At most 1 + 2 * 192 = 385 evaluations; the end points are never
// evaluated.  Integrand values that are infinite or NaN count as 0 at that
// node, so a function may report "no value" with a NaN.
//
// The operation order is fixed (the library is built with -ffp-contract=off):
// the last bits of every estimate depend on it.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>

#include "numeric/constants.hpp"
#include "numeric/tanh_sinh_nodes.hpp"

namespace kelvora::numeric {

struct QuadratureResult {
    double integral;
    double error;             // the last difference test, scaled to the interval
    std::uint32_t evaluations;
};

namespace detail {

// The difference of consecutive estimates must be below a quarter of the
// requested accuracy: the difference only estimates the error of the newer
// estimate, and the factor 4 is the margin for that.
inline constexpr double TARGET_SHARE = 0.25;
// Evaluations after levels 0 and 1 (1 + 2 * (3 + 3)).  Their differences
// are not tested: the convergence test starts at level 2, with level 1's
// difference as the reference of the ratio below.
inline constexpr std::uint32_t EVALUATIONS_BEFORE_TEST = 13;
static_assert(EVALUATIONS_BEFORE_TEST == 1 + 2 * (tanh_sinh::LEVEL_0.size() + tanh_sinh::LEVEL_1.size()));
// In the quadratic regime of the rule the correct digits double from one
// level to the next (Takahasi & Mori 1974), so log|delta_k| / log|delta_k-1|
// is close to 2 and delta_k^2 stands for the error of the newer estimate;
// outside this window of +-0.1 around 2 the plain |delta_k| is taken.
inline constexpr double QUADRATIC_RATIO_LOW = 1.9;
inline constexpr double QUADRATIC_RATIO_HIGH = 2.1;

// Weighted sum over one level's new points, mirrored about the centre c.
template <class F, std::size_t N>
inline double level_sum(F& f, const std::array<tanh_sinh::Node, N>& level, double c, double d) {
    double s = 0;
    for (const tanh_sinh::Node& node : level) {
        const double y = d * node.abscissa;
        double plus = f(c + y);
        double minus = f(c - y);
        if (!std::isfinite(plus)) plus = 0;
        if (!std::isfinite(minus)) minus = 0;
        s = s + node.weight * (plus + minus);
    }
    return s;
}

}  // namespace detail

namespace detail {

// The ladder: f0 the integrand at the centre, sum(level, c, d) the weighted
// sum over one level's new points (as level_sum forms it).
template <class F0, class Sum>
QuadratureResult ladder(F0&& f_centre, Sum&& sum, double a, double b, double target) {
    constexpr double DBL_MAX_ = 1.7976931348623157e308;  // "no difference yet"
    const double c = (a + b) * 0.5;
    const double d = (b - a) * 0.5;
    // Tolerance on the difference of consecutive estimates of I = (integral)/d.
    const double tau = (target * detail::TARGET_SHARE) / d;

    const double f0 = f_centre(c + d * 0.0);
    double estimate = std::isfinite(f0) ? PI * f0 : 0.0;
    std::uint32_t evaluations = 1;
    double previous = DBL_MAX_;
    double error = DBL_MAX_;

    // One step of the ladder; returns true when the estimate has converged.
    auto refine = [&](double s, std::size_t entries) {
        evaluations += static_cast<std::uint32_t>(2 * entries);
        const double delta = estimate * 0.5 - s;
        estimate = estimate * 0.5 + s;
        if (evaluations <= detail::EVALUATIONS_BEFORE_TEST) {  // after levels 0 and 1: nothing to compare yet
            previous = std::fabs(delta);
            return false;
        }
        if (delta == 0) {
            error = 0;
            return true;
        }
        // Quadratic convergence, the digits doubling from one level to the
        // next, lets the square of the difference stand for the error.
        const double ratio = std::log(std::fabs(delta)) / std::log(previous);
        const double e = (ratio > detail::QUADRATIC_RATIO_LOW && ratio < detail::QUADRATIC_RATIO_HIGH)
                             ? delta * delta
                             : std::fabs(delta);
        error = e;
        if (e < tau) return true;
        previous = std::fabs(delta);
        return false;
    };

    using namespace tanh_sinh;
    const bool done = refine(sum(LEVEL_0, c, d), LEVEL_0.size()) ||
                      refine(sum(LEVEL_1, c, d), LEVEL_1.size()) ||
                      refine(sum(LEVEL_2, c, d), LEVEL_2.size()) ||
                      refine(sum(LEVEL_3, c, d), LEVEL_3.size()) ||
                      refine(sum(LEVEL_4, c, d), LEVEL_4.size()) ||
                      refine(sum(LEVEL_5, c, d), LEVEL_5.size()) ||
                      refine(sum(LEVEL_6, c, d), LEVEL_6.size());
    (void)done;
    return {d * estimate, d * error, evaluations};
}


}  // namespace detail

// Integral of f over [a, b] (a < b in every use) to the absolute accuracy
// `target`.  f is called only at points strictly inside the interval.
template <class F>
QuadratureResult integrate(F&& f, double a, double b, double target) {
    return detail::ladder([&](double x) { return f(x); },
                          [&](const auto& level, double c, double d) { return detail::level_sum(f, level, c, d); },
                          a, b, target);
}

// The same integral with the integrand evaluated a level at a time:
// fb(x, values, count) fills values[i] = f(x[i]) for the count points of one
// level (its new points, c + y and c - y per node), which are then summed in
// the order of integrate.  The same bits as integrate with the same f.
template <class FB>
QuadratureResult integrate_batched(FB&& fb, double a, double b, double target) {
    constexpr std::size_t MAX_POINTS = 2 * tanh_sinh::LEVEL_6.size();
    double x[MAX_POINTS];
    double v[MAX_POINTS];
    auto centre = [&](double x0) {
        double f0;
        fb(&x0, &f0, std::size_t{1});
        return f0;
    };
    auto sum = [&](const auto& level, double c, double d) {
        static_assert(2 * std::tuple_size_v<std::remove_cvref_t<decltype(level)>> <= MAX_POINTS);
        std::size_t k = 0;
        for (const tanh_sinh::Node& node : level) {
            const double y = d * node.abscissa;
            x[k++] = c + y;
            x[k++] = c - y;
        }
        fb(static_cast<const double*>(x), static_cast<double*>(v), k);
        double s = 0;
        k = 0;
        for (const tanh_sinh::Node& node : level) {
            double plus = v[k++];
            double minus = v[k++];
            if (!std::isfinite(plus)) plus = 0;
            if (!std::isfinite(minus)) minus = 0;
            s = s + node.weight * (plus + minus);
        }
        return s;
    };
    return detail::ladder(centre, sum, a, b, target);
}

}  // namespace kelvora::numeric
