#!/usr/bin/env bash
# Runs every test twice: in the normal build and with AddressSanitizer and
# UndefinedBehaviorSanitizer; the image tests (the code that decodes on a second thread)
# a third time with ThreadSanitizer, building only what they need; and the Windows build
# under Wine, which also runs the end-to-end tests with qp7730.exe against qp7730-emu.
set -euo pipefail
cd "$(dirname "$0")/.."
presets=(default asan tsan windows)
scripts/setup.sh "${presets[@]}"

# The Wine session of the windows tests would end by itself a few seconds after its last
# program; end it at once.
end_wine() {
  local server
  server=$(command -v /usr/lib/wine/wineserver64 || command -v wineserver || true)
  [ -n "$server" ] && WINEPREFIX="$PWD/build/windows/wineprefix" "$server" -k 2>/dev/null || true
}
trap end_wine EXIT

for preset in "${presets[@]}"; do
  echo "== tests: $preset"
  start=$SECONDS
  ctest --preset "$preset"
  echo "== tests: $preset took $((SECONDS - start)) s"
done
