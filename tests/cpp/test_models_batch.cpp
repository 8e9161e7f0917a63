// The models evaluate their elliptic integrals in batches of
// numeric::BATCH_WIDTH (numeric/elliptic_batch.hpp).  These tests check that
// a call over many entries gives, bit for bit, what the entries give one at a
// time, and that a failure is the one the single-entry order reaches first:
// the earliest failing entry, and for one entry the first failing kernel.
// Entries in the limb or near-ring band, NaNs and failing entries are mixed
// into the arrays at random positions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lib/integrated.hpp"
#include "lib/models.hpp"
#include "lib/ring.hpp"
#include "numeric/elliptic.hpp"
#include "numeric/elliptic_batch.hpp"

namespace {

namespace kn = kelvora::numeric;
using kn::Expected;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The outcome of a whole call: all values, or the failure message.
template <class Single>
void expect_call_matches(const Expected<std::vector<double>>& call, const std::vector<double>& l, Single single) {
    for (std::size_t i = 0; i < l.size(); ++i) {
        const Expected<double> one = single(l[i]);
        if (!one) {
            ASSERT_FALSE(call.has_value()) << "entry " << i << " fails alone (" << one.error().message
                                           << ") but the call gave values";
            EXPECT_STREQ(call.error().message, one.error().message) << "first failing entry " << i;
            return;
        }
        if (call) {
            ASSERT_TRUE(same_bits((*call)[i], *one)) << "entry " << i << ": " << (*call)[i] << " vs " << *one;
        }
    }
    ASSERT_TRUE(call.has_value()) << "the call failed (" << call.error().message << "), no entry fails alone";
}

// One Witt-Mao entry evaluated by the single kernels, in the order E, K, Pi.
Expected<double> witt_mao_single(double entry, double re, double rstar) {
    const double PI = 3.141592653589793;
    const double HALF_PI = 1.5707963267948966;
    const double TWO_PI = 6.283185307179586;
    const double rho = rstar / re;
    const double rho2 = rho * rho;
    const double u = rho * entry;
    const double delta = u - rho;
    if (std::fabs(delta) < 1e-05) {
        const double q1 = (rho2 + -1.0) / (rho2 + 1.0);
        const double q2 = (rho2 + 1.0) / rho2;
        const double q3 = 2.0 / rho;
        return (q3 + q2 * (std::asin(q1) + HALF_PI)) / PI;
    }
    const double sigma = rho + u;
    const double n = ((rho * 4) * u) / (sigma * sigma);
    const double s = std::sqrt(delta * delta + 4.0);
    const double k = std::sqrt(n * 4.0) / s;
    const double m = k * k;
    const auto e = kn::ellipe(m);
    if (!e) return e;
    const auto kk = kn::ellipk(m);
    if (!kk) return kk;
    const auto p = kn::ellippi(n, m);
    if (!p) return p;
    const double delta2 = delta * delta;
    const double t_e = ((sigma * s) / (rho2 + rho2)) * *e;
    const double t_k = ((delta * (4.0 + (u * u - rho2) * 0.5)) / (rho2 * s)) * *kk;
    const double t_pi = (((rho2 + 1.0) * (delta2 + delta2)) / ((rho2 * sigma) * s)) * *p;
    const double h = t_e - t_k + t_pi;
    return (h - PI) / TWO_PI + (h + PI) / TWO_PI;
}

TEST(ModelsBatch, WittMaoOverManyEntriesIsEntryByEntry) {
    std::mt19937_64 rng(71);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int failing_calls = 0;
    std::map<std::string, int> messages;
    for (int call = 0; call < 4000; ++call) {
        const double re = 1.0;
        // A large source (rho up to 1e7): just outside the limb band n rounds
        // to 1 ("elliprj: p must be non-zero") or m does too ("ellippi: m must
        // be less than 1."), so failures with different messages meet.
        const bool large = call % 4 == 1;
        const double rstar = large ? std::ldexp(1.0 + unit(rng), 13 + call % 11)
                             : call % 3 == 0 ? 0.5 + unit(rng) : std::ldexp(1.0 + unit(rng), -2 - call % 9);
        std::vector<double> l(1 + rng() % 23);
        for (double& v : l) {
            if (large && rng() % 3 == 0) {
                v = 1.0 + std::ldexp(1.0 + unit(rng), -16 + static_cast<int>(rng() % 8)) / rstar;  // delta 1.5e-5 .. 4e-3
                continue;
            }
            switch (rng() % 12) {
            case 0: v = 1.0 + (unit(rng) - 0.5) * 1e-5; break;  // limb band (and its edge)
            case 1: v = call % 2 && (!large || call % 8 == 1) ? NaN : 1.0 + unit(rng); break;  // NaN: RJ fails to converge
            case 2: v = 0.0; break;
            case 3: v = -unit(rng); break;                      // n < 0
            default: v = 3.0 * unit(rng); break;
            }
        }
        const auto result = kelvora::witt_mao_magnification(l, re, rstar);
        if (!result) {
            ++failing_calls;
            ++messages[result.error().message];
        }
        expect_call_matches(result, l, [&](double x) { return witt_mao_single(x, re, rstar); });
        if (HasFatalFailure() || HasFailure()) return;
    }
    EXPECT_GT(failing_calls, 100);
    for (const auto& [message, calls] : messages) std::printf("%6d calls failed with %s\n", calls, message.c_str());
    EXPECT_GE(messages.size(), 3u);
}

TEST(ModelsBatch, RingKernelBatchIsTheSingleKernel) {
    std::mt19937_64 rng(72);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int b = 0; b < 100000; ++b) {
        const kelvora::RingGeometry ring(1.0, std::ldexp(1.0 + unit(rng), -1 - static_cast<int>(rng() % 8)));
        const double l = b % 50 == 0 ? NaN : 3.0 * unit(rng);
        double r[4];
        for (double& v : r) {
            switch (rng() % 10) {
            case 0: v = l + (unit(rng) - 0.5) * 2e-5; break;  // near-ring band, both sides
            case 1: v = 0.0; break;
            case 2: v = NaN; break;
            case 3: v = -unit(rng); break;
            default: v = unit(rng); break;
            }
        }
        const int count = 1 + static_cast<int>(rng() % 4);
        Expected<double> out[4];
        ring.batch(l, r, out, count);
        for (int i = 0; i < count; ++i) {
            const auto one = ring(l, r[i]);
            ASSERT_EQ(out[i].has_value(), one.has_value()) << l << " " << r[i];
            if (one) {
                ASSERT_TRUE(same_bits(*out[i], *one)) << l << " " << r[i];
            } else {
                ASSERT_STREQ(out[i].error().message, one.error().message);
            }
        }
    }
}

TEST(ModelsBatch, DiscreteFluxMapIsRingByRingInTableOrder) {
    std::mt19937_64 rng(73);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int failing_calls = 0;
    for (int call = 0; call < 3000; ++call) {
        const double re = 1.0;
        const double rstar = std::ldexp(1.0 + unit(rng), -1 - call % 6);
        std::vector<double> bl(rng() % 15), bf(bl.size());
        for (std::size_t j = 0; j < bl.size(); ++j) {
            bl[j] = (rng() % 40 == 0) ? NaN : unit(rng);
            bf[j] = unit(rng);
        }
        std::vector<double> l(1 + rng() % 9);
        for (double& v : l) {
            const auto pick = rng() % 10;
            if (pick == 0 && !bl.empty()) v = bl[rng() % bl.size()] + (unit(rng) - 0.5) * 2e-5;
            else if (pick == 1) v = NaN;
            else v = 2.0 * unit(rng);
        }
        const auto result = kelvora::discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf);
        if (!result) ++failing_calls;
        expect_call_matches(result, l, [&](double x) -> Expected<double> {
            double sum = 0.0;
            for (std::size_t j = 0; j < bl.size(); ++j) {
                const auto k = kelvora::heyrovsky_magnification(x, bl[j], re, rstar);
                if (!k) return k;
                sum = sum + *k * bf[j];
            }
            return sum;
        });
        if (HasFatalFailure() || HasFailure()) return;
    }
    EXPECT_GT(failing_calls, 100);
}

}  // namespace

namespace {

// The limb-darkened ring-kernel integral a point at a time (limb_integrand
// with the single kernel), against the model, which evaluates each quadrature
// level's kernels in batches.
template <class Profile>
double integrated_heyrovsky_single(double separation, const Profile& profile, double re, double rstar,
                                   double divisor) {
    const kelvora::RingGeometry ring(re, rstar);
    auto model = [&ring, separation](double y) {
        const auto k = ring(separation, y);
        return k ? *k : std::numeric_limits<double>::quiet_NaN();
    };
    return kelvora::detail::integrate_profile(model, profile, divisor);
}

TEST(ModelsBatch, IntegratedHeyrovskyIsPointByPoint) {
    std::mt19937_64 rng(74);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> l;
    for (int i = 0; i < 40; ++i) l.push_back(i % 10 == 0 ? NaN : 3.0 * unit(rng));
    l.push_back(0.0);
    l.push_back(1.0);
    l.push_back(0.5);
    for (const double rstar : {0.05, 0.3, 1.7}) {
        const auto batched = kelvora::integrated_heyrovsky_magnification(l, 1.0, rstar);
        for (std::size_t i = 0; i < l.size(); ++i) {
            const double single = integrated_heyrovsky_single(l[i], kelvora::DefaultLimbDarkening{}, 1.0, rstar,
                                                              kelvora::DEFAULT_NORMALISATION);
            ASSERT_TRUE(same_bits(batched[i], single)) << l[i] << " rstar " << rstar;
        }
        const std::vector<double> bl{0.0, 0.25, 0.5, 0.75, 1.0}, bf{1.0, 0.9, 0.8, 0.6, 0.3};
        const auto map = kelvora::integrated_flux_map_heyrovsky_magnification(l, 1.0, rstar, bl, bf);
        const kelvora::InterpolatedProfile profile{bl, bf};
        const double flux = kelvora::profile_flux(profile);
        for (std::size_t i = 0; i < l.size(); ++i) {
            ASSERT_TRUE(same_bits(map[i], integrated_heyrovsky_single(l[i], profile, 1.0, rstar, flux)))
                << l[i] << " rstar " << rstar;
        }
    }
}

}  // namespace
