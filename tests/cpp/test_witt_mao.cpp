// Tests of witt_mao_magnification, the Witt & Mao (1994, ApJ 430, 505)
// magnification of a uniformly bright disk by a point lens.
//
// Reference values: tests/data/witt_mao_reference.csv (a 60-digit direct
// integral over the disk, tools/gen_witt_mao_reference.py) and the dense grid
// tests/data/uniform_disk_grid.csv (the same two routes on 25 radii by 22
// separations, tools/gen_uniform_disk_grid.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "csv.hpp"
#include "lib/models.hpp"
#include "ulp.hpp"

namespace {

using kelvora::witt_mao_magnification;
using kelvora::test::load_csv;
using kelvora::test::test_data_path;
using kelvora::test::ulp_distance;

constexpr double EPS = std::numeric_limits<double>::epsilon();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double PI = std::numbers::pi;

// Magnifications of a call that is expected to succeed.
std::vector<double> magnifications(std::vector<double> l, double re, double rstar) {
    auto result = witt_mao_magnification(std::move(l), re, rstar);
    if (!result) {
        ADD_FAILURE() << "unexpected failure: " << result.error().message;
        return {};
    }
    return std::move(*result);
}

double magnification(double l, double re, double rstar) {
    const auto values = magnifications({l}, re, rstar);
    return values.size() == 1 ? values[0] : NaN;
}

// Magnification of a point source at distance u (Einstein radii) from the lens.
double point_lens(double u) { return (u * u + 2) / (u * std::sqrt(u * u + 4)); }

// Whether the lens lies within the limb band, 1e-5 Einstein radii of the limb.
bool on_limb(double l, double re, double rstar) {
    const double rho = rstar / re;
    return std::fabs(rho * l - rho) < 1e-05;
}

// Relative error, in units of EPS, that double-precision evaluation is expected
// to carry at one separation: 1 plus the amplifications of rounding that
// apply there (the first on the limb, the other two elsewhere).
//  - On the limb, asin(q1) + pi/2 cancels for a small source: q1 = -1 + 2 rho^2
//    holds an absolute rounding of EPS, which asin magnifies by 1/(2 rho) in a
//    sum of about 2 rho that makes up half of the magnification.
//  - Near the limb, n lies within (delta/sigma)^2 of 1, and the 1 - n on which
//    Pi(n, m) depends keeps only EPS (sigma/delta)^2 of relative accuracy.
//  - Far from the source, each of the three terms is about l^2/2 times their
//    sum, so the rounding of the terms grows like EPS l^2.
// Against the 170 rows of the 60-digit table the observed error is at most 3.0
// times this model (3 ulps, on a limb row of rho = 100, where the model is 1)
// and otherwise at most 1.42 times it (rho = 1e-4, l = 4).
double error_model(double l, double re, double rstar) {
    const double rho = rstar / re;
    if (on_limb(l, re, rstar)) return 1 + 1 / (8 * rho * rho);
    const double u = rho * l;
    const double ratio = (u + rho) / (u - rho);
    return 1 + ratio * ratio + l * l;
}

// Allowed relative error: 4 times the model.
double tolerance(double l, double re, double rstar) { return 4 * EPS * error_model(l, re, rstar); }

double relative_error(double value, double reference) { return std::fabs(value / reference - 1); }

TEST(WittMao, EmptySeparationsGiveAnEmptyResult) {
    const auto result = witt_mao_magnification({}, 1.0, 0.1);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->empty());
}

TEST(WittMao, ResultIsBuiltInTheStorageOfTheSeparations) {
    std::vector<double> l{0.0, 0.5, 1.0, 2.0, 40.0};
    const double* storage = l.data();
    const auto result = witt_mao_magnification(std::move(l), 1.0, 0.1);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->size(), 5u);
    EXPECT_EQ(result->data(), storage);
}

TEST(WittMao, EntriesFollowTheOrderOfTheSeparations) {
    const std::vector<double> l{3.0, 0.0, 1.0, 0.5, 3.0};
    const auto together = magnifications(l, 2.0, 0.5);
    ASSERT_EQ(together.size(), l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        EXPECT_EQ(together[i], magnification(l[i], 2.0, 0.5)) << "l = " << l[i];
    }
}

// With the lens on the source's centre the disk is magnified by
// sqrt(1 + 4/rho^2), from the elementary integral of the point-lens
// magnification over concentric circles.  Observed: at most 1 ulp from the
// double-precision square root.
TEST(WittMao, CentredLensGivesTheConcentricDiskClosedForm) {
    for (const double rho : {1e-4, 1e-3, 0.01, 0.1, 0.3, 0.5, 1.0, 2.0, 7.0, 100.0, 1e4}) {
        const double expected = std::sqrt(1 + 4 / (rho * rho));
        EXPECT_LE(ulp_distance(magnification(0.0, 1.0, rho), expected), 2u) << "rho = " << rho;
        EXPECT_LE(ulp_distance(magnification(0.0, 4.0, 4.0 * rho), expected), 2u) << "rho = " << rho;
    }
}

// The band is 1e-5 wide in Einstein radii whatever the size of the source, so
// in units of the source radius it spans |l - 1| < 1e-5/rho; every entry in it
// gets the limb value bit for bit, and the first entries outside come from the
// elliptic expression.  Across the band's edge the magnification jumps by the
// band's own error: observed 3.1 % for rho = 1e-3, 0.46 % for rho = 50 and
// 5e-5 for rho = 1.
TEST(WittMaoLimbBand, EveryEntryWithinTheBandGetsTheLimbValue) {
    struct Case {
        double rho;
        std::vector<double> inside;
        std::vector<double> outside;
    };
    const std::vector<Case> cases{
        {1e-3, {0.99001, 0.995, 0.9999999, 1.0, 1.0000001, 1.005, 1.00999}, {0.98999, 1.01001}},
        {1.0, {1 - 9e-6, 1 - 1e-9, 1.0, 1 + 1e-9, 1 + 9e-6}, {1 - 1.1e-5, 1 + 1.1e-5}},
        {50.0, {1 - 1.9e-7, 1.0, 1 + 1.9e-7}, {1 - 2.1e-7, 1 + 2.1e-7}},
    };
    for (const Case& c : cases) {
        const double limb = magnification(1.0, 1.0, c.rho);
        for (const double l : magnifications(c.inside, 1.0, c.rho)) {
            EXPECT_EQ(l, limb) << "rho = " << c.rho;
        }
        const auto outside = magnifications(c.outside, 1.0, c.rho);
        for (std::size_t i = 0; i < outside.size(); ++i) {
            EXPECT_NE(outside[i], limb) << "rho = " << c.rho << ", l = " << c.outside[i];
            EXPECT_LT(relative_error(outside[i], limb), 0.05) << "rho = " << c.rho << ", l = " << c.outside[i];
        }
    }
}

// For rho = 1 the limb value is (2 + pi)/pi: q1 = 0, q2 = 2 and q3 = 2, and
// 2*(pi/2) is pi exactly, so the band form gives that quotient bit for bit.
// The magnification falls as the lens moves outward across the limb.
TEST(WittMaoLimbBand, UnitSourceLimbValueAndItsNeighbours) {
    const auto a = magnifications({1 - 2e-5, 1.0, 1 + 2e-5}, 3.5, 3.5);
    ASSERT_EQ(a.size(), 3u);
    const double limb = (2 + PI) / PI;
    EXPECT_EQ(a[1], limb);
    EXPECT_GT(a[0], limb);
    EXPECT_LT(a[2], limb);
    EXPECT_LT(a[0] - limb, 2e-4);
    EXPECT_LT(limb - a[2], 2e-4);
}

// Far from the source the disk acts as a point: a uniform disk averages the
// point-lens magnification A0 to A0 + (rho^2/8) lap(A0) + ..., a relative
// change below 1/(8 l^2) both for u << 1 (A0 ~ 1/u) and for u >> 1
// (A0 ~ 1 + 2/u^4); 1/(4 l^2) leaves room for the higher orders.  And the
// magnification tends to 1, as A0 does.
TEST(WittMao, FarFromTheSourceTheDiskActsAsAPoint) {
    for (const double rho : {1e-3, 0.1, 1.0, 10.0}) {
        for (const double l : {50.0, 200.0, 1000.0}) {
            const double a = magnification(l, 1.0, rho);
            const double a0 = point_lens(rho * l);
            EXPECT_LE(relative_error(a, a0), 1 / (4 * l * l) + tolerance(l, 1.0, rho))
                << "rho = " << rho << ", l = " << l;
        }
    }
    double previous = magnification(10.0, 1.0, 0.5);
    for (const double l : {30.0, 100.0, 300.0}) {
        const double a = magnification(l, 1.0, 0.5);
        EXPECT_LT(a - 1, previous - 1) << "l = " << l;
        EXPECT_LT(std::fabs(a - 1), 3 / std::pow(0.5 * l, 4) + tolerance(l, 1.0, 0.5)) << "l = " << l;
        previous = a;
    }
}

// Only the ratio rstar/re enters; nothing is validated.  rstar = 0 (or an
// infinite re) puts every entry in the band, where 2/rho and (1 + rho^2)/rho^2
// are infinite and asin(-1) + pi/2 is 0.
TEST(WittMao, PointSizedSourceGivesNaN) {
    for (const auto& [re, rstar] : {std::pair{1.0, 0.0}, std::pair{std::numeric_limits<double>::infinity(), 1.0}}) {
        for (const double a : magnifications({0.0, 1.0, 5.0}, re, rstar)) EXPECT_TRUE(std::isnan(a));
    }
}

// An elliptic-integral failure ends the call and is returned alone, with the
// kernel's message, even though the first two entries succeed on their own.
// m = 4n/(4 + delta^2) stays below 1 whenever n <= 1 + 2.5e-11 (outside the
// band delta^2 >= 1e-10), so E and K never fail; Pi fails when n reaches 1:
//  - for a source far larger than the Einstein ring, just outside the band,
//    1 - n = (delta/sigma)^2 is below the rounding of n, which comes out as 1
//    (Pi(1, m) needs RJ with p = 1 - n = 0) or as 1 + 2^-52;
//  - a NaN or negative separation gives a NaN m (negative l makes n < 0 and
//    sqrt(4n) NaN), and the duplication loop of RJ never meets its stopping
//    test on NaN values.
struct FailureCase {
    const char* name;
    double re;
    double rstar;
    double third;
    const char* message;
};

// Keeps test listings readable (GoogleTest would print the raw bytes).
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class WittMaoFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(WittMaoFailure, ThirdEntryFailureIsReturnedAlone) {
    const FailureCase& c = GetParam();
    ASSERT_EQ(magnifications({0.5, 2.0}, c.re, c.rstar).size(), 2u);
    ASSERT_FALSE(on_limb(c.third, c.re, c.rstar));
    const auto result = witt_mao_magnification({0.5, 2.0, c.third, 3.0}, c.re, c.rstar);
    ASSERT_FALSE(result.has_value());
    EXPECT_STREQ(result.error().message, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, WittMaoFailure,
    testing::Values(FailureCase{"NRoundsToOne", 1.0, 1e5, 1.0000000002, "elliprj: p must be non-zero"},
                    FailureCase{"NRoundsAboveOne", 1.0, 1e5, 0.9999999999, "ellippi: n must be less than 1."},
                    FailureCase{"NaNSeparation", 1.0, 0.1, NaN, "elliprj: Fail to converge"},
                    FailureCase{"NegativeSeparation", 1.0, 0.1, -0.5, "elliprj: Fail to converge"}),
    [](const testing::TestParamInfo<FailureCase>& case_info) { return std::string(case_info.param.name); });

TEST(WittMaoReference, AgreesWithTheHighPrecisionDiskIntegral) {
    const auto table = load_csv(test_data_path("witt_mao_reference.csv"));
    const auto re_col = table.column("re"), rstar_col = table.column("rstar"), l_col = table.column("l"),
               a_col = table.column("magnification");
    ASSERT_EQ(table.rows.size(), 170u);
    double worst = 0;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const double re = table.number(i, re_col), rstar = table.number(i, rstar_col), l = table.number(i, l_col);
        const double error = relative_error(magnification(l, re, rstar), table.number(i, a_col));
        EXPECT_LE(error, tolerance(l, re, rstar)) << "re = " << re << ", rstar = " << rstar << ", l = " << l;
        worst = std::max(worst, error / (EPS * error_model(l, re, rstar)));
    }
    RecordProperty("worst_error_over_model", std::to_string(worst));
}

// The dense grid (re = 1, rstar = rho): every node within the tolerance
// model; nodes that fall in the limb band away from the limb itself (the
// smallest sources at l = 0.97 and 1/0.97) get the limb value by design.
TEST(WittMaoReference, AgreesWithTheDenseGrid) {
    const auto table = load_csv(test_data_path("uniform_disk_grid.csv"));
    const auto rho_col = table.column("rho"), l_col = table.column("l"), a_col = table.column("magnification");
    ASSERT_EQ(table.rows.size(), 25u * 22u);
    std::size_t band_rows = 0;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const double rho = table.number(i, rho_col), l = table.number(i, l_col);
        const double a = magnification(l, 1.0, rho);
        if (on_limb(l, 1.0, rho) && std::fabs(l - 1) > 1e-9) {
            ++band_rows;
            EXPECT_EQ(a, magnification(1.0, 1.0, rho)) << "rho = " << rho << ", l = " << l;
            continue;
        }
        EXPECT_LE(relative_error(a, table.number(i, a_col)), tolerance(l, 1.0, rho)) << "rho = " << rho << ", l = " << l;
    }
    EXPECT_GT(band_rows, 0u);
}

}  // namespace
