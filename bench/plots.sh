#!/usr/bin/env bash
# Builds the survey-plan benchmark in Release and prints its figures:
# median, mean and spread of generate_plot for the three plans, and the
# process's peak resident memory. Pass extra Google Benchmark flags as
# arguments, e.g. bench/plots.sh --benchmark_filter=suburban.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PLOTS_BENCH_BUILD:-$root/build-plots-release}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target plots_bench >/dev/null

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
# generate_plot runs on one thread. It is not pinned: on a shared machine the
# scheduler's choice of the idler core disturbs it less. Read the CPU column
# when the machine is busy; the wall time then includes waiting for a core.
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
exec "$build/plots_bench" --benchmark_min_time=1 "$@"
