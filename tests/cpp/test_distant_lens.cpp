// Tests of the sums for a disk far from the lens (fspl/core/distant_lens.hpp).
//
// References, computed here in long double and independent of the sums'
// Legendre forms: the circle's means of A0 - 1 and of (A0 - 1) cos phi by
// the trapezoid rule (the integrand is periodic and analytic, so the rule
// converges geometrically, like (s/u)^n), and the disk's mean as the radial
// integral of the circles', A_U - 1 = (2/s^2) int_0^s t (M0(t) - 1) dt, by
// Gauss-Legendre on pieces halving towards the edge.  Then dA_U/du =
// (2/s) M1 and dA_U/ds = (2/s)(M0 - A_U) (divergence theorem).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "fspl/core/distant_lens.hpp"
#include "fspl/core/magnification.hpp"
#include "fspl/core/profile.hpp"
#include "fspl/core/uniform_gradient.hpp"
#include "numeric/gauss_legendre.hpp"

namespace {

using kelvora::fspl::DISTANT_LENS;
using kelvora::fspl::distant_lens_disk;
using ld = long double;

// A0 - 1 at r^2 = q, without the cancellation of A0 - 1.
ld excess(ld q) {
    const ld root = std::sqrt(q * (q + 4));
    return 4 / ((q + 2 + root) * root);
}

// Neumaier's compensated sum: the references keep their digits over 2^16
// terms also where long double is double (valgrind's emulation).
struct Sum {
    ld total = 0, carry = 0;
    void add(ld x) {
        const ld t = total + x;
        carry += std::fabs(total) >= std::fabs(x) ? (total - t) + x : (x - t) + total;
        total = t;
    }
    ld value() const { return total + carry; }
};

struct Ring {
    ld m0, m1;  // means of A0 - 1 and of (A0 - 1) cos phi
};

Ring ring(ld u, ld t) {
    // Error ~ (t/u)^n: enough points for 2^-80, up to 2^16.
    const ld ratio = std::log(u / std::max<ld>(t, 1e-300));
    const auto n = static_cast<std::size_t>(std::clamp<ld>(std::ceil(56 / ratio), 64, 65536));
    const ld pi = std::acos(-1.0L);
    Sum m0, m1;
    for (std::size_t k = 0; k < n; ++k) {
        // phi = pi - theta (the trapezoid rule is the same on any period):
        // |u + t e(phi)|^2 = (u - t)^2 + 4 u t sin^2(theta/2), which keeps its
        // digits next to the lens, where 1 + cos phi would not.
        const ld theta = 2 * pi * static_cast<ld>(k) / static_cast<ld>(n);
        const ld half = std::sin(theta / 2);
        const ld e = excess((u - t) * (u - t) + 4 * u * t * (half * half));
        m0.add(e);
        m1.add(-e * std::cos(theta));
    }
    return {m0.value() / static_cast<ld>(n), m1.value() / static_cast<ld>(n)};
}

ld disk_excess(ld u, ld s) {
    using Rule = kelvora::numeric::GaussLegendreHalf<24>;
    auto piece = [&](ld a, ld b) {
        Sum sum;
        for (std::size_t i = 0; i < Rule::x.size(); ++i) {
            const ld lo = a + (b - a) * Rule::x[i], hi = b - (b - a) * Rule::x[i];
            sum.add(Rule::w[i] * lo * ring(u, lo).m0);
            sum.add(Rule::w[i] * hi * ring(u, hi).m0);
        }
        return (b - a) * sum.value();
    };
    // Pieces [s - w, s - w/2] for w = s, s/2, ... down to the lens's distance,
    // then the last: each at least half its width from the singularities
    // (the lens at t = u, and t = u +- 2i).
    Sum total;
    ld w = s;
    while (w > u - s) {
        total.add(piece(s - w, s - w / 2));
        w /= 2;
    }
    total.add(piece(s - w, s));
    return 2 * total.value() / (s * s);
}

// The four sums against the quadratures, from the lens DISTANT_LENS
// outside the limb to eight source radii, for disks of 0.5 to 1000
// Einstein radii.  The sums keep 1e-16 against long double; the bounds
// leave room for the references' own rounding where long double is
// double (3e-14 measured); any of the first 20 terms dropped would exceed
// them (at 4 Einstein radii the terms fall by 4 each).
TEST(DistantLens, AgreesWithQuadrature) {
    int checked = 0;
    for (double s : {0.5, 3.0, 30.0, 100.0, 1000.0}) {
        for (double sep : {DISTANT_LENS, 4.5, 7.0, 20.0, 2.0 * s, 7.0 * s}) {
            if (sep < DISTANT_LENS) continue;
            const double u = s + sep;
            const auto d = distant_lens_disk(u, s, sep);
            const Ring r = ring(u, s);
            const ld rise = disk_excess(u, s);
            const ld du = 2 * r.m1 / s, ds = 2 * (r.m0 - rise) / s;
            const auto rel = [](double got, ld want) { return static_cast<double>(std::fabs(got / want - 1)); };
            EXPECT_LE(rel(d.rise, rise), 1e-13) << u << " " << s;
            EXPECT_LE(rel(d.ring_rise, r.m0), 1e-13) << u << " " << s;
            EXPECT_LE(rel(d.du, du), 1e-13) << u << " " << s;
            EXPECT_LE(rel(d.ds, ds), 2e-13) << u << " " << s;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 28);  // (s = 0.5: 2 s and 7 s are too close)
}

// A point source (s = 0): the disk is the point, A_U - 1 = M0 - 1 = A0(u) - 1,
// dA_U/du = A0'(u) and dA_U/ds = 0.
TEST(DistantLens, PointSourceIsTheLens) {
    for (double u : {4.0, 5.5, 40.0, 1e4}) {
        const auto d = distant_lens_disk(u, 0.0, u);
        const ld q = static_cast<ld>(u) * u;
        const ld a0 = excess(q);
        const ld slope = -8 / (q * std::sqrt(q + 4) * (q + 4));  // A0'(u)
        EXPECT_LE(std::fabs(d.rise / a0 - 1), 1e-15L) << u;
        EXPECT_LE(std::fabs(d.ring_rise / a0 - 1), 1e-15L) << u;
        EXPECT_LE(std::fabs(d.du / slope - 1), 1e-15L) << u;
        EXPECT_EQ(d.ds, 0.0) << u;
    }
}

// Where the uniform disk's derivatives, and a limb-darkened source's, change
// from the closed forms to the sums (the lens DISTANT_LENS outside the limb)
// they do not step: the last separation below and the first at the edge
// agree to 1e-9 (the closed forms' error there), for sources of 1 to 100
// Einstein radii.
TEST(DistantLens, NoStepWhereTheSumsTakeOver) {
    using kelvora::fspl::Law;
    using kelvora::fspl::Profile;
    const double u1[] = {0.6};
    const auto linear = Profile::analytic(Law::linear, u1);
    ASSERT_TRUE(linear.has_value());
    for (double rho : {1.0, 10.0, 30.0, 100.0}) {
        const double at = rho + DISTANT_LENS;
        ASSERT_EQ(at - rho, DISTANT_LENS) << rho;
        const double below = std::nextafter(at, 0.0);
        const auto a = kelvora::fspl::uniform_disk_gradient(at, rho);
        const auto b = kelvora::fspl::uniform_disk_gradient(below, rho);
        EXPECT_LE(std::fabs(a.du / b.du - 1), 1e-9) << rho;
        EXPECT_LE(std::fabs(a.drho / b.drho - 1), 1e-9) << rho;
        double ca = 0, cb = 0;
        const kelvora::fspl::CoefficientTerms terms(*linear);
        const auto la = kelvora::fspl::magnification_gradient(at, rho, *linear, &terms, std::span<double>(&ca, 1));
        const auto lb = kelvora::fspl::magnification_gradient(below, rho, *linear, &terms, std::span<double>(&cb, 1));
        EXPECT_LE(std::fabs(la.du / lb.du - 1), 1e-9) << rho;
        EXPECT_LE(std::fabs(la.drho / lb.drho - 1), 1e-9) << rho;
        EXPECT_LE(std::fabs(ca / cb - 1), 1e-9) << rho;
        EXPECT_LE(std::fabs(la.value / lb.value - 1), 1e-12) << rho;
    }
}

}  // namespace
