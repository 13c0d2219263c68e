#!/usr/bin/env bash
# All benchmarks; each prints its own figures.
set -euo pipefail
cd "$(dirname "$0")"
bash ./tiles.sh
bash ./cold.sh
bash ./map_view.sh
if [ -f ./plots.sh ]; then bash ./plots.sh; fi
bash ./plans_flood.sh
bash ./plan_by_number.sh
bash ./search_pdf.sh
bash ./changes.sh
