// Time per evaluation in Google Benchmark, and ratios of such times.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kelvora::bench {

// Reports the benchmark's time per evaluation ("per_eval", in seconds) for
// `count` evaluations per iteration.
inline void per_eval(benchmark::State& state, std::size_t count) {
    state.counters["per_eval"] = benchmark::Counter(static_cast<double>(count),
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

// Keeps the time per evaluation of each benchmark (the median when
// repeated) and prints the ratios of chosen pairs after the run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    using Pair = std::pair<std::string, std::string>;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool use = run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median"
                                                               : run.repetitions <= 1;
            const auto it = run.counters.find("per_eval");
            if (use && it != run.counters.end()) per_eval_[run.run_name.function_name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // One line per pair (first, second) both of which ran: their times in ns
    // and first / second, under the column names `first` and `second`.
    void print_ratios(const char* first, const char* second, std::span<const Pair> pairs) const {
        std::printf("\n%-38s %-38s %12s %12s %8s\n", first, second, (std::string(first) + " ns").c_str(),
                    (std::string(second) + " ns").c_str(), "ratio");
        for (const auto& [a_name, b_name] : pairs) {
            const auto a = per_eval_.find(a_name);
            const auto b = per_eval_.find(b_name);
            if (a == per_eval_.end() || b == per_eval_.end()) continue;
            std::printf("%-38s %-38s %12.2f %12.2f %8.3f\n", a_name.c_str(), b_name.c_str(), a->second * 1e9,
                        b->second * 1e9, a->second / b->second);
        }
    }

private:
    std::map<std::string, double> per_eval_;
};

}  // namespace kelvora::bench
