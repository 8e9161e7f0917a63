// Tests of the elliptic-integral kernels (numeric/elliptic.hpp).
//
//  * EllipticReference: every row of tests/data/elliptic_reference.csv
//    (mpmath at 50 digits, tools/gen_elliptic_reference.py), one test per
//    function and code path, with a tolerance in ulps set from the worst error
//    measured on that path; each test prints its worst row.
//  * CarlsonPublished: the test values printed in B. C. Carlson, Numer.
//    Algorithms 10 (1995) 13-26, to their published 14 digits, and the same
//    points to full double precision.
//  * EllipticClosedForms / EllipticLegendre: closed forms and exact values.
//  * EllipticFailures / EllipticNaN: every failure message (compared as
//    strings), the order of the argument tests, the reachable non-convergence
//    failures and how NaN arguments travel.
//
// Expected values come from mpmath or from closed forms, never from the code
// under test; where a test compares two calls of the code, it checks an
// identity of the method (which path a call takes), not a value.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "csv.hpp"
#include "numeric/elliptic.hpp"
#include "ulp.hpp"

namespace {

namespace kn = kelvora::numeric;
using kelvora::test::ulp_distance;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.141592653589793;
constexpr double kPi2 = 1.5707963267948966;

// ---------------------------------------------------------------------------
// Reference table
// ---------------------------------------------------------------------------

struct RefRow {
    std::string function;
    std::string branch;
    std::vector<double> args;
    double value;
};

std::string describe(const RefRow& r) {
    std::ostringstream os;
    os.precision(17);
    os << r.function << "(";
    for (std::size_t i = 0; i < r.args.size(); ++i) os << (i ? ", " : "") << r.args[i];
    os << ") [" << r.branch << "]";
    return os.str();
}

const std::vector<RefRow>& reference_rows() {
    static const std::vector<RefRow> rows = [] {
        std::vector<RefRow> out;
        const auto table =
            kelvora::test::read_csv(kelvora::test::test_data_path("elliptic_reference.csv"));
        if (!table) return out;
        const int fcol = table->column("function");
        const int bcol = table->column("branch");
        const int vcol = table->column("value");
        const int a1 = table->column("a1");
        if (fcol < 0 || bcol < 0 || vcol < 0 || a1 < 0) return out;
        for (const auto& cells : table->rows) {
            RefRow r;
            r.function = cells.at(fcol);
            r.branch = cells.at(bcol);
            // strtod, not stod: a subnormal cell must not throw out_of_range.
            for (int c = a1; c < a1 + 4; ++c) {
                const std::string& cell = cells.at(c);
                if (!cell.empty()) r.args.push_back(std::strtod(cell.c_str(), nullptr));
            }
            r.value = std::strtod(cells.at(vcol).c_str(), nullptr);
            out.push_back(std::move(r));
        }
        return out;
    }();
    return rows;
}

kn::Expected<double> evaluate(const RefRow& r) {
    const auto& a = r.args;
    if (r.function == "elliprf" && a.size() == 3) return kn::elliprf(a[0], a[1], a[2]);
    if (r.function == "elliprd" && a.size() == 3) return kn::elliprd(a[0], a[1], a[2]);
    if (r.function == "elliprj" && a.size() == 4) return kn::elliprj(a[0], a[1], a[2], a[3]);
    if (r.function == "elliprc" && a.size() == 2) return kn::elliprc(a[0], a[1]);
    if (r.function == "ellipk" && a.size() == 1) return kn::ellipk(a[0]);
    if (r.function == "ellipe" && a.size() == 1) return kn::ellipe(a[0]);
    if (r.function == "ellippi" && a.size() == 2) return kn::ellippi(a[0], a[1]);
    return kn::fail("test: unknown reference row");
}

// One (function, code path) group of the table and its tolerance in ulps.
struct Group {
    const char* function;
    const char* branch;
    std::uint64_t max_ulp;
};

std::ostream& operator<<(std::ostream& os, const Group& g) {
    return os << g.function << "/" << g.branch << " (<= " << g.max_ulp << " ulp)";
}

// Tolerances: the worst error measured on each path against mpmath (Debian
// glibc 2.36 libm, g++ 12, -O2 -ffp-contract=off), with a floor of 1 ulp for
// paths that go through log/atan/log1p/pow, whose last bit may differ between
// C libraries.  The comment gives the measured worst error and its row.
const Group kGroups[] = {
    {"elliprf", "distinct", 3},        // 3: RF(10, 20, 30.5)
    {"elliprf", "one_zero", 1},        // 1: RF(0, 1e300, 1)
    {"elliprf", "two_equal", 1},       // 0 (RC or pi/(2 sqrt x))
    {"elliprf", "all_equal", 1},       // 0 (1/sqrt x, two roundings)
    {"elliprd", "mean_iteration", 3},  // 3: RD(0, 1, 1e-6)
    {"elliprd", "duplication", 3},     // 3: RD(1e100, 2e100, 3e100)
    {"elliprd", "closed_form", 2},     // 2: RD(1e-6, 1e-6, 1e-6) = 1/(x sqrt x)
    {"elliprj", "p_positive", 3},      // 3: RJ(1, 2, 3, 0.5)
    // Principal value: (q - c) RJ - 3 RF + 3 sqrt(...) RC partly cancels.
    {"elliprj", "p_negative", 6},      // 6: RJ(1, 1, 2, -1)
    {"elliprj", "two_equal_rc", 3},    // 3: RJ(1, 3, 3, 10), difference of two RC
    {"elliprj", "two_equal_dup", 1},   // 1: RJ(2, 2, 0, 1.9)
    {"elliprj", "equals_rd", 1},       // 1: RJ(2, 3, 4, 4) = RD(2, 3, 4)
    {"elliprj", "all_equal", 2},       // 2: RJ(2, 2, 2, 5)
    // p < 0: RC(x, p) - 1/sqrt(x) cancels by a factor ~13 at RJ(3, 3, 3, -1).
    {"elliprj", "all_equal_pv", 16},   // 16: RJ(3, 3, 3, -1)
    {"elliprc", "x_zero", 1},          // 0
    {"elliprc", "equal", 1},           // 1: RC(2, 2) = 1/sqrt 2 in two roundings
    {"elliprc", "y_gt_x", 1},          // 1: RC(1e-10, 1)
    {"elliprc", "y_lt_x_near", 1},     // 1: RC(1.0000001, 1)
    {"elliprc", "y_lt_x_far", 1},      // 1: RC(7, 0.01)
    {"elliprc", "y_negative", 1},      // 1: RC(3, -7)
    {"ellipk", "near_zero", 1},        // 1: K(0.05)
    {"ellipk", "mid", 1},              // 1: K(0.75)
    {"ellipk", "near_one", 1},         // 1: K(1 - 2^-52)
    // The Cephes form itself (not K) at x = 1 - m > 1: P_K(x) and log(x) Q_K(x)
    // cancel, by a factor (|P| + |log(x) Q|)/|P - log(x) Q| of 2781 at x = 4
    // (m = -3) and 10 at x = 2; the Horner rounding is amplified accordingly.
    {"ellipk", "neg_poly", 460},       // 460: m = -3
    {"ellipe", "near_zero", 1},        // 1: E(0.05)
    {"ellipe", "mid", 1},              // 1: E(0.8)
    {"ellipe", "near_one", 1},         // 1: E(1 - 1e-9)
    {"ellipe", "negative", 2},         // 2: E(-10), sqrt(1 - m) and m/(m - 1) rounded
    {"ellippi", "n_positive", 3},      // 3: Pi(0.99, 0.5)
    {"ellippi", "n_negative", 2},      // 2: Pi(-0.1, 0.2)
    {"ellippi", "ring", 6},            // 6: Pi(0.99999975, 0.99999975), Pi ~ 4e6
};

// ellipk for m < 0 is not compared with the integral in ulps (see
// EllipticLegendre.NegativeParameterIsNotTransformed).
const std::set<std::pair<std::string, std::string>> kNotUlpCompared = {{"ellipk", "neg_true"}};

class EllipticReference : public ::testing::TestWithParam<Group> {};

TEST_P(EllipticReference, WithinUlpsOfMpmath) {
    const Group g = GetParam();
    std::uint64_t worst = 0;
    std::string worst_row = "none";
    int count = 0;
    for (const auto& r : reference_rows()) {
        if (r.function != g.function || r.branch != g.branch) continue;
        ++count;
        const auto got = evaluate(r);
        if (!got) {
            ADD_FAILURE() << describe(r) << " failed: " << got.error().message;
            continue;
        }
        const std::uint64_t d = ulp_distance(*got, r.value);
        EXPECT_LE(d, g.max_ulp) << describe(r) << " = " << *got << ", mpmath " << r.value;
        if (d >= worst) {
            worst = d;
            std::ostringstream os;
            os.precision(17);
            os << describe(r) << " = " << *got << " vs " << r.value;
            worst_row = os.str();
        }
    }
    ASSERT_GT(count, 0) << "no reference rows for " << g;
    RecordProperty("worst_ulp", std::to_string(worst));
    std::printf("[  worst   ] %s/%s: %llu ulp over %d rows, %s\n", g.function, g.branch,
                static_cast<unsigned long long>(worst), count, worst_row.c_str());
}

INSTANTIATE_TEST_SUITE_P(Mpmath, EllipticReference, ::testing::ValuesIn(kGroups),
                         [](const ::testing::TestParamInfo<Group>& param_info) {
                             return std::string(param_info.param.function) + "_" + param_info.param.branch;
                         });

TEST(EllipticReferenceTable, EveryGroupIsTestedAndEveryToleranceHasRows) {
    const auto& rows = reference_rows();
    ASSERT_FALSE(rows.empty()) << "cannot read " << kelvora::test::test_data_path("elliptic_reference.csv");
    std::set<std::pair<std::string, std::string>> in_table;
    for (const auto& r : rows) in_table.emplace(r.function, r.branch);
    std::set<std::pair<std::string, std::string>> in_tests(kNotUlpCompared);
    for (const auto& g : kGroups) in_tests.emplace(g.function, g.branch);
    EXPECT_EQ(in_table, in_tests);
}

TEST(EllipticReferenceTable, RowsOfAGroupAreContiguous) {
    std::set<std::pair<std::string, std::string>> closed;
    std::pair<std::string, std::string> current;
    for (const auto& r : reference_rows()) {
        const std::pair<std::string, std::string> key{r.function, r.branch};
        if (key == current) continue;
        EXPECT_EQ(closed.count(key), 0u) << r.function << "/" << r.branch << " appears twice";
        closed.insert(current);
        current = key;
    }
}

// Worst error per function over all its groups (a summary of the above).
TEST(EllipticReferenceTable, WorstUlpPerFunction) {
    std::map<std::string, std::pair<std::uint64_t, std::string>> worst;
    for (const auto& r : reference_rows()) {
        if (kNotUlpCompared.count({r.function, r.branch}) || r.branch == "neg_poly") continue;
        const auto got = evaluate(r);
        ASSERT_TRUE(got.has_value()) << describe(r) << ": " << got.error().message;
        const std::uint64_t d = ulp_distance(*got, r.value);
        auto& w = worst[r.function];
        if (d >= w.first) w = {d, describe(r)};
    }
    for (const auto& [fn, w] : worst) {
        std::printf("[  worst   ] %-8s %3llu ulp vs mpmath at %s\n", fn.c_str(),
                    static_cast<unsigned long long>(w.first), w.second.c_str());
    }
    EXPECT_EQ(worst.size(), 7u);
}

// The ulp measure the tolerances above rely on.
TEST(EllipticTestHelpers, UlpDistance) {
    using kelvora::test::kUlpInfinite;
    const double dmin = std::numeric_limits<double>::denorm_min();
    const double dmax = std::numeric_limits<double>::max();
    EXPECT_EQ(ulp_distance(1.0, 1.0), 0u);
    EXPECT_EQ(ulp_distance(1.0, std::nextafter(1.0, 2.0)), 1u);
    EXPECT_EQ(ulp_distance(std::nextafter(1.0, 0.0), std::nextafter(1.0, 2.0)), 2u);
    EXPECT_EQ(ulp_distance(-1.0, std::nextafter(-1.0, -2.0)), 1u);
    EXPECT_EQ(ulp_distance(0.0, -0.0), 0u);
    EXPECT_EQ(ulp_distance(dmin, -dmin), 2u);
    EXPECT_EQ(ulp_distance(dmax, kInf), 1u);
    EXPECT_EQ(ulp_distance(kInf, kInf), 0u);
    EXPECT_EQ(ulp_distance(-kInf, kInf), 2 * ulp_distance(0.0, kInf));
    EXPECT_EQ(ulp_distance(kNaN, kNaN), 0u);
    EXPECT_EQ(ulp_distance(kNaN, 1.0), kUlpInfinite);
    EXPECT_EQ(ulp_distance(1.0, -kNaN), kUlpInfinite);
}

// ---------------------------------------------------------------------------
// Carlson (1995) published test values
// ---------------------------------------------------------------------------

// The published values carry 14 significant digits: allow half a unit of the
// 14th digit relative to the value, 5e-14.
constexpr double kPublishedRelTol = 5e-14;

struct Published {
    const char* what;
    kn::Expected<double> got;
    double published;   // Carlson (1995), 14 digits
    double full;        // mpmath, 50 digits, rounded to double
};

void check_published(const Published& p, std::uint64_t max_ulp) {
    ASSERT_TRUE(p.got.has_value()) << p.what << ": " << p.got.error().message;
    EXPECT_LE(std::fabs(*p.got / p.published - 1), kPublishedRelTol)
        << p.what << " = " << *p.got << ", published " << p.published;
    EXPECT_LE(ulp_distance(*p.got, p.full), max_ulp)
        << p.what << " = " << *p.got << ", mpmath " << p.full;
}

TEST(CarlsonPublished, RF) {
    // RF(1, 2, 0): mean iteration (one zero argument); RF(2, 3, 4): duplication.
    check_published({"RF(1,2,0)", kn::elliprf(1, 2, 0), 1.3110287771461, 1.3110287771460598}, 1);
    check_published({"RF(2,3,4)", kn::elliprf(2, 3, 4), 0.58408284167715, 0.58408284167715174}, 1);
}

TEST(CarlsonPublished, RD) {
    // RD(0, 2, 1): mean iteration with the sum; RD(2, 3, 4): duplication.
    check_published({"RD(0,2,1)", kn::elliprd(0, 2, 1), 1.7972103521034, 1.7972103521033884}, 2);
    check_published({"RD(2,3,4)", kn::elliprd(2, 3, 4), 0.16510527294261, 0.16510527294261054}, 2);
}

TEST(CarlsonPublished, RJ) {
    check_published({"RJ(0,1,2,3)", kn::elliprj(0, 1, 2, 3), 0.77688623778582,
                     0.77688623778582333},
                    4);
    check_published({"RJ(2,3,4,5)", kn::elliprj(2, 3, 4, 5), 0.14297579667157,
                     0.14297579667156754},
                    4);
    // Cauchy principal values (p < 0).
    check_published({"RJ(2,3,4,-0.5)", kn::elliprj(2, 3, 4, -0.5), 0.24723819703052,
                     0.24723819703051564},
                    16);
    check_published({"RJ(2,3,4,-5)", kn::elliprj(2, 3, 4, -5), -0.12711230042964,
                     -0.12711230042963911},
                    16);
}

TEST(CarlsonPublished, RC) {
    // RC(0, 1/4) = pi; RC(9/4, 2) = ln 2; RC(1/4, -2) = ln(2)/3 (principal value).
    check_published({"RC(0,1/4)", kn::elliprc(0, 0.25), kPi, kPi}, 0);
    check_published({"RC(9/4,2)", kn::elliprc(2.25, 2), 0.69314718055994531,
                     0.69314718055994531},
                    1);
    check_published({"RC(1/4,-2)", kn::elliprc(0.25, -2), 0.23104906018664845,
                     0.23104906018664845},
                    1);
}

// ---------------------------------------------------------------------------
// Closed forms of the symmetric integrals
// ---------------------------------------------------------------------------

TEST(EllipticClosedForms, RCSpecialValues) {
    // x = 0: (1 * pi / 2) / sqrt(1/4) is pi exactly.
    EXPECT_EQ(*kn::elliprc(0, 0.25), kPi);
    EXPECT_LE(ulp_distance(*kn::elliprc(2.25, 2), 0.69314718055994531), 1u);   // ln 2
    EXPECT_LE(ulp_distance(*kn::elliprc(0.25, -2), 0.23104906018664845), 1u);  // ln(2)/3
    // RC(x, x) = 1/sqrt(x); a principal value with x = 0 has prefactor
    // sqrt(0/(0 - y)) = 0.
    EXPECT_EQ(*kn::elliprc(4, 4), 0.5);
    EXPECT_EQ(*kn::elliprc(0, -1), 0.0);
    // -0 is not negative: RC(-0, 1) = pi/2.
    EXPECT_EQ(*kn::elliprc(-0.0, 1), kPi2);
}

TEST(EllipticClosedForms, RFEqualArguments) {
    EXPECT_EQ(*kn::elliprf(4, 4, 4), 0.5);                                     // 1/sqrt(x)
    EXPECT_LE(ulp_distance(*kn::elliprf(0, 4, 4), kPi / 4), 1u);              // pi/(2 sqrt y)
    EXPECT_LE(ulp_distance(*kn::elliprf(4, 0, 4), kPi / 4), 1u);
    EXPECT_LE(ulp_distance(*kn::elliprf(4, 4, 0), kPi / 4), 1u);
    // RF(x, y, y) = RC(x, y) for each placement of the pair.
    EXPECT_EQ(*kn::elliprf(2, 2, 5), *kn::elliprc(5, 2));
    EXPECT_EQ(*kn::elliprf(2, 5, 2), *kn::elliprc(5, 2));
    EXPECT_EQ(*kn::elliprf(5, 2, 2), *kn::elliprc(5, 2));
}

TEST(EllipticClosedForms, RDEqualArguments) {
    EXPECT_EQ(*kn::elliprd(4, 4, 4), 0.125);  // x^(-3/2)
    // RD(0, z, z) = 3 pi / (4 z^(3/2)): 3pi/32 at z = 4, from either zero slot.
    EXPECT_LE(ulp_distance(*kn::elliprd(0, 4, 4), 0.29452431127404311), 1u);
    EXPECT_LE(ulp_distance(*kn::elliprd(4, 0, 4), 0.29452431127404311), 1u);
}

TEST(EllipticClosedForms, RJSpecialValues) {
    // RJ(3, 3, 3, 3) = 3^(-3/2).
    EXPECT_LE(ulp_distance(*kn::elliprj(3, 3, 3, 3), 0.19245008972987526), 1u);
    // RJ(x, y, y, y) = RD(x, y, y): the call is handed to RD.
    EXPECT_EQ(*kn::elliprj(1, 2, 2, 2), *kn::elliprd(1, 2, 2));
    EXPECT_LE(ulp_distance(*kn::elliprj(1, 2, 2, 2), 0.42809724509617247), 2u);
    // RJ(x, y, z, z) = RD(x, y, z).
    EXPECT_EQ(*kn::elliprj(2, 3, 4, 4), *kn::elliprd(2, 3, 4));
    // RJ(2, 2, 5, 1): r = 2, p = 1, max/min = 2 > 1.2, so the two-RC form
    // 3/(p - r) (RC(o, r) - RC(o, p)) with o = 5 is taken.
    const double two_rc = 3 / (1.0 - 2.0) * (*kn::elliprc(5, 2) - *kn::elliprc(5, 1));
    EXPECT_EQ(*kn::elliprj(2, 2, 5, 1), two_rc);
    EXPECT_LE(ulp_distance(*kn::elliprj(2, 2, 5, 1), 0.37846429199415915), 2u);
}

TEST(EllipticClosedForms, RJCoreHasNoArgumentTests) {
    // _elliprj is the p > 0 core that elliprj dispatches to.
    EXPECT_EQ(*kn::_elliprj(2, 3, 4, 5), *kn::elliprj(2, 3, 4, 5));
    EXPECT_EQ(*kn::_elliprj(0, 1, 2, 3), *kn::elliprj(0, 1, 2, 3));
    // Called directly with a negative p it tests nothing: the square root of
    // p is NaN and the value is NaN, not a failure.
    const auto r = kn::_elliprj(1, 2, 3, -1);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_TRUE(std::isnan(*r));
}

// ---------------------------------------------------------------------------
// Legendre integrals
// ---------------------------------------------------------------------------

TEST(EllipticLegendre, ExactValues) {
    EXPECT_EQ(*kn::ellipk(1), kInf);  // a value, not a failure
    EXPECT_EQ(*kn::ellipe(1), 1.0);
    EXPECT_EQ(*kn::ellipk(0), kPi2);
    EXPECT_EQ(*kn::ellipe(0), kPi2);
    EXPECT_EQ(*kn::ellippi(0, 0), kPi2);
    EXPECT_EQ(*kn::ellipk(-0.0), kPi2);
    EXPECT_EQ(*kn::ellippi(0, -0.0), kPi2);
}

TEST(EllipticLegendre, PiWithZeroCharacteristicIsK) {
    for (const double m : {0.5, 1e-300, -3.0, 0.9999999, 1 - 0x1p-53}) {
        EXPECT_EQ(*kn::ellippi(0, m), *kn::ellipk(m)) << "m = " << m;
    }
}

TEST(EllipticLegendre, ClosedFormsAtOneHalf) {
    // K(1/2) = Gamma(1/4)^2 / (4 sqrt(pi)); E(1/2) = K/2 + pi/(4K) (Legendre's
    // relation at k = k'), both evaluated with mpmath.
    EXPECT_LE(ulp_distance(*kn::ellipk(0.5), 1.8540746773013719), 1u);
    EXPECT_LE(ulp_distance(*kn::ellipe(0.5), 1.3506438810476755), 1u);
}

TEST(EllipticLegendre, KNearOne) {
    // 1 - m = 2^-53 < eps: the logarithmic form ln 4 - ln(2^-53)/2 = 28.5 ln 2.
    EXPECT_LE(ulp_distance(*kn::ellipk(1 - 0x1p-53), 19.754694645958441), 1u);
    // 1 - m = 2^-52 = eps is not below eps: the polynomials, close to 28 ln 2
    // (the true K differs from 28 ln 2 by O(eps ln eps)).
    EXPECT_NEAR(*kn::ellipk(1 - 0x1p-52), 19.408121055678468, 1e-14);
    // The next double above 1 is rejected; 1 itself is +inf.
    EXPECT_FALSE(kn::ellipk(std::nextafter(1.0, 2.0)).has_value());
}

TEST(EllipticLegendre, NegativeParameterIsNotTransformed) {
    // ellipk(-3) is the Cephes form at x = 4, outside the fitted range: about
    // 2.2% below the integral K(-3) = 1.0782578237498217 (mpmath).
    const double k = *kn::ellipk(-3);
    const double rel = k / 1.0782578237498217 - 1;
    EXPECT_GT(rel, -0.0225);
    EXPECT_LT(rel, -0.0220);
    // The rows ellipk/neg_true hold the integral: report how far the
    // untransformed approximation is from it (informational; grows with |m|).
    // Beyond m = -3 the form is no approximation of K at all: ellipk(-10) is
    // negative (about -1.93e4; the integral is 0.79).
    EXPECT_LT(*kn::ellipk(-10), 0.0);
    // Pi with n < 0 calls ellipk(m) and inherits its error for m < 0:
    // Pi(-0.5, -1) = 1.0893192052628387 (mpmath) is missed by ~4e-7.
    const double pi_rel = *kn::ellippi(-0.5, -1) / 1.0893192052628387 - 1;
    EXPECT_GT(std::fabs(pi_rel), 1e-7);
    EXPECT_LT(std::fabs(pi_rel), 1e-6);
    for (const auto& r : reference_rows()) {
        if (r.function != "ellipk" || r.branch != "neg_true") continue;
        const double got = *kn::ellipk(r.args[0]);
        std::printf("[  info    ] ellipk(%.17g) / K - 1 = %.3e\n", r.args[0], got / r.value - 1);
    }
}

TEST(EllipticLegendre, NegativeParameterOfE) {
    // E(m) = sqrt(1 - m) E(m/(m - 1)): for m = -1 the factor sqrt(2) multiplies
    // the whole approximation taken at m = 1/2, so the two agree bitwise.
    EXPECT_EQ(*kn::ellipe(-1), std::sqrt(2.0) * *kn::ellipe(0.5));
    EXPECT_LE(ulp_distance(*kn::ellipe(-1), 1.9100988945138559), 2u);  // mpmath E(-1)
}

TEST(EllipticLegendre, PiAtOneHalf) {
    // n < 0 through the transformed formula, 0 < n < 1 through RF + n RJ/3.
    EXPECT_LE(ulp_distance(*kn::ellippi(-0.5, 0.5), 1.4878469926687985), 4u);
    EXPECT_LE(ulp_distance(*kn::ellippi(0.5, 0.5), 2.701287762095351), 4u);
}

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

::testing::AssertionResult FailsWith(const kn::Expected<double>& r, const char* message) {
    if (r.has_value()) return ::testing::AssertionFailure() << "returned the value " << *r;
    if (std::string(r.error().message) != message) {
        return ::testing::AssertionFailure() << "failed with \"" << r.error().message
                                             << "\", expected \"" << message << "\"";
    }
    return ::testing::AssertionSuccess();
}

constexpr const char* kRcX = "elliprc: x must be non-negative.";
constexpr const char* kRcY = "elliprc: y must be non-zero.";
constexpr const char* kRfArgs =
    "elliprf: x, y, and z must be non-negative, and at most one can be zero.";
constexpr const char* kRfConv = "elliprf: Failed to converge.";
constexpr const char* kRdXY = "elliprd: x and y must be non-negative, and at most one can be zero.";
constexpr const char* kRdZ = "elliprd: z must be positive";
constexpr const char* kRdConv = "elliprd: Failed to converge.";
constexpr const char* kRjArgs =
    "elliprj: x, y, and z must be non-negative, and at most one can be zero.";
constexpr const char* kRjP = "elliprj: p must be non-zero";
constexpr const char* kRjConv = "elliprj: Fail to converge";
constexpr const char* kK = "ellipk: m must be less than 1.";
constexpr const char* kE = "ellipe: m must be less than 1.";
constexpr const char* kPiM = "ellippi: m must be less than 1.";
constexpr const char* kPiN = "ellippi: n must be less than 1.";

TEST(EllipticFailures, RJWithANaNArgumentDoesNotConverge) {
    // A NaN anywhere makes every pass's A and RC argument NaN: no RC term
    // fails, the stopping test never holds, and the result is the pass
    // limit's failure, for the core and for Pi(n, m) with m NaN (both signs
    // of n take the core).
    for (int i = 0; i < 4; ++i) {
        double a[4] = {0.0, 0.5, 1.0, 0.25};
        a[i] = kNaN;
        EXPECT_TRUE(FailsWith(kn::_elliprj(a[0], a[1], a[2], a[3]), kRjConv)) << i;
    }
    EXPECT_TRUE(FailsWith(kn::ellippi(0.5, kNaN), kRjConv));
    EXPECT_TRUE(FailsWith(kn::ellippi(-0.5, kNaN), kRjConv));
}

TEST(EllipticFailures, RC) {
    EXPECT_TRUE(FailsWith(kn::elliprc(-1, 1), kRcX));
    EXPECT_TRUE(FailsWith(kn::elliprc(1, 0), kRcY));
    EXPECT_TRUE(FailsWith(kn::elliprc(1, -0.0), kRcY));
    EXPECT_TRUE(FailsWith(kn::elliprc(-1, 0), kRcX));  // x is tested first
    EXPECT_TRUE(FailsWith(kn::elliprc(-kInf, 1), kRcX));
}

TEST(EllipticFailures, RFArguments) {
    EXPECT_TRUE(FailsWith(kn::elliprf(-1, 1, 1), kRfArgs));
    EXPECT_TRUE(FailsWith(kn::elliprf(1, -1, 1), kRfArgs));
    EXPECT_TRUE(FailsWith(kn::elliprf(1, 1, -1e-300), kRfArgs));
    EXPECT_TRUE(FailsWith(kn::elliprf(0, 0, 1), kRfArgs));
    EXPECT_TRUE(FailsWith(kn::elliprf(0, 1, 0), kRfArgs));
    EXPECT_TRUE(FailsWith(kn::elliprf(1, 0, 0), kRfArgs));
    EXPECT_TRUE(FailsWith(kn::elliprf(0, 0, 0), kRfArgs));
    // fmin ignores the NaN, so the two zeros are still caught.
    EXPECT_TRUE(FailsWith(kn::elliprf(kNaN, 0, 0), kRfArgs));
}

TEST(EllipticFailures, RFDoesNotConvergeInElevenPasses) {
    // The duplication stops when Q 4^-n < |A_n|; A_n tends to about RF^-2, so
    // the number of passes grows with ln^2 of the dynamic range: 1e200 still
    // converges (reference row elliprf(1, 2, 1e200)), 1e250 does not.
    EXPECT_TRUE(kn::elliprf(1, 2, 1e200).has_value());
    EXPECT_TRUE(FailsWith(kn::elliprf(1, 2, 1e250), kRfConv));
    EXPECT_TRUE(FailsWith(kn::elliprf(1e-300, 2e-300, 1e300), kRfConv));
    // An infinite argument makes A infinite, and inf < inf never holds.
    EXPECT_TRUE(FailsWith(kn::elliprf(1, 2, kInf), kRfConv));
}

TEST(EllipticFailures, RDArguments) {
    EXPECT_TRUE(FailsWith(kn::elliprd(-1, 1, 1), kRdXY));
    EXPECT_TRUE(FailsWith(kn::elliprd(1, -1, 1), kRdXY));
    EXPECT_TRUE(FailsWith(kn::elliprd(0, 0, 1), kRdXY));
    EXPECT_TRUE(FailsWith(kn::elliprd(1, 1, 0), kRdZ));
    EXPECT_TRUE(FailsWith(kn::elliprd(1, 1, -1), kRdZ));
    EXPECT_TRUE(FailsWith(kn::elliprd(1, 1, -0.0), kRdZ));
    // x and y are tested before z.
    EXPECT_TRUE(FailsWith(kn::elliprd(-1, 1, 0), kRdXY));
    EXPECT_TRUE(FailsWith(kn::elliprd(0, 0, 0), kRdXY));
    EXPECT_TRUE(FailsWith(kn::elliprd(0, 0, -1), kRdXY));
    // A zero x with positive y and z is fine.
    EXPECT_TRUE(kn::elliprd(0, 1, 2).has_value());
}

TEST(EllipticFailures, RDNonConvergence) {
    // While the stopping bound stays finite the 50-pass limit is out of reach:
    // A_n tends to about RF(x, y, z)^-2, and A_0 / RF^-2 stays below about
    // ln^2(1e616) ~ 2e6, far under the 4^50 / (1.2 * 107.6) ~ 1e28 the limit
    // would need.  Extreme but finite ranges converge:
    EXPECT_TRUE(kn::elliprd(1e300, 1e300, 1e-300).has_value());
    EXPECT_TRUE(kn::elliprd(5e-324, 1e300, 2e300).has_value());
    // The limit is reached through overflow: Q = max(A0 - u, ...) * 107.6 * 1.2
    // is +inf once a deviation exceeds ~1.4e306, and x + y + 3z > DBL_MAX
    // makes A0 itself infinite.
    EXPECT_TRUE(FailsWith(kn::elliprd(5e-324, 1e308, 1e-300), kRdConv));
    EXPECT_TRUE(FailsWith(kn::elliprd(1e308, 1e308, 5e-324), kRdConv));
    // An infinite or NaN argument never meets Q < A either.
    EXPECT_TRUE(FailsWith(kn::elliprd(1, 2, kInf), kRdConv));
    EXPECT_TRUE(FailsWith(kn::elliprd(1, 1, kNaN), kRdConv));
}

TEST(EllipticFailures, RJArguments) {
    EXPECT_TRUE(FailsWith(kn::elliprj(-1, 1, 1, 1), kRjArgs));
    EXPECT_TRUE(FailsWith(kn::elliprj(1, 1, -1, 1), kRjArgs));
    EXPECT_TRUE(FailsWith(kn::elliprj(0, 0, 1, 1), kRjArgs));
    EXPECT_TRUE(FailsWith(kn::elliprj(0, 1, 0, 1), kRjArgs));
    EXPECT_TRUE(FailsWith(kn::elliprj(1, 1, 1, 0), kRjP));
    EXPECT_TRUE(FailsWith(kn::elliprj(1, 2, 3, -0.0), kRjP));
    // x, y, z are tested before p.
    EXPECT_TRUE(FailsWith(kn::elliprj(0, 0, 1, 0), kRjArgs));
    EXPECT_TRUE(FailsWith(kn::elliprj(-1, 1, 1, 0), kRjArgs));
    EXPECT_TRUE(FailsWith(kn::elliprj(0, 0, kNaN, 1), kRjArgs));
}

TEST(EllipticFailures, RJDoesNotConvergeInAHundredPasses) {
    // The duplication mean tends to about RF(x, y, z)^-2 whatever p is, while
    // A_0 grows with p: a p more than ~1e60 times that mean is out of reach.
    EXPECT_TRUE(FailsWith(kn::elliprj(1, 2, 3, 1e200), kRjConv));
    EXPECT_TRUE(FailsWith(kn::elliprj(1e-100, 2e-100, 3e-100, 1e100), kRjConv));
    EXPECT_TRUE(kn::elliprj(1, 2, 3, 1e50).has_value());
    EXPECT_TRUE(FailsWith(kn::elliprj(1, 2, 3, kInf), kRjConv));
    // p = -inf: the principal-value transformation gives q = inf.
    EXPECT_TRUE(FailsWith(kn::elliprj(1, 2, 3, -kInf), kRjConv));
}

TEST(EllipticFailures, RJPrincipalValueWithUnderflowingParameter) {
    // For tiny arguments the transformed parameter q = (c(a + b - p) - ab)/(c - p)
    // underflows to 0 and the inner call RJ(a, b, c, q) rejects it.
    EXPECT_TRUE(FailsWith(kn::elliprj(0, 1e-200, 2e-200, -1e-200), kRjP));
}

TEST(EllipticFailures, RJPassesInnerFailuresUp) {
    // Two equal arguments with r = p hand over to RD, which meets the NaN in
    // its duplication: the failure carries RD's message.
    EXPECT_TRUE(FailsWith(kn::elliprj(kNaN, 1, 1, 1), kRdConv));
}

TEST(EllipticFailures, Legendre) {
    EXPECT_TRUE(FailsWith(kn::ellipk(1.5), kK));
    EXPECT_TRUE(FailsWith(kn::ellipk(kInf), kK));
    EXPECT_TRUE(FailsWith(kn::ellipe(std::nextafter(1.0, 2.0)), kE));
    EXPECT_TRUE(FailsWith(kn::ellipe(2), kE));
}

TEST(EllipticFailures, Pi) {
    // m = 1 is rejected by ellippi although K and E accept it.
    EXPECT_TRUE(FailsWith(kn::ellippi(0.5, 1), kPiM));
    EXPECT_TRUE(FailsWith(kn::ellippi(0.5, 2), kPiM));
    EXPECT_TRUE(FailsWith(kn::ellippi(0, 1), kPiM));
    // m is tested before n.
    EXPECT_TRUE(FailsWith(kn::ellippi(2, 1), kPiM));
    EXPECT_TRUE(FailsWith(kn::ellippi(2, 0.5), kPiN));
    EXPECT_TRUE(FailsWith(kn::ellippi(std::nextafter(1.0, 2.0), 0.5), kPiN));
    EXPECT_TRUE(FailsWith(kn::ellippi(kInf, 0.5), kPiN));
    // n = 1 passes the n test; RJ(0, 1 - m, 1, 0) then rejects p = 0.
    EXPECT_TRUE(FailsWith(kn::ellippi(1, 0.5), kRjP));
    EXPECT_TRUE(FailsWith(kn::ellippi(1, 0), kRjP));
    EXPECT_TRUE(FailsWith(kn::ellippi(1, -3), kRjP));
}

// ---------------------------------------------------------------------------
// NaN arguments: they pass every ordered test; the AGM loops and the closed
// forms turn them into NaN values, while a duplication loop never meets its
// stopping test and reports non-convergence.
// ---------------------------------------------------------------------------

void expect_nan_value(const kn::Expected<double>& r, const char* what) {
    ASSERT_TRUE(r.has_value()) << what << " failed: " << r.error().message;
    EXPECT_TRUE(std::isnan(*r)) << what << " = " << *r;
}

TEST(EllipticNaN, ValuesFromClosedFormsAndMeanIterations) {
    expect_nan_value(kn::elliprc(kNaN, 1), "RC(nan, 1)");
    expect_nan_value(kn::elliprc(1, kNaN), "RC(1, nan)");
    expect_nan_value(kn::elliprc(kNaN, -1), "RC(nan, -1)");
    expect_nan_value(kn::elliprf(0, 1, kNaN), "RF(0, 1, nan)");
    expect_nan_value(kn::elliprd(0, kNaN, 1), "RD(0, nan, 1)");
    expect_nan_value(kn::ellipk(kNaN), "K(nan)");
    expect_nan_value(kn::ellipe(kNaN), "E(nan)");
}

TEST(EllipticNaN, DuplicationReportsNonConvergence) {
    EXPECT_TRUE(FailsWith(kn::elliprf(kNaN, 1, 2), kRfConv));
    EXPECT_TRUE(FailsWith(kn::elliprf(kNaN, kNaN, kNaN), kRfConv));
    EXPECT_TRUE(FailsWith(kn::elliprd(kNaN, 1, 2), kRdConv));
    EXPECT_TRUE(FailsWith(kn::elliprj(1, 2, 3, kNaN), kRjConv));
    // ellippi reaches RJ's duplication with a NaN for either argument.
    EXPECT_TRUE(FailsWith(kn::ellippi(kNaN, 0.5), kRjConv));
    EXPECT_TRUE(FailsWith(kn::ellippi(0.5, kNaN), kRjConv));
    EXPECT_TRUE(FailsWith(kn::ellippi(-0.5, kNaN), kRjConv));
}

TEST(EllipticNaN, PiWithEqualNegativeArguments) {
    // n = m < 0: both terms divide by m - n = 0, -inf - (-inf) is NaN; a value,
    // not a failure.
    expect_nan_value(kn::ellippi(-0.5, -0.5), "Pi(-0.5, -0.5)");
    expect_nan_value(kn::ellippi(-2, -2), "Pi(-2, -2)");
    expect_nan_value(kn::ellippi(-1e-3, -1e-3), "Pi(-1e-3, -1e-3)");
}

TEST(EllipticNaN, EForHugeNegativeParameter) {
    // For m below about -2^53 the transformed parameter m/(m - 1) rounds to 1,
    // x = 0 and log(0) * (0 * Q_E(0)) is NaN: the written transformation has
    // no representable image there (the integral is about sqrt(-m)).
    EXPECT_TRUE(kn::ellipe(-1e15).has_value());
    EXPECT_NEAR(*kn::ellipe(-1e15) / 31622776.601683793, 1.0, 1e-6);
    expect_nan_value(kn::ellipe(-1e16), "E(-1e16)");
    expect_nan_value(kn::ellipe(-kInf), "E(-inf)");
}

}  // namespace
