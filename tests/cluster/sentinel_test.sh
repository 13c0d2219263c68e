#!/usr/bin/env bash
# Redis with Sentinel: a primary, a replica and three sentinels (passwords on
# the data nodes and on the sentinels), two gisd processes following them. The
# primary is killed under a steady request load: every request still answers
# (misses allowed, errors not), the cache reports unhealthy until the
# sentinels have promoted the replica, hits come back from the new primary,
# and a tile invalidated after the failover is fresh through both processes
# (no worker keeps a copy the new primary's change feed did not clear).
set -euo pipefail
: "${ROOT:?}" "${BUILD_DIR:?}" "${STATE:?}" "${DATABASE_URL:?}"
. "$ROOT/tests/cluster/lib.sh"
dir=$STATE/sentinel
mkdir -p "$dir"
password=data-secret
sentinel_password=sentinel-secret
primary=$(free_port)
replica=$(free_port)
sentinels=()
pids=()
load_pid=

cleanup() {
    if [ -n "$load_pid" ]; then kill "$load_pid" 2>/dev/null || true; fi
    stop_pid "${gisd_pid_a:-}"
    stop_pid "${gisd_pid_b:-}"
    local f
    for f in "$dir"/*.pid; do
        if [ -f "$f" ]; then kill "$(cat "$f")" 2>/dev/null || true; fi
    done
    return 0
}
trap cleanup EXIT

redis_node() {  # redis_node PORT [redis-server options]
    local port=$1
    shift
    redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no --daemonize yes --dir "$dir" \
        --pidfile "$dir/redis-$port.pid" --logfile "$dir/redis-$port.log" \
        --requirepass "$password" --masterauth "$password" "$@"
}
cli() { redis-cli -h 127.0.0.1 -p "$1" --no-auth-warning -a "$password" "${@:2}"; }
ask_sentinel() { redis-cli -h 127.0.0.1 -p "$1" --no-auth-warning -a "$sentinel_password" "${@:2}"; }

redis_node "$primary"
redis_node "$replica" --replicaof 127.0.0.1 "$primary"
for _ in 1 2 3; do
    port=$(free_port)
    sentinels+=("$port")
    cat >"$dir/sentinel-$port.conf" <<CONF
port $port
bind 127.0.0.1
daemonize yes
pidfile $dir/sentinel-$port.pid
logfile $dir/sentinel-$port.log
dir $dir
requirepass $sentinel_password
sentinel monitor gisd 127.0.0.1 $primary 2
sentinel auth-pass gisd $password
sentinel down-after-milliseconds gisd 1000
sentinel failover-timeout gisd 10000
sentinel sentinel-pass $sentinel_password
CONF
    redis-sentinel "$dir/sentinel-$port.conf"
done
# Each sentinel sees the replica and the two other sentinels before the test goes on.
for _ in $(seq 100); do
    ready=0
    for s in "${sentinels[@]}"; do
        n=$(ask_sentinel "$s" SENTINEL sentinels gisd 2>/dev/null | grep -c '^name$' || true)
        r=$(ask_sentinel "$s" SENTINEL replicas gisd 2>/dev/null | grep -c '^name$' || true)
        [ "$n" = 2 ] && [ "$r" = 1 ] && ready=$((ready + 1))
    done
    [ "$ready" = 3 ] && break
    sleep 0.2
done
check "three sentinels watch the primary and its replica" test "$ready" = 3

list=$(printf '127.0.0.1:%s,' "${sentinels[@]}")
env=(DATABASE_URL="$DATABASE_URL" REDIS_SENTINELS="${list%,}" REDIS_SENTINEL_MASTER=gisd
     REDIS_SENTINEL_PASSWORD="$sentinel_password" REDIS_PASSWORD="$password" REDIS_HOST=unused.invalid)
a=$(free_port)
b=$(free_port)
start_gisd a "$a" "${env[@]}" -- --access-log
start_gisd b "$b" "${env[@]}" -- --access-log

cache_of() { curl -s -o /dev/null -D - --max-time 10 "$1" | tr -d '\r' | awk -F': ' 'tolower($1)=="x-cache" {print $2}'; }
health_of() { curl -s --max-time 10 "http://127.0.0.1:$1/gis/health/" | python3 -c 'import json,sys; print(json.load(sys.stdin)["cache_status"])'; }
# Hits through both processes for every tile of `tiles` within 10 s.
hits_everywhere() {
    local port path
    for _ in $(seq 50); do
        local misses=0
        for port in "$a" "$b"; do
            for path in $(tiles plots 13 14) $LGA_TILE; do
                [ "$(cache_of "http://127.0.0.1:$port$path")" = HIT ] || misses=$((misses + 1))
            done
        done
        [ "$misses" = 0 ] && return 0
        sleep 0.2
    done
    return 1
}
check "cache healthy through the sentinels" test "$(health_of "$a")" = healthy
check "hits from the first primary" hits_everywhere
check "tiles are in the primary" test "$(cli "$primary" --scan --pattern 'mvt_v8:*' | wc -l)" -gt 0

# The steady load: both processes, every tile, one request after another.
paths=$(tiles plots 13 14)
(
    while :; do
        for port in "$a" "$b"; do
            for path in $paths $LGA_TILE; do
                curl -s -o /dev/null -w '%{http_code}\n' --max-time 10 "http://127.0.0.1:$port$path"
            done
        done
    done >"$dir/load.codes"
) &
load_pid=$!
sleep 1
killed=$(date +%s.%N)
kill -9 "$(cat "$dir/redis-$primary.pid")"
rm -f "$dir/redis-$primary.pid"
unhealthy=no
promoted=no
for _ in $(seq 150); do
    [ "$(health_of "$b")" = unhealthy ] && unhealthy=yes
    if ask_sentinel "${sentinels[0]}" SENTINEL get-master-addr-by-name gisd 2>/dev/null | grep -qx "$replica"; then
        promoted=yes
        break
    fi
    sleep 0.1
done
since_kill() { awk -v now="$(date +%s.%N)" -v then="$killed" 'BEGIN { printf "%.1f", now - then }'; }
promoted_after=$(since_kill)
check "the cache is unhealthy while no primary answers" test "$unhealthy" = yes
check "the sentinels promoted the replica" test "$promoted" = yes
check "hits come back, from the new primary" hits_everywhere
echo "     (primary killed; replica promoted after ${promoted_after} s, hits everywhere after $(since_kill) s)"
check "cache healthy again" test "$(health_of "$b")" = healthy
kill "$load_pid" 2>/dev/null
wait "$load_pid" 2>/dev/null || true
load_pid=
total=$(wc -l <"$dir/load.codes")
bad=$(grep -cvE '^(200|204)$' "$dir/load.codes" || true)
check "every request under load answered ($total requests, $bad errors)" test "$total" -gt 20 -a "$bad" = 0
misses=$(cat "$STATE/gisd-a.err" "$STATE/gisd-b.err" | grep -c ' MISS$' || true)
echo "     (misses logged while switching: $misses)"

feeds() { cli "$replica" CLIENT LIST | grep -c 'flags=[^ ]*t' || true; }
check "both processes' change feeds are on the new primary" test "$(feeds)" -ge 2

# Copies in both processes' memory, then a change and an invalidation through a.
marker="renamed-$RANDOM$RANDOM"
for port in "$a" "$b" "$a" "$b"; do curl -s -o /dev/null "http://127.0.0.1:$port$LGA_TILE"; done
psql -X -q "$DATABASE_URL" -c "UPDATE \"LGAs\" SET name = '$marker' WHERE id = (SELECT min(id) FROM \"LGAs\")"
check "invalidation through a" test "$(curl -s -o /dev/null -w '%{http_code}' -X POST "http://127.0.0.1:$a/gis/cache/invalidate/lgas")" = 200
fresh() { curl -s "http://127.0.0.1:$1$LGA_TILE" | grep -aq "$marker"; }
check "the changed tile is fresh through a" fresh "$a"
check "the changed tile is fresh through b" fresh "$b"
exit $((failures > 0))
