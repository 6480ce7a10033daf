#!/usr/bin/env bash
# Runs every test twice: in the normal build and with AddressSanitizer and
# UndefinedBehaviorSanitizer; the image and library tests (the code that runs on several
# threads) a third time with ThreadSanitizer, building only what they need; then the
# library as installed and the Python tests, static analysis, and every fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default asan tsan
for preset in default asan tsan; do
  echo "== tests: $preset"
  ctest --preset "$preset"
done
# The installed library, its C example and the Python package's tests (pytest).
scripts/api_test.sh build/default
echo "== static analysis"
scripts/lint.sh
echo "== fuzz: every target 10 s"
scripts/fuzz.sh 10
