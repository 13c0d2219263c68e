#!/usr/bin/env bash
# Private PostgreSQL 15 + PostGIS and Redis on loopback ports, under one state folder.
#
#   scripts/services.sh start DIR [PG_PORT] [REDIS_PORT]   start both (idempotent), print the env to use
#   scripts/services.sh stop DIR                           stop both by pid
#   scripts/services.sh env DIR [PG_PORT] [REDIS_PORT]     print the env only
#
# PostgreSQL refuses to run as root, so the cluster belongs to the postgres user.
set -euo pipefail

cmd=${1:?usage: services.sh start|stop|env DIR [PG_PORT] [REDIS_PORT]}
dir=${2:?state folder}
pg_port=${3:-55432}
redis_port=${4:-56379}
pgbin=/usr/lib/postgresql/15/bin

print_env() {
  echo "export DATABASE_URL=postgresql://postgres@127.0.0.1:${pg_port}/gis"
  echo "export PGHOST=127.0.0.1 PGPORT=${pg_port} PGUSER=postgres PGDATABASE=gis"
  echo "export REDIS_HOST=127.0.0.1 REDIS_PORT=${redis_port} REDIS_DB=0"
}

start() {
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  chmod 755 "$dir"
  if [ ! -f "$dir/pg/PG_VERSION" ]; then
    mkdir -p "$dir/pg"
    chown postgres:postgres "$dir/pg"
    runuser -u postgres -- "$pgbin/initdb" -D "$dir/pg" -U postgres -A trust --no-sync -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log"
    cat >>"$dir/pg/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir/pg'
fsync = off
synchronous_commit = off
full_page_writes = off
shared_buffers = 256MB
max_connections = 200
CONF
  fi
  if ! runuser -u postgres -- "$pgbin/pg_ctl" -D "$dir/pg" status >/dev/null 2>&1; then
    runuser -u postgres -- "$pgbin/pg_ctl" -D "$dir/pg" -o "-p $pg_port" -l "$dir/pg/server.log" -w -t 60 start >/dev/null
  fi
  if ! psql -h 127.0.0.1 -p "$pg_port" -U postgres -d postgres -tAc "select 1 from pg_database where datname='gis'" | grep -q 1; then
    psql -q -h 127.0.0.1 -p "$pg_port" -U postgres -d postgres -c "create database gis"
  fi
  psql -q -h 127.0.0.1 -p "$pg_port" -U postgres -d gis -c "create extension if not exists postgis" 2>/dev/null

  if ! { [ -f "$dir/redis.pid" ] && kill -0 "$(cat "$dir/redis.pid")" 2>/dev/null; }; then
    redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --daemonize yes \
      --pidfile "$dir/redis.pid" --logfile "$dir/redis.log" --dir "$dir"
    for _ in $(seq 50); do
      redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break
      sleep 0.1
    done
  fi
  print_env
}

stop() {
  [ -d "$dir" ] || return 0
  if [ -f "$dir/pg/postmaster.pid" ]; then
    runuser -u postgres -- "$pgbin/pg_ctl" -D "$dir/pg" -m fast -w stop >/dev/null 2>&1 || true
  fi
  if [ -f "$dir/redis.pid" ]; then
    kill "$(cat "$dir/redis.pid")" 2>/dev/null || true
    rm -f "$dir/redis.pid"
  fi
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  env) print_env ;;
  *) echo "unknown command $cmd" >&2; exit 2 ;;
esac
