#!/usr/bin/env bash
# The demo: private PostGIS and Redis under .state/, the demo cadastre loaded
# once, and gisd in the foreground until Ctrl-C (which also stops the services).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

state=${STATE_DIR:-$root/.state}
pg_port=${DEMO_PG_PORT:-55432}
redis_port=${DEMO_REDIS_PORT:-56379}
port=${PORT:-8080}
size=${CADASTRE_SIZE:-medium}

eval "$(scripts/services.sh start "$state" "$pg_port" "$redis_port")"
trap 'scripts/services.sh stop "$state"' EXIT

if [ ! -f "$state/cadastre-$size.loaded" ]; then
  echo "Loading the $size demo cadastre (once)..."
  scripts/load-cadastre.sh "$size"
  touch "$state/cadastre-$size.loaded"
fi

echo "Serving on http://127.0.0.1:$port  (try: curl http://127.0.0.1:$port/gis/health/)"
build/gisd --host 127.0.0.1 --port "$port" --workers "${WORKERS:-1}" &
gisd=$!
trap 'kill -TERM $gisd 2>/dev/null; wait $gisd 2>/dev/null; scripts/services.sh stop "$state"' EXIT
trap 'kill -TERM $gisd 2>/dev/null' INT TERM
wait $gisd || true
