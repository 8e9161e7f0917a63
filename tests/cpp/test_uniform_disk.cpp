// Tests of the finite-source kernels: Bulirsch's cel (numeric/cel.hpp), the
// uniform-disk magnification (fspl/core/uniform_disk.hpp) and its far-field
// series (fspl/core/far_field.hpp).
//
// Reference values: tests/data/cel_reference.csv and
// tests/data/uniform_disk_reference.csv, mpmath at 60 digits and more
// (tools/gen_uniform_disk_reference.py), and closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <string>

#include "csv.hpp"
#include "fspl/core/far_field.hpp"
#include "fspl/core/uniform_disk.hpp"
#include "numeric/cel.hpp"
#include "numeric/legendre_ke.hpp"

namespace {

using kelvora::fspl::uniform_disk;
using kelvora::test::load_csv;
using kelvora::test::test_data_path;

constexpr double EPS = std::numeric_limits<double>::epsilon();
constexpr double PI = std::numbers::pi;

double relative_error(double value, double reference) { return std::fabs(value - reference) / std::fabs(reference); }

double point_lens(double u) { return (u * u + 2.0) / (u * std::sqrt(u * u + 4.0)); }

// cel against mpmath over kc from 1 to 1e-12 and p from 1 to 1e-14: the
// general integral and its special cases K (a = b = 1, p = 1), E (b = kc^2)
// and Pi (p != 1).  Observed: at most 9 eps relative (the Pi of p = 1e-14,
// kc = 1e-12, whose terms reach 1e7).
TEST(Cel, AgreesWithMpmath) {
    const auto table = load_csv(test_data_path("cel_reference.csv"));
    ASSERT_GT(table.rows.size(), 200u);
    double worst = 0.0;
    std::string where;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const double kc = table.number(i, 0), p = table.number(i, 1), a = table.number(i, 2), b = table.number(i, 3);
        const double reference = table.number(i, 4);
        const double error = std::fabs(kelvora::numeric::cel(kc, p, a, b) - reference) /
                             std::max(std::fabs(reference), std::fabs(a) + std::fabs(b));
        if (error > worst) {
            worst = error;
            where = "kc=" + std::to_string(kc) + " p=" + std::to_string(p);
        }
    }
    EXPECT_LT(worst, 16 * EPS) << where;
}

// K from cel is the Cephes K of numeric/legendre_ke.hpp to a few ulp, and the
// integral is linear in (a, b).
TEST(Cel, MatchesLegendreKAndIsLinearInAB) {
    for (double m : {0.0, 0.3, 0.9, 0.999999}) {
        const double kc = std::sqrt(1.0 - m);
        EXPECT_NEAR(kelvora::numeric::cel(kc, 1.0, 1.0, 1.0), *kelvora::numeric::ellipk(m), 4 * EPS * 10) << m;
        const double one = kelvora::numeric::cel(kc, 0.4, 1.0, 0.0);
        const double two = kelvora::numeric::cel(kc, 0.4, 0.0, 1.0);
        EXPECT_NEAR(kelvora::numeric::cel(kc, 0.4, 2.5, -3.0), 2.5 * one - 3.0 * two, 8 * EPS * (2.5 * one + 3.0 * two));
    }
}

// The uniform disk against mpmath over rho from 1e-6 to 1e3 and u/rho from 0
// to 1e6, with 1 +- 1e-10 around the limb.  Observed: 1.4e-14 (the closed
// form just inside the far-field switch, u = 7.9 rho); the series side and
// the limb are below 5e-15.
TEST(UniformDisk, AgreesWithMpmathEverywhere) {
    const auto table = load_csv(test_data_path("uniform_disk_reference.csv"));
    ASSERT_GT(table.rows.size(), 300u);
    double worst = 0.0;
    std::string where;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const double u = table.number(i, 0), rho = table.number(i, 1), reference = table.number(i, 2);
        const double error = relative_error(uniform_disk(u, rho), reference);
        if (error > worst) {
            worst = error;
            where = "u=" + std::to_string(u) + " rho=" + std::to_string(rho);
        }
    }
    EXPECT_LT(worst, 5e-14) << where;
}

// Closed forms: the disk centred on the lens, sqrt(rho^2 + 4)/rho, and the
// lens on the limb, (2/rho + 2 (1 + 1/rho^2) atan(rho))/pi (Witt & Mao 1994,
// eq. 13), which for a small source is 4/(pi rho) (1 + rho^2/8 + ...).
TEST(UniformDisk, CentreAndLimbClosedForms) {
    for (double rho : {1e-8, 1e-3, 0.5, 1.0, 7.0, 1e4}) {
        EXPECT_NEAR(uniform_disk(0.0, rho), std::sqrt(rho * rho + 4.0) / rho, 2 * EPS * std::sqrt(rho * rho + 4.0) / rho);
    }
    EXPECT_NEAR(uniform_disk(1e-8, 1e-8), 4.0 / (PI * 1e-8), 1e-15 * 4.0 / (PI * 1e-8));
    // Continuity through the limb: the closed form 1e-12 away on either side.
    for (double rho : {1e-6, 0.05, 1.0, 100.0}) {
        const double limb = uniform_disk(rho, rho);
        for (double side : {-1.0, 1.0}) {
            const double u = rho * (1.0 + side * 1e-12);
            EXPECT_NEAR(uniform_disk(u, rho), limb, 1e-9 * limb) << rho << " " << side;
        }
    }
}

// The series and the closed form agree where both hold (u from 3 to 8 rho),
// the series tends to the point lens far away, and the limits of u.
TEST(UniformDisk, FarFieldSeriesJoinsTheClosedForm) {
    for (double rho : {1e-5, 0.05, 1.0, 30.0}) {
        for (double ratio : {3.0, 5.0, 7.99}) {
            const double u = ratio * rho;
            const double series = kelvora::fspl::far_field_uniform(u, rho);
            EXPECT_NEAR(series, uniform_disk(u, rho), 2e-14 * series) << rho << " " << ratio;
        }
        const double u = 1e6 * rho;
        EXPECT_NEAR(uniform_disk(u, rho), point_lens(u), 4 * EPS * point_lens(u));
    }
    EXPECT_EQ(uniform_disk(std::numeric_limits<double>::infinity(), 1.0), 1.0);
    EXPECT_TRUE(std::isnan(uniform_disk(std::numeric_limits<double>::quiet_NaN(), 1.0)));
    // No overflow for separations whose square overflows.
    EXPECT_NEAR(uniform_disk(1e200, 1e3), 1.0, EPS);
}

}  // namespace
