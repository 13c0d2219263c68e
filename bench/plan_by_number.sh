#!/usr/bin/env bash
# A plan by plot number (GET /plans/{plot_no}.png: the database read, then the
# drawing) against POST /plans of the same request (the drawing alone), both
# through one gisd on the small demo cadastre with its roads. For each of five
# plots the request is fetched once from GET .json; then the two kinds of
# request take turns, one at a time, ROUNDS times (default 6) per plot. Prints
# the median of each and their ratio.
#
# Private PostgreSQL and Redis on free loopback ports under a temporary folder,
# stopped again at the end; gisd from BUILD_DIR (build).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build}
rounds=${ROUNDS:-6}

state=$(mktemp -d /tmp/gis-bench-plans.XXXXXX)
gisd=
cleanup() {
  [ -n "$gisd" ] && kill -TERM "$gisd" 2>/dev/null && wait "$gisd" 2>/dev/null
  scripts/services.sh stop "$state" || true
  rm -rf "$state"
}
trap cleanup EXIT

eval "$(scripts/services.sh start "$state" "$(scripts/free-port.sh)" "$(scripts/free-port.sh)")"
scripts/load-cadastre.sh small >/dev/null
port=$(scripts/free-port.sh)
"$build/gisd" --port "$port" --roads-table Roads >"$state/gisd.out" 2>"$state/gisd.err" &
gisd=$!
for _ in $(seq 100); do
  curl -fs "http://127.0.0.1:$port/gis/health/" >/dev/null && break
  sleep 0.1
done

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"

# Five plots spread over the cadastre, by zone and number.
mapfile -t plots < <(psql -X -q -A -t -F '|' -c \
  'SELECT "PLOT_NO", "CADZONE" FROM "PLOT" WHERE "ID" % 600 = 7 ORDER BY "ID" LIMIT 5')

url() {  # PLOT_NO ZONE SUFFIX
  python3 -c 'import sys, urllib.parse as u; print("/plans/%s.%s?zone=%s" % (u.quote(sys.argv[1], safe=""), sys.argv[3], u.quote(sys.argv[2], safe="")))' "$1" "$2" "$3"
}

: >"$state/get.times"
: >"$state/post.times"
for p in "${plots[@]}"; do
  no=${p%%|*} zone=${p#*|}
  get=$(url "$no" "$zone" png)
  curl -fsS "http://127.0.0.1:$port$(url "$no" "$zone" json)" |
    python3 -c 'import json, sys; json.dump(json.load(sys.stdin)["request"], sys.stdout)' >"$state/request.json"
  # One of each first, untimed: the first plan of a process loads fonts.
  curl -fsS -o /dev/null "http://127.0.0.1:$port$get"
  curl -fsS -o /dev/null -H 'Content-Type: application/json' --data-binary @"$state/request.json" "http://127.0.0.1:$port/plans"
  for _ in $(seq "$rounds"); do
    curl -fsS -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$port$get" >>"$state/get.times"
    curl -fsS -o /dev/null -w '%{time_total}\n' -H 'Content-Type: application/json' \
      --data-binary @"$state/request.json" "http://127.0.0.1:$port/plans" >>"$state/post.times"
  done
done

python3 - "$state/get.times" "$state/post.times" <<'PY'
import statistics, sys
get = [float(x) * 1000 for x in open(sys.argv[1])]
post = [float(x) * 1000 for x in open(sys.argv[2])]
mg, mp = statistics.median(get), statistics.median(post)
print(f"plan by number (GET .png): median {mg:.1f} ms over {len(get)} requests")
print(f"POST /plans, same request:  median {mp:.1f} ms over {len(post)} requests")
print(f"ratio: {mg / mp:.2f} (target at most 1.3)")
PY
