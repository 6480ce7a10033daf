#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz") and runs each for SECONDS (default 10) from
# the generated seeds, keeping what it learns in build/fuzz/corpus/<target>. A crash,
# hang (-timeout), leak or sanitizer report stops the target and fails the script; the
# input is left as build/fuzz/artifacts/<target>/crash-* (or timeout-*, leak-*, oom-*).
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD  # the targets work in a scratch directory: give them absolute paths
seconds=${1:-10}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(fuzz_load_image fuzz_bmp fuzz_gif fuzz_tiff fuzz_bulk_only fuzz_emu_device fuzz_emu_socket fuzz_dispatcher fuzz_upgrade)

cmake --preset fuzz >/dev/null
# Everything the preset configures, not only the targets: what does not build under the
# sanitizers shows here.
cmake --build --preset fuzz
rm -rf build/fuzz/seeds
# Debian's python3 (its Pillow writes the GIF and TIFF seeds).
/usr/bin/python3 fuzz/make_seeds.py build/fuzz/seeds
status=0
for t in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$t" "build/fuzz/artifacts/$t"
  echo "== fuzz: $t (${seconds}s)"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "build/fuzz/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$root/build/fuzz/artifacts/$t/" "$root/build/fuzz/corpus/$t" "$root/build/fuzz/seeds/$t" \
      >"build/fuzz/$t.log" 2>&1; then
    echo "fuzz: $t failed; see build/fuzz/$t.log"
    tail -n 40 "build/fuzz/$t.log"
    status=1
  fi
  grep -E "^stat::number_of_executed_units|^#[0-9]+.*DONE" "build/fuzz/$t.log" | tail -n 2 || true
done
exit $status
