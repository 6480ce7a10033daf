#!/bin/sh
# Runs a Windows program under Wine in a private prefix, quietly:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# The prefix is made on first use, by one caller at a time. A Wine server detached from
# the caller's output is started first and kept for a few seconds after the last program
# ends, so that programs run one after another share it and nobody waits for it to exit.
set -e
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$prefix"
"$server" -p10 </dev/null >/dev/null 2>&1 || true  # fails when a server runs already
if [ ! -f "$prefix/.update-timestamp" ]; then
  flock "$prefix/.made" sh -c '[ -f "$WINEPREFIX/.update-timestamp" ] || "$1" wineboot -i >/dev/null 2>&1' sh "$wine"
fi
exec "$wine" "$@"
