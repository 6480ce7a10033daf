#!/usr/bin/env bash
# The main job on the software controller: build, start qp7730-emu, load the sample
# picture into the controller's image buffer, refresh the whole panel, and say where the
# panel's picture is.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default

bin=build/default
work="${TMPDIR:-/tmp}/qp7730-demo"
mkdir -p "$work"
export QP7730_EMULATOR="$work/qp7730-emu.sock"
png="$work/panel.png"

"$bin/qp7730-emu" --socket "$QP7730_EMULATOR" --png "$png" >"$work/emu.log" 2>&1 &
emu=$!
trap 'kill $emu 2>/dev/null; wait $emu 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -S "$QP7730_EMULATOR" ] && break; sleep 0.05; done
if [ ! -S "$QP7730_EMULATOR" ]; then
  echo "demo: qp7730-emu did not start:" >&2
  cat "$work/emu.log" >&2
  exit 1
fi

sample=samples/sample.jpg
if [ -f "$sample" ]; then
  "$bin/qp7730" -load "$sample"
else
  "$bin/qp7730" -load 80 0 0 1872 1404
fi
"$bin/qp7730" -display -wait 0 0 1872 1404 2

echo
echo "The panel now shows the picture: $png"
