#!/usr/bin/env bash
# Runs every test twice: in the normal build and with AddressSanitizer and
# UndefinedBehaviorSanitizer; the image and library tests (the code that runs on several
# threads) a third time with ThreadSanitizer, building only what they need; the Windows
# build under Wine, which also runs the end-to-end tests with qp7730.exe against
# qp7730-emu; then the library as installed and the Python tests, static analysis, and
# every fuzz target briefly.
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
# The installed library, its C example and the Python package's tests (pytest).
scripts/api_test.sh build/default
# What cmake --install and cpack -G DEB put in place.
scripts/package_test.sh build/default
echo "== static analysis"
scripts/lint.sh
echo "== fuzz: every target 10 s"
scripts/fuzz.sh 10
