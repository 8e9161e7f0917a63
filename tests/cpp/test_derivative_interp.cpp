// Tests of the central-difference derivative and of piecewise-linear
// interpolation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "numeric/derivative.hpp"
#include "numeric/interp.hpp"

namespace {

using kelvora::numeric::CBRT_EPS;
using kelvora::numeric::interp;
using kelvora::numeric::sderivative;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// -- sderivative -------------------------------------------------------------------

TEST(Derivative, StepConstantIsTheCubeRootOfEpsilon) {
    EXPECT_EQ(CBRT_EPS, std::cbrt(0x1p-52));
    EXPECT_EQ(CBRT_EPS, 6.0554544523933395e-06);
    // The nearest double to 2^(-52/3): its cube brackets 2^-52.
    const double below = std::nextafter(CBRT_EPS, 0.0);
    const double above = std::nextafter(CBRT_EPS, 1.0);
    EXPECT_LT(static_cast<long double>(below) * below * below, 0x1p-52L);
    EXPECT_GT(static_cast<long double>(above) * above * above, 0x1p-52L);
}

// f is called twice, x + h first, and h = (1 + |x|) CBRT_EPS.
TEST(Derivative, EvaluationPointsAndOrder) {
    for (const double x : {0.0, -3.0, 0.25, 1e6}) {
        std::vector<double> points;
        (void)sderivative(
            [&](double t) {
                points.push_back(t);
                return t;
            },
            x);
        const double h = (1 + std::fabs(x)) * CBRT_EPS;
        ASSERT_EQ(points.size(), 2u) << "x = " << x;
        EXPECT_EQ(points[0], x + h) << "x = " << x;
        EXPECT_EQ(points[1], x - h) << "x = " << x;
    }
    std::vector<double> at_zero;
    (void)sderivative([&](double t) { return at_zero.push_back(t), t; }, 0.0);
    EXPECT_EQ(at_zero[0], CBRT_EPS);
    EXPECT_EQ(at_zero[1], -CBRT_EPS);
    std::vector<double> at_minus_three;
    (void)sderivative([&](double t) { return at_minus_three.push_back(t), t; }, -3.0);
    EXPECT_EQ(at_minus_three[0], -3.0 + 4 * CBRT_EPS);
    EXPECT_EQ(at_minus_three[1], -3.0 - 4 * CBRT_EPS);
}

TEST(Derivative, PolynomialsAndFunctions) {
    EXPECT_NEAR(sderivative([](double t) { return 2 * t + 1; }, 0.0), 2.0, 1e-9);
    EXPECT_NEAR(sderivative([](double t) { return t * t; }, 1.0), 2.0, 1e-9);
    // Truncation O(h^2 f''') and rounding O(eps f / h): about 1e-10 here.
    EXPECT_NEAR(sderivative([](double t) { return std::sin(t); }, 0.7), std::cos(0.7), 1e-9);
    EXPECT_NEAR(sderivative([](double t) { return std::exp(t); }, 2.0), std::exp(2.0), 1e-8);
    // An explicit relative step replaces CBRT_EPS.
    std::vector<double> points;
    (void)sderivative([&](double t) { return points.push_back(t), t; }, 1.0, 0.25);
    EXPECT_EQ(points[0], 1.5);
    EXPECT_EQ(points[1], 0.5);
}

TEST(Derivative, NonFiniteValuesPropagate) {
    const double x = 0.5;
    const double h = (1 + x) * CBRT_EPS;
    EXPECT_TRUE(std::isnan(sderivative([&](double t) { return t == x + h ? NaN : t; }, x)));
    EXPECT_TRUE(std::isnan(sderivative([&](double t) { return t == x - h ? NaN : t; }, x)));
    EXPECT_TRUE(std::isnan(sderivative([](double t) { return t; }, NaN)));
    EXPECT_EQ(sderivative([&](double t) { return t == x + h ? INF : t; }, x), INF);
}

// -- interp --------------------------------------------------------------------------

const std::vector<double> P{0.0, 1.0, 2.0};
const std::vector<double> V{10.0, 20.0, 40.0};

TEST(Interp, ThreeSampleTable) {
    EXPECT_EQ(interp(P, V, 0.5, 0.0), 15.0);
    EXPECT_EQ(interp(P, V, 1.5, 0.0), 30.0);
    EXPECT_EQ(interp(P, V, 1.0, 0.0), 20.0);  // segment 0
    EXPECT_EQ(interp(P, V, 2.0, 0.0), 40.0);  // segment 1
    EXPECT_EQ(interp(P, V, 0.0, 0.0), 10.0);
    EXPECT_EQ(interp(P, V, -0.1, 0.0), 0.0);
    EXPECT_EQ(interp(P, V, 2.5, 0.0), 0.0);
    EXPECT_EQ(interp(P, V, -0.1, -7.0), -7.0);
    EXPECT_EQ(interp(P, V, INF, 3.0), 3.0);
    EXPECT_TRUE(std::isnan(interp(P, V, NaN, 0.0)));
}

// The segment is evaluated as c + s x with c = v_j - p_j s; the other form,
// v_j + s (x - p_j), rounds differently.  With p = [0.1, 0.7], v = [0.3, 1.1]
// and x = 0.41 the intercept form gives 0.7133333333333334, the other
// 0.7133333333333333.
TEST(Interp, InterceptForm) {
    const std::vector<double> p{0.1, 0.7};
    const std::vector<double> v{0.3, 1.1};
    const double s = (1.1 - 0.3) / (0.7 - 0.1);
    const double intercept_form = (0.3 - 0.1 * s) + s * 0.41;
    const double point_form = 0.3 + s * (0.41 - 0.1);
    ASSERT_NE(intercept_form, point_form);
    EXPECT_EQ(interp(p, v, 0.41, 0.0), intercept_form);
    EXPECT_EQ(intercept_form, 0.7133333333333334);
}

TEST(Interp, EmptyAndSingleSample) {
    const std::vector<double> none;
    for (const double x : {-1.0, 0.0, 0.5, NaN}) EXPECT_EQ(interp(none, none, x, 5.0), 0.0);
    const std::vector<double> p{0.3};
    const std::vector<double> v{7.0};
    for (const double x : {-1.0, 0.3, 5.0, NaN, INF}) EXPECT_EQ(interp(p, v, x, 0.0), 7.0);
}

// Equal first positions: a zero step in segment 0, used only at x = p_0.
TEST(Interp, EqualPositions) {
    const std::vector<double> p{0.0, 0.0, 1.0};
    const std::vector<double> v{1.0, 2.0, 4.0};
    EXPECT_FALSE(std::isfinite(interp(p, v, 0.0, 0.0)));
    EXPECT_EQ(interp(p, v, 0.5, 0.0), 3.0);
    EXPECT_EQ(interp(p, v, 1.0, 0.0), 4.0);
    // Equal last positions: x = p_{n-1} takes the segment before them.
    const std::vector<double> q{0.0, 1.0, 1.0};
    const std::vector<double> w{0.0, 2.0, 5.0};
    EXPECT_EQ(interp(q, w, 1.0, 0.0), 2.0);
    EXPECT_EQ(interp(q, w, 0.25, 0.0), 0.5);
}

// Only min(lengths) samples are used, but the scan runs over all positions.
TEST(Interp, UnequalLengths) {
    const std::vector<double> p{0.0, 1.0, 2.0, 3.0};
    const std::vector<double> v{0.0, 1.0, 2.0};
    EXPECT_EQ(interp(p, v, 2.5, 0.0), 0.0);  // beyond p_2
    EXPECT_EQ(interp(p, v, 2.5, -1.0), -1.0);
    EXPECT_EQ(interp(p, v, 1.5, 0.0), 1.5);
    EXPECT_EQ(interp(p, v, 2.0, 0.0), 2.0);
    const std::vector<double> shorter{0.0, 1.0};
    const std::vector<double> longer{5.0, 6.0, 7.0};
    EXPECT_EQ(interp(shorter, longer, 0.5, 0.0), 5.5);
    EXPECT_EQ(interp(shorter, longer, 1.5, 0.0), 0.0);
}

// Unsorted positions: the count of leading positions below x picks the
// segment, clamped to the last one.
TEST(Interp, UnsortedPositions) {
    const std::vector<double> p{0.0, 2.0, 1.0};
    const std::vector<double> v{0.0, 4.0, 1.0};
    // x = 1.5: p_0 < x, p_1 is not, so segment 0 (slope 2): 3; p_{n-1} = 1 < x: outside.
    EXPECT_EQ(interp(p, v, 1.5, -2.0), -2.0);
    // x = 0.5: segment 0, inside [p_0, p_2].
    EXPECT_EQ(interp(p, v, 0.5, 0.0), 1.0);
}

}  // namespace
