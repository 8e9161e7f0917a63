// Tests of the limb-darkened magnification (fspl/core/magnification.hpp) and
// its profiles (fspl/core/profile.hpp).
//
// References: tests/data/fspl_reference.csv (two independent mpmath routes,
// tools/gen_fspl_reference.py), the fluxes of the laws in closed form, and
// identities between the laws (a quadratic law with u2 = 0 is the linear
// law, ...), which exercise each law's own code against another's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "csv.hpp"
#include "fspl/core/magnification.hpp"
#include "fspl/core/profile.hpp"
#include "fspl/core/uniform_disk.hpp"

namespace {

using kelvora::fspl::Law;
using kelvora::fspl::magnification;
using kelvora::fspl::Profile;
using kelvora::test::load_csv;
using kelvora::test::test_data_path;

Profile analytic(Law law, std::vector<double> c) {
    auto p = Profile::analytic(law, c);
    EXPECT_TRUE(p.has_value()) << (p ? "" : p.error().message);
    return p ? *p : Profile::uniform();
}

Profile table(std::vector<double> mu, std::vector<double> i) {
    auto p = Profile::tabulated(mu, i);
    EXPECT_TRUE(p.has_value()) << (p ? "" : p.error().message);
    return p ? *p : Profile::uniform();
}

std::vector<double> numbers(const std::string& cell) {
    std::vector<double> out;
    std::istringstream in(cell);
    double x;
    while (in >> x) out.push_back(x);
    return out;
}

const std::vector<double> RATIOS = {0.0, 1e-3, 0.1, 0.5, 0.9, 0.99, 1 - 1e-4, 1 - 1e-7, 1.0, 1 + 1e-7,
                                    1 + 1e-4, 1.01, 1.1, 1.5, 2.0, 3.0, 5.0, 7.99, 8.0, 10.0, 100.0};
const std::vector<double> RHOS = {1e-6, 1e-3, 0.05, 1.0, 1e3};

// Every row of the mpmath table, per law: 1e-12 for the uniform disk, 1e-9
// for the limb-darkened laws (observed worst per law is printed).
TEST(FsplMagnification, AgreesWithBothMpmathRoutes) {
    const auto data = load_csv(test_data_path("fspl_reference.csv"));
    ASSERT_GT(data.rows.size(), 500u);
    const int c_law = data.column("law"), c_c1 = data.column("c1"), c_c2 = data.column("c2"),
              c_mu = data.column("mu_nodes"), c_i = data.column("intensities"), c_u = data.column("u"),
              c_rho = data.column("rho"), c_a = data.column("magnification");
    std::map<std::string, double> worst;
    std::map<std::string, std::string> where;
    for (std::size_t row = 0; row < data.rows.size(); ++row) {
        const auto& cells = data.rows[row];
        const std::string name = cells[static_cast<std::size_t>(c_law)];
        const auto law = kelvora::fspl::parse_law(name);
        ASSERT_TRUE(law.has_value()) << name;
        Profile profile = Profile::uniform();
        if (*law == Law::tabulated) {
            profile = table(numbers(cells[static_cast<std::size_t>(c_mu)]), numbers(cells[static_cast<std::size_t>(c_i)]));
        } else {
            std::vector<double> c;
            if (kelvora::fspl::coefficient_count(*law) > 0) c.push_back(data.number(row, c_c1));
            if (kelvora::fspl::coefficient_count(*law) > 1) c.push_back(data.number(row, c_c2));
            profile = analytic(*law, c);
        }
        const double u = data.number(row, c_u), rho = data.number(row, c_rho), reference = data.number(row, c_a);
        const double error = std::fabs(magnification(u, rho, profile) / reference - 1.0);
        if (error >= worst[name]) {
            worst[name] = error;
            where[name] = "u/rho=" + std::to_string(u / rho) + " rho=" + std::to_string(rho);
        }
    }
    for (const auto& [name, error] : worst) {
        const double limit = name == "uniform" ? 1e-12 : 1e-9;
        EXPECT_LT(error, limit) << name << " at " << where[name];
        std::cout << "  " << name << ": worst relative error " << error << " at " << where[name] << "\n";
    }
}

// Laws that coincide: quadratic with u2 = 0, power-2 with alpha = 1 and
// square-root with d = 0 are the linear law; a table that samples the linear
// law at mu = 0 and 1 is that law exactly; scaling a table changes nothing.
// Each pair runs through different code (slopes, gradings, table segments).
TEST(FsplMagnification, CoincidingLawsAgree) {
    const double u1 = 0.7;
    const Profile linear = analytic(Law::linear, {u1});
    const Profile others[] = {analytic(Law::quadratic, {u1, 0.0}), analytic(Law::power_2, {u1, 1.0}),
                              analytic(Law::square_root, {u1, 0.0}), table({0.0, 1.0}, {1.0 - u1, 1.0}),
                              table({0.0, 0.5, 1.0}, {7.0 * (1.0 - u1), 7.0 * (1.0 - 0.5 * u1), 7.0})};
    for (double rho : RHOS) {
        for (double ratio : RATIOS) {
            const double u = rho * ratio;
            const double expected = magnification(u, rho, linear);
            for (const auto& other : others) {
                EXPECT_NEAR(magnification(u, rho, other), expected, 2e-10 * expected)
                    << kelvora::fspl::law_name(other.law()) << " u/rho=" << ratio << " rho=" << rho;
            }
        }
    }
}

// The fluxes 2 int I r dr in closed form: 1 - u1/3, 1 - u1/3 - u2/6,
// 1 - c/3 - d/5, 1 - c alpha/(alpha + 2); and the limb brightness I(0).
TEST(FsplProfile, FluxesAndLimbs) {
    EXPECT_DOUBLE_EQ(analytic(Law::linear, {0.6}).flux(), 1.0 - 0.6 / 3.0);
    EXPECT_DOUBLE_EQ(analytic(Law::quadratic, {0.4, 0.25}).flux(), 1.0 - 0.4 / 3.0 - 0.25 / 6.0);
    EXPECT_DOUBLE_EQ(analytic(Law::square_root, {0.3, 0.5}).flux(), 1.0 - 0.3 / 3.0 - 0.5 / 5.0);
    EXPECT_DOUBLE_EQ(analytic(Law::power_2, {0.7, 0.6}).flux(), 1.0 - 0.7 * 0.6 / 2.6);
    // A table: I = 0.2 + 0.8 mu on [0, 1]: flux 0.2 + 0.8 * 2/3.
    EXPECT_NEAR(table({0.0, 1.0}, {0.2, 1.0}).flux(), 0.2 + 0.8 * 2.0 / 3.0, 1e-15);
    // Constant beyond the nodes: I = 0.5 for mu < 0.6, then up to 1 at mu = 0.8, then 1.
    // flux = int I 2 mu dmu = 0.5 * 0.36 + int_0.6^0.8 (0.5 + 2.5 (mu - 0.6)) 2 mu dmu + 0.36
    EXPECT_NEAR(table({0.6, 0.8}, {0.5, 1.0}).flux(), 0.18 + (0.5 * 0.28 + 2.5 * (2.0 * (0.512 - 0.216) / 3.0 - 0.6 * 0.28)) + 0.36,
                1e-15);
    EXPECT_DOUBLE_EQ(analytic(Law::quadratic, {0.4, 0.25}).limb(), 0.35);
    EXPECT_DOUBLE_EQ(table({0.6, 0.8}, {0.5, 1.0}).intensity(0.7), 0.75);
}

// The quadrature meets the far-field series at 8 source radii.
TEST(FsplMagnification, NearAndFarFieldMeet) {
    const Profile profiles[] = {analytic(Law::linear, {0.6}), analytic(Law::power_2, {0.8, 0.25}),
                                table({0.0, 0.3, 1.0}, {0.3, 0.8, 1.0})};
    for (const auto& profile : profiles) {
        for (double rho : RHOS) {
            const double inner = magnification(8.0 * rho * (1.0 - 1e-15), rho, profile);
            const double outer = magnification(8.0 * rho, rho, profile);
            EXPECT_NEAR(inner, outer, 1e-11 * outer) << rho;
        }
    }
}

// Rejected profiles, with the messages the Python caller sees.
TEST(FsplProfile, RejectsBadProfiles) {
    struct Case {
        Law law;
        std::vector<double> c;
        const char* message;
    };
    const Case cases[] = {
        {Law::linear, {}, "law 'linear' takes 1 coefficient (u1), got 0"},
        {Law::uniform, {0.5}, "law 'uniform' takes no coefficients, got 1"},
        {Law::quadratic, {0.5}, "law 'quadratic' takes 2 coefficients (u1, u2), got 1"},
        {Law::linear, {1.5}, "the 'linear' profile with these coefficients is negative on the disk (I = -0.5 at its lowest)"},
        {Law::linear, {NAN}, "coefficients of law 'linear' must be finite, got nan"},
        {Law::power_2, {0.5, 0.0}, "alpha of law 'power-2' must lie within [0.1, 10], got 0.0"},
        {Law::power_2, {0.5, 10.5}, "alpha of law 'power-2' must lie within [0.1, 10], got 10.5"},
        {Law::quadratic, {0.0, 1.5}, "the 'quadratic' profile with these coefficients is negative on the disk (I = -0.5 at its lowest)"},
        // I = 1 + 2 x - 4 x^2 dips to -1 at the limb (x = 1 - mu = 1).
        {Law::quadratic, {-2.0, 4.0}, "the 'quadratic' profile with these coefficients is negative on the disk (I = -1.0 at its lowest)"},
    };
    for (const auto& c : cases) {
        const auto p = Profile::analytic(c.law, c.c);
        ASSERT_FALSE(p.has_value()) << c.message;
        EXPECT_EQ(p.error().message, c.message);
    }
    // Limb brightening that stays positive is a valid profile, as is the
    // square-root law whose minimum lies inside the disk but above zero.
    EXPECT_TRUE(Profile::analytic(Law::linear, std::vector<double>{-0.5}).has_value());
    EXPECT_TRUE(Profile::analytic(Law::square_root, std::vector<double>{-0.5, 1.2}).has_value());
    // Square-root law, v = sqrt(mu): c = 2, d = -1 gives I = 2 v^2 - v, which
    // dips to -1/8 at v = 1/4, inside the disk.
    const auto dip = Profile::analytic(Law::square_root, std::vector<double>{2.0, -1.0});
    ASSERT_FALSE(dip.has_value());
    EXPECT_EQ(dip.error().message, "the 'square-root' profile with these coefficients is negative on the disk (I = -0.125 at its lowest)");

    const struct {
        std::vector<double> mu, i;
        const char* message;
    } tables[] = {
        {{0.0, 1.0}, {1.0}, "mu_nodes and intensities of law 'tabulated' must have equal lengths, got 2 and 1"},
        {{}, {}, "mu_nodes of law 'tabulated' must not be empty"},
        {{0.5, 0.5}, {1.0, 1.0}, "mu_nodes of law 'tabulated' must rise strictly, got 0.5 after 0.5"},
        {{-0.1, 0.5}, {1.0, 1.0}, "mu_nodes of law 'tabulated' must lie within [0, 1], got -0.1"},
        {{0.0, 1.5}, {1.0, 1.0}, "mu_nodes of law 'tabulated' must lie within [0, 1], got 1.5"},
        {{0.0, 1.0}, {-1.0, 1.0}, "intensities of law 'tabulated' must not be negative, got -1.0 at mu = 0.0"},
        {{0.0, 1.0}, {0.0, 0.0}, "intensities of law 'tabulated' are zero everywhere on the disk"},
        {{0.0, 1.0}, {INFINITY, 0.0}, "intensities of law 'tabulated' must be finite, got inf"},
    };
    for (const auto& t : tables) {
        const auto p = Profile::tabulated(t.mu, t.i);
        ASSERT_FALSE(p.has_value()) << t.message;
        EXPECT_EQ(p.error().message, t.message);
    }
    const auto unknown = kelvora::fspl::parse_law("logarithmic");
    ASSERT_FALSE(unknown.has_value());
    EXPECT_EQ(unknown.error().message,
              "unknown law 'logarithmic'; the laws are 'uniform', 'linear', 'quadratic', 'square-root', 'power-2' and 'tabulated'");
    // A name with control characters, a NUL among them, is shown whole.
    const auto nul = kelvora::fspl::parse_law(std::string_view("linear\0x\t", 9));
    ASSERT_FALSE(nul.has_value());
    EXPECT_EQ(nul.error().message,
              "unknown law 'linear\\x00x\\t'; the laws are 'uniform', 'linear', 'quadratic', 'square-root', 'power-2' and 'tabulated'");
}

// Coefficients beyond 1e6 in magnitude are refused: their derivatives would
// keep only eps |c| of their digits.  At the bound the limb-brightened
// linear law I = 1 + 1e6 (1 - mu) is linear in mu, the table of two nodes
// (0, 1e6 + 1) and (1, 1): the two integrations agree.
TEST(FsplProfile, CoefficientsUpToTheirBound) {
    for (const Law law : {Law::linear, Law::quadratic, Law::square_root, Law::power_2}) {
        std::vector<double> c = law == Law::linear ? std::vector<double>{-2e6} : std::vector<double>{-2e6, 0.5};
        const auto p = Profile::analytic(law, c);
        ASSERT_FALSE(p.has_value());
        EXPECT_EQ(p.error().message, "coefficients of law '" + std::string(kelvora::fspl::law_name(law)) +
                                         "' must lie within [-1e6, 1e6], got -2000000.0");
    }
    EXPECT_FALSE(Profile::analytic(Law::quadratic, std::vector<double>{0.5, -8e306}).has_value());
    const Profile edge = analytic(Law::linear, {-1e6});
    const Profile same = table({0.0, 1.0}, {1e6 + 1.0, 1.0});
    for (double rho : RHOS) {
        for (double ratio : RATIOS) {
            const double u = ratio * rho;
            EXPECT_NEAR(magnification(u, rho, edge) / magnification(u, rho, same), 1.0, 1e-9) << u << " " << rho;
        }
    }
}

// A table whose light lies in a sliver of mu so thin that the flux
// underflows cannot be integrated: refused, where it gave NaN or 1.
TEST(FsplProfile, RefusesLightInAZoneTooThinForADouble) {
    const auto thin = Profile::tabulated(std::vector<double>{0.0, 1e-200, 0.3}, std::vector<double>{1.0, 0.0, 0.0});
    ASSERT_FALSE(thin.has_value());
    EXPECT_EQ(thin.error().message.substr(0, 66),
              "the 'tabulated' profile holds its light in a zone too thin to comp");
    // 1e-150 is still resolved: the ring at the limb, A0(rho) with the lens
    // at the centre (the sliver's width moves it by 1e-300).
    const Profile ring = table({0.0, 1e-150, 0.3}, {1.0, 0.0, 0.0});
    const double rho = 0.1;
    EXPECT_NEAR(magnification(0.0, rho, ring), (rho * rho + 2) / (rho * std::sqrt(rho * rho + 4)), 1e-12);
}

// The core is total: any pair of doubles gives a number or NaN (outside the
// domain, NaN), without recursion; u = 0 with a rho of 0, NaN or below zero
// once recursed without bound.
TEST(FsplMagnification, EveryPairOfDoublesGivesANumberOrNan) {
    const double specials[] = {0.0, -0.0, 5e-324, 1e-310, 0x1p-500, 1e-300, 0.1, 1.0, 1e300, 1.7976931348623157e308,
                               INFINITY, -INFINITY, NAN, -NAN, -5e-324, -0.1, -1e300};
    std::vector<Profile> profiles = {Profile::uniform(), analytic(Law::linear, {0.6}), analytic(Law::power_2, {0.6, 0.5}),
                                     table({0.0, 0.5, 1.0}, {0.2, 0.7, 1.0})};
    for (const Profile& profile : profiles) {
        const kelvora::fspl::CoefficientTerms terms(profile);
        std::vector<double> dc(static_cast<std::size_t>(profile.gradient_count()));
        for (double u : specials) {
            for (double rho : specials) {
                const double a = magnification(u, rho, profile);
                const auto g = kelvora::fspl::magnification_gradient(u, rho, profile, &terms, dc);
                const bool valid = u >= 0 && rho > 0 && std::isfinite(rho);
                if (!valid) {
                    EXPECT_TRUE(std::isnan(a)) << u << " " << rho;
                    EXPECT_TRUE(std::isnan(g.value) && std::isnan(g.du) && std::isnan(g.drho)) << u << " " << rho;
                    for (double d : dc) EXPECT_TRUE(std::isnan(d));
                } else if (!std::isnan(u)) {
                    EXPECT_GE(a, 1.0) << u << " " << rho;
                    EXPECT_EQ(a, g.value) << u << " " << rho;
                }
            }
        }
    }
}

// u = 0, NaN and infinity; a limb-darkened star is brighter than the uniform
// one where the lens sits on its centre and dimmer on the limb.
TEST(FsplMagnification, SpecialSeparations) {
    const Profile linear = analytic(Law::linear, {0.6});
    EXPECT_TRUE(std::isnan(magnification(NAN, 0.1, linear)));
    EXPECT_EQ(magnification(INFINITY, 0.1, linear), 1.0);
    for (double rho : RHOS) {
        EXPECT_GT(magnification(0.0, rho, linear), kelvora::fspl::uniform_disk(0.0, rho));
        EXPECT_LT(magnification(rho, rho, linear), kelvora::fspl::uniform_disk(rho, rho));
    }
}

}  // namespace
