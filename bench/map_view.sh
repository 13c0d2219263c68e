#!/usr/bin/env bash
# Requests, bytes and round trips per map view. Prints figures; asserts nothing.
#   1. a scripted viewer session in headless Chromium (bench/map_view.mjs): one source
#      per layer with MVT against the composite source with MLT
#   2. bytes per plots tile at zooms 12-16: identity, gzip, brotli, MLT, MLT + brotli,
#      and the loop's stalls while large answers are compressed (bench/compression.mjs)
#   3. hits answered brotli against hits answered gzip (wrk, 64 connections, turn by turn)
# The medium demo cadastre (50,000 plots) is loaded once under .bench-state/views.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build}
size=${CADASTRE_SIZE:-medium}
duration=${BENCH_SECONDS:-6}
rounds=${HIT_ROUNDS:-3}
state=${BENCH_STATE:-$root/.bench-state/views}
# Below the ephemeral range, apart from bench/tiles.sh's.
pg_port=${BENCH_PG_PORT:-25542}
redis_port=${BENCH_REDIS_PORT:-26489}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target gisd >/dev/null
scripts/web-deps.sh >/dev/null

eval "$(scripts/services.sh start "$state" "$pg_port" "$redis_port")"
work=$(mktemp -d /tmp/gis-bench-views.XXXXXX)
gisd_pid=""
cleanup() {
  [ -n "$gisd_pid" ] && kill "$gisd_pid" 2>/dev/null || true
  scripts/services.sh stop "$state" >/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
if [ ! -f "$state/cadastre-$size.loaded" ]; then
  echo "Loading the $size cadastre (once)..."
  scripts/load-cadastre.sh "$size"
  touch "$state/cadastre-$size.loaded"
fi
# The middle of the plots, where the viewer would open.
centre=$(psql "$DATABASE_URL" -X -q -A -t -c \
  'SELECT ST_X(c) || $$,$$ || ST_Y(c) FROM (SELECT ST_Transform(ST_SetSRID(ST_Centroid(ST_Extent("GEOMETRY_3857")::geometry), 3857), 4326) AS c FROM "PLOT") s')
redis-cli -p "$redis_port" FLUSHDB >/dev/null

gport=$(scripts/free-port.sh)
"$build/gisd" --port "$gport" --db-pool-size 10 >"$work/gisd.out" 2>"$work/gisd.err" &
gisd_pid=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$gport/gis/health/" >/dev/null && break; sleep 0.1; done
export GISD_URL="http://127.0.0.1:$gport" CENTRE="$centre"
echo "centre $centre"

echo "== viewer session: open at zoom 12, zoom in to 17 step by step, pan four screens (median of 3)"
ROUNDS=3 node bench/map_view.mjs
echo
node bench/compression.mjs

echo
echo "== hits answered brotli against gzip (wrk, 64 connections, ${rounds} rounds of ${duration} s, turn by turn)"
# The composite tiles of the session's area at zooms 14-16, each cached and compressed once beforehand.
python3 - "$centre" >"$work/urls" <<'PY'
import math, sys
lon, lat = map(float, sys.argv[1].split(","))
for z in (14, 15, 16):
    n = 2 ** z
    x = int((lon + 180) / 360 * n)
    y = int((1 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2 * n)
    for dx in range(-2, 3):
        for dy in range(-2, 3):
            print(f"/gis/tiles/lgas,districts,cadzones,plots,beacons/{z}/{x + dx}/{y + dy}.pbf")
PY
for coding in br gzip; do
  while read -r url; do curl -s -o /dev/null -H "Accept-Encoding: $coding" "$GISD_URL$url"; done <"$work/urls"
  cat >"$work/$coding.lua" <<LUA
local paths = {}
for line in io.lines("$work/urls") do paths[#paths + 1] = line end
local i = 0
request = function()
  i = i % #paths + 1
  return wrk.format("GET", paths[i], {["Accept-Encoding"] = "$coding"})
end
LUA
done
for coding in br gzip; do wrk -t1 -c64 -d2s -s "$work/$coding.lua" "$GISD_URL" >/dev/null; done
for r in $(seq "$rounds"); do
  for coding in br gzip; do
    wrk -t1 -c64 -d"$duration"s --latency -s "$work/$coding.lua" "$GISD_URL" >"$work/wrk.out"
    echo "$coding $(awk '/Requests\/sec/{print $2}' "$work/wrk.out") $(awk '$1=="99%"{print $2}' "$work/wrk.out") $(awk '/Transfer\/sec/{print $2}' "$work/wrk.out")" >>"$work/hits"
  done
done
python3 - "$work/hits" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1])]
med = {}
for coding in ("br", "gzip"):
    rps = [float(r[1]) for r in rows if r[0] == coding]
    med[coding] = statistics.median(rps)
    print(f"  {coding}: median {med[coding]:.0f} requests/s (rounds {' / '.join(f'{x:.0f}' for x in rps)}); p99 "
          + " / ".join(r[2] for r in rows if r[0] == coding) + "; transfer " + " / ".join(r[3] for r in rows if r[0] == coding))
print(f"  ratio br / gzip: {med['br'] / med['gzip']:.2f}")
PY
