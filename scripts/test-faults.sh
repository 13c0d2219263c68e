#!/usr/bin/env bash
# Fault tests: gisd (two workers) under a steady load (tests/faults/fault_load)
# while its services fail: Redis stopped and started again, Redis frozen
# (SIGSTOP) and resumed, every gisd backend terminated, PostgreSQL restarted,
# and 500 clients that never finish their request head. Each case asserts:
#   - no crash: the parent and its workers are the ones that started;
#   - no answer missing: every request of the load got a status;
#   - no 5xx outside the fault's window (from the fault to a few seconds
#     after the service is back);
#   - the pool heals: afterwards no gisd backend is busy or in a transaction,
#     there are no more than the pools allow, and a tile statement answers;
#   - hits resume: the last seconds of the load have cache hits.
# Then a short run of each fuzz target (FUZZ_SECONDS, default 15).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# Objects of another checkout of the same sources come from the compiler cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR=true

build_dir=${BUILD_DIR:-build}
workers=2
pool_size=4
started=$(date +%s)

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j2 --target gisd fault_load

state=$(mktemp -d /tmp/gis-faults.XXXXXX)
gisd_pid=
cleanup() {
  [ -n "$gisd_pid" ] && kill -TERM "$gisd_pid" 2>/dev/null && wait "$gisd_pid" 2>/dev/null
  [ -f "$state/redis.pid" ] && kill -CONT "$(cat "$state/redis.pid")" 2>/dev/null
  scripts/services.sh stop "$state" || true
  rm -rf "$state"
}
trap cleanup EXIT

pg_port=$(scripts/free-port.sh)
redis_port=$(scripts/free-port.sh)
eval "$(scripts/services.sh start "$state" "$pg_port" "$redis_port")"
scripts/load-cadastre.sh small >/dev/null
app=gisd-faults

gisd_port=$(scripts/free-port.sh)
DATABASE_URL="$DATABASE_URL?application_name=$app" "$build_dir/gisd" --workers $workers --db-pool-size $pool_size \
  --port "$gisd_port" >"$state/gisd.out" 2>"$state/gisd.err" &
gisd_pid=$!
for _ in $(seq 100); do
  [ "$(grep -c "listening" "$state/gisd.out")" -ge $workers ] && break
  sleep 0.1
done
children() { tr ' ' '\n' <"/proc/$gisd_pid/task/$gisd_pid/children" | grep . | sort | tr '\n' ' '; }
first_children=$(children)

now_ms() { date +%s%3N; }
sql() { psql -h 127.0.0.1 -p "$pg_port" -U postgres -d gis -tAc "$1"; }
status=0
fail() { echo "  FAIL: $*"; status=1; }

# The faults. Each runs while the load does and returns once the service is back.
redis_restart() { kill "$(cat "$state/redis.pid")"; sleep 3; scripts/services.sh start "$state" "$pg_port" "$redis_port" >/dev/null; }
redis_freeze() { kill -STOP "$(cat "$state/redis.pid")"; sleep 4; kill -CONT "$(cat "$state/redis.pid")"; }
terminate_backends() { sql "select count(pg_terminate_backend(pid)) from pg_stat_activity where application_name = '$app'" >/dev/null; }
postgres_restart() {
  runuser -u postgres -- /usr/lib/postgresql/15/bin/pg_ctl -D "$state/pg" -m fast -w -t 60 restart -l "$state/pg/server.log" >/dev/null
}
nothing() { :; }

# run_case NAME FAULT SECONDS_OF_LOAD GRACE_AFTER_S SLOW_CLIENTS
run_case() {
  local name=$1 fault=$2 seconds=$3 grace=$4 slow=$5 log="$state/$1.load"
  echo "fault: $name"
  (ulimit -n 4096; "$build_dir/fault_load" "$gisd_port" "$seconds" "$log" "$slow") &
  local load=$!
  sleep 3
  local from to
  from=$(now_ms)
  $fault
  to=$(( $(now_ms) + grace * 1000 ))
  [ "$fault" = nothing ] && to=$from && from=$(( from + 1 ))
  wait $load || fail "the load ended with an error"

  awk -v from="$from" -v to="$to" -v last="$(( $(tail -1 "$log" | cut -d' ' -f1) - 3000 ))" '
    { n++ }
    $2 == 0 { missing++ }
    $2 >= 500 && ($1 < from || $1 > to) { outside++ }
    $2 >= 500 { errors++ }
    $1 >= last && $3 == "HIT" { hits++ }
    END {
      printf "  %d requests, %d 5xx in the window, %d outside, %d without an answer, %d hits in the last 3 s\n", n, errors - outside, outside, missing, hits
      exit (n < 100 || missing > 0 || outside > 0 || hits == 0)
    }' "$log" || fail "the load saw missing answers, 5xx outside the window, or no hits at the end"

  # The pool heals: nothing busy or in a transaction, no more than the pools, statements answer.
  sleep 1
  local code
  code=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$gisd_port/gis/plots/18/3/3.pbf")
  [ "$code" = 204 ] || fail "a tile statement after the fault answered $code"
  local open busy
  open=$(sql "select count(*) from pg_stat_activity where application_name = '$app'")
  busy=$(sql "select count(*) from pg_stat_activity where application_name = '$app' and state <> 'idle'")
  echo "  afterwards: $open gisd backends, $busy not idle"
  [ "$open" -le $((workers * pool_size)) ] || fail "$open backends: more than $workers pools of $pool_size"
  [ "$busy" -eq 0 ] || fail "$busy backends still busy or in a transaction"
  kill -0 "$gisd_pid" 2>/dev/null || fail "gisd has ended"
  [ "$(children)" = "$first_children" ] || fail "a worker was replaced: $(grep -m1 'ended by' "$state/gisd.err")"
}

run_case redis-restart redis_restart 12 3 0
run_case redis-freeze redis_freeze 12 3 0
run_case terminate-backends terminate_backends 9 3 0
run_case postgres-restart postgres_restart 14 4 0
run_case slow-clients nothing 14 0 500

echo "fault tests: $(( $(date +%s) - started )) s"
# From the repository's corpus alone: a corpus grown by earlier runs takes
# longer to replay than the run lasts.
FUZZ_SECONDS=${FUZZ_SECONDS:-15} FUZZ_WORK="$state/fuzz" scripts/fuzz.sh || status=1
echo "make test-faults: $(( $(date +%s) - started )) s in all"
exit $status
