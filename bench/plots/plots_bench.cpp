// Median time of generate_plot on three plans, and the process's peak memory.
// Baseline: a typical Python plotting stack takes 230-350 ms for plan (b).

#include "logger/logger.hpp"
#include "plots/plots.hpp"
#include "scenarios.hpp"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <vector>

namespace {

void run(benchmark::State& state, const plots_bench::request& r, int expected_scale) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        const plots::plot_result result =
            plots::generate_plot(r.parcel_data, "SEL-1", r.road_data, "parcel_number", r.bounding_box);
        if (result.scale != expected_scale) {
            state.SkipWithError("unexpected scale");
            return;
        }
        bytes = result.image64.size();
        benchmark::DoNotOptimize(result);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["base64_kB"] = static_cast<double>(bytes) / 1000;
    state.counters["peak_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024;
}

void town_plot_1_250(benchmark::State& state) { run(state, plots_bench::town_plot(), 250); }
void suburban_plot_1_1000(benchmark::State& state) { run(state, plots_bench::suburban_plot(), 1000); }
void farm_1_5000(benchmark::State& state) { run(state, plots_bench::farm(), 5000); }

// The minimum sits beside the median because the machines we share are
// rarely quiet: it is the figure least disturbed by other work.
double minimum(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

}  // namespace

BENCHMARK(town_plot_1_250)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)
    ->ComputeStatistics("min", minimum);
BENCHMARK(suburban_plot_1_1000)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)
    ->ComputeStatistics("min", minimum);
BENCHMARK(farm_1_5000)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)
    ->ComputeStatistics("min", minimum);

int main(int argc, char** argv) {
    // The module's info lines would drown the figures.
    logger::get_logger()->set_level(spdlog::level::warn);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
