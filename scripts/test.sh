#!/usr/bin/env bash
# Builds, starts private PostgreSQL+PostGIS and Redis on free loopback ports,
# loads the small test cadastre, runs every test with CTest, and stops the
# services again whatever happens.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# Objects of another checkout of the same sources come from the compiler cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR=true

build_dir=${BUILD_DIR:-build}
build_type=${BUILD_TYPE:-RelWithDebInfo}
started=$(date +%s)

# Coroutine patterns that GCC 12 miscompiles fail the run before anything is built.
python3 scripts/check-coawait.py api tests fuzz
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j"$(nproc)"

state=$(mktemp -d /tmp/gis-test.XXXXXX)
cleanup() {
  scripts/services.sh stop "$state" || true
  rm -rf "$state"
}
trap cleanup EXIT

pg_port=$(scripts/free-port.sh)
redis_port=$(scripts/free-port.sh)
eval "$(scripts/services.sh start "$state" "$pg_port" "$redis_port")"
if [ -f scripts/cadastre.sql ]; then
  scripts/load-cadastre.sh small
fi

if [ "$build_type" = Asan ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

status=0
ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 300 || status=$?
if [ -x tests/scripts/cadastre_check.sh ]; then
  tests/scripts/cadastre_check.sh || status=1
fi

# The viewer in a real browser, against gisd on the test services; its
# screenshot lands in the build folder.
gisd_port=$(scripts/free-port.sh)
"$build_dir/gisd" --port "$gisd_port" >"$state/gisd.out" 2>"$state/gisd.err" &
gisd_pid=$!
for _ in $(seq 100); do
  curl -fs "http://127.0.0.1:$gisd_port/gis/health/" >/dev/null && break
  sleep 0.1
done
GISD_URL="http://127.0.0.1:$gisd_port" SCREENSHOT_DIR="$build_dir" tests/web/run.sh || status=1
kill -TERM "$gisd_pid" 2>/dev/null
wait "$gisd_pid" 2>/dev/null || true
# Ctrl-C in the demo stops everything it started.
GISD_BIN="$build_dir/gisd" tests/web/demo_signal_test.sh || status=1
echo "make test: $(( $(date +%s) - started )) s in all"
exit $status
