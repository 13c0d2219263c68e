#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the benchmarks need.
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  g++ cmake make ccache pkg-config git ca-certificates curl
  libboost1.81-dev libboost-url1.81-dev
  libpq-dev libhiredis-dev nlohmann-json3-dev libspdlog-dev libfmt-dev
  libgeos-dev libproj-dev proj-data libcairo2-dev libpng-dev libfreetype-dev libfontconfig-dev
  fonts-dejavu-core libprotozero-dev libbrotli-dev libcli11-dev libxxhash-dev zlib1g-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  postgresql-15 postgresql-15-postgis-3 postgresql-client-15 redis-server redis-tools
  wrk nginx-light python3 procps
  dpkg-dev file debootstrap systemd redis-sentinel
  clang-16 libclang-rt-16-dev
  chromium poppler-utils
)
# Node.js and npm may come from elsewhere than Debian (a newer build); either will do.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The Debian postgresql package creates and starts a 'main' cluster; the project
# runs its own private clusters, so the packaged one is left as Debian set it up.
