#!/usr/bin/env bash
# Loads the synthetic cadastre into the database named by DATABASE_URL, replacing
# the five cadastre tables.
#
#   scripts/load-cadastre.sh SIZE      SIZE: small (3000 plots), medium (50000),
#                                            large (500000) or a number of plots
#
# Prints one line: the size, the row count of each table and the time taken.
set -euo pipefail

usage="usage: load-cadastre.sh small|medium|large|PLOTS"
size=${1:?$usage}
case "$size" in
  small) plots=3000 ;;
  medium) plots=50000 ;;
  large) plots=500000 ;;
  *[!0-9]* | '') echo "load-cadastre: bad size '$size'; $usage" >&2; exit 2 ;;
  *) plots=$((10#$size)) ;;
esac
: "${DATABASE_URL:?load-cadastre: set DATABASE_URL to the target database}"

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

start=$(date +%s%N)
psql "$DATABASE_URL" -X -q -v ON_ERROR_STOP=1 -v plots="$plots" -f "$here/cadastre.sql"
end=$(date +%s%N)

counts=$(psql "$DATABASE_URL" -X -q -A -t -F ' ' -c '
  SELECT (SELECT count(*) FROM "PLOT"), (SELECT count(*) FROM "BEACON"), (SELECT count(*) FROM "CadZones"),
         (SELECT count(*) FROM "Districts"), (SELECT count(*) FROM "LGAs")')
read -r n_plot n_beacon n_zone n_district n_lga <<<"$counts"

ms=$(((end - start) / 1000000))
printf 'cadastre %s: PLOT=%s BEACON=%s CadZones=%s Districts=%s LGAs=%s in %d.%03d s\n' \
  "$size" "$n_plot" "$n_beacon" "$n_zone" "$n_district" "$n_lga" $((ms / 1000)) $((ms % 1000))
