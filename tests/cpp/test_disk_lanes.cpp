// The uniform disks of a rule's nodes computed side by side
// (uniform_disk_many, four AVX2 lanes where the processor has them) against
// uniform_disk one radius at a time: the same bits for every radius, in every
// regime the lanes meet (closed form, centre, limb, far field, huge disks,
// zero and NaN), whatever the count and however the regimes mix in a group.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "fspl/core/disk_lanes.hpp"
#include "fspl/core/uniform_disk.hpp"

namespace {

using kelvora::fspl::uniform_disk;
using kelvora::fspl::uniform_disk_many;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

void expect_same_bits(double u, const std::vector<double>& s) {
    std::vector<double> out(s.size(), -1.0);
    uniform_disk_many(u, s.data(), out.data(), s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double one = uniform_disk(u, s[i]);
        if (std::isnan(one)) {
            EXPECT_TRUE(std::isnan(out[i])) << "u " << u << " s " << s[i];
        } else {
            EXPECT_EQ(bits(out[i]), bits(one)) << "u " << u << " s " << s[i] << ": " << out[i] << " vs " << one;
        }
    }
}

TEST(DiskLanes, RandomRadiiAndSeparationsGiveTheBitsOfOneAtATime) {
    std::mt19937_64 rng(20261210);
    std::uniform_real_distribution<double> exponent(-7.0, 4.0), ratio(0.0, 3.0), near(-1e-3, 1e-3);
    for (int trial = 0; trial < 4000; ++trial) {
        const double u = std::pow(10.0, exponent(rng));
        const std::size_t n = 1 + trial % 37;  // every remainder of the groups of four
        std::vector<double> s(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double x = trial % 3 == 0 ? 1.0 + near(rng) : ratio(rng);  // near the limb, or anywhere
            s[i] = x == 0 ? u : u / x;
        }
        expect_same_bits(u, s);
    }
}

TEST(DiskLanes, EveryRegimeMixedInOneGroup) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double u : {1e-300, 1e-6, 0.03, 1.0, 7.5, 1e8}) {
        // The limb (s = u), the far field (s < u/8), a huge disk, zero, NaN,
        // infinity, a denormal, and closed-form radii between them.
        expect_same_bits(u, {u, 0.5 * u, u / 8.0, std::nextafter(u / 8.0, inf), 2e9, 0.0, nan, inf, 4.9e-324,
                             3.0 * u, std::nextafter(u, 0.0), std::nextafter(u, inf), 0.2 * u});
    }
    // u = 0 and u = inf take the single routine throughout.
    expect_same_bits(0.0, {0.1, 1.0, 10.0, 0.5, 3.0});
    expect_same_bits(inf, {0.1, 1.0, 10.0, 0.5, 3.0});
}

TEST(DiskLanes, PointsOfTheirOwnGiveTheBitsOfOneAtATime) {
    // uniform_disk_points: each point its own u and rho (a light curve of a
    // uniform source), every regime mixed, every remainder of the groups.
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937_64 rng(310);
    std::uniform_real_distribution<double> exponent(-7.0, 4.0), ratio(0.0, 10.0);
    std::vector<double> u, rho;
    for (int i = 0; i < 20000; ++i) {
        const double r = std::pow(10.0, exponent(rng));
        rho.push_back(r);
        u.push_back(i % 7 == 0 ? r : i % 11 == 0 ? 8.0 * r : r * ratio(rng));
    }
    for (const double r : {1.0, 2e9, 1e-300}) {
        for (const double x : {0.0, 1.0, 8.0, nan, inf}) {
            u.push_back(x * r);
            rho.push_back(r);
        }
    }
    for (std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{9}, u.size()}) {
        std::vector<double> out(n, -1.0);
        kelvora::fspl::uniform_disk_points(u.data(), rho.data(), out.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            const double one = uniform_disk(u[i], rho[i]);
            if (std::isnan(one)) {
                EXPECT_TRUE(std::isnan(out[i]));
            } else {
                EXPECT_EQ(bits(out[i]), bits(one)) << "u " << u[i] << " rho " << rho[i];
            }
        }
    }
}

TEST(DiskLanes, TheLanesAreUsedWhereTheProcessorHasThem) {
    // Not a timing: where AVX2 is reported, the vector path is the one taken
    // (so that the tests above compare it, not the fallback, with the scalar).
#if defined(__x86_64__)
    EXPECT_EQ(kelvora::fspl::lanes::available(), static_cast<bool>(__builtin_cpu_supports("avx2")));
#else
    EXPECT_FALSE(kelvora::fspl::lanes::available());
#endif
}

}  // namespace
