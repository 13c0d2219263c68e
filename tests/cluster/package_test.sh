#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 root (debootstrap, with
# systemd as on an installed machine), then checks there that it runs: the
# version, the service user, the unit (systemd-analyze verify) and, when
# DATABASE_URL names a database, gisd serving its viewer and a tile with no
# option but a port (so it finds its files where it was installed).
#
#   tests/cluster/package_test.sh BUILD_DIR
#
# The root is made once and kept as a tarball, and downloaded packages are
# kept too, under GISD_TEST_CACHE (/var/cache/gisd-test).
set -euo pipefail
build_dir=$(cd "${1:?build folder holding gisd_*.deb}" && pwd)
cache=${GISD_TEST_CACHE:-/var/cache/gisd-test}
tarball=$cache/bookworm-systemd.tar
mirror=http://deb.debian.org/debian

deb=$(ls -t "$build_dir"/gisd_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { echo "package_test: no gisd_*.deb in $build_dir (make package)" >&2; exit 1; }

mkdir -p "$cache/archives/partial"
if [ ! -f "$tarball" ]; then
    fresh=$(mktemp -d /tmp/gisd-debootstrap.XXXXXX)
    echo "package_test: making the Debian 12 root once (cached in $tarball)"
    debootstrap --variant=minbase --include=systemd,ca-certificates bookworm "$fresh" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
        { tail -20 "$cache/debootstrap.log" >&2; rm -rf "$fresh"; exit 1; }
    rm -f "$fresh"/var/cache/apt/archives/*.deb
    tar -C "$fresh" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$fresh"
fi

root=$(mktemp -d /tmp/gisd-root.XXXXXX)
gisd_pid=
cleanup() {
    if [ -n "$gisd_pid" ]; then kill -TERM "$gisd_pid" 2>/dev/null; wait "$gisd_pid" 2>/dev/null || true; fi
    umount "$root/var/cache/apt/archives" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
    # Never remove through a mount that is still there (the shared package cache).
    if mountpoint -q "$root/var/cache/apt/archives" || mountpoint -q "$root/proc"; then
        echo "package_test: $root is still mounted; left in place" >&2
    else
        rm -rf "$root"
    fi
}
trap cleanup EXIT
tar -C "$root" -xf "$tarball"
chmod 755 "$root"  # the root of a system: every user enters it
mount -t proc proc "$root/proc"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
SOURCES
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

status=0
check() {  # check NAME COMMAND...: one line per check, and the status of all
    if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; status=1; fi
}
in_root apt-get update -qq >"$root/tmp/update.log" 2>&1 || { cat "$root/tmp/update.log" >&2; exit 1; }
in_root sh -c "cd /tmp && apt-get install -y -qq --no-install-recommends ./$(basename "$deb")" >"$root/tmp/install.log" 2>&1 ||
    { tail -30 "$root/tmp/install.log" >&2; exit 1; }

version=$(in_root gisd --version)
check "gisd --version ($version)" test "$version" = "gisd $(dpkg-deb -f "$deb" Version)"
check "survey-plan runs" sh -c "chroot '$root' survey-plan --help >/dev/null"
check "system user gisd" in_root sh -c 'getent passwd gisd | grep -q ":/usr/sbin/nologin$"'
check "/etc/default/gisd is a conffile" in_root sh -c 'dpkg-query -W -f="\${Conffiles}" gisd | grep -q /etc/default/gisd'
check "runtime dependencies computed" sh -c "dpkg-deb -f '$deb' Depends | grep -q libpq5"
# Any warning (an unknown key, a missing program) counts as a failure.
verify=$(in_root systemd-analyze verify /usr/lib/systemd/system/gisd.service 2>&1) || verify="${verify:-failed}"
check "systemd-analyze verify gisd.service${verify:+: $verify}" test -z "$verify"
unit=$root/usr/lib/systemd/system/gisd.service
check "the unit runs one worker per core as gisd" sh -c "grep -q '^ExecStart=/usr/bin/gisd --workers 0 ' '$unit' && grep -qx User=gisd '$unit'"

if [ -n "${DATABASE_URL:-}" ]; then
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    in_root env DATABASE_URL="$DATABASE_URL" REDIS_HOST="${REDIS_HOST:-127.0.0.1}" REDIS_PORT="${REDIS_PORT:-6379}" \
        setpriv --reuid=gisd --regid=gisd --clear-groups gisd --port "$port" >"$root/tmp/gisd.log" 2>&1 &
    gisd_pid=$!
    for _ in $(seq 100); do curl -fs "http://127.0.0.1:$port/ready" >/dev/null && break; sleep 0.1; done
    curl -fs "http://127.0.0.1:$port/ready" >/dev/null || tail -5 "$root/tmp/gisd.log" >&2
    check "installed gisd serves the viewer" sh -c "curl -fs http://127.0.0.1:$port/ | grep -q maplibre-gl.js &&
        curl -fs -o /dev/null http://127.0.0.1:$port/viewer/maplibre-gl/maplibre-gl.js"
    check "installed gisd serves a tile" sh -c "curl -fs -o /dev/null -w '%{http_code}' http://127.0.0.1:$port/gis/plots/14/8530/7777.pbf | grep -qE '^(200|204)$'"
fi
exit $status
