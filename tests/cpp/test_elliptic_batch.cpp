// The batched K, E and Pi (numeric/elliptic_batch.hpp) against the single
// evaluation, bit for bit: every lane of every batch must give the same
// double (compared as bytes, so NaN payloads and signed zeros count) or the
// same failure message.  The arguments mix, within one batch, the branches
// the vector loops serve with every other branch of the single routines
// (failures, NaN, infinities, equal arguments of RF and RJ, n <= 0, n = 1,
// m = 0, m near 1, ...), so lanes stop at different passes and some lanes
// fall back to the single routine next to vector lanes.  Each vector code
// the processor supports is tested.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "numeric/elliptic.hpp"
#include "numeric/elliptic_batch.hpp"
#include "numeric/elliptic_batch_kernels.hpp"

namespace {

namespace kn = kelvora::numeric;
using kn::Expected;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Same bytes, or the same failure message.
::testing::AssertionResult same(const Expected<double>& batched, const Expected<double>& single) {
    if (batched.has_value() != single.has_value())
        return ::testing::AssertionFailure()
               << (batched ? "batched gave a value, single failed: " + std::string(single.error().message)
                           : "batched failed (" + std::string(batched.error().message) + "), single gave a value");
    if (!batched) {
        if (std::string(batched.error().message) == single.error().message) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "messages differ: " << batched.error().message << " | " << single.error().message;
    }
    if (std::memcmp(&*batched, &*single, sizeof(double)) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "values differ: " << *batched << " vs " << *single;
}

// Arguments of the parameter m: mostly the common range, with every special
// value and failure in the mix.
struct Sampler {
    std::mt19937_64 rng;
    std::uniform_real_distribution<double> unit{0.0, 1.0};

    explicit Sampler(std::uint64_t seed) : rng(seed) {}

    double u() { return unit(rng); }
    int pick(int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); }

    double m() {
        switch (pick(24)) {
        case 0: return 0.0;
        case 1: return 1.0;
        case 2: return 1.0 + u();                                  // > 1: failure
        case 3: return NaN;
        case 4: return -INF;
        case 5: return INF;
        case 6: return 1.0 - std::ldexp(1.0, -53);                 // 1 - m < EPS (ellipk)
        case 7: return std::ldexp(u(), -60) * (pick(2) ? 1 : -1);  // 1 - m == 1
        case 8: return -5.0 * u();                                 // m < 0
        case 9: return -std::ldexp(1.0, pick(1000));               // very negative
        case 10: return 1.0 - std::ldexp(1.0 + u(), -10 - pick(42));  // near 1
        case 11: return -0.0;
        default: return u();
        }
    }

    double n() {
        switch (pick(26)) {
        case 0: return 0.0;
        case 1: return 1.0;
        case 2: return 1.0 + u();                                  // > 1: failure
        case 3: return NaN;
        case 4: return -INF;
        case 5: return -5.0 * u();                                 // n < 0
        case 6: return std::ldexp(u(), -60);                       // 1 - n == 1 (RD branch)
        case 7: return 1.0 - std::ldexp(1.0 + u(), -10 - pick(42));  // near 1
        case 8: return -0.0;
        case 9: return std::ldexp(u(), -pick(40));                 // small n
        default: return u();
        }
    }
};

class EllipticBatch : public ::testing::TestWithParam<kn::BatchCode> {
protected:
    void SetUp() override {
        previous_ = kn::batch_code();
        if (!kn::batch_code_available(GetParam())) GTEST_SKIP() << "not supported by this processor";
        ASSERT_TRUE(kn::select_batch_code(GetParam()));
    }
    void TearDown() override { kn::select_batch_code(previous_); }

private:
    kn::BatchCode previous_ = kn::BatchCode::Portable;
};

TEST_P(EllipticBatch, PiMatchesSingleEvaluationBitForBit) {
    Sampler s(0x5eed0001 + static_cast<unsigned>(GetParam()));
    constexpr int BATCHES = 250000;
    long long values = 0;
    long long failures = 0;
    for (int b = 0; b < BATCHES; ++b) {
        double n[4], m[4];
        // Half of the batches all in the common branch (n, m in (0, 1)), so
        // that four vector lanes with different stopping passes meet.
        const bool common = b % 2 == 0;
        for (int i = 0; i < 4; ++i) {
            n[i] = common ? s.u() : s.n();
            m[i] = common ? (s.pick(3) ? s.u() : 1.0 - std::ldexp(1.0 + s.u(), -10 - s.pick(42))) : s.m();
        }
        const int count = b % 7 == 0 ? 1 + s.pick(4) : 4;
        Expected<double> out[4];
        kn::ellippi_batch(n, m, out, count);
        for (int i = 0; i < count; ++i) {
            const auto single = kn::ellippi(n[i], m[i]);
            ASSERT_TRUE(same(out[i], single)) << "ellippi(" << n[i] << ", " << m[i] << ") lane " << i;
            single ? ++values : ++failures;
        }
    }
    EXPECT_GT(values, 700000);
    EXPECT_GT(failures, 50000);
}

TEST_P(EllipticBatch, KAndEMatchSingleEvaluationBitForBit) {
    Sampler s(0x5eed0002 + static_cast<unsigned>(GetParam()));
    constexpr int BATCHES = 250000;
    for (int b = 0; b < BATCHES; ++b) {
        double m[4];
        for (double& v : m) v = s.m();
        const int count = b % 5 == 0 ? s.pick(5) : 4;
        Expected<double> k[4], e[4], k2[4], e2[4];
        kn::ellipk_batch(m, k, count);
        kn::ellipe_batch(m, e, count);
        kn::ellipe_ellipk_batch(m, e2, k2, count);
        for (int i = 0; i < count; ++i) {
            const auto sk = kn::ellipk(m[i]);
            const auto se = kn::ellipe(m[i]);
            ASSERT_TRUE(same(k[i], sk)) << "ellipk(" << m[i] << ")";
            ASSERT_TRUE(same(k2[i], sk)) << "ellipk(" << m[i] << ") with E";
            ASSERT_TRUE(same(e[i], se)) << "ellipe(" << m[i] << ")";
            ASSERT_TRUE(same(e2[i], se)) << "ellipe(" << m[i] << ") with K";
        }
    }
}

// The arguments the models form: Witt-Mao (n = 4 u rho/(u + rho)^2,
// m = 4 n/(4 + (u - rho)^2)) and the ring kernel (n, m within 1e-11 of 1 near
// the ring), in batches of four neighbouring separations.
TEST_P(EllipticBatch, ModelArgumentsMatchSingleEvaluation) {
    Sampler s(0x5eed0003 + static_cast<unsigned>(GetParam()));
    for (int b = 0; b < 100000; ++b) {
        double n[4], m[4];
        const double rho = std::ldexp(1.0 + s.u(), -1 - s.pick(10));
        const double eta = 1.0 / rho;
        for (int i = 0; i < 4; ++i) {
            if (b % 2 == 0) {
                const double u = rho * (3.0 * s.u());
                const double sigma = rho + u;
                n[i] = ((rho * 4) * u) / (sigma * sigma);
                const double delta = u - rho;
                const double k = std::sqrt(n[i] * 4.0) / std::sqrt(delta * delta + 4.0);
                m[i] = k * k;
            } else {
                const double l = 3.0 * s.u();
                const double r = s.pick(4) ? s.u() : l + std::ldexp(1.0 + s.u(), -17 - s.pick(30)) * (s.pick(2) ? 1 : -1);
                const double d = l - r;
                const double q = d * d + (eta * eta) * 4;
                const double mm = ((eta * 4) / (l + r)) * std::sqrt((l * r) / q);
                m[i] = mm * mm;
                n[i] = ((l * 4) * r) / ((l + r) * (l + r));
            }
        }
        Expected<double> pi[4], k[4], e[4];
        kn::ellippi_batch(n, m, pi, 4);
        kn::ellipe_ellipk_batch(m, e, k, 4);
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(same(pi[i], kn::ellippi(n[i], m[i]))) << "ellippi(" << n[i] << ", " << m[i] << ")";
            ASSERT_TRUE(same(k[i], kn::ellipk(m[i]))) << "ellipk(" << m[i] << ")";
            ASSERT_TRUE(same(e[i], kn::ellipe(m[i]))) << "ellipe(" << m[i] << ")";
        }
    }
}

// The vector duplication itself reaches the branches of the RC(1, 1 + e)
// terms and stops lanes of one batch at different passes; checked on the
// kernels directly, together with the pass counts the test arguments produce.
TEST_P(EllipticBatch, DuplicationCoversEveryTermBranch) {
    namespace kb = kn::batch;
    const kb::Kernels& k = GetParam() == kn::BatchCode::Portable ? kb::portable::kernels :
#ifdef KELVORA_BATCH_HAVE_AVX2
                                                                  kb::avx2::kernels;
#else
                                                                  kb::portable::kernels;
#endif
    Sampler s(0x5eed0004);
    long long cancels = 0, below = 0, positive = 0, negative = 0, mixed = 0;
    for (int b = 0; b < 20000; ++b) {
        double x[4] = {0, 0, 0, 0}, y[4], z[4] = {1, 1, 1, 1}, p[4], rf[4];
        for (int i = 0; i < 4; ++i) {
            y[i] = s.pick(2) ? s.u() : std::ldexp(1.0 + s.u(), -s.pick(40));
            p[i] = s.pick(2) ? s.u() : std::ldexp(1.0 + s.u(), -s.pick(40));
            if (y[i] == 1 || p[i] == 1) y[i] = p[i] = 0.5;
        }
        kb::RjPasses st;
        k.rf_agm_rj_duplication(y, z, x, p, rf, st);
        for (int i = 0; i < 4; ++i) {
            for (long long j = 0; j < st.passes[i]; ++j) {
                const double a = st.argument[j][i];
                if (st.cancels[j][i]) ++cancels;
                else if (a < -1) ++below;
                else if (a > 0) ++positive;
                else if (a < 0) ++negative;
            }
        }
        if (st.passes[0] != st.passes[1] || st.passes[1] != st.passes[2] || st.passes[2] != st.passes[3]) ++mixed;
        // The same arguments through the public function.
        double n[4], m[4];
        for (int i = 0; i < 4; ++i) {
            n[i] = 1 - p[i];
            m[i] = 1 - y[i];
        }
        Expected<double> out[4];
        kn::ellippi_batch(n, m, out, 4);
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(same(out[i], kn::ellippi(n[i], m[i])));
    }
    std::printf("RC terms: %lld cancelling, %lld below -1, %lld positive, %lld negative; %lld mixed batches\n",
                cancels, below, positive, negative, mixed);
    EXPECT_GT(cancels, 0);
    // Terms with e < -1 do not occur for RJ(0, y, 1, p), the only RJ the
    // batched Pi forms; the branch is kept as in _elliprj.
    EXPECT_GT(positive, 0);
    EXPECT_GT(negative, 0);
    EXPECT_GT(mixed, 10000);
}

INSTANTIATE_TEST_SUITE_P(Code, EllipticBatch, ::testing::Values(kn::BatchCode::Portable, kn::BatchCode::Avx2),
                         [](const auto& code) { return std::string(kn::batch_code_name(code.param)); });

}  // namespace
