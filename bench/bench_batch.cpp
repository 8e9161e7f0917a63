// The batched elliptic integrals (numeric/elliptic_batch.hpp) against one
// evaluation at a time, side by side in one run: the kernels, and the models
// that use them against the same models with every lane taken by the single
// routines (the code chosen without AVX2; the same bits).  For the models
// against the build before the batches, see bench/compare_builds.py.
//
//   cmake -S . -B build/bench -G Ninja -DKELVORA_BUILD_BENCH=ON -DKELVORA_BUILD_TESTS=OFF
//   cmake --build build/bench --target kelvora_batch_bench
//   build/bench/bench/kelvora_batch_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// Times are per evaluation ("per_eval": per argument, per separation or per
// ring); after the runs a table of ratios batched / single is printed.
// Benchmarks ending in _sse2 force the baseline vector code, the others use
// the one chosen for the processor.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/per_eval.hpp"
#include "lib/integrated.hpp"
#include "lib/models.hpp"
#include "lib/ring.hpp"
#include "numeric/elliptic.hpp"
#include "numeric/elliptic_batch.hpp"

namespace {

namespace nm = kelvora::numeric;

constexpr std::size_t N = 1024;
constexpr int W = nm::BATCH_WIDTH;

using kelvora::bench::per_eval;

double value(const nm::Expected<double>& e) { return e ? *e : NAN; }

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

struct Args {
    std::vector<double> m;       // K, E: uniform in [0, 0.999]
    std::vector<double> wn, wm;  // Pi as Witt-Mao forms it on the light curve
    std::vector<double> rn, rm;  // Pi as the ring kernel forms it
};

const Args& args() {
    static const Args a = [] {
        Args s;
        std::mt19937_64 rng(20261208);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        const auto l = light_curve(N);
        const double rho = 0.05;
        const double eta = 1.0 / rho;
        for (std::size_t i = 0; i < N; ++i) {
            s.m.push_back(0.999 * unit(rng));
            const double u = rho * l[i];
            const double sigma = rho + u;
            const double n = ((rho * 4) * u) / (sigma * sigma);
            const double delta = u - rho;
            const double k = std::sqrt(n * 4.0) / std::sqrt(delta * delta + 4.0);
            s.wn.push_back(n);
            s.wm.push_back(k * k);
            double r = unit(rng);
            if (std::fabs(l[i] - r) < 1e-4) r = r * 0.5;
            const double d = l[i] - r;
            const double q = d * d + eta * eta * 4;
            double m = ((eta * 4) / (l[i] + r)) * std::sqrt((l[i] * r) / q);
            s.rn.push_back(((l[i] * 4) * r) / ((l[i] + r) * (l[i] + r)));
            s.rm.push_back(m * m);
        }
        return s;
    }();
    return a;
}

// Runs a benchmark with the given code for the batched functions, restoring
// the choice after.
template <nm::BatchCode Code, class Body>
void with_code(benchmark::State& state, Body body) {
    const nm::BatchCode previous = nm::batch_code();
    nm::select_batch_code(Code);
    body(state);
    nm::select_batch_code(previous);
}
template <class Body>
void with_sse2(benchmark::State& state, Body body) {
    with_code<nm::BatchCode::Portable>(state, body);
}

// -- kernels ------------------------------------------------------------------

void ellipk_single(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i) benchmark::DoNotOptimize(value(nm::ellipk(a.m[i])));
    per_eval(state, N);
}
void ellipk_batched(benchmark::State& state) {
    const auto& a = args();
    nm::Expected<double> out[W];
    for (auto _ : state) {
        for (std::size_t i = 0; i < N; i += W) {
            nm::ellipk_batch(&a.m[i], out, W);
            benchmark::DoNotOptimize(out);
        }
    }
    per_eval(state, N);
}
void ellipe_ellipk_single(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i) {
            benchmark::DoNotOptimize(value(nm::ellipe(a.m[i])));
            benchmark::DoNotOptimize(value(nm::ellipk(a.m[i])));
        }
    per_eval(state, N);
}
void ellipe_ellipk_batched(benchmark::State& state) {
    const auto& a = args();
    nm::Expected<double> e[W], k[W];
    for (auto _ : state) {
        for (std::size_t i = 0; i < N; i += W) {
            nm::ellipe_ellipk_batch(&a.m[i], e, k, W);
            benchmark::DoNotOptimize(e);
            benchmark::DoNotOptimize(k);
        }
    }
    per_eval(state, N);
}

template <const std::vector<double> Args::*NV, const std::vector<double> Args::*MV>
void ellippi_single(benchmark::State& state) {
    const auto& a = args();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i) benchmark::DoNotOptimize(value(nm::ellippi((a.*NV)[i], (a.*MV)[i])));
    per_eval(state, N);
}
template <const std::vector<double> Args::*NV, const std::vector<double> Args::*MV>
void ellippi_batched(benchmark::State& state) {
    const auto& a = args();
    nm::Expected<double> out[W];
    for (auto _ : state) {
        for (std::size_t i = 0; i < N; i += W) {
            nm::ellippi_batch(&(a.*NV)[i], &(a.*MV)[i], out, W);
            benchmark::DoNotOptimize(out);
        }
    }
    per_eval(state, N);
}

void ellippi_witt_mao_single(benchmark::State& s) { ellippi_single<&Args::wn, &Args::wm>(s); }
void ellippi_witt_mao_batched(benchmark::State& s) { ellippi_batched<&Args::wn, &Args::wm>(s); }
void ellippi_witt_mao_batched_sse2(benchmark::State& s) { with_sse2(s, ellippi_batched<&Args::wn, &Args::wm>); }
void ellippi_ring_single(benchmark::State& s) { ellippi_single<&Args::rn, &Args::rm>(s); }
void ellippi_ring_batched(benchmark::State& s) { ellippi_batched<&Args::rn, &Args::rm>(s); }
void ellippi_ring_batched_sse2(benchmark::State& s) { with_sse2(s, ellippi_batched<&Args::rn, &Args::rm>); }

BENCHMARK(ellipk_single);
BENCHMARK(ellipk_batched);
BENCHMARK(ellipe_ellipk_single);
BENCHMARK(ellipe_ellipk_batched);
BENCHMARK(ellippi_witt_mao_single);
BENCHMARK(ellippi_witt_mao_batched);
BENCHMARK(ellippi_witt_mao_batched_sse2);
BENCHMARK(ellippi_ring_single);
BENCHMARK(ellippi_ring_batched);
BENCHMARK(ellippi_ring_batched_sse2);

// -- models ---------------------------------------------------------------------

constexpr std::size_t CURVE = 256;
constexpr double RE = 1.0;
constexpr double RSTAR = 0.05;

void witt_mao_batched(benchmark::State& state) {
    const auto l = light_curve(CURVE);
    for (auto _ : state) benchmark::DoNotOptimize(kelvora::witt_mao_magnification(l, RE, RSTAR));
    per_eval(state, CURVE);
}
void witt_mao_batched_sse2(benchmark::State& s) { with_sse2(s, witt_mao_batched); }
// The same model with every lane by the single routines: the code taken
// without AVX2, and the operations of an entry-by-entry evaluation.
void witt_mao_single_entries(benchmark::State& s) { with_code<nm::BatchCode::Single>(s, witt_mao_batched); }

const std::vector<double> TABLE_R{0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0};
const std::vector<double> TABLE_I = [] {
    std::vector<double> b;
    for (const double r : TABLE_R) b.push_back(1 - 0.6 * (1 - std::sqrt(1 - r * r)));
    return b;
}();

// Per ring: the light curve against the 11-ring table.
void discrete_flux_map_batched(benchmark::State& state) {
    const auto l = light_curve(CURVE);
    for (auto _ : state)
        benchmark::DoNotOptimize(kelvora::discrete_flux_map_heyrovsky_magnification(l, RE, RSTAR, TABLE_R, TABLE_I));
    per_eval(state, CURVE * TABLE_R.size());
}
void discrete_flux_map_batched_sse2(benchmark::State& s) { with_sse2(s, discrete_flux_map_batched); }
void discrete_flux_map_single_rings(benchmark::State& s) {
    with_code<nm::BatchCode::Single>(s, discrete_flux_map_batched);
}

// The fixed cost of one call of the single ring kernel.
void heyrovsky_magnification_call(benchmark::State& state) {
    const auto l = light_curve(CURVE);
    for (auto _ : state)
        for (std::size_t i = 0; i < CURVE; ++i)
            benchmark::DoNotOptimize(value(kelvora::heyrovsky_magnification(l[i], 0.6, RE, RSTAR)));
    per_eval(state, CURVE);
}

constexpr std::size_t LD_CURVE = 16;

void integrated_heyrovsky(benchmark::State& state) {
    const auto l = light_curve(LD_CURVE);
    for (auto _ : state) benchmark::DoNotOptimize(kelvora::integrated_heyrovsky_magnification(l, RE, RSTAR));
    per_eval(state, LD_CURVE);
}
void integrated_heyrovsky_sse2(benchmark::State& s) { with_sse2(s, integrated_heyrovsky); }
// The same integrals with every kernel evaluated alone.
void integrated_heyrovsky_single_points(benchmark::State& s) {
    with_code<nm::BatchCode::Single>(s, integrated_heyrovsky);
}

BENCHMARK(witt_mao_single_entries);
BENCHMARK(witt_mao_batched);
BENCHMARK(witt_mao_batched_sse2);
BENCHMARK(discrete_flux_map_single_rings);
BENCHMARK(discrete_flux_map_batched);
BENCHMARK(discrete_flux_map_batched_sse2);
BENCHMARK(heyrovsky_magnification_call);
BENCHMARK(integrated_heyrovsky)->Unit(benchmark::kMicrosecond);
BENCHMARK(integrated_heyrovsky_sse2)->Unit(benchmark::kMicrosecond);
BENCHMARK(integrated_heyrovsky_single_points)->Unit(benchmark::kMicrosecond);

// -- ratios -----------------------------------------------------------------------


}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    kelvora::bench::RatioReporter reporter;
    const kelvora::bench::RatioReporter::Pair pairs[] = {
        {"ellipk_batched", "ellipk_single"},
        {"ellipe_ellipk_batched", "ellipe_ellipk_single"},
        {"ellippi_witt_mao_batched", "ellippi_witt_mao_single"},
        {"ellippi_witt_mao_batched_sse2", "ellippi_witt_mao_single"},
        {"ellippi_ring_batched", "ellippi_ring_single"},
        {"ellippi_ring_batched_sse2", "ellippi_ring_single"},
        {"witt_mao_batched", "witt_mao_single_entries"},
        {"witt_mao_batched_sse2", "witt_mao_single_entries"},
        {"discrete_flux_map_batched", "discrete_flux_map_single_rings"},
        {"discrete_flux_map_batched_sse2", "discrete_flux_map_single_rings"},
        {"integrated_heyrovsky", "integrated_heyrovsky_single_points"},
        {"integrated_heyrovsky_sse2", "integrated_heyrovsky_single_points"},
    };
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nvector code: %s\n", nm::batch_code_name(nm::batch_code()));
    reporter.print_ratios("batched", "single", pairs);
    benchmark::Shutdown();
    return 0;
}
