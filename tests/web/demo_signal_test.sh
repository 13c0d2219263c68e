#!/usr/bin/env bash
# Ctrl-C in the demo: scripts/demo.sh runs in its own process group on free
# ports with a fresh state folder and the small cadastre; once gisd answers, the
# whole group gets SIGINT, as from a terminal. The script must end with status 0
# and leave no gisd, PostgreSQL or Redis of its own behind.
#
#   GISD_BIN=build/gisd tests/web/demo_signal_test.sh      (as root: the services need it)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
gisd_bin=$(realpath "${GISD_BIN:-build/gisd}")
[ -x "$gisd_bin" ] || { echo "demo_signal_test: no gisd at $gisd_bin (set GISD_BIN)" >&2; exit 2; }

state=$(mktemp -d /tmp/gisd-demo-signal.XXXXXX)
log=$state.log
pg_port=$(scripts/free-port.sh)
redis_port=$(scripts/free-port.sh)
port=$(scripts/free-port.sh)
while [ "$redis_port" = "$pg_port" ]; do redis_port=$(scripts/free-port.sh); done
while [ "$port" = "$pg_port" ] || [ "$port" = "$redis_port" ]; do port=$(scripts/free-port.sh); done

demo=
# Leftovers of this run only, found by what is unique to it: the state folder and the ports.
leftovers() {
  pgrep -f -- "-D $state/pg" || true
  pgrep -f -- "redis-server .*:$redis_port" || true
  pgrep -f -- "$gisd_bin .*--port $port" || true
}
cleanup() {
  if [ -n "$demo" ] && kill -0 "$demo" 2>/dev/null; then
    kill -TERM -- "-$demo" 2>/dev/null
    sleep 2
  fi
  scripts/services.sh stop "$state" >/dev/null 2>&1
  for pid in $(leftovers); do kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$state" "$log"
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

# The script runs in a process group of its own, whose id is its pid. A job put in
# the background inherits SIGINT ignored, and bash cannot trap a signal ignored at its
# start: the launcher gives it SIGINT back, as a terminal's foreground job has it.
STATE_DIR=$state CADASTRE_SIZE=small DEMO_PG_PORT=$pg_port DEMO_REDIS_PORT=$redis_port PORT=$port \
  GISD_BIN=$gisd_bin python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
try:
    os.setsid()
except OSError:
    pass  # already the leader of a group of its own
os.execvp(sys.argv[1], sys.argv[1:])' bash scripts/demo.sh >"$log" 2>&1 </dev/null &
demo=$!

up=0
for _ in $(seq 600); do
  if curl -fsS -o /dev/null "http://127.0.0.1:$port/gis/health/" 2>/dev/null; then up=1; break; fi
  kill -0 "$demo" 2>/dev/null || break
  sleep 0.2
done
check "gisd answers /gis/health/ on port $port" [ "$up" = 1 ]
# The address is printed once gisd answers; give the script a moment to get there.
for _ in $(seq 50); do grep -q "http://127.0.0.1:$port/" "$log" && break; sleep 0.1; done
check "the demo prints the viewer's address" grep -q "http://127.0.0.1:$port/" "$log"

kill -INT -- "-$demo"
status=timeout
for _ in $(seq 300); do
  if ! kill -0 "$demo" 2>/dev/null; then
    wait "$demo"
    status=$?
    break
  fi
  sleep 0.1
done
check "the demo ends with status 0 after SIGINT (got $status)" [ "$status" = 0 ]
demo=
remaining=$(leftovers | tr '\n' ' ')
check "no gisd, PostgreSQL or Redis of the demo remains (pids: $remaining)" [ -z "$remaining" ]

if [ "$failed" -gt 0 ]; then
  echo "--- demo output ---" >&2
  cat "$log" >&2
fi
echo "demo_signal_test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
