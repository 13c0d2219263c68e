#!/usr/bin/env bash
# Following edits made in the database (gisd changes install). On a private
# PostGIS and Redis with PLOTS plots (default 100,000), prints:
#   1. the cost to writers: a 100,000-row UPDATE and COPY with the triggers
#      against without, same run, median of ROUNDS;
#   2. precision: keys purged by one plot edit against the keys a whole-layer
#      invalidation drops, after seeding the plots at zooms 14-17;
#   3. edit to fresh tile: EDITS single-plot attribute edits, each timed from
#      its COMMIT until the zoom-16 tile answers with new bytes (median, p99).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
gisd=$(realpath "${GISD_BIN:-build/gisd}")
plots=${PLOTS:-100000}
rounds=${ROUNDS:-3}
edits=${EDITS:-200}
state=$root/.bench-state/changes
mkdir -p "$state"
pg_port=$(scripts/free-port.sh)
redis_port=$(scripts/free-port.sh)
eval "$(scripts/services.sh start "$state/services" "$pg_port" "$redis_port")"
gisd_pid=
cleanup() {
  [ -n "$gisd_pid" ] && kill "$gisd_pid" 2>/dev/null
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
declare -A took
for kind in without with; do
  if [ "$kind" = with ]; then "$gisd" changes install >/dev/null; fi
  update_ms >/dev/null; copy_ms >/dev/null  # warm
  took[$kind-update]=$(for _ in $(seq "$rounds"); do update_ms; done | median)
  took[$kind-copy]=$(for _ in $(seq "$rounds"); do copy_ms; done | median)
  log_rows=$(q 'SELECT count(*) FROM gisd_changes.log' 2>/dev/null || echo 0)
  q 'DELETE FROM gisd_changes.log' >/dev/null 2>&1 || true
done
echo "writers: 100,000-row UPDATE ${took[without-update]} ms without triggers, ${took[with-update]} ms with" \
  "($(awk "BEGIN {printf \"%.2f\", ${took[with-update]} / ${took[without-update]}}")x);" \
  "COPY ${took[without-copy]} ms without, ${took[with-copy]} ms with" \
  "($(awk "BEGIN {printf \"%.2f\", ${took[with-copy]} / ${took[without-copy]}}")x); log rows after the last round: $log_rows"

# --- 2. precision
port=$(scripts/free-port.sh)
"$gisd" --port "$port" --workers 1 >"$state/gisd.log" 2>&1 &
gisd_pid=$!
for _ in $(seq 100); do curl -fs "http://127.0.0.1:$port/gis/health/" >/dev/null && break; sleep 0.1; done
for _ in $(seq 100); do [ "$(q "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'")" != 0 ] && break; sleep 0.1; done
read -r w s e n <<<"$(q "SELECT ST_XMin(b) || ' ' || ST_YMin(b) || ' ' || ST_XMax(b) || ' ' || ST_YMax(b) FROM (SELECT ST_Transform(ST_SetSRID(ST_Extent(\"GEOMETRY_3857\"), 3857), 4326) b FROM \"PLOT\" WHERE \"ID\" <= 3000) x")"
"$gisd" seed --layer plots --zoom 14-17 --bbox "$w,$s,$e,$n" --concurrency 4 >/dev/null
layer_keys=$(redis-cli -p "$redis_port" --scan --pattern 'mvt_v8:plots:*' | wc -l)
purged() { curl -fs "http://127.0.0.1:$port/metrics" | awk '$1 == "gisd_changes_keys_purged_total" {print $2}'; }
p0=$(purged)
q 'UPDATE "PLOT" SET "STATUS" = '"'Bench'"' WHERE "ID" = 1500' >/dev/null
for _ in $(seq 100); do [ "$(q 'SELECT count(*) FROM gisd_changes.log WHERE purged_at IS NULL')" = 0 ] && break; sleep 0.05; done
p1=$(purged)
echo "precision: one plot edit purged $((p1 - p0)) keys; whole-layer invalidation drops $layer_keys plots keys" \
  "($(awk "BEGIN {printf \"%.4f\", ($p1 - $p0) / $layer_keys}") of them)"

# --- 3. edit to fresh tile
times=()
for i in $(seq "$edits"); do
  id=$(( (i * 7919) % 3000 + 1 ))
  read -r z x y <<<"$(q "SELECT 16, floor((ST_X(c) + 20037508.342789244) / (40075016.685578488 / 65536))::int, floor((20037508.342789244 - ST_Y(c)) / (40075016.685578488 / 65536))::int FROM (SELECT ST_Centroid(\"GEOMETRY_3857\") c FROM \"PLOT\" WHERE \"ID\" = $id) s" | tr '|' ' ')"
  url="http://127.0.0.1:$port/gis/plots/$z/$x/$y.pbf"
  curl -fs -o "$state/old.pbf" "$url"
  curl -fs -o "$state/old.pbf" "$url"  # a hit now
  q "UPDATE \"PLOT\" SET \"PLOT_NO\" = 'E$i-' || \"ID\" WHERE \"ID\" = $id" >/dev/null
  t=$(date +%s%N)
  while :; do
    curl -fs -o "$state/new.pbf" "$url"
    cmp -s "$state/old.pbf" "$state/new.pbf" || break
    [ $(( ($(date +%s%N) - t) / 1000000 )) -gt 10000 ] && break
    sleep 0.005
  done
  times+=($(ms "$t"))
done
printf '%s\n' "${times[@]}" | sort -n | awk -v n="$edits" '{a[NR]=$1} END {printf "edit to fresh tile: %d edits, median %d ms, p99 %d ms\n", n, a[int((NR+1)/2)], a[int(NR*0.99+0.5)]}'
