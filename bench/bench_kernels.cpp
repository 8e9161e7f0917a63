// Benchmarks of kelvora's numerical kernels and magnification models, with
// Boost.Math and GSL as anchors on the same arguments.
//
//   cmake -S . -B build/bench -DKELVORA_BUILD_BENCH=ON -DKELVORA_BUILD_TESTS=OFF
//   cmake --build build/bench --target kelvora_bench
//   build/bench/bench/kelvora_bench --benchmark_repetitions=5
//
// Every benchmark evaluates its function over a fixed array of arguments per
// iteration and reports the time per evaluation ("per_eval"); with
// repetitions the medians are used.  After the runs a table of ratios
// kelvora / anchor is printed.
//
// Conventions of the anchors: Boost takes the modulus k (m = k^2) and, for
// Pi, the characteristic n with 1 - n sin^2 as here; GSL takes k and the
// characteristic with the opposite sign (1 + n sin^2), so it is given -n.
// Boost runs with promote_double<false>, so that it computes in double as
// kelvora does rather than in long double.
#include <benchmark/benchmark.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_sf_ellint.h>

#include <boost/math/special_functions/ellint_1.hpp>
#include <boost/math/special_functions/ellint_2.hpp>
#include <boost/math/special_functions/ellint_3.hpp>
#include <boost/math/special_functions/ellint_rc.hpp>
#include <boost/math/special_functions/ellint_rf.hpp>
#include <boost/math/special_functions/ellint_rj.hpp>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/per_eval.hpp"
#include "lib/integrated.hpp"
#include "lib/models.hpp"
#include "numeric/elliptic.hpp"
#include "numeric/quadrature.hpp"

namespace {

namespace nm = kelvora::numeric;
using Policy = boost::math::policies::policy<boost::math::policies::promote_double<false>>;

constexpr std::size_t N = 1024;

// -- argument sets --------------------------------------------------------------

struct Args {
    std::vector<double> m, k;             // K, E: m uniform in [0, 0.999]
    std::vector<double> pn, pm, pk;       // Pi, 0 < n < 1
    std::vector<double> qn, qm, qk;       // Pi, n < 0
    std::vector<double> rn, rm, rk;       // Pi on ring-kernel arguments
    std::vector<double> x, y, z, p;       // Carlson, positive arguments
    std::vector<double> ring_l, ring_r;   // ring kernel
};

// The demo event: rho = 0.05, u0 = 0.02, tE = 20 d, two days about the peak;
// separations in stellar radii.
std::vector<double> light_curve(std::size_t count) {
    std::vector<double> l;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = -2.0 + 4.0 * static_cast<double>(i) / static_cast<double>(count - 1);
        l.push_back(std::hypot(0.02, t / 20.0) / 0.05);
    }
    return l;
}

const Args& args() {
    static const Args a = [] {
        Args s;
        std::mt19937_64 rng(20261208);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (std::size_t i = 0; i < N; ++i) {
            const double m = 0.999 * unit(rng);
            s.m.push_back(m);
            s.k.push_back(std::sqrt(m));
            const double pm = 0.999 * unit(rng);
            s.pn.push_back(0.001 + 0.998 * unit(rng));
            s.pm.push_back(pm);
            s.pk.push_back(std::sqrt(pm));
            const double qm = 0.999 * unit(rng);
            s.qn.push_back(-5.0 * unit(rng) - 1e-3);
            s.qm.push_back(qm);
            s.qk.push_back(std::sqrt(qm));
            s.x.push_back(0.01 + 2 * unit(rng));
            s.y.push_back(0.01 + 2 * unit(rng));
            s.z.push_back(0.01 + 2 * unit(rng));
            s.p.push_back(0.01 + 2 * unit(rng));
        }
        // Ring kernel: light-curve separations against ring radii in (0, 1),
        // away from the near-ring band; (n, m) as the kernel forms them.
        const auto l = light_curve(N);
        const double eta = 1.0 / 0.05;
        for (std::size_t i = 0; i < N; ++i) {
            double r = unit(rng);
            if (std::fabs(l[i] - r) < 1e-4) r = r * 0.5;
            s.ring_l.push_back(l[i]);
            s.ring_r.push_back(r);
            const double d = l[i] - r;
            const double q = d * d + eta * eta * 4;
            double m = ((eta * 4) / (l[i] + r)) * std::sqrt((l[i] * r) / q);
            m = m * m;
            s.rn.push_back(((l[i] * 4) * r) / ((l[i] + r) * (l[i] + r)));
            s.rm.push_back(m);
            s.rk.push_back(std::sqrt(m));
        }
        return s;
    }();
    return a;
}

using kelvora::bench::per_eval;

double value(const nm::Expected<double>& e) { return e ? *e : NAN; }

// -- the kernels -----------------------------------------------------------------

#define KELVORA_BENCH_1(name, vec, expr)                  \
    void name(benchmark::State& state) {                  \
        const auto& a = args();                           \
        for (auto _ : state) {                            \
            for (std::size_t i = 0; i < N; ++i) {         \
                const double arg = a.vec[i];              \
                benchmark::DoNotOptimize(expr);           \
            }                                             \
        }                                                 \
        per_eval(state, N);                               \
    }                                                     \
    BENCHMARK(name)

KELVORA_BENCH_1(ellipk_kelvora, m, value(nm::ellipk(arg)));
KELVORA_BENCH_1(ellipk_boost, k, boost::math::ellint_1(arg, Policy()));
KELVORA_BENCH_1(ellipk_gsl, k, gsl_sf_ellint_Kcomp(arg, GSL_PREC_DOUBLE));
KELVORA_BENCH_1(ellipe_kelvora, m, value(nm::ellipe(arg)));
KELVORA_BENCH_1(ellipe_boost, k, boost::math::ellint_2(arg, Policy()));
KELVORA_BENCH_1(ellipe_gsl, k, gsl_sf_ellint_Ecomp(arg, GSL_PREC_DOUBLE));

#define KELVORA_BENCH_PI(suffix, nvec, mvec, kvec)                                                       \
    void ellippi_##suffix##_kelvora(benchmark::State& state) {                                            \
        const auto& a = args();                                                                           \
        for (auto _ : state)                                                                              \
            for (std::size_t i = 0; i < N; ++i) benchmark::DoNotOptimize(value(nm::ellippi(a.nvec[i], a.mvec[i]))); \
        per_eval(state, N);                                                                               \
    }                                                                                                     \
    BENCHMARK(ellippi_##suffix##_kelvora);                                                                \
    void ellippi_##suffix##_boost(benchmark::State& state) {                                              \
        const auto& a = args();                                                                           \
        for (auto _ : state)                                                                              \
            for (std::size_t i = 0; i < N; ++i)                                                           \
                benchmark::DoNotOptimize(boost::math::ellint_3(a.kvec[i], a.nvec[i], Policy()));          \
        per_eval(state, N);                                                                               \
    }                                                                                                     \
    BENCHMARK(ellippi_##suffix##_boost);                                                                  \
    void ellippi_##suffix##_gsl(benchmark::State& state) {                                                \
        const auto& a = args();                                                                           \
        for (auto _ : state)                                                                              \
            for (std::size_t i = 0; i < N; ++i)                                                           \
                benchmark::DoNotOptimize(gsl_sf_ellint_Pcomp(a.kvec[i], -a.nvec[i], GSL_PREC_DOUBLE));   \
        per_eval(state, N);                                                                               \
    }                                                                                                     \
    BENCHMARK(ellippi_##suffix##_gsl)

KELVORA_BENCH_PI(positive, pn, pm, pk);
KELVORA_BENCH_PI(negative, qn, qm, qk);
KELVORA_BENCH_PI(ring, rn, rm, rk);

// Pi from Boost's Carlson functions, as kelvora forms it for 0 < n < 1.
void ellippi_ring_boost_carlson(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state) {
        for (std::size_t i = 0; i < N; ++i) {
            const double c = 1 - a.rm[i];
            benchmark::DoNotOptimize(boost::math::ellint_rf(0.0, c, 1.0, Policy()) +
                                     a.rn[i] * boost::math::ellint_rj(0.0, c, 1.0, 1 - a.rn[i], Policy()) / 3);
        }
    }
    per_eval(state, N);
}
BENCHMARK(ellippi_ring_boost_carlson);

void elliprf_kelvora(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i) benchmark::DoNotOptimize(value(nm::elliprf(a.x[i], a.y[i], a.z[i])));
    per_eval(state, N);
}
BENCHMARK(elliprf_kelvora);
void elliprf_boost(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i)
            benchmark::DoNotOptimize(boost::math::ellint_rf(a.x[i], a.y[i], a.z[i], Policy()));
    per_eval(state, N);
}
BENCHMARK(elliprf_boost);
void elliprf_gsl(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i)
            benchmark::DoNotOptimize(gsl_sf_ellint_RF(a.x[i], a.y[i], a.z[i], GSL_PREC_DOUBLE));
    per_eval(state, N);
}
BENCHMARK(elliprf_gsl);

void elliprj_kelvora(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i)
            benchmark::DoNotOptimize(value(nm::elliprj(a.x[i], a.y[i], a.z[i], a.p[i])));
    per_eval(state, N);
}
BENCHMARK(elliprj_kelvora);
void elliprj_boost(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i)
            benchmark::DoNotOptimize(boost::math::ellint_rj(a.x[i], a.y[i], a.z[i], a.p[i], Policy()));
    per_eval(state, N);
}
BENCHMARK(elliprj_boost);
void elliprj_gsl(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i)
            benchmark::DoNotOptimize(gsl_sf_ellint_RJ(a.x[i], a.y[i], a.z[i], a.p[i], GSL_PREC_DOUBLE));
    per_eval(state, N);
}
BENCHMARK(elliprj_gsl);

void elliprc_kelvora(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i) benchmark::DoNotOptimize(value(nm::elliprc(a.x[i], a.y[i])));
    per_eval(state, N);
}
BENCHMARK(elliprc_kelvora);
void elliprc_boost(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i) benchmark::DoNotOptimize(boost::math::ellint_rc(a.x[i], a.y[i], Policy()));
    per_eval(state, N);
}
BENCHMARK(elliprc_boost);
void elliprc_gsl(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i) benchmark::DoNotOptimize(gsl_sf_ellint_RC(a.x[i], a.y[i], GSL_PREC_DOUBLE));
    per_eval(state, N);
}
BENCHMARK(elliprc_gsl);

// -- the ring kernel and the quadrature ---------------------------------------------

void ring_kernel(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i)
            benchmark::DoNotOptimize(value(kelvora::heyrovsky_magnification(a.ring_l[i], a.ring_r[i], 1.0, 0.05)));
    per_eval(state, N);
}
BENCHMARK(ring_kernel);

// The ladder with an integrand that costs nothing: its own overhead.
void integrate_trivial(benchmark::State& state) {
    double shift = 0;
    for (auto _ : state) {
        const auto r = nm::integrate([&](double x) { return x + shift; }, 0.0, 1.0, 1e-16);
        benchmark::DoNotOptimize(r.integral);
        shift = r.integral * 0.0;
    }
    per_eval(state, 1);
}
BENCHMARK(integrate_trivial);

// One limb-darkened ring-kernel integral, and the same ring-kernel
// evaluations (the points the integral asks for, recorded once) timed alone.
constexpr double LD_SEPARATION = 2.5;

std::vector<double> recorded_radii() {
    std::vector<double> radii;
    auto model = [&](double y) {
        radii.push_back(y);
        const auto k = kelvora::heyrovsky_magnification(LD_SEPARATION, y, 1.0, 0.05);
        return k ? *k : NAN;
    };
    (void)nm::integrate(
        [&](double x) { return kelvora::detail::limb_integrand(model, kelvora::DefaultLimbDarkening{}, x); }, 0.0,
        1.0, 1e-16);
    return radii;
}

void limb_darkened_integral(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(kelvora::integrated_heyrovsky_magnification({LD_SEPARATION}, 1.0, 0.05));
    }
    per_eval(state, 1);
}
BENCHMARK(limb_darkened_integral);

void limb_darkened_integral_kernels_alone(benchmark::State& state) {
    static const std::vector<double> radii = recorded_radii();
    for (auto _ : state) {
        for (const double y : radii) {
            benchmark::DoNotOptimize(value(kelvora::heyrovsky_magnification(LD_SEPARATION, y, 1.0, 0.05)));
        }
    }
    state.counters["kernels"] = static_cast<double>(radii.size());
    per_eval(state, 1);
}
BENCHMARK(limb_darkened_integral_kernels_alone);

// -- the models, per separation ---------------------------------------------------

constexpr std::size_t CURVE = 256;

template <class Call>
void per_separation(benchmark::State& state, Call call) {
    const auto l = light_curve(CURVE);
    for (auto _ : state) benchmark::DoNotOptimize(call(l));
    per_eval(state, CURVE);
}

const std::vector<double> TABLE_R{0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0};
const std::vector<double> TABLE_I = [] {
    std::vector<double> b;
    for (const double r : TABLE_R) b.push_back(1 - 0.6 * (1 - std::sqrt(1 - r * r)));
    return b;
}();

void model_witt_mao(benchmark::State& s) {
    per_separation(s, [](const auto& l) { return kelvora::witt_mao_magnification(l, 1.0, 0.05); });
}
void model_integrated_witt_mao(benchmark::State& s) {
    per_separation(s, [](const auto& l) { return kelvora::integrated_witt_mao_magnification(l, 1.0, 0.05); });
}
void model_integrated_flux_map_witt_mao(benchmark::State& s) {
    per_separation(s, [](const auto& l) {
        return kelvora::integrated_flux_map_witt_mao_magnification(l, 1.0, 0.05, TABLE_R, TABLE_I);
    });
}
void model_heyrovsky(benchmark::State& s) {
    per_separation(s, [](const auto& l) {
        double sum = 0;
        for (const double x : l) sum += value(kelvora::heyrovsky_magnification(x, 0.6, 1.0, 0.05));
        return sum;
    });
}
void model_integrated_heyrovsky(benchmark::State& s) {
    per_separation(s, [](const auto& l) { return kelvora::integrated_heyrovsky_magnification(l, 1.0, 0.05); });
}
void model_integrated_flux_map_heyrovsky(benchmark::State& s) {
    per_separation(s, [](const auto& l) {
        return kelvora::integrated_flux_map_heyrovsky_magnification(l, 1.0, 0.05, TABLE_R, TABLE_I);
    });
}
void model_discrete_flux_map_heyrovsky(benchmark::State& s) {
    per_separation(s, [](const auto& l) {
        return kelvora::discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.05, TABLE_R, TABLE_I);
    });
}
BENCHMARK(model_witt_mao);
BENCHMARK(model_integrated_witt_mao);
BENCHMARK(model_integrated_flux_map_witt_mao);
BENCHMARK(model_heyrovsky);
BENCHMARK(model_integrated_heyrovsky)->Unit(benchmark::kMillisecond);
BENCHMARK(model_integrated_flux_map_heyrovsky)->Unit(benchmark::kMillisecond);
BENCHMARK(model_discrete_flux_map_heyrovsky);

// -- ratios -------------------------------------------------------------------------

const kelvora::bench::RatioReporter::Pair kAnchorPairs[] = {
    {"ellipk_kelvora", "ellipk_boost"},
    {"ellipk_kelvora", "ellipk_gsl"},
    {"ellipe_kelvora", "ellipe_boost"},
    {"ellipe_kelvora", "ellipe_gsl"},
    {"ellippi_positive_kelvora", "ellippi_positive_boost"},
    {"ellippi_positive_kelvora", "ellippi_positive_gsl"},
    {"ellippi_negative_kelvora", "ellippi_negative_boost"},
    {"ellippi_negative_kelvora", "ellippi_negative_gsl"},
    {"ellippi_ring_kelvora", "ellippi_ring_boost"},
    {"ellippi_ring_kelvora", "ellippi_ring_boost_carlson"},
    {"ellippi_ring_kelvora", "ellippi_ring_gsl"},
    {"elliprf_kelvora", "elliprf_boost"},
    {"elliprf_kelvora", "elliprf_gsl"},
    {"elliprj_kelvora", "elliprj_boost"},
    {"elliprj_kelvora", "elliprj_gsl"},
    {"elliprc_kelvora", "elliprc_boost"},
    {"elliprc_kelvora", "elliprc_gsl"},
    {"limb_darkened_integral", "limb_darkened_integral_kernels_alone"},
};

}  // namespace

int main(int argc, char** argv) {
    gsl_set_error_handler_off();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    kelvora::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios("kelvora", "anchor", kAnchorPairs);
    benchmark::Shutdown();
    return 0;
}
