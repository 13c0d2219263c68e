#!/usr/bin/env bash
# make test-cluster: the slow multi-process tests. Builds gisd and its Debian
# package, starts a private PostgreSQL+PostGIS and Redis, loads the small
# cadastre, and runs each suite against them: the package in a fresh Debian
# 12 root, a PostgreSQL standby, Redis Sentinel failover, and nginx in front
# of two gisd processes. Everything is stopped again whatever happens.
set -euo pipefail
export ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
export BUILD_DIR=${BUILD_DIR:-build}
started=$(date +%s)

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j2 >/dev/null
rm -f "$BUILD_DIR"/gisd_*.deb
cmake --build "$BUILD_DIR" --target package >/dev/null

export STATE=$(mktemp -d /tmp/gis-cluster.XXXXXX)
chmod 755 "$STATE"
cleanup() {
    scripts/services.sh stop "$STATE/services" || true
    rm -rf "$STATE"
}
trap cleanup EXIT
eval "$(scripts/services.sh start "$STATE/services" "$(scripts/free-port.sh)" "$(scripts/free-port.sh)")"
scripts/load-cadastre.sh small >/dev/null

status=0
for suite in package standby sentinel balanced; do
    t0=$(date +%s)
    echo "== $suite"
    args=()
    [ "$suite" = package ] && args=("$BUILD_DIR")
    "tests/cluster/${suite}_test.sh" "${args[@]}" || { status=1; echo "FAILED: $suite"; }
    echo "   ($(( $(date +%s) - t0 )) s)"
done
echo "make test-cluster: $(( $(date +%s) - started )) s in all"
exit $status
