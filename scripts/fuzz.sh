#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang 16 (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ (the main build
# stays g++) and runs each for FUZZ_SECONDS (default 60), starting from the
# corpus in fuzz/corpus/. New inputs go to FUZZ_WORK (build-fuzz/corpus/, kept
# between runs), crashes to build-fuzz/artifacts/; the script fails when any
# target finds one.
#
#   scripts/fuzz.sh [TARGET...]     targets: routing named_params plan_request
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# Objects of another checkout of the same sources come from the compiler cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR=true

build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
work=${FUZZ_WORK:-$build_dir/corpus}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(routing named_params plan_request)

# Clang 16 compiles the coroutines under both sanitizers.
flags="-O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" -DBUILD_TESTING=OFF -DGISD_FUZZ=ON >/dev/null
cmake --build "$build_dir" -j2 --target "${targets[@]/#/fuzz_}"

mkdir -p "$build_dir/artifacts"
status=0
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  echo "fuzz: $t for $seconds s"
  # The first folder takes new inputs; the repository's corpus is only read.
  if ! ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$build_dir/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$t-" "$work/$t" "fuzz/corpus/$t" \
      >"$build_dir/$t.log" 2>&1; then
    echo "fuzz: $t FAILED (see $build_dir/$t.log and $build_dir/artifacts/)" >&2
    tail -40 "$build_dir/$t.log" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$build_dir/$t.log" | tr '\n' ' '
    echo
  fi
done
exit $status
