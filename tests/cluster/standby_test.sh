#!/usr/bin/env bash
# A PostgreSQL primary (the running test database) and a streaming standby
# made from it with pg_basebackup -R. gisd given both hosts with
# target_session_attrs=prefer-standby reads tiles from the standby, in READ
# ONLY transactions, and goes on serving from the primary once the standby
# is stopped.
set -euo pipefail
: "${ROOT:?}" "${BUILD_DIR:?}" "${STATE:?}" "${PGPORT:?}"
. "$ROOT/tests/cluster/lib.sh"
pgbin=/usr/lib/postgresql/15/bin
standby=$STATE/standby
standby_port=$(free_port)
app=gisd_standby_test

cleanup() {
    stop_pid "${gisd_pid_standby:-}"
    runuser -u postgres -- "$pgbin/pg_ctl" -D "$standby" -m immediate -w stop >/dev/null 2>&1 || true
}
trap cleanup EXIT

mkdir -p "$standby" && chown postgres:postgres "$standby" && chmod 700 "$standby"
runuser -u postgres -- "$pgbin/pg_basebackup" -h 127.0.0.1 -p "$PGPORT" -U postgres -D "$standby" -R -X stream -c fast 2>"$STATE/basebackup.log"
runuser -u postgres -- "$pgbin/pg_ctl" -D "$standby" -l "$standby/server.log" -w -t 60 \
    -o "-p $standby_port -k $standby -c shared_buffers=32MB -c log_statement=all" start >/dev/null

backends() {  # backends of gisd on the server at port $1
    psql -X -h 127.0.0.1 -p "$1" -U postgres -d gis -tAc "SELECT count(*) FROM pg_stat_activity WHERE application_name = '$app'"
}
check "the standby is in recovery" test "$(psql -X -h 127.0.0.1 -p "$standby_port" -U postgres -d gis -tAc 'SELECT pg_is_in_recovery()')" = t

port=$(free_port)
# No Redis (a closed port): every tile comes from the database.
start_gisd standby "$port" DATABASE_URL="postgresql://postgres@127.0.0.1:$PGPORT,127.0.0.1:$standby_port/gis?target_session_attrs=prefer-standby&application_name=$app" \
    REDIS_HOST=127.0.0.1 REDIS_PORT="$(free_port)" TILE_MEMORY_CACHE_MB=0 -- --db-pool-size 4

serve_all() {  # every tile answers 200 or 204
    local path code
    for path in $(tiles plots 12 13 14) $LGA_TILE; do
        code=$(status_of "http://127.0.0.1:$port$path")
        case $code in 200 | 204) ;; *) echo "  $path answered $code" >&2; return 1 ;; esac
    done
}
check "tiles served with the standby up" serve_all
check "gisd's connections are on the standby" test "$(backends "$standby_port")" -gt 0
check "and none on the primary" test "$(backends "$PGPORT")" -eq 0
check "tile statements run in READ ONLY transactions" grep -q "BEGIN READ ONLY" "$standby/server.log"

runuser -u postgres -- "$pgbin/pg_ctl" -D "$standby" -m fast -w stop >/dev/null
check "tiles served after the standby stopped" serve_all
check "gisd's connections moved to the primary" test "$(backends "$PGPORT")" -gt 0
exit $((failures > 0))
