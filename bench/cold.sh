#!/usr/bin/env bash
# Cold-tile benchmarks. Prints figures; asserts nothing. Each compares this
# build with itself, its new miss settings turned off, in the same run:
#   storm:   cache flushed, 2 workers, 64 clients asking for the same fixed list
#            of tiles at zooms 8-16 at about the same time; statements run per
#            distinct tile (counted in PostgreSQL's statement log), time until
#            every tile is served, p50/p99
#            new: defaults; old: --tile-coalescing off --db-jit on --db-warm-up off --db-pool-min 0
#   lowzoom: miss time per tile at zooms 8-12, JIT off (default) against --db-jit on
#   seed:    gisd seed of plots at zooms 14-16 over the city, tiles/s, against
#            the same tiles fetched as misses over HTTP by as many clients
#   hits:    wrk on cached tiles, coalescing on against off (the hit path must not change)
# BENCH_PHASES picks some ("storm lowzoom seed hits", the default); ROUNDS (3) alternating rounds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build}
size=${CADASTRE_SIZE:-medium}
rounds=${ROUNDS:-3}
state=${BENCH_STATE:-$root/.bench-state-$size}
phases=" ${BENCH_PHASES:-storm lowzoom seed hits} "
want() { [[ "$phases" == *" $1 "* ]]; }
pg_port=${BENCH_PG_PORT:-25542}
redis_port=${BENCH_REDIS_PORT:-26489}
old_flags="--tile-coalescing off --db-jit on --db-warm-up off --db-pool-min 0"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target gisd >/dev/null

eval "$(scripts/services.sh start "$state" "$pg_port" "$redis_port")"
work=$(mktemp -d /tmp/gis-cold.XXXXXX)
gisd_pid=""
cleanup() {
  log_statements off 2>/dev/null || true
  [ -n "$gisd_pid" ] && kill "$gisd_pid" 2>/dev/null && wait "$gisd_pid" 2>/dev/null || true
  scripts/services.sh stop "$state" || true
  rm -rf "$work"
}
trap cleanup EXIT
if [ ! -f "$state/cadastre-$size.loaded" ]; then
  scripts/load-cadastre.sh "$size" >/dev/null
  touch "$state/cadastre-$size.loaded"
fi
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); cadastre: $size"

start_gisd() {  # flags... ; sets gisd_pid and port
  port=$(scripts/free-port.sh)
  # shellcheck disable=SC2068
  "$build/gisd" --port "$port" $@ >"$work/gisd.out" 2>"$work/gisd.err" &
  gisd_pid=$!
  for _ in $(seq 100); do curl -sf "http://127.0.0.1:$port/gis/health/" >/dev/null && break; sleep 0.1; done
  sleep 1  # the pool's minimum connects and warms up
}
stop_gisd() { kill "$gisd_pid"; wait "$gisd_pid" 2>/dev/null || true; gisd_pid=""; }
flush() { redis-cli -p "$redis_port" flushall >/dev/null; }
# Tile statements the server has run, counted in its own log: while the storm
# runs, PostgreSQL logs every statement it executes with its parameters
# (log_statement = all). Prints statements per distinct tile: all, tiles with
# content, empty tiles, and the most for one tile.
log_size() { stat -c %s "$state/pg/server.log"; }
statements_per_tile() {  # log-offset url-statuses-file
  python3 - "$state/pg/server.log" "$1" "$2" <<'PY'
import re, sys
log, offset, statuses = sys.argv[1], int(sys.argv[2]), sys.argv[3]
text = open(log, encoding="utf-8", errors="replace").read()[offset:]
# A message's first line carries the backend's pid; its statement text follows on
# continuation lines, and the parameters come in the DETAIL line of the same pid.
counts, pending, current = {}, set(), None
for line in text.splitlines():
    m = re.match(r"\S+ \S+ UTC \[(\d+)\] (\w+):", line)
    if m:
        current = m.group(1)
        if m.group(2) == "DETAIL" and "parameters:" in line and current in pending:
            v = [round(float(p), 1) for p in re.findall(r"'([-0-9.e]+)'", line)]
            counts[tuple(v)] = counts.get(tuple(v), 0) + 1
            pending.discard(current)
    elif current and "SELECT ST_AsMVT(mvt_data" in line:
        pending.add(current)
R = 20037508.342789244
full, empty = [], []
for l in open(statuses):
    url, *st = l.split()
    z, x, y = map(int, url.split("/")[3:5] + [url.split("/")[5].split(".")[0]])
    size = 2 * R / 2 ** z
    n = counts.get((round(-R + x * size, 1), round(R - (y + 1) * size, 1), round(-R + (x + 1) * size, 1), round(R - y * size, 1)), 0)
    (empty if "204" in st else full).append(n)
tiles = full + empty
print(f"{sum(tiles) / len(tiles):.2f} (content {sum(full) / max(1, len(full)):.2f} over {len(full)}, "
      f"empty {sum(empty) / max(1, len(empty)):.2f} over {len(empty)}, most {max(tiles)})")
PY
}
log_statements() {  # on | off
  if [ "$1" = on ]; then
    psql -Atqc "alter system set log_statement = 'all'" -c "select pg_reload_conf()" >/dev/null
  else
    psql -Atqc "alter system reset log_statement" -c "select pg_reload_conf()" >/dev/null
  fi
}

# Tiles around the middle of the data, zooms 8-16: two per zoom.
read -r cx cy < <(psql -Atq -F' ' -c "select st_x(c), st_y(c) from (select st_transform(st_centroid(st_setsrid(st_extent(\"GEOMETRY_3857\")::geometry, 3857)), 4326) c from \"PLOT\") s")
# plots tile URLs at the centre for zooms $1-$2, $3 tiles side by side per zoom.
centre_tiles() {
  python3 - "$cx" "$cy" "$1" "$2" "$3" <<'PY'
import math, sys
lon, lat = float(sys.argv[1]), float(sys.argv[2])
for z in range(int(sys.argv[3]), int(sys.argv[4]) + 1):
    n = 2 ** z
    x = int((lon + 180) / 360 * n)
    y = int((1 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2 * n)
    for dx in range(int(sys.argv[5])):
        print(f"/gis/plots/{z}/{x + dx}/{y}.pbf")
PY
}
centre_tiles 8 16 2 >"$work/storm_urls"

# The client: N threads start together and each asks for every URL in order;
# prints seconds until all are served, p50 and p99 in ms, and the statuses.
cat >"$work/client.py" <<'PY'
import http.client, sys, threading, time
port, clients, urls = int(sys.argv[1]), int(sys.argv[2]), [l.strip() for l in open(sys.argv[3]) if l.strip()]
lat, statuses, lock, by_url = [], {}, threading.Lock(), {}
barrier = threading.Barrier(clients + 1)
def run():
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    barrier.wait()
    for u in urls:
        t = time.perf_counter()
        c.request("GET", u)
        r = c.getresponse(); r.read()
        d = time.perf_counter() - t
        with lock:
            lat.append(d); statuses[r.status] = statuses.get(r.status, 0) + 1; by_url.setdefault(u, set()).add(r.status)
threads = [threading.Thread(target=run) for _ in range(clients)]
for t in threads: t.start()
barrier.wait(); t0 = time.perf_counter()
for t in threads: t.join()
total = time.perf_counter() - t0
lat.sort()
if len(sys.argv) > 4:
    with open(sys.argv[4], "w") as f:
        for u, st in by_url.items(): f.write(f"{u} {' '.join(map(str, sorted(st)))}\n")
print(f"{total:.2f} {lat[len(lat)//2]*1000:.1f} {lat[int(len(lat)*0.99)]*1000:.1f} {str(statuses).replace(' ', '')}")
PY

if want storm; then
  echo
  echo "== storm: $(wc -l <"$work/storm_urls") distinct tiles, 64 clients, 2 workers, $rounds alternating rounds"
  log_statements on
  for r in $(seq "$rounds"); do
    for mode in new old; do
      flags="--workers 2"; [ "$mode" = old ] && flags="$flags $old_flags"
      flush
      start_gisd $flags
      offset=$(log_size)
      out=$(python3 "$work/client.py" "$port" 64 "$work/storm_urls" "$work/by_url")
      stop_gisd
      read -r secs p50 p99 st <<<"$out"
      echo "round $r $mode: done in ${secs} s, p50 ${p50} ms, p99 ${p99} ms, statuses $st, statements per tile $(statements_per_tile "$offset" "$work/by_url")"
    done
  done
  log_statements off
fi

if want lowzoom; then
  echo
  echo "== low zooms: one client, each tile a miss, $rounds alternating rounds"
  centre_tiles 8 12 1 >"$work/low_urls"
  for r in $(seq "$rounds"); do
    for mode in off on; do
      flush
      start_gisd --db-jit "$mode"
      line="round $r jit $mode:"
      while read -r url; do
        ms=$(curl -s -o /dev/null -w '%{time_total}' "http://127.0.0.1:$port$url" | awk '{printf "%.0f", $1 * 1000}')
        line="$line z$(cut -d/ -f4 <<<"$url") ${ms} ms"
      done <"$work/low_urls"
      stop_gisd
      echo "$line"
    done
  done
fi

if want seed; then
  echo
  city="7.45,9.03,7.50,9.08"
  echo "== seeding plots, zooms 14-16, bbox $city, concurrency 4"
  for r in $(seq "$rounds"); do
    flush
    "$build/gisd" seed --layer plots --zoom 14-16 --bbox "$city" --concurrency 4 | tail -1 | sed "s/^/round $r /"
    # The same tiles as misses over HTTP, 4 clients splitting the list.
    python3 - >"$work/seed_urls" <<'PY'
import math
w, s, e, n = 7.45, 9.03, 7.50, 9.08
def t(lon, lat, z):
    k = 2 ** z
    return int((lon + 180) / 360 * k), int((1 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2 * k)
for z in range(14, 17):
    x0, y0 = t(w, n, z); x1, y1 = t(e, s, z)
    for x in range(x0, x1 + 1):
        for y in range(y0, y1 + 1):
            print(f"/gis/plots/{z}/{x}/{y}.pbf")
PY
    flush
    start_gisd
    split -n r/4 "$work/seed_urls" "$work/part."
    t0=$(date +%s.%N)
    clients=()
    for p in "$work"/part.*; do python3 "$work/client.py" "$port" 1 "$p" >/dev/null & clients+=($!); done
    wait "${clients[@]}"
    t1=$(date +%s.%N)
    stop_gisd
    rm -f "$work"/part.*
    echo "round $r HTTP misses, 4 clients: $(wc -l <"$work/seed_urls") tiles in $(python3 -c "print(round($t1 - $t0, 1))") s, $(python3 -c "print(round($(wc -l <"$work/seed_urls") / ($t1 - $t0), 1))") tiles/s"
  done
fi

if want hits; then
  echo
  # The storm's tiles with content (empty ones are never cached).
  flush
  start_gisd
  : >"$work/hit_urls"
  while read -r url; do
    [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port$url")" = 200 ] && echo "$url" >>"$work/hit_urls"
  done <"$work/storm_urls"
  stop_gisd
  echo "== hits: wrk -t1 -c64, ${BENCH_SECONDS:-6} s per round, $(wc -l <"$work/hit_urls") cached tiles, $rounds alternating rounds"
  for r in $(seq "$rounds"); do
    # Which goes first alternates, so that neither gains from its place in the round.
    order="on off"; [ $((r % 2)) = 0 ] && order="off on"
    for mode in $order; do
      start_gisd --tile-coalescing "$mode"
      wrk -t1 -c64 -d2s -s bench/urls.lua "http://127.0.0.1:$port" -- "$work/hit_urls" >/dev/null
      wrk -t1 -c64 -d"${BENCH_SECONDS:-6}"s --latency -s bench/urls.lua "http://127.0.0.1:$port" -- "$work/hit_urls" >"$work/wrk.out"
      stop_gisd
      echo "round $r coalescing $mode: $(awk '/Requests\/sec/{print $2}' "$work/wrk.out") req/s, p99 $(awk '$1=="99%"{print $2}' "$work/wrk.out")"
    done
  done
fi
