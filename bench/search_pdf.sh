#!/usr/bin/env bash
# GET /search and PDF plans, through one gisd on a generated cadastre.
#
#   bench/search_pdf.sh            # the large cadastre (500,000 plots)
#   CADASTRE=medium bench/search_pdf.sh
#
# Search: QUERIES (1000) queries of each kind (exact plot number, plot number
# prefix, file number, beacon number, zone name), one at a time on one
# keep-alive connection, with the search indexes (`gisd search install`);
# before that the first QUERIES_WITHOUT (50) of each kind without them (each
# scans the tables: a second apiece on the large cadastre); median and p99. Plans: PLANS (20) plots,
# GET .png and GET .pdf of each taking turns; medians, their ratio and the
# files' sizes. Private PostgreSQL and Redis on free loopback ports, stopped
# again at the end; gisd from BUILD_DIR (build).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=${BUILD_DIR:-build}
size=${CADASTRE:-large}
queries=${QUERIES:-1000}
queries_without=${QUERIES_WITHOUT:-50}
plans=${PLANS:-20}

state=$(mktemp -d /tmp/gis-bench-search.XXXXXX)
gisd=
cleanup() {
  [ -n "$gisd" ] && kill -TERM "$gisd" 2>/dev/null && wait "$gisd" 2>/dev/null
  scripts/services.sh stop "$state" || true
  rm -rf "$state"
}
trap cleanup EXIT

eval "$(scripts/services.sh start "$state" "$(scripts/free-port.sh)" "$(scripts/free-port.sh)")"
scripts/load-cadastre.sh "$size"
port=$(scripts/free-port.sh)
"$build/gisd" --port "$port" --roads-table Roads >"$state/gisd.out" 2>"$state/gisd.err" &
gisd=$!
for _ in $(seq 100); do
  curl -fs "http://127.0.0.1:$port/gis/health/" >/dev/null && break
  sleep 0.1
done

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "cadastre: $(psql -X -A -t -c 'SELECT count(*) FROM "PLOT"') plots"

# The queries, drawn from the data itself (every tenth row of a random-free order).
psql -X -q -A -t -F '|' >"$state/queries" <<SQL
(SELECT 'exact plot', "PLOT_NO" FROM "PLOT" WHERE "ID" % 97 = 3 ORDER BY "ID" LIMIT $queries)
UNION ALL (SELECT 'plot prefix', left(lower("PLOT_NO"), length("PLOT_NO") - 1) FROM "PLOT" WHERE "ID" % 89 = 5 ORDER BY "ID" LIMIT $queries)
UNION ALL (SELECT 'file number', file_no FROM "PLOT" WHERE file_no IS NOT NULL AND "ID" % 83 = 1 ORDER BY "ID" LIMIT $queries)
UNION ALL (SELECT 'beacon', "BEACON_NO" FROM "BEACON" WHERE "ID" % 79 = 2 ORDER BY "ID" LIMIT $queries)
UNION ALL (SELECT 'zone', name FROM (SELECT name FROM "CadZones", generate_series(1, $queries) ORDER BY random() LIMIT $queries) z)
SQL

measure() {  # LABEL COUNT
  python3 - "$port" "$state/queries" "$1" "$2" <<'PY'
import collections, http.client, statistics, sys, time, urllib.parse
port, path, label, count = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
by_kind = collections.defaultdict(list)
for line in open(path):
    kind, _, q = line.rstrip('\n').partition('|')
    if len(by_kind[kind]) < count:
        by_kind[kind].append(q)
conn = http.client.HTTPConnection('127.0.0.1', port)
for kind, qs in by_kind.items():
    times = []
    for q in qs:
        started = time.perf_counter()
        conn.request('GET', '/search?q=' + urllib.parse.quote(q, safe=''))
        r = conn.getresponse()
        r.read()
        times.append((time.perf_counter() - started) * 1000)
        if r.status != 200:
            sys.exit(f'{kind} {q!r}: HTTP {r.status}')
    times.sort()
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    print(f'search {label:17} {kind:12} n={len(times):5}  median {statistics.median(times):7.2f} ms  p99 {p99:8.2f} ms')
PY
}

measure "without indexes" "$queries_without"
started=$(date +%s.%N)
"$build/gisd" search install
echo "search install: $(python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.1f}')" "$started" "$(date +%s.%N)") s"
measure "with indexes" "$queries"

# PDF against PNG, the same plots, taking turns.
mapfile -t picked < <(psql -X -q -A -t -F '|' -c \
  "SELECT \"PLOT_NO\", \"CADZONE\" FROM \"PLOT\" WHERE \"ID\" % 997 = 11 ORDER BY \"ID\" LIMIT $plans")
url() {  # PLOT_NO ZONE SUFFIX
  python3 -c 'import sys, urllib.parse as u; print("/plans/%s.%s?zone=%s" % (u.quote(sys.argv[1], safe=""), sys.argv[3], u.quote(sys.argv[2], safe="")))' "$1" "$2" "$3"
}
: >"$state/png.times"
: >"$state/pdf.times"
# One of each first, untimed: the first plan of a process loads fonts.
first=${picked[0]}
curl -fsS -o /dev/null "http://127.0.0.1:$port$(url "${first%%|*}" "${first#*|}" png)"
curl -fsS -o /dev/null "http://127.0.0.1:$port$(url "${first%%|*}" "${first#*|}" pdf)"
for p in "${picked[@]}"; do
  no=${p%%|*} zone=${p#*|}
  for _ in 1 2 3; do
    curl -fsS -o /dev/null -w '%{time_total} %{size_download}\n' "http://127.0.0.1:$port$(url "$no" "$zone" png)" >>"$state/png.times"
    curl -fsS -o /dev/null -w '%{time_total} %{size_download}\n' "http://127.0.0.1:$port$(url "$no" "$zone" pdf)" >>"$state/pdf.times"
  done
done
python3 - "$state/png.times" "$state/pdf.times" <<'PY'
import statistics, sys
def read(path):
    rows = [line.split() for line in open(path)]
    return [float(t) * 1000 for t, _ in rows], [int(s) for _, s in rows]
png_t, png_s = read(sys.argv[1])
pdf_t, pdf_s = read(sys.argv[2])
mg, mp = statistics.median(png_t), statistics.median(pdf_t)
print(f"plan by number, PNG: median {mg:.1f} ms over {len(png_t)} requests, median size {statistics.median(png_s) / 1024:.0f} KiB")
print(f"plan by number, PDF: median {mp:.1f} ms over {len(pdf_t)} requests, median size {statistics.median(pdf_s) / 1024:.0f} KiB")
print(f"ratio PDF/PNG: {mp / mg:.2f} (target at most 1.3)")
PY
