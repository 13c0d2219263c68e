#!/usr/bin/env bash
# The viewer's checks against a running gisd:
#
#   GISD_URL=http://127.0.0.1:8080 tests/web/run.sh
#
# Installs web/'s npm packages (npm ci) when they are missing or older than the
# lock file, then runs the style check, the glyph ranges test, the tiles test and the browser
# test. SCREENSHOT_DIR (default: the current folder) receives viewer.png. Exits
# non-zero if any of them fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
: "${GISD_URL:?tests/web/run.sh: set GISD_URL to the base URL of a running gisd, e.g. http://127.0.0.1:8080}"
export GISD_URL

"$root/scripts/web-deps.sh"

status=0
node "$root/tests/web/style_check.mjs" || status=1
node --test "$root/tests/web/glyphs.test.mjs" "$root/tests/web/tiles.test.mjs" "$root/tests/web/viewer.test.mjs" || status=1
# Edits followed by an open viewer: needs the server's database to install the change capture in.
if [ -n "${DATABASE_URL:-}" ]; then
  node --test "$root/tests/web/changes.test.mjs" || status=1
fi
exit $status
