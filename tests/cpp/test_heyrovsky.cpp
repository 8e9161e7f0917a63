// Tests of the ring kernel heyrovsky_magnification (the point-lens
// magnification averaged over one thin ring of the source) and of the sum of
// that kernel over a table of rings, discrete_flux_map_heyrovsky_magnification.
//
// Reference values: tests/data/heyrovsky_reference.csv, a 50-digit quadrature
// of the point-lens magnification around the ring, cross-checked against the
// closed form in complete elliptic integrals (tools/gen_heyrovsky_reference.py);
// the point-lens formula A0(x) = (x^2 + 2)/(x sqrt(x^2 + 4)), which the ring
// average reduces to when the ring is a point or is centred on the lens; and
// the Witt & Mao (1994) uniform disk, which a fine table of rings approaches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "csv.hpp"
#include "lib/models.hpp"
#include "ulp.hpp"

namespace {

using kelvora::discrete_flux_map_heyrovsky_magnification;
using kelvora::heyrovsky_magnification;
using kelvora::test::load_csv;
using kelvora::test::test_data_path;
using kelvora::test::ulp_distance;

constexpr double EPS = std::numeric_limits<double>::epsilon();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

double ring(double l, double r, double re, double rstar) {
    const auto value = heyrovsky_magnification(l, r, re, rstar);
    if (!value) {
        ADD_FAILURE() << "unexpected failure at l = " << l << ", r = " << r << ": " << value.error().message;
        return NaN;
    }
    return *value;
}

std::string failure_of(double l, double r, double re, double rstar) {
    const auto value = heyrovsky_magnification(l, r, re, rstar);
    return value ? std::string("no failure") : std::string(value.error().message);
}

// Point-lens magnification at distance x (Einstein radii), in extended
// precision so that the reference carries no double rounding of its own.
double point_lens(double x) {
    const long double u = x;
    return static_cast<double>((u * u + 2) / (u * std::sqrt(u * u + 4)));
}

double relative_error(double value, double reference) { return std::fabs(value / reference - 1); }

// Relative rounding error, in units of EPS, that the elliptic expression can
// carry at (l, r).  Close to the ring n = 4lr/(l + r)^2 lies within
// (d/(l + r))^2 of 1, and 1 - n, on which Pi(n, m) depends as
// 1/sqrt(1 - n), keeps only EPS ((l + r)/d)^2 of relative accuracy; m close
// to 1 loses in the same way.  Against the 361 rows of the table outside the
// band the observed error is at most 1.06 times this model (2.2 ulps, at
// l = 0.01, r = 0.9, eta = 10); the largest absolute one is 1.0e-6 relative,
// at d = -1.01e-5, r = 1, eta = 0.1.
double error_model(double l, double r) {
    const double ratio = (l + r) / (l - r);
    return 1 + ratio * ratio;
}

double tolerance(double l, double r) { return 4 * EPS * error_model(l, r); }

// -- the elliptic expression ---------------------------------------------------

// r = 0: n = m = 0 and K = Pi = pi/2, so the kernel is A0(l/eta); l = 0: every
// point of the ring lies at r from the lens, and the kernel is A0(r/eta).
TEST(Heyrovsky, PointRingAndCentredLensGiveThePointLens) {
    for (const auto& [re, rstar] : {std::pair{1.0, 1.0}, std::pair{0.1, 1.0}, std::pair{20.0, 1.0},
                                    std::pair{2.5, 0.75}, std::pair{1e-3, 1.0}}) {
        const double eta = re / rstar;
        for (const double x : {1e-5, 3e-5, 1e-3, 0.1, 0.5, 1.0, 2.0, 7.5, 100.0, 1e4}) {
            EXPECT_LE(relative_error(ring(x, 0.0, re, rstar), point_lens(x / eta)), tolerance(x, 0.0))
                << "l = " << x << ", r = 0, eta = " << eta;
            EXPECT_LE(relative_error(ring(0.0, x, re, rstar), point_lens(x / eta)), tolerance(0.0, x))
                << "l = 0, r = " << x << ", eta = " << eta;
        }
    }
}

TEST(Heyrovsky, AgreesWithTheRingAverageOutsideTheBand) {
    const auto table = load_csv(test_data_path("heyrovsky_reference.csv"));
    const int g = table.column("group"), re = table.column("re"), rs = table.column("rstar");
    const int l = table.column("l"), r = table.column("r"), a = table.column("magnification");
    std::size_t checked = 0;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        if (table.rows[i][static_cast<std::size_t>(g)] == "band") continue;
        const double li = table.number(i, l), ri = table.number(i, r);
        const double value = ring(li, ri, table.number(i, re), table.number(i, rs));
        EXPECT_LE(relative_error(value, table.number(i, a)), tolerance(li, ri))
            << "l = " << li << ", r = " << ri << ", re = " << table.number(i, re)
            << ", rstar = " << table.number(i, rs);
        ++checked;
    }
    EXPECT_GE(checked, 350u);
}

// Only the ratio re/rstar enters (the same bits, NaN at l = r = 0 included).
TEST(Heyrovsky, DependsOnTheRatioOfTheRadiiOnly) {
    for (const double l : {0.0, 0.3, 0.99, 2.0}) {
        for (const double r : {0.0, 0.25, 0.5, 1.0}) {
            const double a = ring(l, r, 0.5, 1.0);
            EXPECT_EQ(ulp_distance(ring(l, r, 1.0, 2.0), a), 0u) << "l = " << l << ", r = " << r;
            EXPECT_EQ(ulp_distance(ring(l, r, 0.25, 0.5), a), 0u) << "l = " << l << ", r = " << r;
        }
    }
}

// Far from the lens the magnification tends to 1 from above, as A0 does.
TEST(Heyrovsky, TendsToOneFarFromTheLens) {
    double previous = ring(10.0, 0.5, 1.0, 1.0);
    for (const double l : {30.0, 100.0, 1000.0}) {
        const double a = ring(l, 0.5, 1.0, 1.0);
        EXPECT_GT(a, 1.0);
        EXPECT_LT(a, previous);
        previous = a;
    }
    EXPECT_LT(previous - 1, 3e-12);
}

// -- the near-ring band ----------------------------------------------------------

// Inside the band (0 <= d < 1e-5) the kernel is the expansion of the ring
// average about d = 0.  Its truncation error against the exact average is of
// order d/l: observed at most 0.94 d/l over the band rows of the table.
TEST(HeyrovskyBand, ExpansionFollowsTheRingAverage) {
    const auto table = load_csv(test_data_path("heyrovsky_reference.csv"));
    const int g = table.column("group"), re = table.column("re"), rs = table.column("rstar");
    const int l = table.column("l"), r = table.column("r"), a = table.column("magnification");
    std::size_t checked = 0;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        if (table.rows[i][static_cast<std::size_t>(g)] != "band") continue;
        const double li = table.number(i, l), ri = table.number(i, r);
        ASSERT_GE(li - ri, 0.0);
        ASSERT_LT(li - ri, 1e-5);
        const double value = ring(li, ri, table.number(i, re), table.number(i, rs));
        EXPECT_LE(relative_error(value, table.number(i, a)), 1.2 * (li - ri) / li)
            << "l = " << li << ", r = " << ri << ", re = " << table.number(i, re);
        ++checked;
    }
    EXPECT_GE(checked, 20u);
}

// Just inside the ring's radius (-1e-5 < d < 0) the kernel is exactly 0.
TEST(HeyrovskyBand, InsideTheRingRadiusTheKernelIsZero) {
    for (const double r : {0.1, 0.5, 1.0, 3.0}) {
        for (const double offset : {-1e-6, -9.99e-6, -1e-9, -1e-15}) {
            const double l = r + offset;
            ASSERT_LT(l - r, 0.0);
            const double a = ring(l, r, 1.0, 1.0);
            EXPECT_EQ(a, 0.0) << "r = " << r << ", l - r = " << offset;
            EXPECT_FALSE(std::signbit(a));
        }
    }
}

// The two sides of the ring: inside the band they differ completely (the
// expansion on one side, 0 on the other); just outside it the elliptic
// expression is nearly symmetric in d.
TEST(HeyrovskyBand, SidesOfTheRing) {
    for (const double eta : {0.1, 1.0, 10.0}) {
        for (const double r : {0.5, 1.0}) {
            const double plus = ring(r + 1e-6, r, eta, 1.0);
            EXPECT_GT(plus, 1.0) << "eta = " << eta << ", r = " << r;
            EXPECT_EQ(ring(r - 1e-6, r, eta, 1.0), 0.0) << "eta = " << eta << ", r = " << r;
            const double above = ring(r + 1.01e-5, r, eta, 1.0);
            const double below = ring(r - 1.01e-5, r, eta, 1.0);
            EXPECT_GT(above, 1.0);
            EXPECT_LT(relative_error(above, below), 1e-4) << "eta = " << eta << ", r = " << r;
            // The divergence is logarithmic: ten times closer is larger still.
            EXPECT_GT(plus, above);
        }
    }
}

// The band is strict: |d| equal to the double 1e-05 takes the elliptic
// expression.  With r = 0 (or l = 0) that is the point-lens value; for
// r = 2^-19 the difference l - r is exact as well.  The first double inside
// the band takes the expansion, which for l this small (d/l ~ 1) is far off.
TEST(HeyrovskyBand, EdgeOfTheBandTakesTheEllipticExpression) {
    EXPECT_LE(relative_error(ring(1e-05, 0.0, 1.0, 1.0), point_lens(1e-05)), tolerance(1e-05, 0.0));
    EXPECT_LE(relative_error(ring(0.0, 1e-05, 1.0, 1.0), point_lens(1e-05)), tolerance(0.0, 1e-05));

    const double r = std::ldexp(1.0, -19);
    const double l = r + 1e-05;
    ASSERT_EQ(l - r, 1e-05);
    const double edge = ring(l, r, 1.0, 1.0);
    const double inside = ring(std::nextafter(l, 0.0), r, 1.0, 1.0);
    EXPECT_EQ(ring(r, l, 1.0, 1.0), edge);  // d = -1e-05: also outside the band
    EXPECT_EQ(ring(r, std::nextafter(l, 0.0), 1.0, 1.0), 0.0);
    EXPECT_GT(relative_error(inside, edge), 0.1);
    // The edge rows of the reference table check `edge` itself.
}

TEST(HeyrovskyBand, OnTheRingAndAtTheCentre) {
    for (const double l : {1e-3, 0.5, 1.0, 40.0}) {
        EXPECT_EQ(ring(l, l, 1.0, 1.0), INF) << "l = r = " << l;
        EXPECT_EQ(ring(l, l, 0.2, 3.0), INF) << "l = r = " << l;
    }
    EXPECT_TRUE(std::isnan(ring(0.0, 0.0, 1.0, 1.0)));
}

// -- failures ----------------------------------------------------------------------

// Far out, n = 4lr/(l + r)^2 and m round to 1 or past it although outside
// the band they are below 1 by (d/(l + r))^2 < 2^-53.  Which kernel refuses
// depends on where the rounding lands; ellipk is asked first.
TEST(HeyrovskyFailure, RoundedCharacteristicOrParameterFails) {
    EXPECT_EQ(failure_of(1e4 + 1.1e-5, 1e4, 1.0, 1.0), "elliprj: p must be non-zero");
    EXPECT_EQ(failure_of(1e6 + 1.1e-5, 1e6, 1.0, 1.0), "ellippi: n must be less than 1.");
    EXPECT_EQ(failure_of(1e4 + 1.1e-5, 1e4, 1e4, 1.0), "ellippi: m must be less than 1.");
    // m rounds above 1: ellipk refuses first (ellippi would refuse as well).
    EXPECT_EQ(failure_of(647739.5456273976, 647739.5456153126, 47024.389321564355, 1.0),
              "ellipk: m must be less than 1.");
}

// Nothing is validated: a NaN or infinite separation or a negative one
// reaches RJ's duplication with a NaN argument, which never converges.
TEST(HeyrovskyFailure, NonFiniteOrNegativeSeparationFails) {
    for (const double l : {NaN, INF, -1.0}) {
        EXPECT_EQ(failure_of(l, 0.5, 1.0, 1.0), "elliprj: Fail to converge") << "l = " << l;
    }
    EXPECT_EQ(failure_of(0.5, NaN, 1.0, 1.0), "elliprj: Fail to converge");
}

// -- the discrete flux map -------------------------------------------------------

using Rings = std::vector<double>;

std::vector<double> flux_map(Rings l, double re, double rstar, const Rings& bl, const Rings& bf) {
    auto result = discrete_flux_map_heyrovsky_magnification(std::move(l), re, rstar, bl, bf);
    if (!result) {
        ADD_FAILURE() << "unexpected failure: " << result.error().message;
        return {};
    }
    return std::move(*result);
}

std::string fault_message(Rings l, const Rings& bl, const Rings& bf) {
    try {
        (void)discrete_flux_map_heyrovsky_magnification(std::move(l), 1.0, 1.0, bl, bf);
    } catch (const kelvora::Fault& fault) {
        return fault.message();
    }
    return "no fault";
}

// The failing ring of HeyrovskyFailure: outside the band for l = 1e4 + 1.1e-5.
constexpr double FAR_L = 1e4 + 1.1e-5;
constexpr double FAILING_RING = 1e4;

TEST(DiscreteFluxMap, UnequalTablesAreAnInternalFaultCheckedFirst) {
    const std::string message = "assertion `left == right` failed\n  left: 3\n right: 2";
    EXPECT_EQ(fault_message({0.5, 2.0}, {0.1, 0.2, 0.3}, {1.0, 1.0}), message);
    // Also with no separation, and before any ring is evaluated.
    EXPECT_EQ(fault_message({}, {0.1, 0.2, 0.3}, {1.0, 1.0}), message);
    EXPECT_EQ(fault_message({FAR_L}, {FAILING_RING, 0.2, 0.3}, {1.0, 1.0}), message);
    EXPECT_EQ(fault_message({0.5}, {}, {1.0}), "assertion `left == right` failed\n  left: 0\n right: 1");
    EXPECT_EQ(fault_message({0.5}, Rings(12, 0.5), Rings(100, 1.0)),
              "assertion `left == right` failed\n  left: 12\n right: 100");
}

TEST(DiscreteFluxMap, EmptyTablesAndSeparations) {
    EXPECT_TRUE(flux_map({}, 1.0, 1.0, {0.5}, {1.0}).empty());
    // No ring is evaluated when there is no separation: the failing ring is
    // never reached.
    const auto none = discrete_flux_map_heyrovsky_magnification({}, 1.0, 1.0, {FAILING_RING}, {1.0});
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
    const auto zero = flux_map({0.5, 2.0}, 1.0, 1.0, {}, {});
    ASSERT_EQ(zero.size(), 2u);
    EXPECT_EQ(zero[0], 0.0);
    EXPECT_EQ(zero[1], 0.0);
}

// Weights are used as they are: one ring of weight 2 is twice the kernel, and
// doubling every weight doubles every entry (exactly: a factor of 2 commutes
// with rounding).
TEST(DiscreteFluxMap, WeightsAreAppliedAsGiven) {
    const Rings l{0.0, 0.3, 0.5 + 1e-6, 0.9, 2.0, 15.0};
    const auto one = flux_map(l, 1.0, 0.5, {0.5}, {2.0});
    ASSERT_EQ(one.size(), l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        EXPECT_EQ(one[i], 2 * ring(l[i], 0.5, 1.0, 0.5)) << "l = " << l[i];
    }
    const Rings bl{0.1, 0.4, 0.7, 1.0};
    const Rings bf{0.3, -1.25, 0.0, 7.5};
    Rings doubled;
    for (const double w : bf) doubled.push_back(2 * w);
    const auto a = flux_map(l, 1.0, 0.5, bl, bf);
    const auto b = flux_map(l, 1.0, 0.5, bl, doubled);
    ASSERT_EQ(a.size(), l.size());
    ASSERT_EQ(b.size(), l.size());
    for (std::size_t i = 0; i < l.size(); ++i) EXPECT_EQ(b[i], 2 * a[i]) << "l = " << l[i];
}

// Reordering the rings changes the sum by rounding only.
TEST(DiscreteFluxMap, RingOrderMattersOnlyToRounding) {
    const Rings l{0.0, 0.45, 1.3, 4.0};
    const Rings bl{0.1, 0.3, 0.5, 0.7, 0.9};
    const Rings bf{1.0, 0.8, 0.6, 0.4, 0.2};
    const auto forward = flux_map(l, 1.0, 1.0, bl, bf);
    const auto backward = flux_map(l, 1.0, 1.0, Rings(bl.rbegin(), bl.rend()), Rings(bf.rbegin(), bf.rend()));
    ASSERT_EQ(forward.size(), l.size());
    ASSERT_EQ(backward.size(), l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        EXPECT_LE(ulp_distance(forward[i], backward[i]), 8u) << "l = " << l[i];
    }
}

// Rings at the midpoints r_j of N equal steps in r with weights 2 r_j / N
// sum to the area-weighted mean of the kernel over the disk, int_0^1 h 2r dr:
// the uniformly bright disk of Witt & Mao (1994).  The midpoint rule
// converges like 1/N^2 when the lens is off the disk; with the lens on the
// disk the kernel has a logarithmic peak at r = l (no ring lies within the
// near-ring band of l = 0.35) and the rule converges more slowly.  The Witt-Mao separations are in
// stellar radii as well, so the same arguments are passed to both.
TEST(DiscreteFluxMap, FineRingsApproachTheUniformDisk) {
    constexpr int N = 4000;
    Rings bl, bf;
    for (int j = 0; j < N; ++j) {
        bl.push_back((j + 0.5) / N);
        bf.push_back(2 * bl.back() / N);
    }
    const Rings l{0.0, 0.35, 1.5, 3.0, 10.0};
    const auto rings = flux_map(l, 1.0, 0.5, bl, bf);
    const auto disk = kelvora::witt_mao_magnification(l, 1.0, 0.5);
    ASSERT_TRUE(disk.has_value());
    ASSERT_EQ(rings.size(), l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        // Observed: 5.5e-5 at l = 0.35, at most 2.6e-9 elsewhere.
        const double allowed = (l[i] > 0 && l[i] < 1) ? 2e-4 : 1e-8;
        EXPECT_LE(relative_error(rings[i], (*disk)[i]), allowed) << "l = " << l[i];
    }
}

// The first kernel failure ends the call, wherever it occurs, also at a ring
// of weight 0 and at the last ring of the last separation.
TEST(DiscreteFluxMap, AnyKernelFailureEndsTheCall) {
    const auto at_end = discrete_flux_map_heyrovsky_magnification({0.5, 2.0, FAR_L}, 1.0, 1.0,
                                                                  {0.2, 0.6, FAILING_RING}, {1.0, 1.0, 1.0});
    ASSERT_FALSE(at_end.has_value());
    EXPECT_STREQ(at_end.error().message, "elliprj: p must be non-zero");

    const auto weightless = discrete_flux_map_heyrovsky_magnification({FAR_L}, 1.0, 1.0, {FAILING_RING, 0.5},
                                                                      {0.0, 1.0});
    ASSERT_FALSE(weightless.has_value());
    EXPECT_STREQ(weightless.error().message, "elliprj: p must be non-zero");

    const auto nan = discrete_flux_map_heyrovsky_magnification({0.5, NaN}, 1.0, 1.0, {0.5}, {1.0});
    ASSERT_FALSE(nan.has_value());
    EXPECT_STREQ(nan.error().message, "elliprj: Fail to converge");
}

TEST(DiscreteFluxMap, ResultIsBuiltInTheStorageOfTheSeparations) {
    Rings l{0.0, 0.5, 2.0};
    const double* storage = l.data();
    const auto result = discrete_flux_map_heyrovsky_magnification(std::move(l), 1.0, 1.0, {0.3}, {1.0});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->data(), storage);
}

}  // namespace
