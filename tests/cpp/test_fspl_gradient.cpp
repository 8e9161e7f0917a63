// Tests of the magnification's derivatives (fspl/core/uniform_gradient.hpp,
// magnification_gradient in fspl/core/magnification.hpp).
//
// References: tests/data/fspl_gradient_reference.csv (mpmath, two independent
// routes per derivative, tools/gen_fspl_gradient_reference.py); closed forms
// at the centre (A_U = sqrt(rho^2 + 4)/rho); identities the derivatives must
// obey whatever the code (a magnification does not change when a table's
// intensities are all scaled, so sum_j I_j dA/dI_j = 0); and Bulirsch's cel,
// whose several-pair form must give the single form's bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "csv.hpp"
#include "fspl/core/magnification.hpp"
#include "fspl/core/profile.hpp"
#include "fspl/core/uniform_gradient.hpp"
#include "numeric/cel.hpp"

namespace {

using kelvora::fspl::CoefficientTerms;
using kelvora::fspl::Gradient;
using kelvora::fspl::Law;
using kelvora::fspl::magnification;
using kelvora::fspl::magnification_gradient;
using kelvora::fspl::Profile;
using kelvora::fspl::uniform_disk_gradient;
using kelvora::test::load_csv;
using kelvora::test::test_data_path;

constexpr double INF = std::numeric_limits<double>::infinity();

std::vector<double> numbers(const std::string& cell) {
    std::vector<double> out;
    std::istringstream in(cell);
    double x;
    while (in >> x) out.push_back(x);
    return out;
}

Profile make(Law law, std::vector<double> c) {
    auto p = Profile::analytic(law, c);
    EXPECT_TRUE(p.has_value());
    return p ? *p : Profile::uniform();
}

Profile make_table(std::vector<double> mu, std::vector<double> i) {
    auto p = Profile::tabulated(mu, i);
    EXPECT_TRUE(p.has_value());
    return p ? *p : Profile::uniform();
}

struct Full {
    Gradient g;
    std::vector<double> dc;
};

Full gradient(double u, double rho, const Profile& profile) {
    const CoefficientTerms terms(profile);
    Full out{{}, std::vector<double>(static_cast<std::size_t>(profile.gradient_count()))};
    out.g = magnification_gradient(u, rho, profile, &terms, out.dc);
    return out;
}

std::vector<Profile> laws() {
    return {Profile::uniform(),
            make(Law::linear, {0.6}),
            make(Law::linear, {1.0}),
            make(Law::quadratic, {0.4, 0.25}),
            make(Law::square_root, {0.3, 0.5}),
            make(Law::power_2, {0.7, 0.6}),
            make_table({0.0, 0.1, 0.3, 0.6, 1.0}, {0.25, 0.55, 0.75, 0.9, 1.0}),
            make_table({0.0, 1e-5, 0.5, 0.99999}, {0.0, 0.3, 0.8, 1.0})};
}

// The accuracy promised: 1e-8 relative for sources up to a hundred Einstein
// radii (the table's rows for 30, 60 and 100 crowd about the limb, where the
// disks' singularities s = u +- 2i come within 2/rho of the lens's kink, and
// take the lens outside, up to 5 radii, where A - 1 falls to 1e-10).  For
// larger sources, short of the lens DISTANT_LENS Einstein radii outside the
// limb, where A - 1 ~ 2/rho^2 is a small difference of terms of size one and
// the value itself is good to 1e-10 of A, the derivatives in u and rho are
// good to 1e-8 A/rho (the change of A over a step of rho right to 1e-8 of A)
// and those in the coefficients to 1e-8 A.
constexpr double RELATIVE = 1e-8;
bool absolute_scale(double u, double rho) { return rho > 100.0 && u - rho < kelvora::fspl::DISTANT_LENS; }
double allowed(double reference, double u, double rho, double a) {
    return RELATIVE * std::fabs(reference) + (absolute_scale(u, rho) ? 1e-8 * a / rho : 0.0);
}

// A derivative against the table's: the same infinity where the table has one
// (the lens on a bright limb), else within allowed().
void expect_derivative(double got, double reference, double u, double rho, double a, const std::string& what) {
    if (std::isinf(reference)) {
        EXPECT_EQ(got, reference) << what;
    } else {
        EXPECT_LE(std::fabs(got - reference), allowed(reference, u, rho, a)) << what << " " << got << " vs " << reference;
    }
}

// Every row of the mpmath table: A, dA/du, dA/drho and the coefficient
// derivatives.
TEST(FsplGradient, AgreesWithMpmathDerivatives) {
    const auto data = load_csv(test_data_path("fspl_gradient_reference.csv"));
    ASSERT_GT(data.rows.size(), 300u);
    const int c_law = data.column("law"), c_c1 = data.column("c1"), c_c2 = data.column("c2"),
              c_mu = data.column("mu_nodes"), c_i = data.column("intensities"), c_u = data.column("u"),
              c_rho = data.column("rho"), c_a = data.column("magnification"), c_du = data.column("dA_du"),
              c_dr = data.column("dA_drho"), c_dc = data.column("dA_dcoefficients");
    std::map<std::string, std::array<double, 3>> worst;  // relative errors, off the absolute scale
    std::size_t limb_rows = 0, large_rows = 0;
    for (std::size_t row = 0; row < data.rows.size(); ++row) {
        const auto& cells = data.rows[row];
        const std::string name = cells[static_cast<std::size_t>(c_law)];
        const auto law = kelvora::fspl::parse_law(name);
        ASSERT_TRUE(law.has_value()) << name;
        Profile profile = Profile::uniform();
        if (*law == Law::tabulated) {
            profile = make_table(numbers(cells[static_cast<std::size_t>(c_mu)]),
                                 numbers(cells[static_cast<std::size_t>(c_i)]));
        } else {
            std::vector<double> c;
            if (kelvora::fspl::coefficient_count(*law) > 0) c.push_back(data.number(row, c_c1));
            if (kelvora::fspl::coefficient_count(*law) > 1) c.push_back(data.number(row, c_c2));
            profile = make(*law, c);
        }
        const double u = data.number(row, c_u), rho = data.number(row, c_rho);
        const Full got = gradient(u, rho, profile);
        const std::string at = name + " u/rho=" + std::to_string(u / rho) + " rho=" + std::to_string(rho);
        EXPECT_LE(std::fabs(got.g.value / data.number(row, c_a) - 1.0), 1e-9) << at;
        const double du = data.number(row, c_du), dr = data.number(row, c_dr);
        if (u == 0) {
            EXPECT_EQ(got.g.du, 0.0) << at;
        } else {
            expect_derivative(got.g.du, du, u, rho, got.g.value, at + " dA/du");
        }
        expect_derivative(got.g.drho, dr, u, rho, got.g.value, at + " dA/drho");
        const auto dc = numbers(cells[static_cast<std::size_t>(c_dc)]);
        ASSERT_EQ(dc.size(), got.dc.size()) << at;
        for (std::size_t i = 0; i < dc.size(); ++i) {
            const double scale = RELATIVE * std::fabs(dc[i]) + (absolute_scale(u, rho) ? 1e-8 * got.g.value : 0.0);
            EXPECT_LE(std::fabs(got.dc[i] - dc[i]), scale) << at << " dA/dc" << i << " " << got.dc[i] << " vs " << dc[i];
        }
        if (std::fabs(u / rho - 1.0) <= 1.5e-7) ++limb_rows;
        if (rho > 10 && rho <= 100 && !absolute_scale(u, rho)) ++large_rows;
        if (absolute_scale(u, rho)) continue;
        auto& w = worst[name];
        if (u != 0 && std::isfinite(du)) w[0] = std::max(w[0], std::fabs(got.g.du / du - 1.0));
        if (std::isfinite(dr)) w[1] = std::max(w[1], std::fabs(got.g.drho / dr - 1.0));
        for (std::size_t i = 0; i < dc.size(); ++i)
            if (dc[i] != 0) w[2] = std::max(w[2], std::fabs(got.dc[i] / dc[i] - 1.0));
    }
    // The rows of the lens within 1e-7 of the limb are there (u/rho = 1 +- 1e-7
    // for six sources and seven laws, the uniform disk for a seventh, and 1 -
    // 1e-7, 1, 1 + 1e-7 for the three large sources), and those of the
    // sources of 30, 60 and 100 Einstein radii checked to 1e-8 relative (20
    // u/rho each, seven laws).
    EXPECT_GE(limb_rows, 6u * 2u * 7u + 2u + 3u * 3u * 7u);
    EXPECT_GE(large_rows, 3u * 20u * 7u);
    for (const auto& [name, w] : worst) {
        std::printf("  %-12s worst relative error (relative scale): dA/du %.2g, dA/drho %.2g, dA/dc %.2g\n", name.c_str(), w[0], w[1],
                    w[2]);
    }
}

// The value is magnification()'s, bit for bit, for every law and regime.
TEST(FsplGradient, ValueIsTheMagnification) {
    for (const Profile& profile : laws()) {
        for (double rho : {1e-6, 1e-3, 0.05, 1.0, 30.0, 1e3, 1e10}) {
            for (double l : {0.0, 1e-3, 0.049, 0.051, 0.5, 1 - 1e-7, 1.0, 1 + 1e-7, 2.0, 3.99, 4.0, 7.99, 8.0, 1e3}) {
                const double u = rho * l;
                EXPECT_EQ(gradient(u, rho, profile).g.value, magnification(u, rho, profile))
                    << kelvora::fspl::law_name(profile.law()) << " u=" << u << " rho=" << rho;
            }
        }
    }
}

// A uniform disk centred on the lens: A_U = sqrt(rho^2 + 4)/rho, so
// dA/drho = -4/(rho^2 sqrt(rho^2 + 4)); dA/du = 0 by symmetry.  Just off the
// centre the disk's edge passes the lens at rho +- u, and dA/du = (1/(pi
// rho)) int A0 cos(phi) dphi around the edge -> u A0'(rho)/rho, with
// A0' = -8/(rho^2 (rho^2 + 4)^(3/2)): dA/du ~ -8 u/(rho^3 (rho^2 + 4)^(3/2)).
TEST(FsplGradient, UniformDiskAtTheCentre) {
    for (double rho : {1e-4, 0.1, 1.0, 7.0, 300.0}) {
        const Gradient g = uniform_disk_gradient(0.0, rho);
        EXPECT_EQ(g.du, 0.0);
        const double expected = -4.0 / (rho * rho * std::sqrt(rho * rho + 4.0));
        EXPECT_NEAR(g.drho, expected, 1e-15 * std::fabs(expected)) << rho;
        const double u = 1e-9 * rho;
        const double slope = -8.0 * u / (rho * rho * rho * std::pow(rho * rho + 4.0, 1.5));
        EXPECT_NEAR(uniform_disk_gradient(u, rho).du, slope, 1e-12 * std::fabs(slope)) << rho;
    }
}

// The lens on the limb: a bright limb makes both derivatives infinite (the
// disks' ln|s - u|), a dark one leaves them finite and equal to the limit
// from inside.
TEST(FsplGradient, LensOnTheLimb) {
    for (const Profile& profile : laws()) {
        for (double rho : {1e-3, 0.5, 3.0}) {
            const Full at = gradient(rho, rho, profile);
            EXPECT_TRUE(std::isfinite(at.g.value));
            for (double d : at.dc) EXPECT_TRUE(std::isfinite(d));
            if (profile.limb() > 0) {
                EXPECT_EQ(at.g.du, -INF);
                EXPECT_EQ(at.g.drho, INF);
            } else {
                EXPECT_TRUE(std::isfinite(at.g.du) && std::isfinite(at.g.drho));
            }
            // Either side of the limb the derivatives are finite.
            for (double l : {1 - 1e-9, 1 + 1e-9}) {
                const Full g = gradient(rho * l, rho, profile);
                EXPECT_TRUE(std::isfinite(g.g.du) && std::isfinite(g.g.drho)) << rho << " " << l;
            }
        }
    }
    // Dark limbs that brighten gently: the limit from inside.  (A limb that
    // brightens within 1e-10 of the edge, like the second table of laws(),
    // changes its derivatives on that scale.)
    const std::vector<Profile> dark = {make(Law::linear, {1.0}), make(Law::quadratic, {0.5, 0.5}),
                                       make_table({0.0, 0.1, 0.5, 1.0}, {0.0, 0.4, 0.8, 1.0})};
    for (const Profile& profile : dark) {
        ASSERT_EQ(profile.limb(), 0.0);
        for (double rho : {1e-3, 0.5, 3.0, 10.0}) {
            const Full at = gradient(rho, rho, profile);
            const Full near = gradient(rho * (1 - 1e-10), rho, profile);
            // (they vary like d ln d, 2e-9 of them at d = 1e-10)
            EXPECT_NEAR(at.g.du, near.g.du, 1e-7 * std::fabs(near.g.du)) << rho;
            EXPECT_NEAR(at.g.drho, near.g.drho, 1e-7 * std::fabs(near.g.drho)) << rho;
        }
    }
}

// A magnification is the same for intensities I and c I: its gradient in the
// intensities is orthogonal to them.
TEST(FsplGradient, ScaledTableLeavesTheMagnification) {
    const std::vector<double> mu = {0.0, 0.1, 0.3, 0.6, 1.0}, levels = {0.5, 1.1, 1.5, 1.8, 2.0};
    const Profile profile = make_table(mu, levels);
    for (double rho : {1e-3, 0.1, 2.0}) {
        for (double l : {0.0, 0.3, 0.97, 1.03, 5.0, 20.0}) {
            const Full g = gradient(rho * l, rho, profile);
            double dot = 0.0, size = 0.0;
            for (std::size_t j = 0; j < levels.size(); ++j) {
                dot += levels[j] * g.dc[j];
                size += std::fabs(levels[j] * g.dc[j]);
            }
            // (to the rounding of A, at the level of A - 1 where the terms are small)
            EXPECT_LE(std::fabs(dot), 1e-12 * size + 1e-12 * (g.g.value - 1.0)) << rho << " " << l;
        }
    }
}

// NaN u gives NaN everywhere; far away the derivatives fall to zero.
TEST(FsplGradient, NanAndInfinity) {
    for (const Profile& profile : laws()) {
        const Full g = gradient(std::nan(""), 0.1, profile);
        EXPECT_TRUE(std::isnan(g.g.value) && std::isnan(g.g.du) && std::isnan(g.g.drho));
        for (double d : g.dc) EXPECT_TRUE(std::isnan(d));
        const Full far = gradient(INF, 0.1, profile);
        EXPECT_EQ(far.g.value, 1.0);
        EXPECT_EQ(far.g.du, 0.0);
        EXPECT_EQ(far.g.drho, 0.0);
    }
}

// Sources far below the Einstein radius: near the lens A0(x) -> 1/x, so A
// scales as 1/rho at fixed u/rho, its u- and rho-derivatives as 1/rho^2 and
// its coefficient derivatives as 1/rho.  A source of 1e-200 must give what
// one of 1e-12 gives, scaled; below about 1e-308, where A ~ 1/rho exceeds the
// largest double, A is +inf and no part of the gradient is NaN.
TEST(FsplGradient, TinySourcesScaleAsOneOverRho) {
    const double small = 1e-12, tiny = 1e-200;
    for (const Profile& profile : laws()) {
        const std::string name(kelvora::fspl::law_name(profile.law()));
        for (double l : {0.0, 0.3, 1 - 1e-7, 1.0, 1 + 1e-7, 2.0, 7.9, 8.0, 30.0}) {
            const Full a = gradient(l * small, small, profile), b = gradient(l * tiny, tiny, profile);
            EXPECT_NEAR(b.g.value * tiny, a.g.value * small, 1e-12 * a.g.value * small) << name << " l=" << l;
            EXPECT_EQ(magnification(l * tiny, tiny, profile), b.g.value) << name << " l=" << l;
            // (the u- and rho-derivatives, ~1/rho^2 = 1e400, overflow with their sign)
            if (l > 0 && l != 1.0) {
                EXPECT_EQ(b.g.du, -INF) << name << " l=" << l;
            } else if (l == 0) {
                EXPECT_EQ(b.g.du, 0.0) << name;
            }
            EXPECT_EQ(b.g.drho, a.g.drho > 0 ? INF : -INF) << name << " l=" << l;
            for (std::size_t i = 0; i < a.dc.size(); ++i)
                EXPECT_NEAR(b.dc[i] * tiny, a.dc[i] * small, 1e-9 * std::fabs(a.dc[i] * small) + 1e-15)
                    << name << " l=" << l << " c" << i;
        }
        for (double rho : {1e-310, 5e-324}) {
            for (double l : {0.0, 0.5, 1.0, 2.0, 20.0}) {
                const Full g = gradient(l * rho, rho, profile);
                EXPECT_EQ(g.g.value, INF) << name << " rho=" << rho << " l=" << l;
                EXPECT_EQ(magnification(l * rho, rho, profile), INF) << name << " rho=" << rho << " l=" << l;
                EXPECT_FALSE(std::isnan(g.g.du) || std::isnan(g.g.drho)) << name << " rho=" << rho << " l=" << l;
                for (double d : g.dc) EXPECT_FALSE(std::isnan(d)) << name << " rho=" << rho << " l=" << l;
            }
        }
    }
}

// cel with several (a, b) pairs returns, for each, the single cel's bits.
TEST(Cel, SeveralPairsGiveTheSingleBits) {
    std::mt19937_64 rng(20261209);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 100000; ++trial) {
        const double kc = std::pow(10.0, -12.0 * unit(rng));
        const double p = std::pow(10.0, -12.0 * unit(rng));
        const std::array<double, 3> a = {unit(rng) * 4 - 2, unit(rng), 1.0};
        const std::array<double, 3> b = {unit(rng) * 4 - 2, unit(rng) * 100, p};
        const auto several = kelvora::numeric::cel<3>(kc, p, a, b);
        for (std::size_t i = 0; i < 3; ++i) {
            ASSERT_EQ(several[i], kelvora::numeric::cel(kc, p, a[i], b[i])) << kc << " " << p << " " << i;
        }
    }
}

}  // namespace
