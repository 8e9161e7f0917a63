// The batched elliptic integrals (numeric/elliptic_batch.hpp) against one
// evaluation at a time, side by side in one run: the kernels, and the models
// that use them against the same models written entry by entry with the
// single kernels (the form they had before the batches; the same bits).
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

#include "lib/integrated.hpp"
#include "lib/models.hpp"
#include "lib/ring.hpp"
#include "numeric/elliptic.hpp"
#include "numeric/elliptic_batch.hpp"

namespace {

namespace nm = kelvora::numeric;

constexpr std::size_t N = 1024;
constexpr int W = nm::BATCH_WIDTH;

void per_eval(benchmark::State& state, std::size_t count) {
    state.counters["per_eval"] = benchmark::Counter(static_cast<double>(count),
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

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

// Runs a benchmark with the baseline vector code, restoring the choice after.
template <class Body>
void with_sse2(benchmark::State& state, Body body) {
    const nm::BatchCode previous = nm::batch_code();
    nm::select_batch_code(nm::BatchCode::Portable);
    body(state);
    nm::select_batch_code(previous);
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

// Witt-Mao entry by entry with the single kernels (the model's operations).
double witt_mao_single(double entry, double re, double rstar) {
    const double PI = 3.141592653589793;
    const double HALF_PI = 1.5707963267948966;
    const double TWO_PI = 6.283185307179586;
    const double rho = rstar / re;
    const double rho2 = rho * rho;
    const double u = rho * entry;
    const double delta = u - rho;
    if (std::fabs(delta) < 1e-05) {
        const double q1 = (rho2 + -1.0) / (rho2 + 1.0);
        return (2.0 / rho + (rho2 + 1.0) / rho2 * (std::asin(q1) + HALF_PI)) / PI;
    }
    const double sigma = rho + u;
    const double n = ((rho * 4) * u) / (sigma * sigma);
    const double s = std::sqrt(delta * delta + 4.0);
    const double k = std::sqrt(n * 4.0) / s;
    const double m = k * k;
    const auto e = nm::ellipe(m);
    if (!e) return NAN;
    const auto kk = nm::ellipk(m);
    if (!kk) return NAN;
    const auto p = nm::ellippi(n, m);
    if (!p) return NAN;
    const double delta2 = delta * delta;
    const double t_e = ((sigma * s) / (rho2 + rho2)) * *e;
    const double t_k = ((delta * (4.0 + (u * u - rho2) * 0.5)) / (rho2 * s)) * *kk;
    const double t_pi = (((rho2 + 1.0) * (delta2 + delta2)) / ((rho2 * sigma) * s)) * *p;
    const double h = t_e - t_k + t_pi;
    return (h - PI) / TWO_PI + (h + PI) / TWO_PI;
}

void witt_mao_single_entries(benchmark::State& state) {
    const auto l = light_curve(CURVE);
    std::vector<double> out(CURVE);
    for (auto _ : state) {
        for (std::size_t i = 0; i < CURVE; ++i) out[i] = witt_mao_single(l[i], RE, RSTAR);
        benchmark::DoNotOptimize(out.data());
    }
    per_eval(state, CURVE);
}
void witt_mao_batched(benchmark::State& state) {
    const auto l = light_curve(CURVE);
    for (auto _ : state) benchmark::DoNotOptimize(kelvora::witt_mao_magnification(l, RE, RSTAR));
    per_eval(state, CURVE);
}
void witt_mao_batched_sse2(benchmark::State& s) { with_sse2(s, witt_mao_batched); }

const std::vector<double> TABLE_R{0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0};
const std::vector<double> TABLE_I = [] {
    std::vector<double> b;
    for (const double r : TABLE_R) b.push_back(1 - 0.6 * (1 - std::sqrt(1 - r * r)));
    return b;
}();

// Per ring: the light curve against the 11-ring table.
void discrete_flux_map_single_rings(benchmark::State& state) {
    const auto l = light_curve(CURVE);
    const kelvora::RingGeometry ring(RE, RSTAR);
    std::vector<double> out(CURVE);
    for (auto _ : state) {
        for (std::size_t i = 0; i < CURVE; ++i) {
            double sum = 0.0;
            for (std::size_t j = 0; j < TABLE_R.size(); ++j) sum = sum + value(ring(l[i], TABLE_R[j])) * TABLE_I[j];
            out[i] = sum;
        }
        benchmark::DoNotOptimize(out.data());
    }
    per_eval(state, CURVE * TABLE_R.size());
}
void discrete_flux_map_batched(benchmark::State& state) {
    const auto l = light_curve(CURVE);
    for (auto _ : state)
        benchmark::DoNotOptimize(kelvora::discrete_flux_map_heyrovsky_magnification(l, RE, RSTAR, TABLE_R, TABLE_I));
    per_eval(state, CURVE * TABLE_R.size());
}
void discrete_flux_map_batched_sse2(benchmark::State& s) { with_sse2(s, discrete_flux_map_batched); }

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
// The same integrals a point at a time with the single kernel.
void integrated_heyrovsky_single_points(benchmark::State& state) {
    const auto l = light_curve(LD_CURVE);
    const kelvora::RingGeometry ring(RE, RSTAR);
    std::vector<double> out(LD_CURVE);
    for (auto _ : state) {
        for (std::size_t i = 0; i < LD_CURVE; ++i) {
            const double separation = l[i];
            auto model = [&ring, separation](double y) {
                const auto k = ring(separation, y);
                return k ? *k : NAN;
            };
            out[i] = kelvora::detail::integrate_profile(model, kelvora::DefaultLimbDarkening{},
                                                        kelvora::DEFAULT_NORMALISATION);
        }
        benchmark::DoNotOptimize(out.data());
    }
    per_eval(state, LD_CURVE);
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

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool use = run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median"
                                                               : run.repetitions <= 1;
            const auto it = run.counters.find("per_eval");
            if (use && it != run.counters.end()) per_eval_[run.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void add_pair(const char* batched, const char* single) { pairs_.emplace_back(batched, single); }

    void print_ratios() const {
        std::printf("\nvector code: %s\n", nm::batch_code_name(nm::batch_code()));
        std::printf("%-34s %-34s %11s %11s %7s\n", "batched", "single", "batched ns", "single ns", "ratio");
        for (const auto& [ours, theirs] : pairs_) {
            const auto a = per_eval_.find(ours);
            const auto b = per_eval_.find(theirs);
            if (a == per_eval_.end() || b == per_eval_.end()) continue;
            std::printf("%-34s %-34s %11.2f %11.2f %7.3f\n", ours.c_str(), theirs.c_str(), a->second * 1e9,
                        b->second * 1e9, a->second / b->second);
        }
    }

private:
    std::map<std::string, double> per_eval_;
    std::vector<std::pair<std::string, std::string>> pairs_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    reporter.add_pair("ellipk_batched", "ellipk_single");
    reporter.add_pair("ellipe_ellipk_batched", "ellipe_ellipk_single");
    reporter.add_pair("ellippi_witt_mao_batched", "ellippi_witt_mao_single");
    reporter.add_pair("ellippi_witt_mao_batched_sse2", "ellippi_witt_mao_single");
    reporter.add_pair("ellippi_ring_batched", "ellippi_ring_single");
    reporter.add_pair("ellippi_ring_batched_sse2", "ellippi_ring_single");
    reporter.add_pair("witt_mao_batched", "witt_mao_single_entries");
    reporter.add_pair("witt_mao_batched_sse2", "witt_mao_single_entries");
    reporter.add_pair("discrete_flux_map_batched", "discrete_flux_map_single_rings");
    reporter.add_pair("discrete_flux_map_batched_sse2", "discrete_flux_map_single_rings");
    reporter.add_pair("integrated_heyrovsky", "integrated_heyrovsky_single_points");
    reporter.add_pair("integrated_heyrovsky_sse2", "integrated_heyrovsky_single_points");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
