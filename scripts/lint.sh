#!/usr/bin/env bash
# Static analysis of the project's own sources (not tests, benchmarks or fuzz targets):
# clang-tidy with .clang-tidy, and cppcheck. Any finding fails the run. Uses the
# compile commands of build/default (configured here when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/default/compile_commands.json ] || cmake --preset default >/dev/null

# The sources this platform compiles, from the compile commands.
mapfile -t sources < <(python3 - <<'PY'
import json, os
root = os.getcwd()
for entry in json.load(open("build/default/compile_commands.json")):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if path.split(os.sep)[0] in ("cli", "commands", "emu", "flash", "image", "link", "platform"):
        print(path)
PY
)
sources=($(printf '%s\n' "${sources[@]}" | sort -u))
echo "lint: ${#sources[@]} files"

status=0
echo "== cppcheck"
cppcheck --quiet --enable=warning,performance,portability --inline-suppr --std=c++20 --language=c++ -I . \
  --error-exitcode=1 -j2 "${sources[@]}" || status=1

echo "== clang-tidy"
printf '%s\n' "${sources[@]}" | xargs -P2 -n4 clang-tidy-14 -p build/default --quiet 2>/dev/null || status=1
exit $status
