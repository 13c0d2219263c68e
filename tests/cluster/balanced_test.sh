#!/usr/bin/env bash
# nginx in front of two gisd processes on different ports that share one Redis
# and one PostgreSQL: a tile changed and invalidated through one is fresh
# through the other at once, and through nginx whichever process answers.
set -euo pipefail
: "${ROOT:?}" "${BUILD_DIR:?}" "${STATE:?}" "${DATABASE_URL:?}" "${REDIS_PORT:?}"
. "$ROOT/tests/cluster/lib.sh"
dir=$STATE/nginx
mkdir -p "$dir"
a=$(free_port)
b=$(free_port)
front=$(free_port)
nginx_pid=

cleanup() {
    if [ -n "$nginx_pid" ]; then kill -QUIT "$nginx_pid" 2>/dev/null || true; fi
    stop_pid "${gisd_pid_a:-}"
    stop_pid "${gisd_pid_b:-}"
    return 0
}
trap cleanup EXIT

env=(DATABASE_URL="$DATABASE_URL" REDIS_HOST=127.0.0.1 REDIS_PORT="$REDIS_PORT")
start_gisd a "$a" "${env[@]}"
start_gisd b "$b" "${env[@]}"

cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
daemon off;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    upstream gisd {
        server 127.0.0.1:$a max_fails=1 fail_timeout=5s;
        server 127.0.0.1:$b max_fails=1 fail_timeout=5s;
        keepalive 16;
    }
    server {
        listen 127.0.0.1:$front;
        location / {
            proxy_pass http://gisd;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header Host \$host;
            proxy_set_header X-Forwarded-Proto \$scheme;
            proxy_next_upstream error timeout http_502 http_503;
            add_header X-Upstream \$upstream_addr always;
        }
    }
}
CONF
nginx -c "$dir/nginx.conf" -e "$dir/error.log" &
nginx_pid=$!
for _ in $(seq 50); do curl -fs "http://127.0.0.1:$front/ready" >/dev/null 2>&1 && break; sleep 0.1; done

upstreams() {  # the processes that answered 20 requests through nginx
    for _ in $(seq 20); do curl -s -o /dev/null -D - "http://127.0.0.1:$front$LGA_TILE" | tr -d '\r' | awk -F': ' 'tolower($1)=="x-upstream" {print $2}'; done | sort -u | wc -l
}
check "nginx spreads requests over both processes" test "$(upstreams)" = 2

# Each way round: both processes hold the tile (in Redis and in memory), the
# data changes, one process invalidates, the other answers the new tile.
for way in "$a $b" "$b $a"; do
    set -- $way
    marker="renamed-$RANDOM$RANDOM"
    for port in "$1" "$2" "$1" "$2"; do curl -s -o /dev/null "http://127.0.0.1:$port$LGA_TILE"; done
    psql -X -q "$DATABASE_URL" -c "UPDATE \"LGAs\" SET name = '$marker' WHERE id = (SELECT min(id) FROM \"LGAs\")"
    check "stale before the invalidation ($2)" sh -c "! curl -s 'http://127.0.0.1:$2$LGA_TILE' | grep -aq '$marker'"
    check "invalidated through $1" test "$(curl -s -o /dev/null -w '%{http_code}' -X POST "http://127.0.0.1:$1/gis/cache/invalidate/lgas")" = 200
    check "fresh through $2 at once" sh -c "curl -s 'http://127.0.0.1:$2$LGA_TILE' | grep -aq '$marker'"
    check "fresh through nginx" sh -c "for i in 1 2 3 4; do curl -s 'http://127.0.0.1:$front$LGA_TILE' | grep -aq '$marker' || exit 1; done"
done

# One process gone: nginx passes its requests to the other.
stop_pid "$gisd_pid_a"
gisd_pid_a=
codes=$(for _ in $(seq 10); do status_of "http://127.0.0.1:$front$LGA_TILE"; echo; done | sort -u | tr '\n' ' ')
check "with one process stopped nginx still answers ($codes)" test "$codes" = "200 "
exit $((failures > 0))
