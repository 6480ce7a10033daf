#!/usr/bin/env bash
# Checks what `cmake --install` puts in place and what `cpack -G DEB` packs: both programs,
# their manual pages and the udev rule.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
expected=(bin/qp7730 bin/qp7730-emu share/man/man1/qp7730.1 share/man/man1/qp7730-emu.1 lib/udev/rules.d/70-qp7730.rules)
for f in "${expected[@]}"; do
  [ -e "$work/prefix/$f" ] || { echo "package test: cmake --install did not install $f" >&2; exit 1; }
done
"$work/prefix/bin/qp7730" --help | grep -q "usage: qp7730" || { echo "package test: installed qp7730 --help" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
listing=$(dpkg-deb -c "$deb")
for f in "${expected[@]}"; do
  grep -q "./usr/$f\$" <<<"$listing" || { echo "package test: $deb lacks usr/$f" >&2; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libusb-1.0-0
echo "package test: install and $(basename "$deb") hold both programs, their manual pages and the udev rule"
