#!/usr/bin/env bash
# Runs every test twice: in the normal build and with AddressSanitizer and
# UndefinedBehaviorSanitizer, and the image tests (the code that decodes on a second
# thread) a third time with ThreadSanitizer, building only what they need; then static
# analysis and every fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default asan tsan
for preset in default asan tsan; do
  echo "== tests: $preset"
  ctest --preset "$preset"
done
echo "== static analysis"
scripts/lint.sh
echo "== fuzz: every target 10 s"
scripts/fuzz.sh 10
