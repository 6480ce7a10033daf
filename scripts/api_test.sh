#!/usr/bin/env bash
# The library as a user gets it: installs a build to a temporary prefix, builds the C
# example of README.md against the installed pkg-config file (shared and static) and runs
# it against qp7730-emu, then installs the Python package into a virtual environment and
# runs its tests against the installed shared library.
# Usage: scripts/api_test.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build/default}" && pwd)
python=/usr/bin/python3  # Debian's, with its numpy, Pillow and pytest
work=$(mktemp -d)
emu_pid=""
cleanup() {
  [ -n "$emu_pid" ] && kill "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "== library: install to a temporary prefix"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(ls -d "$work"/prefix/lib*/ | head -1)
export PKG_CONFIG_PATH="${libdir}pkgconfig"

echo "== library: the README's C example, shared and static"
sed -n '/^```c$/,/^```$/p' README.md | sed '1d;$d' >"$work/show.c"
cc -Wall -Wextra -Werror "$work/show.c" $(pkg-config --cflags --libs qp7730) -o "$work/show-shared"
# The archive, with the libraries it needs (shared ones: the whole of --static would also
# ask for the static libraries behind them).
cc -Wall -Wextra -Werror "$work/show.c" $(pkg-config --cflags qp7730) "${libdir}libqp7730.a" \
   $(pkg-config --libs $(pkg-config --print-requires-private qp7730)) -lstdc++ -lm -lpthread -o "$work/show-static"
if readelf -d "$work/show-static" | grep -q libqp7730; then
  echo "the static example still needs libqp7730.so" >&2
  exit 1
fi

"$build/qp7730-emu" --socket "$work/emu.sock" --png "" --width 320 --height 240 >"$work/emu.log" 2>&1 &
emu_pid=$!
for _ in $(seq 500); do grep -q "listening on" "$work/emu.log" && break; sleep 0.01; done
"$python" -c "from PIL import Image; Image.radial_gradient('L').resize((400, 300)).save('$work/photo.jpg')"
LD_LIBRARY_PATH="$libdir" "$work/show-shared" "$work/emu.sock" "$work/photo.jpg"
"$work/show-static" "$work/emu.sock" "$work/photo.jpg"
kill "$emu_pid"
wait "$emu_pid" 2>/dev/null || true
emu_pid=""

echo "== python: install into a virtual environment, then pytest"
"$python" -m venv --system-site-packages "$work/venv"
cp -r "$root/python" "$work/python"  # the build leaves its files beside the sources
"$work/venv/bin/pip" install --quiet --no-index --no-build-isolation "$work/python"
status=0
(cd "$work" && QP7730_LIBRARY="${libdir}libqp7730.so.1" QP7730_BUILD="$build" \
  "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests") || status=$?
if [ "$status" -eq 5 ]; then
  echo "pytest collected no tests" >&2
  exit 1
fi
exit "$status"
