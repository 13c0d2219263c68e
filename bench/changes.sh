#!/usr/bin/env bash
# Following edits made in the database (gisd changes install). On a private
# PostGIS and Redis with PLOTS plots (default 100,000), prints:
#   1. the cost to writers: a 100,000-row UPDATE and COPY with the triggers
#      against without, same run, median of ROUNDS alternating rounds;
#   2. precision: keys purged by one plot edit against the keys a whole-layer
#      invalidation drops, after seeding the plots at zooms 14-17;
#   3. edit to fresh tile: EDITS single-plot attribute edits, each timed from
#      its COMMIT until the zoom-16 tile answers with new bytes (median, p99);
#   4. the same under load: LOADED_EDITS edits (default EDITS; 0 skips) while
#      wrk asks for the seeded tiles and, for MISS_SHARE percent (10) of its
#      requests, tiles never asked for before; LOAD_RATE requests/s (8000;
#      0: as fast as it can); hit share from /metrics;
#   5. precision as a hit ratio (TRACE=0 skips): a viewer's trace of tiles at
#      zooms 12-17 around a plot, replayed after one edit of that plot and
#      after a whole-layer invalidation;
#   6. hit throughput under steady edits: wrk on the tiles seeded at zooms
#      STEADY_ZOOMS (14-17) for STEADY_SECONDS (8), without edits and with
#      EDIT_RATE (50) single-plot edits a second, HOT_SHARE percent (10) of
#      them on plots of the seeded box, the others outside its zoom-14 tiles,
#      alternating for STEADY_ROUNDS (default ROUNDS; 0 skips); gisd runs with
#      --changes-settle STEADY_SETTLE (2) here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
gisd=$(realpath "${GISD_BIN:-build/gisd}")
plots=${PLOTS:-100000}
rounds=${ROUNDS:-3}
edits=${EDITS:-200}
loaded_edits=${LOADED_EDITS:-$edits}
miss_share=${MISS_SHARE:-10}
load_rate=${LOAD_RATE:-8000}
trace=${TRACE:-1}
steady_rounds=${STEADY_ROUNDS:-$rounds}
steady_seconds=${STEADY_SECONDS:-8}
edit_rate=${EDIT_RATE:-50}
hot_share=${HOT_SHARE:-10}
steady_settle=${STEADY_SETTLE:-2}
steady_zooms=${STEADY_ZOOMS:-14-17}
state=$root/.bench-state/changes
mkdir -p "$state"
pg_port=$(scripts/free-port.sh)
redis_port=$(scripts/free-port.sh)
eval "$(scripts/services.sh start "$state/services" "$pg_port" "$redis_port")"
gisd_pid='' wrk_pid='' feeder_pid=''
cleanup() {
  for pid in $feeder_pid $wrk_pid $gisd_pid; do kill "$pid" 2>/dev/null || true; done
  scripts/services.sh stop "$state/services" >/dev/null || true
}
trap cleanup EXIT
scripts/load-cadastre.sh "$plots" >/dev/null
q() { psql -X -q -A -t -v ON_ERROR_STOP=1 -c "$1"; }
ms() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# --- 1. writers
q "COPY (SELECT \"ID\" + 10000000, \"PLOT_NO\", \"STATUS\", \"AREA_SYSTEM\", \"GENERAL_LU\", \"CADZONE\", \"DETAIL_LU\", file_no, \"GEOMETRY_3857\" FROM \"PLOT\" ORDER BY \"ID\" LIMIT 100000) TO '$state/rows.copy'" 2>/dev/null ||
  psql -X -q -c "\\copy (SELECT \"ID\" + 10000000, \"PLOT_NO\", \"STATUS\", \"AREA_SYSTEM\", \"GENERAL_LU\", \"CADZONE\", \"DETAIL_LU\", file_no, \"GEOMETRY_3857\" FROM \"PLOT\" ORDER BY \"ID\" LIMIT 100000) TO '$state/rows.copy'"
update_ms() { local t=$(date +%s%N); q 'UPDATE "PLOT" SET "STATUS" = "STATUS" WHERE "ID" <= 100000' >/dev/null; ms "$t"; }
copy_ms() { local t=$(date +%s%N); psql -X -q -v ON_ERROR_STOP=1 -c 'BEGIN' -c "\\copy \"PLOT\" FROM '$state/rows.copy'" -c 'ROLLBACK' >/dev/null; ms "$t"; }
# Rounds alternate which goes first, with a VACUUM before each timed
# statement: each UPDATE leaves 100,000 dead rows, which would otherwise slow
# whichever ran later.
vacuumed() { q 'VACUUM "PLOT"' >/dev/null; "$@"; }
update_ms >/dev/null; copy_ms >/dev/null  # warm
: >"$state/writers"
for r in $(seq "$rounds"); do
  order="without with"; [ $((r % 2)) = 0 ] && order="with without"
  for kind in $order; do
    if [ "$kind" = with ]; then "$gisd" changes install >/dev/null; else "$gisd" changes uninstall >/dev/null; fi
    echo "$kind $(vacuumed update_ms) $(vacuumed copy_ms)" >>"$state/writers"
    if [ "$kind" = with ]; then log_rows=$(q 'SELECT count(*) FROM gisd_changes.log'); fi
  done
done
"$gisd" changes install >/dev/null
q 'DELETE FROM gisd_changes.log' >/dev/null
took() { awk -v k="$1" -v c="$2" '$1 == k {print $c}' "$state/writers" | median; }
u0=$(took without 2) u1=$(took with 2) c0=$(took without 3) c1=$(took with 3)
echo "writers: 100,000-row UPDATE $u0 ms without triggers, $u1 ms with ($(awk "BEGIN {printf \"%.2f\", $u1 / $u0}")x);" \
  "COPY $c0 ms without, $c1 ms with ($(awk "BEGIN {printf \"%.2f\", $c1 / $c0}")x); median of $rounds alternating rounds;" \
  "log rows written by one such UPDATE: $log_rows"

# --- 2. precision
metric() { curl -fs "http://127.0.0.1:$port/metrics" | awk -v m="$1" '$1 == m {print $2}'; }
# Plots tiles served since the start: hits (the worker's copy or Redis) and misses.
tile_counts() {
  curl -fs "http://127.0.0.1:$port/metrics" |
    awk '$1 ~ /^gisd_tile_requests_total\{layer="plots",/ {if ($1 ~ /"miss"/) m += $2; else h += $2} END {print h + 0, m + 0}'
}
start_gisd() {  # extra flags...
  port=$(scripts/free-port.sh)
  "$gisd" --port "$port" --workers 1 "$@" >>"$state/gisd.log" 2>&1 &
  gisd_pid=$!
  for _ in $(seq 100); do curl -fs "http://127.0.0.1:$port/gis/health/" >/dev/null && break; sleep 0.1; done
  for _ in $(seq 100); do [ "$(metric gisd_changes_consumer)" = 1 ] && break; sleep 0.1; done
}
stop_gisd() { kill "$gisd_pid"; wait "$gisd_pid" 2>/dev/null || true; gisd_pid=; }
wait_purged() { for _ in $(seq 100); do [ "$(q 'SELECT count(*) FROM gisd_changes.log WHERE purged_at IS NULL')" = 0 ] && break; sleep 0.05; done; }
# Until every change has had its second purge too and left the log.
wait_settled() { for _ in $(seq 600); do [ "$(q 'SELECT count(*) FROM gisd_changes.log')" = 0 ] && break; sleep 0.1; done; }
: >"$state/gisd.log"
start_gisd
read -r w s e n <<<"$(q "SELECT ST_XMin(b) || ' ' || ST_YMin(b) || ' ' || ST_XMax(b) || ' ' || ST_YMax(b) FROM (SELECT ST_Transform(ST_SetSRID(ST_Extent(\"GEOMETRY_3857\"), 3857), 4326) b FROM \"PLOT\" WHERE \"ID\" <= 3000) x")"
seed() { "$gisd" seed --layer plots --zoom "${1:-14-17}" --bbox "$w,$s,$e,$n" --concurrency 4 >/dev/null; }
# The seeded tiles, as URLs (the keys are mvt_v8:plots:z:x:y).
seeded_urls() { redis-cli -p "$redis_port" --scan --pattern 'mvt_v8:plots:*' | awk -F: '{print "/gis/plots/" $3 "/" $4 "/" $5 ".pbf"}'; }
seed
layer_keys=$(redis-cli -p "$redis_port" --scan --pattern 'mvt_v8:plots:*' | wc -l)
p0=$(metric gisd_changes_keys_purged_total)
q 'UPDATE "PLOT" SET "STATUS" = '"'Bench'"' WHERE "ID" = 1500' >/dev/null
wait_purged
p1=$(metric gisd_changes_keys_purged_total)
echo "precision: one plot edit purged $((p1 - p0)) keys; whole-layer invalidation drops $layer_keys plots keys" \
  "($(awk "BEGIN {printf \"%.4f\", ($p1 - $p0) / $layer_keys}") of them)"

# --- 3. edit to fresh tile
# Edits $1 plots one at a time, their new plot numbers beginning with $2; prints,
# one a line, the ms from each edit's COMMIT until its zoom-16 tile answers with
# new bytes.
edit_to_fresh() {
  local i id z x y url t
  for i in $(seq "$1"); do
    id=$(( (i * 7919) % 3000 + 1 ))
    read -r z x y <<<"$(q "SELECT 16, floor((ST_X(c) + 20037508.342789244) / (40075016.685578488 / 65536))::int, floor((20037508.342789244 - ST_Y(c)) / (40075016.685578488 / 65536))::int FROM (SELECT ST_Centroid(\"GEOMETRY_3857\") c FROM \"PLOT\" WHERE \"ID\" = $id) s" | tr '|' ' ')"
    url="http://127.0.0.1:$port/gis/plots/$z/$x/$y.pbf"
    curl -fs -o "$state/old.pbf" "$url"
    curl -fs -o "$state/old.pbf" "$url"  # a hit now
    q "UPDATE \"PLOT\" SET \"PLOT_NO\" = '$2$i-' || \"ID\" WHERE \"ID\" = $id" >/dev/null
    t=$(date +%s%N)
    while :; do
      curl -fs -o "$state/new.pbf" "$url"
      cmp -s "$state/old.pbf" "$state/new.pbf" || break
      [ $(( ($(date +%s%N) - t) / 1000000 )) -gt 10000 ] && break
      sleep 0.005
    done
    ms "$t"
  done
}
percentiles() { sort -n | awk '{a[NR]=$1} END {printf "median %d ms, p99 %d ms", a[int((NR+1)/2)], a[int(NR*0.99+0.5)]}'; }
# The consumer's own account of the purges logged past byte $1 of gisd's log:
# batches, and the time from the edit's statement to its purge.
purge_lags() {
  tail -c +"$(($1 + 1))" "$state/gisd.log" |
    sed -n 's/.*Changes [0-9]*\.\.[0-9]*: [0-9]* keys purged, \([0-9.]*\) s after the edit.*/\1/p' |
    awk '{printf "%d\n", $1 * 1000}' >"$state/lags"
  echo "$(wc -l <"$state/lags") purge batches in gisd's log, $(percentiles <"$state/lags") after the edit"
}
offset=$(stat -c %s "$state/gisd.log")
edit_to_fresh "$edits" E >"$state/fresh.ms"
echo "edit to fresh tile: $edits edits, $(percentiles <"$state/fresh.ms")"
echo "  consumer: $(purge_lags "$offset")"

ratio() { awk "BEGIN {printf \"%.3f\", $1 / $2}"; }

# --- 4. edit to fresh tile under load
if [ "$loaded_edits" -gt 0 ]; then
  seed  # the tiles section 3's edits purged
  seeded_urls >"$state/hit_urls"
  # Tiles nobody asked for yet: those at zooms 17-20 holding a plot's centroid,
  # in a scrambled order, each asked for once.
  q "SELECT '/gis/plots/' || z || '/' || x || '/' || y || '.pbf' FROM (SELECT DISTINCT z,
       floor((ST_X(c) + 20037508.342789244) / (40075016.685578488 / 2 ^ z))::int x,
       floor((20037508.342789244 - ST_Y(c)) / (40075016.685578488 / 2 ^ z))::int y
     FROM (SELECT ST_Centroid(\"GEOMETRY_3857\") c FROM \"PLOT\") p, generate_series(17, 20) z) t
     ORDER BY md5(z || '/' || x || '/' || y)" | grep -vxFf "$state/hit_urls" >"$state/miss_urls"
  cat >"$state/load.lua" <<LUA
local hits, misses = {}, {}
for line in io.lines("$state/hit_urls") do hits[#hits + 1] = line end
for line in io.lines("$state/miss_urls") do misses[#misses + 1] = line end
local k, h, m = 0, 0, 0
request = function()
  k = k + 1
  -- $miss_share of every 100 requests, evenly spread, ask for a tile not asked for before.
  if math.floor(k * $miss_share / 100) > math.floor((k - 1) * $miss_share / 100) then
    m = m % #misses + 1
    return wrk.format("GET", misses[m])
  end
  h = h % #hits + 1
  return wrk.format("GET", hits[h])
end
LUA
  if [ "$load_rate" -gt 0 ]; then
    # Each of the 64 connections waits after each answer, for about LOAD_RATE requests/s.
    echo "delay = function() return $((64 * 1000 / load_rate)) end" >>"$state/load.lua"
  fi
  c0=$(tile_counts)
  wrk -t1 -c64 -d3600s -s "$state/load.lua" "http://127.0.0.1:$port" >"$state/wrk-load.out" 2>&1 &
  wrk_pid=$!
  sleep 2
  offset=$(stat -c %s "$state/gisd.log")
  edit_to_fresh "$loaded_edits" L >"$state/loaded.ms"
  kill -INT "$wrk_pid"
  wait "$wrk_pid" || true
  wrk_pid=
  c1=$(tile_counts)
  read -r h0 m0 <<<"$c0"
  read -r h1 m1 <<<"$c1"
  requests=$(awk '/requests in/ {print $1}' "$state/wrk-load.out")
  echo "edit to fresh tile under load: $loaded_edits edits, $(percentiles <"$state/loaded.ms");" \
    "wrk $(awk '/Requests\/sec/ {printf "%.0f", $2}' "$state/wrk-load.out") requests/s, hit share $(ratio $((h1 - h0)) $((h1 - h0 + m1 - m0)))" \
    "($((m1 - m0)) misses; $((requests * miss_share / 100)) of $(wc -l <"$state/miss_urls") uncached tiles asked for)"
  echo "  consumer: $(purge_lags "$offset")"
fi

# --- 5. precision as a hit ratio
if [ "$trace" != 0 ]; then
  wait_settled  # a second purge of an earlier edit would count against the trace
  read -r lon lat <<<"$(q "SELECT ST_X(c) || ' ' || ST_Y(c) FROM (SELECT ST_Transform(ST_Centroid(\"GEOMETRY_3857\"), 4326) c FROM \"PLOT\" WHERE \"ID\" = 1000) s")"
  python3 - "$lon" "$lat" >"$state/trace_all" <<'PY'
import math, sys
lon, lat = float(sys.argv[1]), float(sys.argv[2])
# A 1280 x 1024 screen of 256-pixel tiles, opened at zoom 12 over the plot and
# zoomed in a step at a time to 17, then panned a screen west and east at 15-17.
seen = set()
for z, shift in [(z, 0) for z in range(12, 18)] + [(z, s) for z in range(15, 18) for s in (-5, 5)]:
    n = 2 ** z
    x = int((lon + 180) / 360 * n)
    y = int((1 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2 * n)
    for dy in range(-2, 2):
        for dx in range(-2, 3):
            url = f"/gis/plots/{z}/{x + shift + dx}/{y + dy}.pbf"
            if url not in seen:
                seen.add(url)
                print(url)
PY
  # Replays a list of URLs on one connection; prints the hits (X-Cache) and the
  # count, and writes the URLs answered with content to $3 if given.
  cat >"$state/replay.py" <<'PY'
import http.client, sys
port, urls = int(sys.argv[1]), [l.strip() for l in open(sys.argv[2]) if l.strip()]
c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
hits, kept = 0, []
for u in urls:
    c.request("GET", u)
    r = c.getresponse()
    r.read()
    hits += r.getheader("X-Cache") == "HIT"
    if r.status == 200:
        kept.append(u)
print(hits, len(urls))
if len(sys.argv) > 3:
    open(sys.argv[3], "w").write("".join(u + "\n" for u in kept))
PY
  replay() { python3 "$state/replay.py" "$port" "$@"; }
  # Empty tiles (204) are never cached: the trace keeps the tiles with content.
  replay "$state/trace_all" "$state/trace" >/dev/null
  read -r before total <<<"$(replay "$state/trace")"
  q "UPDATE \"PLOT\" SET \"PLOT_NO\" = 'T-' || \"ID\" WHERE \"ID\" = 1000" >/dev/null
  wait_purged
  read -r after_edit _ <<<"$(replay "$state/trace")"
  curl -fs -X POST "http://127.0.0.1:$port/gis/cache/invalidate/plots" >/dev/null
  read -r after_all _ <<<"$(replay "$state/trace")"
  echo "trace: $total tiles with content at zooms 12-17 ($(wc -l <"$state/trace_all") asked for), hit ratio $(ratio "$before" "$total") warm;" \
    "after one plot edit $(ratio "$after_edit" "$total") ($((total - after_edit)) misses), after a whole-layer invalidation $(ratio "$after_all" "$total")"
fi

# --- 6. hit throughput under steady edits
if [ "$steady_rounds" -gt 0 ]; then
  # A change's second purge (of what was stored without a lock) comes
  # --changes-settle seconds after the first; in a steady stream of edits both
  # run all the time, and a short settle brings the second into the round, as then.
  stop_gisd
  redis-cli -p "$redis_port" flushdb >/dev/null  # the hits are the seeded tiles alone
  start_gisd --changes-settle "$steady_settle"
  seed "$steady_zooms"
  seeded_urls >"$state/hit_urls"
  # Edited plots: HOT_SHARE percent inside the seeded box (their tiles at the
  # seeded zooms are among the hits), the others outside the box's zoom-14
  # tiles (none of theirs from zoom 14 up is).
  q 'SELECT "ID" FROM "PLOT" WHERE "ID" <= 3000' >"$state/hot_ids"
  read -r ex0 ey0 ex1 ey1 <<<"$(python3 - "$w" "$s" "$e" "$n" <<'PY'
import math, sys
w, s, e, n = map(float, sys.argv[1:])
r, k = 20037508.342789244, 2 ** 14
col = lambda lon: int((lon + 180) / 360 * k)
row = lambda lat: int((1 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2 * k)
d = 2 * r / k
print(-r + col(w) * d, r - (row(s) + 1) * d, -r + (col(e) + 1) * d, r - row(n) * d)
PY
)"
  q "SELECT \"ID\" FROM \"PLOT\" WHERE NOT \"GEOMETRY_3857\" && ST_MakeEnvelope($ex0, $ey0, $ex1, $ey1, 3857)" >"$state/cold_ids"
  # One psql session, fed one single-plot UPDATE (autocommit) every 1/rate s until SIGTERM.
  cat >"$state/feeder.py" <<'PY'
import random, signal, subprocess, sys, time
rate, hot_share, tag = float(sys.argv[1]), float(sys.argv[2]) / 100, sys.argv[5]
hot, cold = ([l.strip() for l in open(f) if l.strip()] for f in sys.argv[3:5])
stop = False
def on_term(*_):
    global stop
    stop = True
signal.signal(signal.SIGTERM, on_term)
pick = random.Random(tag)
psql = subprocess.Popen(["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
start, i = time.monotonic(), 0
while not stop:
    wait = start + i / rate - time.monotonic()
    if wait > 0:
        time.sleep(wait)
    plot = pick.choice(hot) if not cold or pick.random() < hot_share else pick.choice(cold)
    psql.stdin.write(f"UPDATE \"PLOT\" SET \"PLOT_NO\" = '{tag}{i}-' || \"ID\" WHERE \"ID\" = {plot};\n")
    psql.stdin.flush()
    i += 1
psql.stdin.close()
psql.wait()
PY
  edits_so_far() { q 'SELECT last_value FROM gisd_changes.log_id_seq'; }
  : >"$state/steady"
  for r in $(seq "$steady_rounds"); do
    # Which goes first alternates, so that neither gains from its place in the round.
    order="quiet edits"; [ $((r % 2)) = 0 ] && order="edits quiet"
    for mode in $order; do
      if [ "$mode" = edits ]; then
        python3 "$state/feeder.py" "$edit_rate" "$hot_share" "$state/hot_ids" "$state/cold_ids" "S$r-" &
        feeder_pid=$!
      else
        wait_settled  # no purges of the other round's edits
      fi
      wrk -t1 -c64 -d2s -s bench/urls.lua "http://127.0.0.1:$port" -- "$state/hit_urls" >/dev/null
      read -r h0 m0 <<<"$(tile_counts)"
      e0=$(edits_so_far)
      t0=$(date +%s%N)
      wrk -t1 -c64 -d"${steady_seconds}s" -s bench/urls.lua "http://127.0.0.1:$port" -- "$state/hit_urls" >"$state/wrk.out"
      t1=$(date +%s%N)
      e1=$(edits_so_far)
      read -r h1 m1 <<<"$(tile_counts)"
      if [ "$mode" = edits ]; then
        kill "$feeder_pid"
        wait "$feeder_pid" || true
        feeder_pid=
      fi
      echo "$mode $(awk '/Requests\/sec/ {printf "%.0f", $2}' "$state/wrk.out") $(ratio $((h1 - h0)) $((h1 - h0 + m1 - m0)))" \
        "$(awk "BEGIN {printf \"%.1f\", ($e1 - $e0) / (($t1 - $t0) / 1e9)}")" >>"$state/steady"
    done
  done
  col() { awk -v m="$1" -v c="$2" '$1 == m {print $c}' "$state/steady"; }
  q_rps=$(col quiet 2 | median)
  e_rps=$(col edits 2 | median)
  echo "hits under steady edits, by round: without edits $(col quiet 2 | paste -sd/) requests/s, with edits $(col edits 2 | paste -sd/)" \
    "(edits committed per s $(col edits 4 | paste -sd/), $hot_share % of them in the seeded box; hit share $(col edits 3 | paste -sd/))"
  echo "hits under steady edits: median $q_rps requests/s without edits (hit share $(col quiet 3 | median))," \
    "$e_rps with $edit_rate edits/s (hit share $(col edits 3 | median)); ratio $(ratio "$e_rps" "$q_rps")"
fi
