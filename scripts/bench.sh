#!/usr/bin/env bash
# Builds and runs the benchmarks with their peers side by side: the protocol (a full frame
# and a 2 MiB upgrade against qp7730-emu), the image pipeline (against djpeg,
# ImageMagick and Pillow), the C library (100 shows against 100 done with the tool),
# 1,000 short-lived connections to the emulator, a dashboard's refreshes per second
# with the emulator's panel PNG off, on the command path and beside it, and a dashboard's
# changing clock sent whole or as the changed area only.
# Figures are printed; nothing is asserted.
set -euo pipefail
cd "$(dirname "$0")/.."
peers=(libjpeg-turbo-progs imagemagick python3-pil)
missing=()
for p in "${peers[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
scripts/setup.sh default
build/default/bench/bench_protocol
echo
build/default/bench/bench_connections
echo
build/default/bench/bench_image
echo
build/default/bench/bench_api
echo
build/default/bench/bench_panel
echo
build/default/bench/bench_dashboard
