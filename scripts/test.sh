#!/usr/bin/env bash
# Runs every test twice: in the normal build and with AddressSanitizer and
# UndefinedBehaviorSanitizer; the image tests (the code that decodes on a second thread)
# a third time with ThreadSanitizer, building only what they need; then the library as
# installed, and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default asan tsan
for preset in default asan tsan; do
  echo "== tests: $preset"
  ctest --preset "$preset"
done
# The installed library, its C example and the Python package's tests (pytest).
scripts/api_test.sh build/default
