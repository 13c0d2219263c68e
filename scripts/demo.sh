#!/usr/bin/env bash
# The demo: private PostGIS and Redis under .state/, the demo cadastre loaded
# once, and gisd in the foreground until Ctrl-C, which also stops the services
# and ends the script with status 0.
#
# Environment: STATE_DIR (.state), DEMO_PG_PORT (25432), DEMO_REDIS_PORT (26379),
# PORT (8080), CADASTRE_SIZE (medium), WORKERS (1), GISD_BIN (build/gisd).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

state=${STATE_DIR:-$root/.state}
pg_port=${DEMO_PG_PORT:-25432}
redis_port=${DEMO_REDIS_PORT:-26379}
port=${PORT:-8080}
size=${CADASTRE_SIZE:-medium}
gisd_bin=${GISD_BIN:-build/gisd}

if [ ! -x "$gisd_bin" ]; then
  echo "demo: $gisd_bin is missing; run make build (or set GISD_BIN to a gisd binary)" >&2
  exit 1
fi

port_free() {
  python3 -c 'import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))' "$1" 2>/dev/null
}

require_free() {  # PORT WHAT VARIABLE
  if ! port_free "$1"; then
    echo "demo: port $1 on 127.0.0.1, wanted for $2, is already in use." >&2
    echo "demo: choose another port with $3, e.g.  $3=$(($1 + 1)) make demo" >&2
    exit 1
  fi
}

# The demo's own services from an earlier run may still hold their ports: that is
# fine, services.sh start reuses them.
own_pg_port() {
  local pidfile=$state/pg/postmaster.pid
  [ -f "$pidfile" ] && kill -0 "$(head -n 1 "$pidfile")" 2>/dev/null && sed -n 4p "$pidfile"
}
own_redis_port() {
  local pidfile=$state/redis.pid pid
  [ -f "$pidfile" ] && pid=$(cat "$pidfile") && kill -0 "$pid" 2>/dev/null &&
    ps -o args= -p "$pid" | grep -o ':[0-9]*' | tr -d :
}

running_pg=$(own_pg_port || true)
if [ -n "$running_pg" ] && [ "$running_pg" != "$pg_port" ]; then
  echo "demo: the demo's PostgreSQL under $state is running on port $running_pg, not $pg_port." >&2
  echo "demo: use DEMO_PG_PORT=$running_pg, or stop it with  scripts/services.sh stop $state" >&2
  exit 1
fi
[ -n "$running_pg" ] || require_free "$pg_port" PostgreSQL DEMO_PG_PORT
running_redis=$(own_redis_port || true)
if [ -n "$running_redis" ] && [ "$running_redis" != "$redis_port" ]; then
  echo "demo: the demo's Redis under $state is running on port $running_redis, not $redis_port." >&2
  echo "demo: use DEMO_REDIS_PORT=$running_redis, or stop it with  scripts/services.sh stop $state" >&2
  exit 1
fi
[ -n "$running_redis" ] || require_free "$redis_port" Redis DEMO_REDIS_PORT
require_free "$port" gisd PORT

# From here on whatever ends the script stops what it started. Ctrl-C reaches the
# whole process group: gisd stops by itself, the trap passes the signal on in case
# only the script got it, and the script then ends with status 0.
gisd=
stopping=0
cleanup() {
  local status=$?
  set +e
  trap - EXIT INT TERM
  if [ -n "$gisd" ]; then
    kill -TERM "$gisd" 2>/dev/null
    wait "$gisd" 2>/dev/null
  fi
  # Redis acts on SIGTERM at its next tick: the demo is over once it has gone.
  local redis_pid
  redis_pid=$(cat "$state/redis.pid" 2>/dev/null)
  scripts/services.sh stop "$state"
  if [ -n "$redis_pid" ]; then
    for _ in $(seq 100); do
      kill -0 "$redis_pid" 2>/dev/null || break
      sleep 0.1
    done
  fi
  if [ "$stopping" = 1 ]; then
    echo "demo: stopped gisd, PostgreSQL and Redis"
    exit 0
  fi
  exit "$status"
}
on_signal() {
  stopping=1
  if [ -n "$gisd" ]; then
    kill -TERM "$gisd" 2>/dev/null || true
  else
    exit 0
  fi
}
trap cleanup EXIT
trap on_signal INT TERM

eval "$(scripts/services.sh start "$state" "$pg_port" "$redis_port")"

# A cadastre loaded before the generator made roads is loaded again.
has_roads=$(psql "$DATABASE_URL" -X -q -A -t -c "SELECT to_regclass('\"Roads\"') IS NOT NULL")
if [ ! -f "$state/cadastre-$size.loaded" ] || [ "$has_roads" != t ]; then
  echo "Loading the $size demo cadastre (once)..."
  scripts/load-cadastre.sh "$size"
  touch "$state/cadastre-$size.loaded"
fi
# The search's indexes (a reload drops them with the tables); quick when they exist.
"$gisd_bin" search install

"$gisd_bin" --host 127.0.0.1 --port "$port" --workers "${WORKERS:-1}" --roads-table Roads &
gisd=$!

for _ in $(seq 100); do
  curl -fsS -o /dev/null "http://127.0.0.1:$port/gis/health/" 2>/dev/null && break
  kill -0 "$gisd" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$gisd" 2>/dev/null; then
  echo
  echo "  The map viewer:  http://127.0.0.1:$port/"
  echo "  (try also: curl http://127.0.0.1:$port/gis/health/)   Ctrl-C stops the demo."
  echo
fi

# wait returns early when a trapped signal arrives; keep waiting until gisd is gone.
while :; do
  wait "$gisd" && status=0 || status=$?
  kill -0 "$gisd" 2>/dev/null || break
done
exit "$status"
