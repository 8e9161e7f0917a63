// Tests of the seven-level tanh-sinh quadrature (Takahasi & Mori 1974) and of
// its node table.
//
// Reference values: integrals in closed form; the table entries of the rule
// x(t) = tanh((pi/2) sinh t), w(t) = h (pi/2) cosh t / cosh^2((pi/2) sinh t),
// evaluated here in extended precision; and the published first, middle and
// last (weight, abscissa) pairs of the levels, which the nearest doubles of
// the rule must reproduce bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

#include "numeric/quadrature.hpp"
#include "ulp.hpp"

namespace {

using kelvora::numeric::integrate;
using kelvora::numeric::tanh_sinh::Node;
using kelvora::test::ulp_distance;
namespace ts = kelvora::numeric::tanh_sinh;

constexpr double PI = 3.141592653589793;
constexpr double TWO_PI = 6.283185307179586;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

std::vector<std::span<const Node>> levels() {
    return {ts::LEVEL_0, ts::LEVEL_1, ts::LEVEL_2, ts::LEVEL_3, ts::LEVEL_4, ts::LEVEL_5, ts::LEVEL_6};
}

// -- the node table ----------------------------------------------------------------

TEST(TanhSinhNodes, TellingRowsAreExact) {
    const auto all = levels();
    EXPECT_EQ(all[0].front().weight, 0.23002239451478868);
    EXPECT_EQ(all[0].front().abscissa, 0.9513679640727469);
    EXPECT_EQ(all[0].back().weight, 1.3581784274539091e-12);
    EXPECT_EQ(all[0].back().abscissa, 0.999999999999957);
    EXPECT_EQ(all[0][1].weight, 0.00026620051375271693);
    EXPECT_EQ(all[0][1].abscissa, 0.9999774771924616);
    EXPECT_EQ(all[1].front().weight, 0.4829882897061506);
    EXPECT_EQ(all[1].front().abscissa, 0.6742714922484359);
    EXPECT_EQ(all[1][1].weight, 0.009171583494963921);
    EXPECT_EQ(all[1][1].abscissa, 0.9975148564572244);
    EXPECT_EQ(all[1].back().weight, 1.071560227847152e-07);
    EXPECT_EQ(all[1].back().abscissa, 0.9999999888756649);
    EXPECT_EQ(all[6].front().weight, 0.024531906707493643);
    EXPECT_EQ(all[6].front().abscissa, 0.02453976357464916);
    EXPECT_EQ(all[6].back().weight, 3.411862828005251e-14);
    EXPECT_EQ(all[6].back().abscissa, 0.9999999999999298);
}

TEST(TanhSinhNodes, LevelsHoldTheNewPointsOfEachStep) {
    const std::size_t sizes[] = {3, 3, 6, 12, 24, 48, 96};
    const auto all = levels();
    std::size_t total = 0;
    for (std::size_t j = 0; j < all.size(); ++j) {
        EXPECT_EQ(all[j].size(), sizes[j]) << "level " << j;
        total += all[j].size();
        for (std::size_t k = 1; k < all[j].size(); ++k) {
            EXPECT_LT(all[j][k - 1].abscissa, all[j][k].abscissa) << "level " << j;
        }
    }
    EXPECT_EQ(total, 192u);
    EXPECT_EQ(ts::NODE_COUNT, 192u);
}

// Every entry against the rule evaluated in long double (64-bit mantissa):
// the stored nearest double is within half an ulp of the exact value, and the
// extended-precision value carries a few ulp of its own (tanh, sinh, cosh of
// libm long double), so a distance of 1 ulp is allowed.
TEST(TanhSinhNodes, EntriesFollowTheRule) {
    // The reference needs extended precision; valgrind, for one, runs long
    // double arithmetic in double precision.
    volatile long double one = 1;
    if (one + std::numeric_limits<long double>::epsilon() == one ||
        std::numeric_limits<long double>::digits < 64) {
        GTEST_SKIP() << "long double arithmetic is not extended here";
    }
    const auto all = levels();
    for (std::size_t j = 0; j < all.size(); ++j) {
        const long double h = std::ldexp(1.0L, -static_cast<int>(j));
        for (std::size_t k = 0; k < all[j].size(); ++k) {
            const long double t = j == 0 ? static_cast<long double>(k + 1)
                                  : j == 1 ? 0.5L + static_cast<long double>(k)
                                           : (2.0L * static_cast<long double>(k) + 1) * h;
            const long double s = std::numbers::pi_v<long double> / 2 * std::sinh(t);
            const long double x = std::tanh(s);
            const long double w = h * (std::numbers::pi_v<long double> / 2) * std::cosh(t) / (std::cosh(s) * std::cosh(s));
            EXPECT_LE(ulp_distance(all[j][k].abscissa, static_cast<double>(x)), 1u) << "level " << j << ", k " << k;
            EXPECT_LE(ulp_distance(all[j][k].weight, static_cast<double>(w)), 1u) << "level " << j << ", k " << k;
            EXPECT_LE(t, 3.0L);
        }
    }
}

// -- integrals ----------------------------------------------------------------------

// The ladder stops at t < 3: the weight of the tail it leaves out shows in
// the last digits of a constant, 3.3e-14 of it.
TEST(Integrate, ConstantUsesEveryLevelAndMissesTheTail) {
    const auto r = integrate([](double) { return 1.0; }, 0.0, 1.0, 1e-16);
    EXPECT_EQ(r.evaluations, 385u);
    EXPECT_LT(r.integral, 1.0);
    EXPECT_NEAR(1.0 - r.integral, 3.3e-14, 0.1e-14);
    EXPECT_GT(r.error, 0.0);
}

TEST(Integrate, LinearFunction) {
    const auto r = integrate([](double x) { return TWO_PI * x; }, 0.0, 1.0, 1e-16);
    EXPECT_EQ(r.evaluations, 385u);
    EXPECT_NEAR(PI - r.integral, 1.0e-13, 0.1e-13);
}

// The flux of linear limb darkening with coefficient 0.6 over the unit disk
// is 0.8 pi = 2.5132741228718345; the rule gives exactly 2.5132741228717936,
// 92 ulp below, the value the magnification models normalise by.
TEST(Integrate, LimbDarkenedFluxIsTheStoredNormalisation) {
    const auto r = integrate([](double x) { return (x * TWO_PI) * (1 + (1 - std::sqrt(1 - x * x)) * -0.6); }, 0.0,
                             1.0, 1e-16);
    EXPECT_EQ(r.integral, 2.5132741228717936);
    EXPECT_EQ(ulp_distance(r.integral, 0.8 * PI), 92u);
}

// Smooth integrands: the error is the tail of the ladder, a few 1e-14.
TEST(Integrate, SmoothIntegrandsInClosedForm) {
    struct Case {
        const char* name;
        double (*f)(double);
        double a, b, exact;
    };
    const Case cases[] = {
        {"exp on [0, 1]", [](double x) { return std::exp(x); }, 0.0, 1.0, std::numbers::e - 1},
        {"1/(1 + x^2) on [0, 1]", [](double x) { return 1 / (1 + x * x); }, 0.0, 1.0, PI / 4},
        {"cos on [-1, 2]", [](double x) { return std::cos(x); }, -1.0, 2.0, std::sin(2.0) + std::sin(1.0)},
        {"x^3 on [2, 5]", [](double x) { return x * x * x; }, 2.0, 5.0, (625.0 - 16.0) / 4},
        {"log on [1, 3]", [](double x) { return std::log(x); }, 1.0, 3.0, 3 * std::log(3.0) - 2},
    };
    for (const Case& c : cases) {
        const auto r = integrate(c.f, c.a, c.b, 1e-16);
        EXPECT_NEAR(r.integral, c.exact, 1e-13 * (c.b - c.a) * std::fabs(c.exact)) << c.name;
        EXPECT_LE(r.evaluations, 385u) << c.name;
    }
}

// x^(-1/2) is singular at the left end; no node lands on 0 and the value is
// less than 3e-7 below the exact 2.
TEST(Integrate, EndPointSingularity) {
    const auto r = integrate([](double x) { return 1 / std::sqrt(x); }, 0.0, 1.0, 1e-16);
    EXPECT_LT(r.integral, 2.0);
    EXPECT_LT(2.0 - r.integral, 3e-7);
    EXPECT_EQ(r.evaluations, 385u);
}

// The end points are never evaluated; the first evaluation is the centre,
// then each pair (c + y, c - y) in table order; 385 points in all.
TEST(Integrate, EvaluationPointsLieStrictlyInside) {
    std::vector<double> points;
    const auto r = integrate(
        [&](double x) {
            points.push_back(x);
            return std::cos(40 * x);  // never converges: every level is used
        },
        0.0, 1.0, 1e-16);
    ASSERT_EQ(points.size(), 385u);
    EXPECT_EQ(r.evaluations, 385u);
    EXPECT_EQ(points[0], 0.5);
    for (const double x : points) {
        EXPECT_GT(x, 0.0);
        EXPECT_LT(x, 1.0);
    }
    EXPECT_EQ(points[1], 0.5 + 0.5 * ts::LEVEL_0[0].abscissa);
    EXPECT_EQ(points[2], 0.5 - 0.5 * ts::LEVEL_0[0].abscissa);
}

// An exact agreement of consecutive estimates stops the ladder at its first
// test, after level 2 (25 evaluations), with error 0.
TEST(Integrate, ExactAgreementStopsAtTheFirstTest) {
    const auto r = integrate([](double) { return 0.0; }, 0.0, 1.0, 1e-16);
    EXPECT_EQ(r.evaluations, 25u);
    EXPECT_EQ(r.integral, 0.0);
    EXPECT_EQ(r.error, 0.0);
}

// A loose target is met early once the convergence is seen to be quadratic.
TEST(Integrate, LooseTargetStopsEarly) {
    const auto r = integrate([](double x) { return std::exp(x); }, 0.0, 1.0, 1e-6);
    EXPECT_LT(r.evaluations, 385u);
    EXPECT_EQ((r.evaluations - 1) % 2, 0u);
    EXPECT_NEAR(r.integral, std::numbers::e - 1, 1e-6);
    EXPECT_LT(r.error, 1e-6 / 4);
}

// Non-finite values count as 0 at their node: the same bits as a 0 there.
TEST(Integrate, NonFiniteValuesCountAsZero) {
    for (const double bad : {NaN, INF, -INF}) {
        for (const int at : {0, 7, 100, 384}) {
            int calls = 0;
            const auto with_bad = integrate(
                [&](double x) {
                    const int i = calls++;
                    return i == at ? bad : 1 + x * x;
                },
                0.0, 1.0, 1e-16);
            calls = 0;
            const auto with_zero = integrate(
                [&](double x) {
                    const int i = calls++;
                    return i == at ? 0.0 : 1 + x * x;
                },
                0.0, 1.0, 1e-16);
            EXPECT_EQ(with_bad.integral, with_zero.integral) << "bad " << bad << " at " << at;
            EXPECT_EQ(with_bad.evaluations, with_zero.evaluations);
        }
    }
    // An integrand that never has a value integrates to 0, after 25 evaluations.
    const auto none = integrate([](double) { return NaN; }, 0.0, 1.0, 1e-16);
    EXPECT_EQ(none.integral, 0.0);
    EXPECT_EQ(none.evaluations, 25u);
}

// Reversed limits negate the interval's half-width and so the integral; the
// threshold is then negative and only exact agreement could stop the ladder.
TEST(Integrate, ReversedLimitsNegateTheIntegral) {
    const auto forward = integrate([](double x) { return std::exp(x); }, 0.0, 1.0, 1e-6);
    const auto reversed = integrate([](double x) { return std::exp(x); }, 1.0, 0.0, 1e-6);
    EXPECT_EQ(reversed.evaluations, 385u);
    EXPECT_LT(forward.evaluations, 385u);
    EXPECT_NEAR(reversed.integral, -(std::numbers::e - 1), 1e-13);
    const auto one = integrate([](double) { return 1.0; }, 0.0, 1.0, 1e-16);
    const auto minus_one = integrate([](double) { return 1.0; }, 1.0, 0.0, 1e-16);
    EXPECT_EQ(minus_one.integral, -one.integral);
}

// Overflowing sums make the difference non-finite, which never passes a test.
TEST(Integrate, OverflowRunsEveryLevel) {
    const auto r = integrate([](double) { return 1e308; }, 0.0, 1.0, 1e-16);
    EXPECT_EQ(r.evaluations, 385u);
    EXPECT_FALSE(std::isfinite(r.integral) && std::isfinite(r.error));
}

}  // namespace
