#!/usr/bin/env bash
# ctest's browser.panel: qp7730-emu's live panel in headless Chromium. Installs
# playwright-core (package-lock.json) with npm ci into WORK once per lock, then runs
# panel_test.mjs there. Says in one line why, and is skipped (status 77), when node, npm
# or Debian's chromium are missing, or npm cannot install playwright-core.
# Usage: run.sh QP7730_EMU QP7730 WORK
set -euo pipefail
emu=$1 tool=$2 work=$3
for need in node npm; do
  if ! command -v "$need" >/dev/null; then
    echo "browser.panel skipped: $need is not installed (scripts/setup.sh installs it)"
    exit 77
  fi
done
if [ ! -x /usr/bin/chromium ]; then
  echo "browser.panel skipped: /usr/bin/chromium is not installed (scripts/setup.sh installs Debian's chromium)"
  exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
cp "$here/package.json" "$here/package-lock.json" "$here/panel_test.mjs" "$work/"
stamp="$work/node_modules/.qp7730-lock"
if ! cmp -s "$here/package-lock.json" "$stamp"; then
  # Without the npm registry there is nothing to drive the browser with: said, and skipped.
  if ! (cd "$work" && npm ci --no-audit --no-fund --loglevel=error); then
    echo "browser.panel skipped: npm ci could not install playwright-core (is the npm registry reachable?)"
    exit 77
  fi
  cp "$here/package-lock.json" "$stamp"
fi
exec node "$work/panel_test.mjs" "$emu" "$tool"
