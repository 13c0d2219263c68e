#!/usr/bin/env bash
# Installs the viewer's npm packages (the map library, the glyph tool and the
# browser tests' tools) from web/package-lock.json when they are missing or
# older than the lock, and makes the glyph ranges.
set -euo pipefail
web=$(cd "$(dirname "$0")/../web" && pwd)
# npm records what it installed in node_modules/.package-lock.json.
installed=$web/node_modules/.package-lock.json
if [ ! -f "$installed" ] || [ "$web/package-lock.json" -nt "$installed" ] || [ "$web/package.json" -nt "$installed" ]; then
  (cd "$web" && npm ci --no-audit --no-fund)
else
  # The glyph ranges are made at install; this only redoes them when their inputs changed.
  node "$web/tools/make-glyphs.mjs" >/dev/null
fi
