#!/bin/sh
# Runs a Windows program under Wine in a private prefix, quietly:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
#
# The Wine session (its server and its own processes: services, devices) is started
# first, detached from the caller's output, and stays for a few seconds after the last
# program ends. Programs run one after another share it, and a caller that reads a
# program's output to its end never waits for the session to go away. The first session
# also makes the prefix. One caller at a time starts a session.
set -e
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
wine=$(command -v wine || command -v wine64 || echo /usr/lib/wine/wine64)
# Debian's "wineserver" is a script that fixes the persistence at 0; use the server itself.
server=$(command -v /usr/lib/wine/wineserver64 || command -v wineserver)
mkdir -p "$prefix"
flock -o "$prefix/.session" sh -c '
  if "$1" -p10 </dev/null >/dev/null 2>&1; then
    "$2" wineboot -i </dev/null >/dev/null 2>&1
  fi' sh "$server" "$wine" || true  # without a session of its own, wine starts one
exec "$wine" "$@"
