// Benchmarks of the finite-source core of kelvora_fspl (fspl/core): the
// uniform disk and its two parts, Bulirsch's cel and the far-field series,
// and the limb-darkened magnification for every law.
//
//   cmake -S . -B build/bench -DKELVORA_BUILD_BENCH=ON -DKELVORA_BUILD_TESTS=OFF
//   cmake --build build/bench --target kelvora_fspl_bench
//   build/bench/bench/kelvora_fspl_bench --benchmark_repetitions=5
//
// The separations are those of the demo light curve: rho = 0.05, u0 = 0.02,
// tE = 20 d, 1024 points evenly spaced over two days either side of the peak,
// so u/rho runs from 0.4 to 2.0 and the lens crosses the source.  The far
// field (u >= 8 rho, where the series replaces the closed form) gets its own
// set, u/rho evenly spaced in [8, 64].
//
// Every benchmark evaluates its function over its whole array per iteration
// and reports the time per evaluation ("per_eval"); for a light curve one
// evaluation is one point.  With repetitions the medians are used.  After the
// runs a summary gives each time in nanoseconds and, for the magnifications,
// its cost in units of one uniform disk on the same points.  The times are
// CPU times (Google Benchmark's rate counters), which a shared machine
// disturbs less than wall-clock times.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "bench/per_eval.hpp"
#include "fspl/core/far_field.hpp"
#include "fspl/core/magnification.hpp"
#include "fspl/core/profile.hpp"
#include "fspl/core/uniform_disk.hpp"
#include "numeric/cel.hpp"

namespace {

namespace fspl = kelvora::fspl;

constexpr std::size_t N = 1024;
constexpr double RHO = 0.05;
constexpr double U0 = 0.02;
constexpr double T_E = 20.0;

// -- argument sets --------------------------------------------------------------

// Separations (Einstein radii) of the light curve, t - t0 in [-2, 2] d.
const std::vector<double>& light_curve() {
    static const std::vector<double> u = [] {
        std::vector<double> s;
        for (std::size_t i = 0; i < N; ++i) {
            const double t = -2.0 + 4.0 * static_cast<double>(i) / static_cast<double>(N - 1);
            s.push_back(std::hypot(U0, t / T_E));
        }
        return s;
    }();
    return u;
}

// Separations in the far field, u/rho in [8, 64].
const std::vector<double>& far_separations() {
    static const std::vector<double> u = [] {
        std::vector<double> s;
        for (std::size_t i = 0; i < N; ++i) {
            s.push_back(RHO * (8.0 + 56.0 * static_cast<double>(i) / static_cast<double>(N - 1)));
        }
        return s;
    }();
    return u;
}

// The arguments of cel as the uniform disk forms them on the light curve:
// kc = sqrt(1 - m), p = 1 - n and the combination of K and Pi of the closed
// form (uniform_disk.hpp).
struct CelArgs {
    std::vector<double> kc, p, a, b;
};

const CelArgs& cel_light_curve() {
    static const CelArgs args = [] {
        CelArgs c;
        const double rho2 = RHO * RHO;
        for (const double u : light_curve()) {
            const double d = u - RHO;
            const double S = u + RHO;
            const double d2 = d * d;
            const double s = std::sqrt(4.0 + d2);
            const double p = d2 / (S * S);
            const double alpha = -d * (8.0 + S * d) / (2.0 * rho2 * s);
            const double gamma = 2.0 * d2 * (1.0 + rho2) / (rho2 * S * s);
            c.kc.push_back(std::fabs(d) * std::sqrt(4.0 + S * S) / (S * s));
            c.p.push_back(p);
            c.a.push_back(alpha + gamma);
            c.b.push_back(gamma + alpha * p);
        }
        return c;
    }();
    return args;
}

// -- profiles ---------------------------------------------------------------------

fspl::Profile analytic(fspl::Law law, std::vector<double> coefficients) {
    auto profile = fspl::Profile::analytic(law, coefficients);
    if (!profile) {
        std::fprintf(stderr, "bench_fspl: bad profile: %s\n", profile.error().message.c_str());
        std::abort();
    }
    return *profile;
}

// The tabulated profile: the quadratic law below sampled at 11 nodes in mu.
const std::vector<double> TABLE_MU{0.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0};

fspl::Profile tabulated() {
    std::vector<double> intensity;
    for (const double mu : TABLE_MU) intensity.push_back(1.0 - 0.4 * (1.0 - mu) - 0.25 * (1.0 - mu) * (1.0 - mu));
    auto profile = fspl::Profile::tabulated(TABLE_MU, intensity);
    if (!profile) {
        std::fprintf(stderr, "bench_fspl: bad profile: %s\n", profile.error().message.c_str());
        std::abort();
    }
    return *profile;
}

const std::map<std::string, fspl::Profile>& profiles() {
    static const std::map<std::string, fspl::Profile> p{
        {"uniform", fspl::Profile::uniform()},
        {"linear", analytic(fspl::Law::linear, {0.6})},
        {"quadratic", analytic(fspl::Law::quadratic, {0.4, 0.25})},
        {"square_root", analytic(fspl::Law::square_root, {0.2, 0.5})},
        {"power_2", analytic(fspl::Law::power_2, {0.7, 0.6})},
        {"tabulated", tabulated()},
    };
    return p;
}

using kelvora::bench::per_eval;

// -- the uniform disk and its parts ---------------------------------------------------

void uniform_disk_light_curve(benchmark::State& state) {
    const auto& u = light_curve();
    for (auto _ : state)
        for (const double x : u) benchmark::DoNotOptimize(fspl::uniform_disk(x, RHO));
    per_eval(state, u.size());
}
BENCHMARK(uniform_disk_light_curve);

void uniform_disk_far_field(benchmark::State& state) {
    const auto& u = far_separations();
    for (auto _ : state)
        for (const double x : u) benchmark::DoNotOptimize(fspl::uniform_disk(x, RHO));
    per_eval(state, u.size());
}
BENCHMARK(uniform_disk_far_field);

void cel_light_curve_args(benchmark::State& state) {
    const auto& c = cel_light_curve();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i)
            benchmark::DoNotOptimize(kelvora::numeric::cel(c.kc[i], c.p[i], c.a[i], c.b[i]));
    per_eval(state, N);
}
BENCHMARK(cel_light_curve_args);

// K alone, cel(kc, 1, 1, 1), on the same moduli.
void cel_k_light_curve_args(benchmark::State& state) {
    const auto& c = cel_light_curve();
    for (auto _ : state)
        for (std::size_t i = 0; i < N; ++i) benchmark::DoNotOptimize(kelvora::numeric::cel(c.kc[i], 1.0, 1.0, 1.0));
    per_eval(state, N);
}
BENCHMARK(cel_k_light_curve_args);

void far_field_uniform_series(benchmark::State& state) {
    const auto& u = far_separations();
    for (auto _ : state)
        for (const double x : u) benchmark::DoNotOptimize(fspl::far_field_uniform(x, RHO));
    per_eval(state, u.size());
}
BENCHMARK(far_field_uniform_series);

// -- the limb-darkened magnification ------------------------------------------------------

void magnification_light_curve(benchmark::State& state, const char* law) {
    const auto& profile = profiles().at(law);
    const auto& u = light_curve();
    for (auto _ : state)
        for (const double x : u) benchmark::DoNotOptimize(fspl::magnification(x, RHO, profile));
    per_eval(state, u.size());
}

void magnification_far_field(benchmark::State& state, const char* law) {
    const auto& profile = profiles().at(law);
    const auto& u = far_separations();
    for (auto _ : state)
        for (const double x : u) benchmark::DoNotOptimize(fspl::magnification(x, RHO, profile));
    per_eval(state, u.size());
}

BENCHMARK_CAPTURE(magnification_light_curve, uniform, "uniform");
BENCHMARK_CAPTURE(magnification_light_curve, linear, "linear");
BENCHMARK_CAPTURE(magnification_light_curve, quadratic, "quadratic");
BENCHMARK_CAPTURE(magnification_light_curve, square_root, "square_root");
BENCHMARK_CAPTURE(magnification_light_curve, power_2, "power_2");
BENCHMARK_CAPTURE(magnification_light_curve, tabulated, "tabulated");
BENCHMARK_CAPTURE(magnification_far_field, linear, "linear");
BENCHMARK_CAPTURE(magnification_far_field, uniform, "uniform");

// -- the gradient --------------------------------------------------------------------

// The value with dA/du and dA/drho (coefficients false) or also the
// coefficient derivatives; the summary gives each as a multiple of
// magnification() alone on the same points.
void gradient_run(benchmark::State& state, const char* law, const std::vector<double>& u, bool coefficients) {
    const auto& profile = profiles().at(law);
    const fspl::CoefficientTerms terms(profile);
    std::vector<double> dc(static_cast<std::size_t>(profile.gradient_count()));
    for (auto _ : state) {
        for (const double x : u) {
            benchmark::DoNotOptimize(
                fspl::magnification_gradient(x, RHO, profile, coefficients ? &terms : nullptr, dc));
        }
    }
    per_eval(state, u.size());
}

void gradient_light_curve(benchmark::State& state, const char* law) { gradient_run(state, law, light_curve(), false); }
void gradient_coefficients_light_curve(benchmark::State& state, const char* law) {
    gradient_run(state, law, light_curve(), true);
}
void gradient_far_field(benchmark::State& state, const char* law) { gradient_run(state, law, far_separations(), false); }


BENCHMARK_CAPTURE(gradient_light_curve, uniform, "uniform");
BENCHMARK_CAPTURE(gradient_light_curve, linear, "linear");
BENCHMARK_CAPTURE(gradient_light_curve, quadratic, "quadratic");
BENCHMARK_CAPTURE(gradient_light_curve, square_root, "square_root");
BENCHMARK_CAPTURE(gradient_light_curve, power_2, "power_2");
BENCHMARK_CAPTURE(gradient_light_curve, tabulated, "tabulated");
BENCHMARK_CAPTURE(gradient_coefficients_light_curve, quadratic, "quadratic");
BENCHMARK_CAPTURE(gradient_coefficients_light_curve, tabulated, "tabulated");
BENCHMARK_CAPTURE(gradient_far_field, linear, "linear");
BENCHMARK_CAPTURE(gradient_far_field, uniform, "uniform");

// Making a profile (the checks, the flux and the far-field moments), as every
// call from Python does once.
void profile_make(benchmark::State& state, fspl::Law law, std::vector<double> coefficients) {
    for (auto _ : state) benchmark::DoNotOptimize(fspl::Profile::analytic(law, coefficients));
    per_eval(state, 1);
}
BENCHMARK_CAPTURE(profile_make, linear, fspl::Law::linear, std::vector<double>{0.6});
BENCHMARK_CAPTURE(profile_make, power_2, fspl::Law::power_2, std::vector<double>{0.7, 0.6});

void profile_make_tabulated(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(tabulated());
    per_eval(state, 1);
}
BENCHMARK(profile_make_tabulated);

// -- summary ---------------------------------------------------------------------------

// Keeps the time per evaluation of each benchmark (the median when repeated).
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool use = run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median"
                                                               : run.repetitions <= 1;
            const auto it = run.counters.find("per_eval");
            if (use && it != run.counters.end()) per_eval_.emplace_back(run.run_name.function_name, it->second.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void print_summary() const {
        const double disk = find("uniform_disk_light_curve");
        const double far_disk = find("uniform_disk_far_field");
        std::printf("\n%-42s %12s %14s\n", "benchmark", "ns per eval", "uniform disks");
        for (const auto& [name, seconds] : per_eval_) {
            const double base = name.find("far_field") != std::string::npos ? far_disk : disk;
            if (name.rfind("magnification_", 0) == 0 && base > 0) {
                std::printf("%-42s %12.1f %14.1f\n", name.c_str(), seconds * 1e9, seconds / base);
            } else if (name.rfind("gradient_", 0) == 0) {
                // against magnification() of the same law on the same points
                const bool far = name.find("far_field") != std::string::npos;
                const std::string law = name.substr(name.find('/') + 1);
                const double alone = find(std::string(far ? "magnification_far_field/" : "magnification_light_curve/") + law);
                std::printf("%-42s %12.1f %14s  %.2fx magnification\n", name.c_str(), seconds * 1e9, "",
                            alone > 0 ? seconds / alone : 0.0);
            } else {
                std::printf("%-42s %12.1f %14s\n", name.c_str(), seconds * 1e9, "");
            }
        }
    }

private:
    double find(const std::string& name) const {
        for (const auto& [n, seconds] : per_eval_)
            if (n == name) return seconds;
        return 0.0;
    }

    // In the order of the runs.
    std::vector<std::pair<std::string, double>> per_eval_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_summary();
    benchmark::Shutdown();
    return 0;
}
