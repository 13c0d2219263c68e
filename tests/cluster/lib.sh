# Shared by the multi-process tests: start gisd and wait for it, fetch, check.
# Sourced; expects ROOT (the checkout), BUILD_DIR and STATE (a scratch folder).

free_port() { "$ROOT/scripts/free-port.sh"; }

failures=0
# check NAME COMMAND...: one line per check; the script's status counts the failures.
check() {
    if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

# start_gisd NAME PORT [VAR=value...] [-- gisd options]: gisd in the background
# with the given environment; its pid in the variable gisd_pid_NAME. Waits
# until /ready answers.
start_gisd() {
    local name=$1 port=$2
    shift 2
    local env=() opts=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do env+=("$1"); shift; done
    [ "${1:-}" = -- ] && shift && opts=("$@")
    env "${env[@]}" "$ROOT/$BUILD_DIR/gisd" --port "$port" "${opts[@]}" >"$STATE/gisd-$name.out" 2>"$STATE/gisd-$name.err" &
    printf -v "gisd_pid_$name" %s $!
    for _ in $(seq 100); do
        curl -fs "http://127.0.0.1:$port/ready" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "gisd $name did not become ready; its log:" >&2
    tail -20 "$STATE/gisd-$name.err" >&2
    return 1
}

# stop_pid PID: SIGTERM, then wait for it.
stop_pid() {
    [ -n "${1:-}" ] || return 0
    kill -TERM "$1" 2>/dev/null || return 0
    wait "$1" 2>/dev/null || true
}

# status_of URL: the HTTP status (000 when nothing answered).
status_of() { curl -s -o /dev/null -w '%{http_code}' --max-time 10 "$1"; }

# A tile of the LGAs that holds the whole small test cadastre (lon 7.456-7.489, lat 9.043-9.071).
LGA_TILE=/gis/lgas/10/533/486.pbf

# tiles LAYER ZOOM...: the 2x2 tiles per zoom (13 to 16) that cover most of
# the small test cadastre.
tiles() {
    python3 - "$@" <<'PY'
import math, sys
layer, zooms = sys.argv[1], [int(z) for z in sys.argv[2:]]
lon, lat = 7.472, 9.057
for z in zooms:
    n = 2 ** z
    x = int((lon + 180) / 360 * n)
    y = int((1 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2 * n)
    for dx in (-1, 0):
        for dy in (-1, 0):
            print(f"/gis/{layer}/{z}/{x + dx}/{y + dy}.pbf")
PY
}
