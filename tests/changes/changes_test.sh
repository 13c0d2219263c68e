#!/usr/bin/env bash
# Edits in the database reach the cache: `gisd changes install` as a table
# owner that is not superuser, then a table of edits, each followed by a count
# of the cached keys that went and of those elsewhere that stayed; faults
# (gisd down, Redis down, two processes and the consumer killed); the race of a
# tile stored after its edit's purge; uninstall leaves the tables as they were.
#
# Needs the PostgreSQL of DATABASE_URL (a scratch database is made beside it,
# so the shared one is never edited) and starts a Redis of its own.
#
#   GISD_BIN=build/gisd tests/changes/changes_test.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
gisd_bin=$(realpath "${GISD_BIN:-build/gisd}")
: "${DATABASE_URL:?changes_test: set DATABASE_URL}"

base=${DATABASE_URL%/*}
db=gisd_changes_$$
db_url=$base/$db
owner_url=${base/postgres@/gisd_owner_$$@}/$db
editor_url=${base/postgres@/gisd_editor_$$@}/$db
reader_url=${base/postgres@/gisd_reader_$$@}/$db
state=$(mktemp -d /tmp/gisd-changes.XXXXXX)
rport=$(scripts/free-port.sh)
pids=()

cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  [ -f "$state/redis.pid" ] && kill "$(cat "$state/redis.pid")" 2>/dev/null
  psql "$DATABASE_URL" -X -q -c "DROP DATABASE IF EXISTS $db WITH (FORCE)" 2>/dev/null
  psql "$DATABASE_URL" -X -q -c "DROP ROLE IF EXISTS gisd_owner_$$" -c "DROP ROLE IF EXISTS gisd_editor_$$" \
    -c "DROP ROLE IF EXISTS gisd_reader_$$" 2>/dev/null
  [ -n "${KEEP_STATE:-}" ] || rm -rf "$state"
}
trap cleanup EXIT

passed=0
failed=0
check() {  # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what" >&2
  fi
}

q() { psql "$db_url" -X -q -A -t -v ON_ERROR_STOP=1 -c "$1"; }
rc() { redis-cli -p "$rport" "$@"; }
start_redis() {
  redis-server --port "$rport" --bind 127.0.0.1 --save '' --appendonly no --daemonize yes \
    --pidfile "$state/redis.pid" --logfile "$state/redis.log" --dir "$state"
  for _ in $(seq 50); do rc ping >/dev/null 2>&1 && return; sleep 0.1; done
}
stop_redis() {
  kill "$(cat "$state/redis.pid")"
  while rc ping >/dev/null 2>&1; do sleep 0.1; done
}

# gisd on a free port, following the changes with a two-second settle; its port in $port.
start_gisd() {  # NAME [ARGS...]
  local name=$1
  shift
  port=$(scripts/free-port.sh)
  DATABASE_URL=${GISD_DATABASE_URL:-$db_url} REDIS_HOST=127.0.0.1 REDIS_PORT=$rport REDIS_DB=0 \
    "$gisd_bin" --port "$port" --changes-settle 2 --changes-scan-threshold 1000 "$@" >"$state/$name.log" 2>&1 &
  pids+=($!)
  last_pid=$!
  disown
  eval "port_$name=$port pid_$name=$last_pid"
  for _ in $(seq 100); do curl -fs "http://127.0.0.1:$port/gis/health/" >/dev/null && return; sleep 0.1; done
  echo "gisd $name did not start" >&2
}

# The tile keys, zooms 8 to 20, of the tiles that hold a point (EPSG:3857).
keys_at() {  # LAYER X Y
  python3 - "$@" <<'PY'
import math, sys
layer, x, y = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
o = 20037508.342789244
for z in range(8, 21):
    n = 2 ** z
    print(f"{layer}:{z}:{math.floor((x + o) / (2 * o) * n)}:{math.floor((o - y) / (2 * o) * n)}")
PY
}
centre() { q "SELECT st_x(c) || ' ' || st_y(c) FROM (SELECT st_centroid(\"GEOMETRY_3857\") c FROM \"PLOT\" WHERE \"ID\" = $1) s"; }
# Requests each tile so that it is cached: made afresh, so that no worker
# holds a copy (a tile read lately is remade in place, not deleted).
warm() {
  for k in "$@"; do
    rc del "mvt_v8:$k" >/dev/null
    IFS=: read -r l z x y <<<"$k"
    curl -fs -o /dev/null "http://127.0.0.1:$port/gis/$l/$z/$x/$y.pbf"
  done
}
cached() { local n=0; for k in "$@"; do [ "$(rc exists "mvt_v8:$k")" = 1 ] && n=$((n + 1)); done; echo $n; }
# Waits up to a second for none of the keys to be cached.
gone_within() {  # SECONDS KEYS...
  local limit=$1
  shift
  local end=$(($(date +%s%N) + limit * 1000000000))
  while [ "$(date +%s%N)" -lt "$end" ]; do
    [ "$(cached "$@")" = 0 ] && return 0
    sleep 0.05
  done
  echo "  still cached: $(cached "$@") of $#" >&2
  return 1
}
# Waits up to a second for the tile to answer new bytes (other than
# $state/before.pbf); the first such answer must be a hit: remade, not deleted.
remade_within() {  # SECONDS URL
  local end=$(($(date +%s%N) + $1 * 1000000000))
  while [ "$(date +%s%N)" -lt "$end" ]; do
    curl -fs -D "$state/after.headers" -o "$state/after.pbf" "$2"
    if ! cmp -s "$state/before.pbf" "$state/after.pbf"; then
      grep -qi '^X-Cache: HIT' "$state/after.headers" && return 0
      echo "  new bytes, but not a hit" >&2
      return 1
    fi
    sleep 0.02
  done
  echo "  still the old bytes" >&2
  return 1
}
all_cached() { [ "$(cached "$@")" = "$#" ] || { echo "  cached: $(cached "$@") of $#" >&2; return 1; }; }

# --- the scratch database, its owner and an editor
psql "$DATABASE_URL" -X -q -v ON_ERROR_STOP=1 -c "CREATE DATABASE $db" \
  -c "CREATE ROLE gisd_owner_$$ LOGIN" -c "CREATE ROLE gisd_editor_$$ LOGIN" -c "CREATE ROLE gisd_reader_$$ LOGIN" || exit 1
q "CREATE EXTENSION postgis" && DATABASE_URL=$db_url scripts/load-cadastre.sh small >/dev/null || exit 1
for t in '"PLOT"' '"BEACON"' '"CadZones"' '"Districts"' '"LGAs"'; do q "ALTER TABLE $t OWNER TO gisd_owner_$$"; done
q "GRANT CREATE ON DATABASE $db TO gisd_owner_$$; GRANT SELECT, INSERT, UPDATE, DELETE ON \"PLOT\" TO gisd_editor_$$"
q "GRANT SELECT ON \"PLOT\", \"BEACON\", \"CadZones\", \"Districts\", \"LGAs\" TO gisd_reader_$$"
# pg_dump's \restrict lines carry a random key: left out of the comparison.
schema_dump() { pg_dump "$db_url" -s "$@" | grep -v -e '^--' -e '^\\restrict' -e '^\\unrestrict'; }
tables_dump() { schema_dump -t '"PLOT"' -t '"BEACON"' -t '"CadZones"' -t '"Districts"' -t '"LGAs"'; }
tables_dump >"$state/before.sql"

# --- install
check "status before install" bash -c "DATABASE_URL=$db_url '$gisd_bin' changes status | grep -q 'not installed'"
check "install as the tables' owner, not superuser" env DATABASE_URL="$owner_url" "$gisd_bin" changes install
schema_dump >"$state/once.sql"
check "install twice" env DATABASE_URL="$owner_url" "$gisd_bin" changes install
schema_dump >"$state/twice.sql"
check "the second install changes nothing" cmp -s "$state/once.sql" "$state/twice.sql"
check "install --print is the script" bash -c "'$gisd_bin' changes install --print | grep -q 'CREATE OR REPLACE FUNCTION gisd_changes.record'"
check "an editor without grants on the log is recorded" \
  psql "$editor_url" -X -q -v ON_ERROR_STOP=1 -c 'UPDATE "PLOT" SET "GEOMETRY_3857" = "GEOMETRY_3857", "STATUS" = "STATUS" WHERE "ID" = 7'
check "a 3000-row update writes a bounded log" test "$(q 'UPDATE "PLOT" SET "STATUS" = "STATUS"; SELECT count(*) <= 65 FROM gisd_changes.log')" = t
status_out=$(DATABASE_URL=$db_url "$gisd_bin" changes status)
check "status names the version and depth" bash -c "grep -q 'version 3' <<<'$status_out' && grep -q 'log depth: [1-9]' <<<'$status_out'"

log_empty() { for _ in $(seq 60); do [ "$(q 'SELECT count(*) FROM gisd_changes.log')" = 0 ] && return 0; sleep 0.1; done; return 1; }
start_redis
start_gisd a
check "the log is caught up at start and emptied after the second purge" log_empty

# --- a table of edits. Each: the plot whose tiles are watched, the edit, and
# whether its tiles go. The control plot 3000 lies elsewhere: its tiles at
# zooms 14 to 20 must stay.
read -r cx cy <<<"$(centre 3000)"
control=($(keys_at plots "$cx" "$cy" | awk -F: '$2 >= 14'))
edits=(
  "1|UPDATE \"PLOT\" SET \"GEOMETRY_3857\" = ST_Translate(\"GEOMETRY_3857\", 30, 0) WHERE \"ID\" = 1|gone"
  "2|INSERT INTO \"PLOT\" SELECT 100000, 'NEW-1', \"STATUS\", \"AREA_SYSTEM\", \"GENERAL_LU\", \"CADZONE\", \"DETAIL_LU\", NULL, \"GEOMETRY_3857\" FROM \"PLOT\" WHERE \"ID\" = 2|gone"
  "4|DELETE FROM \"PLOT\" WHERE \"ID\" = 4|gone"
  "5|UPDATE \"PLOT\" SET \"STATUS\" = 'Revoked' WHERE \"ID\" = 5|gone"
  "6|UPDATE \"PLOT\" SET \"STATUS\" = 'Merged' WHERE \"ID\" IN (6, 1500)|gone"
  "8|BEGIN; UPDATE \"PLOT\" SET \"STATUS\" = 'Void' WHERE \"ID\" = 8; ROLLBACK|stay"
  # The geometry moved 5 km by a BEFORE trigger, its column not named: the old place goes too.
  "11|CREATE FUNCTION public.away() RETURNS trigger LANGUAGE plpgsql AS \$\$ BEGIN NEW.\"GEOMETRY_3857\" := ST_Translate(NEW.\"GEOMETRY_3857\", 5000, 0); RETURN NEW; END \$\$; CREATE TRIGGER away BEFORE UPDATE ON \"PLOT\" FOR EACH ROW WHEN (NEW.\"STATUS\" = 'Away') EXECUTE FUNCTION public.away(); UPDATE \"PLOT\" SET \"STATUS\" = 'Away' WHERE \"ID\" = 11; DROP TRIGGER away ON \"PLOT\"; DROP FUNCTION public.away()|gone"
)
for edit in "${edits[@]}"; do
  IFS='|' read -r id sql expect <<<"$edit"
  read -r x y <<<"$(centre "$id")"
  watched=($(keys_at plots "$x" "$y"))
  # The earlier edits' second purges also reach the shared coarse tiles: let them pass.
  [ "$expect" = stay ] && log_empty
  warm "${watched[@]}" "${control[@]}"
  all_cached "${watched[@]}" "${control[@]}" || echo "  (warming plot $id)" >&2
  # Read twice: the second read comes from Redis and leaves the worker a copy.
  IFS=: read -r l z x y <<<"${watched[10]}"
  tile_url="http://127.0.0.1:$port/gis/$l/$z/$x/$y.pbf"
  curl -fs -o /dev/null "$tile_url"
  curl -fs -o "$state/before.pbf" "$tile_url"
  q "$sql" >/dev/null
  if [ "$expect" = gone ]; then
    # The tile the worker holds a copy of is remade in place, not deleted.
    check "edit of plot $id: its tiles at zooms 8-20 go within a second" gone_within 1 "${watched[@]:0:10}" "${watched[@]:11}"
    check "edit of plot $id: the worker's tile is remade in place (a hit with the new bytes)" remade_within 1 "$tile_url"
  else
    sleep 1
    check "edit of plot $id rolled back: its tiles stay" all_cached "${watched[@]}"
  fi
  check "edit of plot $id: tiles elsewhere stay" all_cached "${control[@]}"
done

# A tile that cannot be remade within its 2 s (its table locked) is deleted
# instead: the change is logged by hand while the lock is held.
read -r px py <<<"$(centre 18)"
k=$(keys_at plots "$px" "$py" | awk -F: '$2 == 18')
warm "$k"
IFS=: read -r l z tx ty <<<"$k"
curl -fs -o /dev/null "http://127.0.0.1:$port/gis/plots/18/$tx/$ty.pbf"  # a copy in the worker
psql "$db_url" -X -q -c 'BEGIN' -c 'LOCK TABLE "PLOT" IN ACCESS EXCLUSIVE MODE' -c 'SELECT pg_sleep(4)' -c 'COMMIT' >/dev/null &
locker=$!
sleep 0.3
q "INSERT INTO gisd_changes.log (layer, min_x, min_y, max_x, max_y) VALUES ('plots', $px, $py, $px, $py); SELECT pg_notify('gisd_changes', 'plots')" >/dev/null
check "a tile that cannot be remade in time is deleted" gone_within 3 "$k"
wait "$locker"

# Bounding-box tiles: one around plot 17 goes with its edit, one elsewhere
# stays; the purge reads them from their registry and scans no keyspace.
box_around() { awk -v x="$1" -v y="$2" 'BEGIN {printf "%d %d %d %d", x - 50, y - 50, x + 50, y + 50}'; }
bbox_url() { echo "http://127.0.0.1:$port/gis/plots/bbox/?srid=3857&minx=$1&miny=$2&maxx=$3&maxy=$4"; }
scans() { rc info commandstats | sed -n 's/^cmdstat_scan:calls=\([0-9]*\).*/\1/p' | grep . || echo 0; }
log_empty
near_box=($(box_around $(centre 17)))
far_box=($(box_around $(centre 3000)))
curl -fs -o /dev/null "$(bbox_url "${near_box[@]}")"
curl -fs -o /dev/null "$(bbox_url "${far_box[@]}")"
near_key=$(rc --scan --pattern "mvt_v8:bbox:plots:${near_box[0]}:*" | sed 's/^mvt_v8://')
far_key=$(rc --scan --pattern "mvt_v8:bbox:plots:${far_box[0]}:*" | sed 's/^mvt_v8://')
scans_before=$(scans)
q 'UPDATE "PLOT" SET "STATUS" = '"'Boxed'"' WHERE "ID" = 17' >/dev/null
check "a bounding-box tile meeting the edit goes" gone_within 1 "$near_key"
check "a bounding-box tile elsewhere stays" all_cached "$far_key"
check "the purge scans no keyspace for bounding-box tiles" test "$(scans)" = "$scans_before"

# Open browsers: the purged change as a Server-Sent Event, with CORS as other GETs.
curl -sN -i -H 'Origin: http://viewer.example' "http://127.0.0.1:$port/gis/changes" >"$state/events" &
sse=$!
pids+=($sse)
sleep 0.5
q 'UPDATE "PLOT" SET "STATUS" = '"'Announced'"' WHERE "ID" = 14' >/dev/null
for _ in $(seq 20); do grep -q '^data: .*"layer":"plots","bbox":\[' "$state/events" && break; sleep 0.1; done
kill "$sse" 2>/dev/null
check "the change reaches /gis/changes as an event" grep -q '^data: {"id":[0-9]*,"layer":"plots","bbox":\[7\.' "$state/events"
check "the event stream has CORS and its media type" \
  bash -c "grep -qi '^Access-Control-Allow-Origin: \*' '$state/events' && grep -qi '^Content-Type: text/event-stream' '$state/events'"

# An edit in a transaction that commits later: purged after the commit, not before.
read -r x y <<<"$(centre 9)"
watched=($(keys_at plots "$x" "$y"))
log_empty
warm "${watched[@]}"
mkfifo "$state/tx"
psql "$db_url" -X -q <"$state/tx" >/dev/null &
pids+=($!)
exec 7>"$state/tx"
echo 'BEGIN; UPDATE "PLOT" SET "STATUS" = '"'Late'"' WHERE "ID" = 9;' >&7
sleep 1.5
check "an uncommitted edit purges nothing" all_cached "${watched[@]}"
echo 'COMMIT;' >&7
exec 7>&-
check "the edit is purged after its commit" gone_within 1 "${watched[@]}"

# TRUNCATE: the whole layer goes, other layers stay.
warm "beacons:16:34128:31112" "${control[@]}"
q 'TRUNCATE "BEACON"'
check "TRUNCATE purges the whole layer" bash -c "for i in \$(seq 20); do [ -z \"\$(redis-cli -p $rport --scan --pattern 'mvt_v8:beacons:*')\" ] && exit 0; sleep 0.05; done; exit 1"
check "TRUNCATE leaves other layers" all_cached "${control[@]}"

# A large area: past the threshold at zoom 20 the layer's keys at that zoom are scanned.
read -r x y <<<"$(centre 1)"
lga_keys=($(keys_at lgas "$x" "$y" | awk -F: '$2 >= 18'))
log_empty
warm "${lga_keys[@]}"
rc set "mvt_v8:lgas:20:1:1" far-away ex 600 >/dev/null
q 'UPDATE "LGAs" SET name = name' >/dev/null
check "an area edit: its zoom 18-20 tiles go, scanned past the threshold" gone_within 1 "${lga_keys[@]}"
check "an area edit: a scanned tile outside its boxes stays" all_cached "lgas:20:1:1"

# --- the race: the centroid document, stored without a lock, made from a
# snapshot before an edit and stored after its purge.
curl -fs -o /dev/null "http://127.0.0.1:$port/gis/plots/"
k=centroid:plots
check "a write without a lock is registered" test -n "$(rc zscore lockless:mvt_v8 "$k")"
q 'UPDATE "PLOT" SET "GEOMETRY_3857" = ST_Translate("GEOMETRY_3857", 0, 20) WHERE "ID" = 10'
gone_within 1 "$k" >/dev/null
# The late generation's write, and an unrelated one stored meanwhile that the change does not address.
now_ms=$(($(date +%s%N) / 1000000))
rc set "mvt_v8:$k" "document-from-before-the-edit" ex 7200 >/dev/null
rc set "mvt_v8:lgas:9:1:1" "elsewhere" ex 7200 >/dev/null
rc zadd lockless:mvt_v8 "$now_ms" "$k" "$now_ms" "lgas:9:1:1" >/dev/null
check "a document stored without a lock from an older snapshot goes with the second purge" gone_within 5 "$k"
check "a write without a lock that the change does not address stays" all_cached "lgas:9:1:1"

# The race, held: gisd r reads as a role whose view of the plots pauses each
# statement for 2 s after its snapshot; an edit commits and is purged while
# r's generation of a tile sleeps, by the consumer or, for an edit the triggers
# do not see, by an operator's invalidation of the layer. That generation must
# not store its tile, and a request after the purge must not be answered from it.
q "CREATE FUNCTION public.gisd_test_pause() RETURNS boolean LANGUAGE plpgsql VOLATILE AS \$\$
   BEGIN
     IF current_setting('gisd_test.paused', true) IS DISTINCT FROM 'yes' THEN
       PERFORM set_config('gisd_test.paused', 'yes', true);
       PERFORM pg_sleep(2);
     END IF;
     RETURN true;
   END \$\$;
   ALTER TABLE \"PLOT\" ENABLE ROW LEVEL SECURITY;
   CREATE POLICY gisd_test_pause ON \"PLOT\" FOR SELECT TO gisd_reader_$$ USING (public.gisd_test_pause())" >/dev/null
held_port_a=$port
GISD_DATABASE_URL=$reader_url start_gisd r --follow-changes off
refused() { curl -fs "http://127.0.0.1:$port_r/metrics" | awk '$1 == "gisd_changes_stale_writes_refused_total" {print $2}'; }
for purge in "15|edit" "16|invalidation"; do
  IFS='|' read -r id how <<<"$purge"
  read -r x y <<<"$(centre "$id")"
  IFS=: read -r l z tx ty <<<"$(keys_at plots "$x" "$y" | awk -F: '$2 == 16')"
  k="plots:16:$tx:$ty"
  rc del "mvt_v8:$k" >/dev/null
  held_url="http://127.0.0.1:$port_r/gis/plots/16/$tx/$ty.pbf"
  refused_before=$(refused)
  curl -fs -o "$state/held.pbf" "$held_url" &
  held=$!
  for _ in $(seq 40); do [ "$(rc exists "lock:mvt_v8:$k")" = 1 ] && break; sleep 0.05; done
  move="UPDATE \"PLOT\" SET \"GEOMETRY_3857\" = ST_Translate(\"GEOMETRY_3857\", 40, 0) WHERE \"ID\" = $id"
  if [ "$how" = edit ]; then
    q "$move"
  else
    q "SET session_replication_role = replica; $move"  # no trigger fires
    curl -fs -X POST -o /dev/null "http://127.0.0.1:$held_port_a/gis/cache/invalidate/plots"
  fi
  stale_mark() { for _ in $(seq 20); do rc get "lock:mvt_v8:$k" | grep -q '^stale:' && return 0; sleep 0.05; done; return 1; }
  check "$how: the purge marks the generation in flight stale" stale_mark
  curl -fs -o "$state/later.pbf" "$held_url"
  wait "$held"
  check "$how: a request after the purge is not answered from the older generation" bash -c "! cmp -s '$state/held.pbf' '$state/later.pbf'"
  curl -fs -o "$state/cached.pbf" "http://127.0.0.1:$held_port_a/gis/plots/16/$tx/$ty.pbf"
  check "$how: the tile cached is the one made after the edit" cmp -s "$state/later.pbf" "$state/cached.pbf"
  check "$how: the older generation's write was refused" test "$(refused)" -gt "$refused_before"
done
kill -TERM "$pid_r"
q "DROP POLICY gisd_test_pause ON \"PLOT\"; ALTER TABLE \"PLOT\" DISABLE ROW LEVEL SECURITY; DROP FUNCTION public.gisd_test_pause()" >/dev/null
port=$held_port_a

# --- faults
# gisd stopped while edits commit, then started.
read -r x y <<<"$(centre 11)"
watched=($(keys_at plots "$x" "$y"))
log_empty
warm "${watched[@]}"
kill -TERM "$pid_a"; wait "$pid_a" 2>/dev/null
q 'UPDATE "PLOT" SET "STATUS" = '"'Offline'"' WHERE "ID" = 11'
sleep 0.5
check "with gisd stopped nothing is purged" all_cached "${watched[@]}"
start_gisd a
check "started again, gisd catches up" gone_within 3 "${watched[@]}"

# Redis stopped during an edit: the change waits for it.
read -r x y <<<"$(centre 12)"
watched=($(keys_at plots "$x" "$y"))
warm "${watched[@]}"
rc save >/dev/null  # the cached tiles come back with Redis
stop_redis
q 'UPDATE "PLOT" SET "STATUS" = '"'NoRedis'"' WHERE "ID" = 12'
sleep 1.5
check "the change stays in the log while Redis is down" test "$(q 'SELECT count(*) FROM gisd_changes.log WHERE purged_at IS NULL')" -ge 1
redis-server --port "$rport" --bind 127.0.0.1 --save '' --appendonly no --daemonize yes --pidfile "$state/redis.pid" \
  --logfile "$state/redis.log" --dir "$state" --dbfilename dump.rdb
for _ in $(seq 50); do rc ping >/dev/null 2>&1 && break; sleep 0.1; done
check "Redis back: the tiles cached before the edit go" gone_within 4 "${watched[@]}"

# Two processes: one consumer; SIGKILL it and the other goes on.
start_gisd b
sleep 1
consumers() { grep -l "this process purges edited tiles" "$state/a.log" "$state/b.log" 2>/dev/null | wc -l; }
check "two processes, one consumer" test "$(consumers)" = 1
victim=$pid_a
survivor=b
grep -q "this process purges" "$state/b.log" && { victim=$pid_b; survivor=a; }
# A bounding-box tile stored by a process that did not register it: the new
# consumer registers it when it takes over.
unregistered="bbox:plots:$(box_around $(centre 13) | tr ' ' ':'):5000:True"
rc set "mvt_v8:$unregistered" from-an-older-process ex 600 >/dev/null
kill -KILL "$victim"
eval "port=\$port_$survivor"
read -r x y <<<"$(centre 13)"
watched=($(keys_at plots "$x" "$y") "$unregistered")
warm "${watched[@]::${#watched[@]}-1}"
q 'UPDATE "PLOT" SET "STATUS" = '"'Takeover'"' WHERE "ID" = 13'
check "the consumer killed: the other takes over, no change missed" gone_within 5 "${watched[@]}"
check "the survivor says it consumes" grep -q "this process purges edited tiles" "$state/$survivor.log"

# --- uninstall
check "uninstall" env DATABASE_URL="$owner_url" "$gisd_bin" changes uninstall
tables_dump >"$state/after.sql"
check "uninstall leaves the tables as they were" cmp -s "$state/before.sql" "$state/after.sql"

echo "changes_test: $passed passed, $failed failed"
[ "$failed" = 0 ]
