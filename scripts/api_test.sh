#!/usr/bin/env bash
# The library as a user gets it: runs the blocks of README.md's library section exactly as
# they stand (install to ~/qp7730, the C example built against the installed pkg-config
# file, the Python package in a virtual environment of Debian's Python, the Python
# example), against qp7730-emu, in a fresh home folder and without the variables that would
# hide a missing step (PKG_CONFIG_PATH, LD_LIBRARY_PATH, QP7730_LIBRARY, PYTHONPATH). Then it
# builds the C example against the static library, and runs the Python package's tests in
# the virtual environment the README made.
# Usage: scripts/api_test.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build/default}" && pwd)
work=$(mktemp -d)
emu_pid=""
cleanup() {
  [ -n "$emu_pid" ] && kill "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The README's blocks, in order: shell blocks into one script, the C and Python examples
# into the files the shell blocks name.
section() { sed -n '/^## The library (C and Python)$/,/^## /p' README.md; }
block() { section | awk -v lang="$1" '$0 == "```" lang {on = 1; next} on && $0 == "```" {on = 0; print "#--"; next} on'; }
# The source tree as the blocks see it: build/default is this build, python/ a copy (pip
# builds beside the sources), the examples, and the picture they show.
tree="$work/tree"
mkdir -p "$tree/build" "$work/home"
block sh >"$work/readme.sh"
block c | sed '/^#--$/d' >"$tree/show.c"
block python | sed '/^#--$/d' >"$tree/show.py"
for f in "$work/readme.sh" "$tree/show.c" "$tree/show.py"; do
  [ -s "$f" ] || { echo "README.md's library section has no block for $(basename "$f")" >&2; exit 1; }
done
ln -s "$build" "$tree/build/default"
cp -r "$root/python" "$tree/python"
/usr/bin/python3 -c "from PIL import Image; Image.radial_gradient('L').resize((400, 300)).save('$tree/photo.jpg')"

"$build/qp7730-emu" --socket "$work/emu.sock" --png "" >"$work/emu.log" 2>&1 &
emu_pid=$!
for _ in $(seq 500); do grep -q "listening on" "$work/emu.log" && break; sleep 0.01; done

echo "== README: the library section's blocks, as pasted"
# apt-get and sudo stand in for themselves without touching the machine: an install line
# passes when every package it names is installed (scripts/setup.sh installs them).
cat >"$work/stand_ins.sh" <<'EOF'
sudo() { "$@"; }
apt-get() {
  [ "$1" = install ] || { echo "the README runs apt-get $1" >&2; return 1; }
  shift
  local p missing=()
  for p in "$@"; do
    case $p in -*) continue ;; esac
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]} == 0)) || { echo "not installed: ${missing[*]}" >&2; return 1; }
}
EOF
(cd "$tree" && env -u PKG_CONFIG_PATH -u LD_LIBRARY_PATH -u QP7730_LIBRARY -u PYTHONPATH -u VIRTUAL_ENV \
  HOME="$work/home" QP7730_EMULATOR="$work/emu.sock" QP7730_LOCK_WAIT=10 \
  bash -euo pipefail -c 'source "$1"; source "$2"' readme "$work/stand_ins.sh" "$work/readme.sh")

prefix="$work/home/qp7730"
libdir=$(ls -d "$prefix"/lib*/ | head -1)
export PKG_CONFIG_PATH="${libdir}pkgconfig"
echo "== library: the C example against the static library"
# The archive, with the libraries it needs (shared ones: the whole of --static would also
# ask for the static libraries behind them).
cc -Wall -Wextra -Werror "$tree/show.c" $(pkg-config --cflags qp7730) "${libdir}libqp7730.a" \
   $(pkg-config --libs $(pkg-config --print-requires-private qp7730)) -lstdc++ -lm -lpthread -o "$work/show-static"
if readelf -d "$work/show-static" | grep -q libqp7730; then
  echo "the static example still needs libqp7730.so" >&2
  exit 1
fi
"$work/show-static" "$work/emu.sock" "$tree/photo.jpg"
kill "$emu_pid"
wait "$emu_pid" 2>/dev/null || true
emu_pid=""

echo "== python: the package's tests in the README's virtual environment"
status=0
(cd "$work" && QP7730_LIBRARY="${libdir}libqp7730.so.1" QP7730_BUILD="$build" \
  "$prefix/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests") || status=$?
if [ "$status" -eq 5 ]; then
  echo "pytest collected no tests" >&2
  exit 1
fi
exit "$status"
