// Tests of the limb-darkened and flux-map integrated magnifications.
//
// Reference values: the uniform-disk magnification (Witt & Mao 1994), of
// which the integrated Witt-Mao form is a fixed multiple; the point-lens
// magnification, which every form approaches far from the source; closed
// forms of the profile's flux; and the relations between forms that follow
// from their definitions (scaling, single samples, annuli).
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "csv.hpp"
#include "lib/integrated.hpp"
#include "lib/models.hpp"
#include "numeric/quadrature.hpp"
#include "ulp.hpp"

namespace {

using namespace kelvora;
using kelvora::test::load_csv;
using kelvora::test::test_data_path;
using kelvora::test::ulp_distance;

constexpr double PI = 3.141592653589793;
constexpr double TWO_PI = 6.283185307179586;

std::vector<double> ok(Expected<std::vector<double>> result) {
    if (!result) {
        ADD_FAILURE() << "unexpected failure: " << result.error().message;
        return {};
    }
    return std::move(*result);
}

double point_lens(double x) { return (x * x + 2) / (x * std::sqrt(x * x + 4)); }

const std::vector<double> L{0.0, 0.3, 0.5, 0.9, 0.99, 1.0, 1.01, 1.5, 3.0, 10.0, 100.0};

struct Constant {
    double value;
    double operator()(double) const noexcept { return value; }
};

// -- the default profile and divisor ---------------------------------------------

TEST(DefaultProfile, LimbDarkeningLaw) {
    const DefaultLimbDarkening profile;
    EXPECT_EQ(profile(0.0), 1.0);
    EXPECT_EQ(profile(1.0), 0.4);
    EXPECT_EQ(profile(-1.0), 0.4);
    EXPECT_NEAR(profile(0.6), 1 - 0.6 * 0.2, 1e-15);  // sqrt(1 - 0.36) = 0.8
    EXPECT_TRUE(std::isnan(profile(1.5)));
    // The stored divisor is this profile's flux by the quadrature, bit for bit.
    EXPECT_EQ(profile_flux(profile), DEFAULT_NORMALISATION);
    EXPECT_EQ(DEFAULT_NORMALISATION, 2.5132741228717936);
    EXPECT_NEAR(DEFAULT_NORMALISATION, 0.8 * PI, 1e-13);
}

// -- the Witt-Mao form ---------------------------------------------------------------

// The full-source magnification does not vary with the radius, so each entry
// is A times the default profile's flux over the stored divisor, 1 + 6.6e-12:
// the nodes below the difference step (x < 6.06e-6) add A x^2 pi / 2h each.
TEST(IntegratedWittMao, IsAFixedMultipleOfTheUniformDisk) {
    for (const double rstar : {0.01, 0.1, 1.0, 7.0}) {
        const auto disk = ok(witt_mao_magnification(L, 1.0, rstar));
        const auto integrated = ok(integrated_witt_mao_magnification(L, 1.0, rstar));
        ASSERT_EQ(integrated.size(), L.size());
        for (std::size_t i = 0; i < L.size(); ++i) {
            EXPECT_NEAR(integrated[i] / disk[i] - 1, 6.6e-12, 0.05e-12) << "l = " << L[i] << ", rstar = " << rstar;
        }
    }
}

// With the constant profile 1 and the quadrature of 2 pi x as divisor (about
// 1e-13 below pi) the same routine gives the uniform disk times 1 + 5.3e-12.
TEST(IntegratedWittMao, ConstantProfile) {
    const double divisor = numeric::integrate([](double x) { return x * TWO_PI; }, 0.0, 1.0, 1e-16).integral;
    const auto disk = ok(witt_mao_magnification(L, 2.0, 0.3));
    const auto integrated = ok(_integrated_witt_mao_magnification(L, Constant{1.0}, 2.0, 0.3, divisor));
    for (std::size_t i = 0; i < L.size(); ++i) {
        EXPECT_NEAR(integrated[i] / disk[i] - 1, 5.3e-12, 0.05e-12) << "l = " << L[i];
    }
}

// It fails exactly when, and as, the uniform disk fails: before anything is
// integrated (p = 1 - n rounds to 0 on the limb of a 1e5-Einstein-radius source).
TEST(IntegratedWittMao, FailsAsTheUniformDiskFails) {
    const std::vector<double> l{0.5, 1.0000000002, 0.9999999999};
    const auto disk = witt_mao_magnification(l, 1.0, 1e5);
    ASSERT_FALSE(disk.has_value());
    const auto integrated = integrated_witt_mao_magnification(l, 1.0, 1e5);
    ASSERT_FALSE(integrated.has_value());
    EXPECT_STREQ(integrated.error().message, disk.error().message);
    EXPECT_STREQ(integrated.error().message, "elliprj: p must be non-zero");
    EXPECT_TRUE(ok(integrated_witt_mao_magnification({}, 1.0, 0.1)).empty());
}

// -- the Heyrovsky form ---------------------------------------------------------------

// Far from the source every ring is at about the same distance: the entry
// tends to the point-lens magnification at l rstar/re.
TEST(IntegratedHeyrovsky, FarFromTheSourceIsThePointLens) {
    for (const double rstar : {0.05, 0.1, 0.5}) {
        for (const double l : {100.0, 300.0, 1000.0}) {
            const auto a = integrated_heyrovsky_magnification({l}, 1.0, rstar);
            ASSERT_EQ(a.size(), 1u);
            const double x = l * rstar;
            // The finite source changes the value by about (rstar/re)^2/x^4.
            EXPECT_NEAR(a[0] / point_lens(x) - 1, 0.0, 1e-9 + 4 * rstar * rstar / (x * x * x * x))
                << "l = " << l << ", rstar = " << rstar;
        }
    }
}

// Inside the source the ring through the lens, with its logarithmic
// singularity and the zero band next to it, lies inside the interval; nodes
// where the kernel has no finite value are dropped and the entry is finite.
// (It is not a magnification there: the difference quotient of the kernel
// across the singularity and the band enters the integrand, and an entry can
// even be negative, -31.6 at l = 0.75.)  Kernel failures are dropped the same
// way: the form never fails.
TEST(IntegratedHeyrovsky, FiniteEverywhereAndNeverFails) {
    const auto inside = integrated_heyrovsky_magnification({0.1, 0.25, 0.5, 0.75, 0.999}, 1.0, 0.1);
    ASSERT_EQ(inside.size(), 5u);
    for (const double a : inside) EXPECT_TRUE(std::isfinite(a));
    // l = 1e4: near the ring through the lens n rounds to 1 and the kernel
    // fails at some nodes; l = NaN: every node fails.
    const auto far = integrated_heyrovsky_magnification({1e4 + 0.5}, 1.0, 1.0);
    EXPECT_TRUE(std::isfinite(far[0]));
    const auto nan = integrated_heyrovsky_magnification({std::numeric_limits<double>::quiet_NaN()}, 1.0, 1.0);
    EXPECT_EQ(nan[0], 0.0);
    EXPECT_TRUE(integrated_heyrovsky_magnification({}, 1.0, 0.1).empty());
}

// Against the integral with the exact derivative of the closed-form kernel
// (tools/gen_integrated_reference.py, 30 digits), for separations outside
// the source.  The entries lie 2.8e-11 to 4.2e-11 below: at the nodes below
// the difference step (x < 6.06e-6) the point x - h is a negative ring radius,
// where the kernel has no value (the square root of l x / Q is NaN), and those
// nodes are dropped, taking about pi h^2 M(0) of the integral with them.  The
// truncation of the central difference, h^2 M'''/6, adds up to 6e-11 where
// the lens is close to the limb (l = 1.2, rstar = re: 1.9e-11 above).
TEST(IntegratedHeyrovsky, AgreesWithTheExactIntegralOutsideTheSource) {
    const auto table = load_csv(test_data_path("integrated_heyrovsky_reference.csv"));
    const int re = table.column("re"), rs = table.column("rstar"), l = table.column("l");
    const int value = table.column("value");
    ASSERT_GE(table.rows.size(), 10u);
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const auto a = integrated_heyrovsky_magnification({table.number(i, l)}, table.number(i, re),
                                                          table.number(i, rs));
        ASSERT_EQ(a.size(), 1u);
        const double error = a[0] / table.number(i, value) - 1;
        EXPECT_LT(error, 2.5e-11) << "l = " << table.number(i, l) << ", rstar = " << table.number(i, rs);
        EXPECT_GT(error, -5e-11) << "l = " << table.number(i, l) << ", rstar = " << table.number(i, rs);
    }
}

// The divisor is applied as given, including 0.
TEST(IntegratedHeyrovsky, DivisorIsApplied) {
    const auto one = _integrated_heyrovsky_magnification({0.5, 2.0}, DefaultLimbDarkening{}, 1.0, 0.2, 1.0);
    const auto two = _integrated_heyrovsky_magnification({0.5, 2.0}, DefaultLimbDarkening{}, 1.0, 0.2, 2.0);
    const auto zero = _integrated_heyrovsky_magnification({0.5, 2.0}, DefaultLimbDarkening{}, 1.0, 0.2, 0.0);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(two[i], one[i] / 2);
        EXPECT_EQ(zero[i], std::numeric_limits<double>::infinity());
    }
}

// -- the flux-map forms --------------------------------------------------------------

using Table = std::vector<double>;

template <class F>
std::string fault_of(F&& call) {
    try {
        call();
    } catch (const Fault& fault) {
        return fault.message();
    }
    return "no fault";
}

TEST(FluxMap, UnequalTablesAreAnInternalFaultCheckedFirst) {
    const std::string message = "assertion `left == right` failed\n  left: 2\n right: 3";
    EXPECT_EQ(fault_of([] { (void)integrated_flux_map_heyrovsky_magnification({0.5}, 1, 1, {0, 1}, {1, 1, 1}); }),
              message);
    EXPECT_EQ(fault_of([] { (void)integrated_flux_map_heyrovsky_magnification({}, 1, 1, {0, 1}, {1, 1, 1}); }),
              message);
    EXPECT_EQ(fault_of([] { (void)integrated_flux_map_witt_mao_magnification({}, 1, 1, {0, 1}, {1, 1, 1}); }),
              message);
    // Before the uniform disk's own failure.
    EXPECT_EQ(fault_of([] {
                  (void)integrated_flux_map_witt_mao_magnification({1.0000000002}, 1, 1e5, {0, 1}, {1, 1, 1});
              }),
              message);
}

// A uniform table: the profile is 1 on [0, 1] (exactly: slope 0), the
// normalisation is the quadrature of 2 pi x, within 1e-13 of pi.
TEST(FluxMap, UniformTableIsTheConstantProfile) {
    const Table bl{0.0, 1.0}, bf{1.0, 1.0};
    const InterpolatedProfile profile{bl, bf};
    EXPECT_NEAR(profile_flux(profile), PI, 1.1e-13);
    const auto heyrovsky = integrated_flux_map_heyrovsky_magnification(L, 1.0, 0.1, bl, bf);
    const auto constant = _integrated_heyrovsky_magnification(L, Constant{1.0}, 1.0, 0.1, PI);
    const auto witt_mao = ok(integrated_flux_map_witt_mao_magnification(L, 1.0, 0.1, bl, bf));
    const auto disk = ok(witt_mao_magnification(L, 1.0, 0.1));
    for (std::size_t i = 0; i < L.size(); ++i) {
        EXPECT_NEAR(heyrovsky[i] / constant[i] - 1, 0.0, 1e-13) << "l = " << L[i];
        // (the 5.3e-12 of the constant profile: the nodes below the step)
        EXPECT_NEAR(witt_mao[i] / disk[i] - 1, 5.3e-12, 0.05e-12) << "l = " << L[i];
    }
}

// The ladder's stopping rule is absolute (target 1e-16), so a profile scaled
// by a constant can stop the quadrature one level earlier or later than the
// unscaled one; the estimates then differ by what that level adds, observed
// up to 2e-11 relative.  Otherwise the difference is rounding.
constexpr double SCALED_PROFILE = 1e-10;

// One sample is a constant profile at every radius, whatever its radius.
TEST(FluxMap, SingleSampleIsAConstant) {
    const auto a = integrated_flux_map_heyrovsky_magnification(L, 1.0, 0.1, {0.3}, {5.0});
    const auto b = integrated_flux_map_heyrovsky_magnification(L, 1.0, 0.1, {0.9}, {1.0});
    const auto c = ok(integrated_flux_map_witt_mao_magnification(L, 1.0, 0.1, {0.3}, {5.0}));
    const auto d = ok(integrated_flux_map_witt_mao_magnification(L, 1.0, 0.1, {0.9}, {1.0}));
    for (std::size_t i = 0; i < L.size(); ++i) {
        EXPECT_NEAR(a[i] / b[i], 1.0, SCALED_PROFILE) << "l = " << L[i];
        EXPECT_NEAR(c[i] / d[i], 1.0, SCALED_PROFILE) << "l = " << L[i];
    }
}

// Scaling every brightness by the same factor cancels in the normalisation.
TEST(FluxMap, BrightnessScaleCancels) {
    const Table bl{0.0, 0.25, 0.5, 0.75, 1.0};
    const Table bf{1.0, 0.93, 0.8, 0.6, 0.3};
    Table times3, times8;
    for (const double b : bf) {
        times3.push_back(3 * b);
        times8.push_back(8 * b);
    }
    const auto base = integrated_flux_map_heyrovsky_magnification(L, 1.0, 0.2, bl, bf);
    const auto three = integrated_flux_map_heyrovsky_magnification(L, 1.0, 0.2, bl, times3);
    const auto eight = integrated_flux_map_heyrovsky_magnification(L, 1.0, 0.2, bl, times8);
    const auto wm_base = ok(integrated_flux_map_witt_mao_magnification(L, 1.0, 0.2, bl, bf));
    const auto wm_three = ok(integrated_flux_map_witt_mao_magnification(L, 1.0, 0.2, bl, times3));
    for (std::size_t i = 0; i < L.size(); ++i) {
        EXPECT_NEAR(three[i] / base[i], 1.0, SCALED_PROFILE) << "l = " << L[i];
        EXPECT_NEAR(eight[i] / base[i], 1.0, SCALED_PROFILE) << "l = " << L[i];
        EXPECT_NEAR(wm_three[i] / wm_base[i], 1.0, SCALED_PROFILE) << "l = " << L[i];
    }
}

// [0.2, 0.8]: dark below 0.2 and above 0.8.  The normalisation covers only the
// bright annulus, pi (0.8^2 - 0.2^2) for unit brightness, up to the
// quadrature's error on the two jumps (the rule assumes a smooth integrand:
// observed 5.6e-3).  No node of a dark radius enters the
// Witt-Mao form, and the derivative term (only below 6e-6) is dark, so its
// entries are the uniform disk's to rounding.
TEST(FluxMap, AnnulusIsDarkOutsideTheTable) {
    const Table bl{0.2, 0.8}, bf{1.0, 1.0};
    const InterpolatedProfile profile{bl, bf};
    EXPECT_EQ(profile(0.19), 0.0);
    EXPECT_EQ(profile(0.81), 0.0);
    EXPECT_EQ(profile(0.5), 1.0);
    EXPECT_NEAR(profile_flux(profile), PI * (0.64 - 0.04), 1e-2);
    const auto witt_mao = ok(integrated_flux_map_witt_mao_magnification(L, 1.0, 0.1, bl, bf));
    const auto disk = ok(witt_mao_magnification(L, 1.0, 0.1));
    for (std::size_t i = 0; i < L.size(); ++i) {
        EXPECT_NEAR(witt_mao[i] / disk[i], 1.0, 4e-16) << "l = " << L[i];
    }
}

// Empty tables: the profile is dark everywhere, the normalisation 0, and each
// entry 0/0.  The uniform disk's failure still comes first.
TEST(FluxMap, EmptyTablesGiveNaN) {
    const auto heyrovsky = integrated_flux_map_heyrovsky_magnification({0.5, 2.0}, 1.0, 0.1, {}, {});
    const auto witt_mao = ok(integrated_flux_map_witt_mao_magnification({0.5, 2.0}, 1.0, 0.1, {}, {}));
    for (const double a : heyrovsky) EXPECT_TRUE(std::isnan(a));
    for (const double a : witt_mao) EXPECT_TRUE(std::isnan(a));
    const auto failing = integrated_flux_map_witt_mao_magnification({1.0000000002}, 1.0, 1e5, {}, {});
    ASSERT_FALSE(failing.has_value());
    EXPECT_STREQ(failing.error().message, "elliprj: p must be non-zero");
    EXPECT_TRUE(integrated_flux_map_heyrovsky_magnification({}, 1.0, 0.1, {0.0, 1.0}, {1.0, 1.0}).empty());
}

// The flux map with the default law tabulated finely approaches the
// default-profile forms (the interpolation error of a smooth law, O(dx^2)).
TEST(FluxMap, TabulatedDefaultLawApproachesTheDefaultForms) {
    Table bl, bf;
    const DefaultLimbDarkening law;
    for (int k = 0; k <= 2000; ++k) {
        bl.push_back(k / 2000.0);
        bf.push_back(law(bl.back()));
    }
    const Table l{0.0, 0.5, 2.0, 10.0};
    const auto tabulated = integrated_flux_map_heyrovsky_magnification(l, 1.0, 0.1, bl, bf);
    const auto exact = integrated_heyrovsky_magnification(l, 1.0, 0.1);
    for (std::size_t i = 0; i < l.size(); ++i) {
        EXPECT_NEAR(tabulated[i] / exact[i], 1.0, 1e-5) << "l = " << l[i];
    }
}

}  // namespace
