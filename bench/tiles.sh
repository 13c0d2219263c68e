#!/usr/bin/env bash
# Tile benchmarks. Prints figures; asserts nothing.
#   1. cache hits: gisd (1 worker) against nginx (1 worker) serving the same tile bytes as files (wrk, 64 connections)
#   2. memory: resident size of the worker after 100,000 and after 1,000,000 hit requests
#   3. cache misses: statement time through gisd against the same statement run directly with libpq
#   4. invalidation: dropping 100,000 cached tiles of one layer while tiles of another layer are served
#   5. compressed hits: gisd answering gzip (with CORS and ETags) against nginx serving the same
#      compressed bytes with gzip_static; bytes per plots tile at zooms 12-16, identity against gzip
#   6. metrics: the hits of 1. through gisd as it runs (metrics on) against a second gisd of the
#      same build started with --no-metrics
# BENCH_PHASES picks some of them: "hits memory misses invalidation compressed metrics" (all, the default).
# The large cadastre (500,000 plots) is generated once under .bench-state/ and reused.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build}
size=${CADASTRE_SIZE:-large}
duration=${BENCH_SECONDS:-8}
state=${BENCH_STATE:-$root/.bench-state}
# Below the ephemeral range: a client retrying a port where nothing listens can
# connect to itself there and hold the port in TIME_WAIT for a minute.
phases=" ${BENCH_PHASES:-hits memory misses invalidation compressed metrics} "
want() { [[ "$phases" == *" $1 "* ]]; }
pg_port=${BENCH_PG_PORT:-25532}
redis_port=${BENCH_REDIS_PORT:-26479}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target gisd miss_bench >/dev/null

eval "$(scripts/services.sh start "$state" "$pg_port" "$redis_port")"
work=$(mktemp -d /tmp/gis-bench.XXXXXX)
# nginx's worker runs as another user: it must be able to read the tile files.
chmod 755 "$work"
gisd_pid=""
plain_pid=""
nginx_conf=""
cleanup() {
  [ -n "$gisd_pid" ] && kill "$gisd_pid" 2>/dev/null || true
  [ -n "$plain_pid" ] && kill "$plain_pid" 2>/dev/null || true
  [ -n "$nginx_conf" ] && nginx -c "$nginx_conf" -p "$work/nginx" -s stop 2>/dev/null || true
  scripts/services.sh stop "$state" || true
  rm -rf "$work"
}
trap cleanup EXIT

if [ ! -f "$state/cadastre-$size.loaded" ]; then
  scripts/load-cadastre.sh "$size"
  touch "$state/cadastre-$size.loaded"
fi
redis-cli -p "$redis_port" flushall >/dev/null

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(free -g | awk '/Mem:/{print $2}') GiB"

# Tiles around sampled plots: z16 for the hit mix, z14-16 for the misses.
psql -Atq -F' ' -c "select st_x(p), st_y(p) from (select st_transform(st_centroid(\"GEOMETRY_3857\"), 4326) p from \"PLOT\" where \"ID\" % 997 = 0 limit 400) s" >"$work/points"
python3 - "$work" <<'PY'
import math, sys
work = sys.argv[1]
def tile(lon, lat, z):
    n = 2 ** z
    x = int((lon + 180) / 360 * n)
    y = int((1 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2 * n)
    return x, y
pts = [tuple(map(float, l.split())) for l in open(f"{work}/points") if l.strip()]
hits = sorted({("plots", 16) + tile(lon, lat, 16) for lon, lat in pts})[:200]
hits += sorted({("cadzones", 13) + tile(lon, lat, 13) for lon, lat in pts})[:50]
with open(f"{work}/hit_urls", "w") as f:
    for layer, z, x, y in hits:
        f.write(f"/gis/{layer}/{z}/{x}/{y}.pbf\n")
with open(f"{work}/other_urls", "w") as f:
    for layer, z, x, y in hits:
        if layer == "cadzones":
            f.write(f"/gis/{layer}/{z}/{x}/{y}.pbf\n")
miss = []
for i, (lon, lat) in enumerate(pts[:120]):
    z = 14 + i % 3
    miss.append(("plots", z) + tile(lon, lat, z))
with open(f"{work}/miss_tiles", "w") as f:
    for layer, z, x, y in sorted(set(miss)):
        f.write(f"{layer} {z} {x} {y}\n")
PY
# wrk's script: the paths of $work/urls in turn, with the request headers given as Lua.
write_urls_lua() {
cat >"$work/urls.lua" <<LUA
local paths = {}
for line in io.lines("$work/urls") do paths[#paths + 1] = line end
local i = 0
request = function()
  i = i % #paths + 1
  return wrk.format("GET", paths[i], ${1:-nil})
end
LUA
}
write_urls_lua

gport=$(scripts/free-port.sh)
"$build/gisd" --port "$gport" --db-pool-size 10 >"$work/gisd.out" 2>"$work/gisd.err" &
gisd_pid=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$gport/gis/health/" >/dev/null && break; sleep 0.1; done

# Warm the cache and write the same bytes for nginx.
mkdir -p "$work/nginx/root" "$work/nginx/logs"
: >"$work/urls"
while read -r url; do
  mkdir -p "$work/nginx/root$(dirname "$url")"
  code=$(curl -s -o "$work/nginx/root$url" -w '%{http_code}' "http://127.0.0.1:$gport$url")
  [ "$code" = 200 ] && echo "$url" >>"$work/urls"
done <"$work/hit_urls"
grep /cadzones/ "$work/urls" >"$work/other_urls" || true
echo "hit mix: $(wc -l <"$work/urls") cached tiles, mean $(( $(cat $(sed "s|^|$work/nginx/root|" "$work/urls") | wc -c) / $(wc -l <"$work/urls") )) bytes"

nport=$(scripts/free-port.sh)
nginx_conf="$work/nginx/nginx.conf"
cat >"$nginx_conf" <<CONF
worker_processes 1;
daemon on;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  default_type application/vnd.mapbox-vector-tile;
  server { listen 127.0.0.1:$nport; root $work/nginx/root; }
}
CONF
nginx -c "$nginx_conf" -p "$work/nginx"
echo "nginx answers a tile of the mix with: $(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$nport$(head -1 "$work/urls")")"

run_wrk() {  # url-base seconds -> prints "rps p50 p99"
  wrk -t1 -c64 -d"$2"s --latency -s "$work/urls.lua" "$1" >"$work/wrk.out"
  local rps p50 p99
  rps=$(awk '/Requests\/sec/{print $2}' "$work/wrk.out")
  p50=$(awk '$1=="50%"{print $2}' "$work/wrk.out")
  p99=$(awk '$1=="99%"{print $2}' "$work/wrk.out")
  echo "$rps $p50 $p99"
}
total_requests() { awk '/requests in/{print $1}' "$work/wrk.out"; }

# Each server is warmed up first, untimed, as one in service would be: gisd's
# first requests fill its copies of the tiles.
run_wrk "http://127.0.0.1:$gport" 2 >/dev/null
run_wrk "http://127.0.0.1:$nport" 2 >/dev/null
# The VM's speed drifts within minutes, so the two servers take turns and the
# medians of the rounds are compared.
rounds=${HIT_ROUNDS:-5}
take_turns() {  # file: gisd and nginx take turns for $rounds rounds, one row each
  for round in $(seq "$rounds"); do
    read -r g_rps g_p50 g_p99 < <(run_wrk "http://127.0.0.1:$gport" "$duration")
    read -r n_rps n_p50 n_p99 < <(run_wrk "http://127.0.0.1:$nport" "$duration")
    echo "  round $round: gisd $g_rps req/s, p50 $g_p50, p99 $g_p99 | nginx $n_rps req/s, p50 $n_p50, p99 $n_p99"
    echo "$g_rps $g_p50 $g_p99 $n_rps $n_p50 $n_p99" >>"$1"
  done
}
median_of_rounds() {  # file of "gisd_rps p50 p99 nginx_rps p50 p99" rows
python3 - "$1" <<'PY'
import statistics, sys
def ms(t):  # wrk prints 850.00us, 3.03ms or 1.02s
    for unit, f in (("us", 0.001), ("ms", 1.0), ("s", 1000.0)):
        if t.endswith(unit):
            return float(t[: -len(unit)]) * f
    return float(t)
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
med = lambda i, conv=float: statistics.median(conv(r[i]) for r in rows)
print("  median gisd : %.0f req/s, p50 %.2f ms, p99 %.2f ms" % (med(0), med(1, ms), med(2, ms)))
print("  median nginx: %.0f req/s, p50 %.2f ms, p99 %.2f ms" % (med(3), med(4, ms), med(5, ms)))
print("  ratio gisd/nginx: %.2f (median of the rounds' ratios)" % statistics.median(float(r[0]) / float(r[3]) for r in rows))
PY
}
if want hits; then
echo
echo "== cache hits (wrk -t1 -c64, $rounds rounds of ${duration}s each, taking turns)"
: >"$work/hits"
take_turns "$work/hits"
median_of_rounds "$work/hits"
fi

if want metrics; then
echo
echo "== metrics on against --no-metrics (cache hits, wrk -t1 -c64, $rounds rounds of ${duration}s each, taking turns)"
pport=$(scripts/free-port.sh)
"$build/gisd" --port "$pport" --db-pool-size 10 --no-metrics >"$work/plain.out" 2>"$work/plain.err" &
plain_pid=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$pport/gis/health/" >/dev/null && break; sleep 0.1; done
echo "  check: /metrics answers $(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$gport/metrics") with metrics, $(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$pport/metrics") without"
run_wrk "http://127.0.0.1:$gport" 2 >/dev/null
run_wrk "http://127.0.0.1:$pport" 2 >/dev/null
# Requests/s follow the other load on the machine; the worker's CPU time per
# request much less so, and it is what the counting costs.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
us_per_request() { awk -v t="$1" -v hz="$(getconf CLK_TCK)" -v n="$(total_requests)" 'BEGIN { printf "%.2f", t * 1e6 / hz / n }'; }
: >"$work/mhits"
: >"$work/mcpu"
for round in $(seq "$rounds"); do
  t0=$(cpu_ticks "$gisd_pid")
  read -r m_rps m_p50 m_p99 < <(run_wrk "http://127.0.0.1:$gport" "$duration")
  m_us=$(us_per_request $(( $(cpu_ticks "$gisd_pid") - t0 )))
  t0=$(cpu_ticks "$plain_pid")
  read -r p_rps p_p50 p_p99 < <(run_wrk "http://127.0.0.1:$pport" "$duration")
  p_us=$(us_per_request $(( $(cpu_ticks "$plain_pid") - t0 )))
  echo "  round $round: metrics $m_rps req/s, p50 $m_p50, p99 $m_p99, $m_us us CPU | --no-metrics $p_rps req/s, p50 $p_p50, p99 $p_p99, $p_us us CPU"
  echo "$m_rps $m_p50 $m_p99 $p_rps $p_p50 $p_p99" >>"$work/mhits"
  echo "$m_us $p_us" >>"$work/mcpu"
done
median_of_rounds "$work/mhits" | sed 's/gisd /metrics /; s/nginx/no-metrics/g; s|gisd/no-metrics|metrics/no-metrics|'
python3 - "$work/mcpu" <<'PY'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
print("  CPU per request, median: metrics %.1f us, --no-metrics %.1f us; ratio %.3f (median of the rounds' ratios)"
      % (statistics.median(r[0] for r in rows), statistics.median(r[1] for r in rows), statistics.median(r[0] / r[1] for r in rows)))
PY
echo "  counted by /metrics: $(curl -s "http://127.0.0.1:$gport/metrics" | awk '/^gisd_tile_requests_total/{n += $2} END {print n}') tile requests"
kill "$plain_pid"
wait "$plain_pid" 2>/dev/null || true
plain_pid=""
fi

if want memory; then
echo
echo "== memory (resident size of the gisd worker under hit traffic)"
rss() { awk '/VmRSS/{print $2}' "/proc/$gisd_pid/status"; }
echo "  at start of this phase: $(rss) KiB"
served=0
rss_100k=""
while [ "$served" -lt 1000000 ]; do
  run_wrk "http://127.0.0.1:$gport" 5 >/dev/null
  served=$((served + $(total_requests)))
  if [ -z "$rss_100k" ] && [ "$served" -ge 100000 ]; then rss_100k=$(rss); echo "  after $served requests: $rss_100k KiB"; fi
done
echo "  after $served requests: $(rss) KiB"
fi

if want misses; then
echo
echo "== cache misses (the same statements, directly and through gisd)"
"$build/miss_bench" 127.0.0.1 "$gport" "$DATABASE_URL" "$redis_port" "$work/miss_tiles"
fi

if want invalidation; then
echo
echo "== invalidation of 100,000 cached tiles of one layer while another layer is served"
redis-cli -p "$redis_port" flushall >/dev/null
while read -r url; do curl -s -o /dev/null "http://127.0.0.1:$gport$url"; done <"$work/other_urls"
cp "$work/other_urls" "$work/urls"
python3 - >"$work/fill.resp" <<'PY'
import sys
val = "x" * 2000
out = sys.stdout
for i in range(100000):
    key = f"mvt_v8:plots:18:{i}:{i * 7 % 262144}"
    out.write(f"*5\r\n$3\r\nSET\r\n${len(key)}\r\n{key}\r\n${len(val)}\r\n{val}\r\n$2\r\nEX\r\n$4\r\n7200\r\n")
PY
redis-cli -p "$redis_port" --pipe <"$work/fill.resp" >/dev/null
read -r b_rps b_p50 b_p99 < <(run_wrk "http://127.0.0.1:$gport" 5)
echo "  baseline (no invalidation): $b_rps req/s, p50 $b_p50, p99 $b_p99"
( sleep 1; curl -s -o "$work/inv.json" -w '%{time_total}' -X POST "http://127.0.0.1:$gport/gis/cache/invalidate/plots" >"$work/inv.time" ) &
inv=$!
read -r i_rps i_p50 i_p99 < <(run_wrk "http://127.0.0.1:$gport" "${INVALIDATION_SECONDS:-12}")
wait $inv
echo "  invalidation: $(python3 -c "import json;print(json.load(open('$work/inv.json'))['data']['deleted_count'])") keys in $(cat "$work/inv.time") s"
echo "  tiles served meanwhile: $i_rps req/s, p50 $i_p50, p99 $i_p99"
fi

if want compressed; then
echo
echo "== compressed hits (Accept-Encoding: gzip and an Origin; nginx gzip_static on the same gzip bytes)"
# The hit mix again, each tile also fetched compressed and stored beside the
# identity file, as gzip_static wants it.
: >"$work/urls"
while read -r url; do
  mkdir -p "$work/nginx/root$(dirname "$url")"
  code=$(curl -s -o "$work/nginx/root$url" -w '%{http_code}' "http://127.0.0.1:$gport$url")
  [ "$code" = 200 ] || continue
  curl -s -H 'Accept-Encoding: gzip' -o "$work/nginx/root$url.gz" "http://127.0.0.1:$gport$url"
  echo "$url" >>"$work/urls"
done <"$work/hit_urls"
# A second nginx, serving the .gz files to clients that accept gzip.
nginx -c "$nginx_conf" -p "$work/nginx" -s stop
sleep 0.5
sed -i 's|^  server { listen|  gzip_static on;\n  gzip_vary on;\n  server { listen|' "$nginx_conf"
nginx -c "$nginx_conf" -p "$work/nginx"
sleep 0.5
write_urls_lua '{["Accept-Encoding"] = "gzip", ["Origin"] = "https://land.example.org"}'
run_wrk "http://127.0.0.1:$gport" 2 >/dev/null
run_wrk "http://127.0.0.1:$nport" 2 >/dev/null
: >"$work/zhits"
take_turns "$work/zhits"
median_of_rounds "$work/zhits"
echo "  check: nginx answers gzip: $(curl -s -o /dev/null -D - -H 'Accept-Encoding: gzip' "http://127.0.0.1:$nport$(head -1 "$work/urls")" | grep -ci '^content-encoding: gzip')"

echo
echo "== bytes per plots tile, identity against gzip"
python3 - "$work" "$gport" <<'PY'
import math, sys, urllib.request
work, port = sys.argv[1], sys.argv[2]
pts = [tuple(map(float, l.split())) for l in open(f"{work}/points") if l.strip()][:60]
def tile(lon, lat, z):
    n = 2 ** z
    return int((lon + 180) / 360 * n), int((1 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2 * n)
def size(url, gz):
    req = urllib.request.Request(url, headers={"Accept-Encoding": "gzip"} if gz else {})
    with urllib.request.urlopen(req) as r:
        return len(r.read()) if r.status == 200 else None
for z in range(12, 17):
    ident, comp = [], []
    for url in sorted({f"http://127.0.0.1:{port}/gis/plots/{z}/%d/%d.pbf" % tile(lon, lat, z) for lon, lat in pts}):
        a, b = size(url, False), size(url, True)
        if a and b:
            ident.append(a)
            comp.append(b)
    if ident:
        print("  zoom %d: %d tiles, identity mean %.0f bytes, gzip mean %.0f bytes (%.0f%%)"
              % (z, len(ident), sum(ident) / len(ident), sum(comp) / len(comp), 100 * sum(comp) / sum(ident)))
PY
fi
