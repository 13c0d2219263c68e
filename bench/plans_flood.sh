#!/usr/bin/env bash
# Plans under load. Prints figures; asserts nothing.
#   50 clients post plans of about 4.8 MB (a parcel among thousands of
#   neighbours) for FLOOD_SECONDS, while wrk asks for one cached tile.
#   Reported: the answers the plan clients got (200, 503), gisd's resident
#   memory before, at its peak during and 15 s after the flood, and the tile's
#   latency with and without the flood, same run, under two loads (below).
# The small cadastre is enough: the tiles are cache hits.
# The plan clients stand for browsers on other machines. They behave as curl
# does (a connection per request, "Expect: 100-continue") and ask again once
# answered, after the Retry-After of a 503 as a browser's fetch would
# (FLOOD_RETRY=at-once: the moment they are answered, as an attacker would).
# FLOOD_TOOL=curl runs 50 curl loops that ask again at once instead; they spend
# most of the two cores starting processes. So that the clients' own work does
# not count as gisd's, they run in the idle scheduling class (FLOOD_CLIENTS=idle,
# the default); FLOOD_CLIENTS=nice runs them at niceness 19, normal at full weight.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build}
flood_seconds=${FLOOD_SECONDS:-24}
clients=${FLOOD_CLIENTS:-idle}
tool=${FLOOD_TOOL:-python}
retry=${FLOOD_RETRY:-after}
case "$retry" in after | at-once) ;; *) echo "FLOOD_RETRY: after or at-once" >&2; exit 2 ;; esac
case "$clients" in
  idle) client_run=(chrt --idle 0) ;;
  nice) client_run=(nice -n $((19 - $(nice)))) ;;
  normal) client_run=() ;;
  *) echo "FLOOD_CLIENTS: idle, nice or normal" >&2; exit 2 ;;
esac
state=${BENCH_STATE:-$root/.bench-state-flood}
pg_port=${BENCH_PG_PORT:-25632}
redis_port=${BENCH_REDIS_PORT:-26579}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target gisd >/dev/null
eval "$(scripts/services.sh start "$state" "$pg_port" "$redis_port")"
work=$(mktemp -d /tmp/gis-flood.XXXXXX)
gisd_pid=""
cleanup() {
  [ -n "$gisd_pid" ] && kill "$gisd_pid" 2>/dev/null || true
  pkill -f "$work/post.sh" 2>/dev/null || true
  scripts/services.sh stop "$state" || true
  rm -rf "$work"
}
trap cleanup EXIT
if [ ! -f "$state/cadastre-small.loaded" ]; then
  scripts/load-cadastre.sh small
  touch "$state/cadastre-small.loaded"
fi
echo "plan clients: $tool, $clients scheduling, asking again $retry"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"

python3 - "$work/plan.json" <<'PY'
import json, sys
# A 30 m x 20 m plot among 20,000 neighbours laid out on a grid around it.
def rect(x, y, w, h):
    return [[[x, y], [x + w, y], [x + w, y + h], [x, y + h], [x, y]]]
ox, oy = 500000.0, 700000.0
parcels = [{"parcel_number": "SEL", "name": "Plot SEL", "area": 600.0,
            "geometry": {"coordinates": rect(ox, oy, 30, 20)},
            "boundary": [{"geometry": {"coordinates": c}, "beacon_name": f"B{i}", "distance_to_next": 25.0,
                          "bearing_deg_to_next": 90, "bearing_min_to_next": 0}
                         for i, c in enumerate(rect(ox, oy, 30, 20)[0][:4])]}]
n = 0
for i in range(-70, 71):
    for j in range(-70, 71):
        if (i, j) == (0, 0) or n >= 20000:
            continue
        parcels.append({"parcel_number": f"N{n}", "geometry": {"coordinates": rect(ox + i * 36.123456789, oy + j * 26.987654321, 30, 20)}})
        n += 1
json.dump({"parcel_data": parcels, "selected_parcel_number": "SEL", "road_data": None}, open(sys.argv[1], "w"))
PY
echo "plan request: $(( $(stat -c %s "$work/plan.json") / 1024 )) KiB"

port=$(scripts/free-port.sh)
"$build/gisd" --port "$port" >"$work/gisd.out" 2>"$work/gisd.err" &
gisd_pid=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/gis/health/" >/dev/null && break; sleep 0.1; done
rss() { awk '/VmRSS/{print $2}' "/proc/$gisd_pid/status"; }

# A zoom-13 cadastral-zone tile at the city's centre (7.475 E, 9.06 N).
tile=$(python3 -c 'import math; z=13; n=2**z; lat=math.radians(9.06); print("/gis/cadzones/%d/%d/%d.pbf" % (z, int((7.475+180)/360*n), int((1-math.asinh(math.tan(lat))/math.pi)/2*n)))')
curl -s -o /dev/null "http://127.0.0.1:$port$tile"
# Two loads of tiles: "saturating" asks again the moment an answer arrives, so
# the loop never idles and any time taken from it shows; "paced" waits 2 ms on
# each connection between requests (about 6,500 req/s), a busy map's load with
# headroom left, where latency is the server's and not the queue's.
cat >"$work/saturating.lua" <<LUA
request = function() return wrk.format("GET", "$tile") end
LUA
cat >"$work/paced.lua" <<LUA
request = function() return wrk.format("GET", "$tile") end
delay = function() return 2 end
LUA
tiles() {  # load seconds -> "p50 p99 req/s"
  wrk -t1 -c16 -d"$2"s --latency -s "$work/$1.lua" "http://127.0.0.1:$port" >"$work/wrk.out"
  echo "$(awk '$1=="50%"{print $2}' "$work/wrk.out") $(awk '$1=="99%"{print $2}' "$work/wrk.out") $(awk '/Requests\/sec/{print $2}' "$work/wrk.out")"
}
tiles saturating 2 >/dev/null
read -r bs50 bs99 bsrps < <(tiles saturating 8)
read -r bp50 bp99 bprps < <(tiles paced 8)
echo "tiles without the flood, saturating: p50 $bs50, p99 $bs99, $bsrps req/s"
echo "tiles without the flood, paced:      p50 $bp50, p99 $bp99, $bprps req/s"
echo "resident memory before the flood: $(( $(rss) / 1024 )) MiB"

flood=()
if [ "$tool" = curl ]; then
  cat >"$work/post.sh" <<SH
#!/usr/bin/env bash
end=\$((SECONDS + $flood_seconds))
while [ \$SECONDS -lt \$end ]; do
  curl -s -o /dev/null -w '%{http_code}\\n' -H 'Content-Type: application/json' --data-binary @"$work/plan.json" "http://127.0.0.1:$port/plans"
done
SH
  chmod +x "$work/post.sh"
  for i in $(seq 50); do ${client_run[@]+"${client_run[@]}"} "$work/post.sh" >"$work/codes.$i" & flood+=($!); done
else
  ${client_run[@]+"${client_run[@]}"} python3 bench/flood_client.py 127.0.0.1 "$port" "$work/plan.json" 50 "$flood_seconds" "$retry" >"$work/counts" &
  flood+=($!)
fi
# Sampled from the idle class too, so that the sampling does not take the loop's core.
chrt --idle 0 bash -c "for _ in \$(seq $((flood_seconds * 2))); do awk '/VmRSS/{print \$2}' /proc/$gisd_pid/status; sleep 0.5; done" >"$work/rss" &
flood+=($!)
sleep 2
read -r fs50 fs99 fsrps < <(tiles saturating $(((flood_seconds - 4) / 2)))
read -r fp50 fp99 fprps < <(tiles paced $(((flood_seconds - 4) / 2)))
wait "${flood[@]}"  # not gisd, which runs on
peak=$(sort -n "$work/rss" | tail -1)
echo "tiles during the flood, saturating:  p50 $fs50, p99 $fs99, $fsrps req/s"
echo "tiles during the flood, paced:       p50 $fp50, p99 $fp99, $fprps req/s"
if [ "$tool" = curl ]; then
  echo "plan answers: $(cat "$work"/codes.* | sort | uniq -c | awk '{printf "%s x %s  ", $1, $2}')"
else
  echo "plan answers: $(awk '{printf "%s x %s  ", $2, $1}' "$work/counts")"
fi
echo "resident memory: peak $((peak / 1024)) MiB during the flood"
sleep 15
echo "resident memory 15 s after the flood: $(( $(rss) / 1024 )) MiB"
python3 - "$bs99" "$fs99" "$bp99" "$fp99" <<'PY'
import sys
def ms(t):
    for unit, f in (("us", 0.001), ("ms", 1.0), ("s", 1000.0)):
        if t.endswith(unit):
            return float(t[: -len(unit)]) * f
    return float(t)
print("tile p99 with the flood / without: saturating %.2f, paced %.2f" % (ms(sys.argv[2]) / ms(sys.argv[1]), ms(sys.argv[4]) / ms(sys.argv[3])))
PY
