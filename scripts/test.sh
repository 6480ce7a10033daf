#!/usr/bin/env bash
# Runs every test twice: in the normal build and with AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default asan
for preset in default asan; do
  echo "== tests: $preset"
  ctest --preset "$preset"
done
