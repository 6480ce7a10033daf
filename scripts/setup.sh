#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), then configures and
# builds the given presets (default: "default"). The windows preset also needs the
# cross toolchain, Wine, and the picture libraries built for Windows.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
((${#presets[@]})) || presets=(default)

packages=(g++ cmake ninja-build pkg-config libusb-1.0-0-dev libjpeg62-turbo-dev libpng-dev libgif-dev libtiff-dev libgtest-dev libgmock-dev
          umockdev libumockdev-dev libusbredirparser-dev clang-14 libclang-rt-14-dev clang-tidy-14 cppcheck
          python3 python3-venv python3-setuptools python3-wheel python3-pytest python3-numpy python3-pil
          qemu-system-x86 linux-image-amd64 busybox-static chromium nodejs)
# The browser test runs npm; some builds of nodejs bring it, Debian's has it as a package.
command -v npm >/dev/null || packages+=(npm)
windows_packages=(g++-mingw-w64-x86-64-posix wine64 libz-mingw-w64-dev dpkg-dev googletest)
for preset in "${presets[@]}"; do
  [ "$preset" = windows ] && packages+=("${windows_packages[@]}")
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  # The kernel suite boots the kernel package's image with an initramfs of its own: the
  # package's own initramfs is never used, so it is not made (INITRD=No).
  $SUDO env DEBIAN_FRONTEND=noninteractive INITRD=No apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

for preset in "${presets[@]}"; do
  [ "$preset" = windows ] && scripts/windows-deps.sh
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
