#!/usr/bin/env bash
# Builds the picture libraries of the Windows program (libjpeg-turbo, libpng, giflib and
# libtiff) with the mingw-w64 toolchain, static, into build/windows-deps, from Debian's
# source packages of the versions the Linux build uses, so that one picture file decodes
# to the same bytes on both systems. zlib comes from Debian's libz-mingw-w64-dev.
#
# libtiff is built with the codecs of its own source and of these libraries only: none,
# CCITT fax, PackBits, LZW, ThunderScan, NeXT, LogLuv, JPEG and old JPEG (libjpeg-turbo),
# deflate and PixarLog (zlib). JBIG, LZMA, ZSTD, WebP and LERC need libraries of their own
# and are left out: such files are refused on Windows with libtiff's reason.
#
# Does nothing when the prefix already holds the libraries of those versions. The machine's
# own apt configuration is left alone: the sources are fetched with a private sources list
# (the machine's entries as deb-src) and a private state and cache under the prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
prefix=$root/build/windows-deps
work=$prefix/src
toolchain=$root/cmake/mingw-w64-x86_64.cmake
jobs=${JOBS:-2}

# "package version" of the source package that built an installed binary package.
source_of() { dpkg-query -W -f='${source:Package} ${source:Version}' "$1"; }
read -r jpeg_pkg jpeg_version <<<"$(source_of libjpeg62-turbo-dev)"
read -r png_pkg png_version <<<"$(source_of libpng-dev)"
read -r gif_pkg gif_version <<<"$(source_of libgif-dev)"
read -r tiff_pkg tiff_version <<<"$(source_of libtiff-dev)"
wanted="$jpeg_pkg $jpeg_version, $png_pkg $png_version, $gif_pkg $gif_version, $tiff_pkg $tiff_version"
if [ -f "$prefix/built-from" ] && [ "$(head -n1 "$prefix/built-from")" = "$wanted" ]; then
  exit 0
fi

start=$SECONDS
rm -rf "$work" "$prefix/include" "$prefix/lib" "$prefix/share" "$prefix/bin" "$prefix/built-from"
mkdir -p "$work/apt/sources.list.d" "$work/apt/state/lists/partial" "$work/apt/cache/archives/partial"

# The machine's package sources, as source entries.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] || continue
  sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$work/apt/sources.list.d/$(basename "$f")"
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -e "$f" ] || continue
  sed -nE 's/^deb(-src)?[[:space:]]/deb-src /p' "$f" >"$work/apt/sources.list.d/$(basename "$f")"
done
apt_opts=(
  -o "Dir::Etc::SourceList=/dev/null"
  -o "Dir::Etc::SourceParts=$work/apt/sources.list.d"
  -o "Dir::State=$work/apt/state"
  -o "Dir::Cache=$work/apt/cache"
  -o "Acquire::Languages=none"
  -o "APT::Sandbox::User=root"
  -o "Debug::NoLocking=1"
)
echo "windows-deps: fetching the sources of $wanted"
apt-get "${apt_opts[@]}" -qq update

# Downloads and unpacks (Debian's patches applied) one source package into $work/$1.
# When the exact version is no longer served, the newest served version of the same
# upstream release is taken instead, and the script says so.
fetch() {
  local name=$1 pkg=$2 version=$3 upstream candidates v
  upstream=${version#*:}
  upstream=${upstream%-*}
  candidates=("$version")
  while read -r v; do
    [ "$v" = "$version" ] && continue
    local u=${v#*:}
    [ "${u%-*}" = "$upstream" ] && candidates+=("$v")
  done < <(apt-cache "${apt_opts[@]}" showsrc "$pkg" | sed -n 's/^Version: //p' | sort -u -r -V)
  for v in "${candidates[@]}"; do
    rm -f "$work"/*.dsc
    if (cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only "$pkg=$v" >/dev/null 2>&1); then
      [ "$v" = "$version" ] || echo "windows-deps: $pkg $version cannot be downloaded; using $v (upstream $upstream)"
      dpkg-source -q -x "$work"/"${pkg}"_*.dsc "$work/$name" >/dev/null 2>&1
      echo "$pkg $v" >>"$work/fetched"
      return 0
    fi
  done
  echo "windows-deps: cannot download the source of $pkg $upstream" >&2
  return 1
}
fetch jpeg "$jpeg_pkg" "$jpeg_version"
fetch png "$png_pkg" "$png_version"
fetch gif "$gif_pkg" "$gif_version"
fetch tiff "$tiff_pkg" "$tiff_version"

cmake_opts=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix")
# Runs a build step quietly; its output is shown when it fails.
quietly() {
  if ! "$@" >"$work/step.log" 2>&1; then
    cat "$work/step.log" >&2
    return 1
  fi
}

# libjpeg-turbo: the library only, without its vectorised code (that needs an assembler
# the Windows build does not otherwise need; the output bytes are the same).
echo "windows-deps: building libjpeg-turbo"
quietly cmake -S "$work/jpeg" -B "$work/jpeg-build" "${cmake_opts[@]}" \
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF
quietly cmake --build "$work/jpeg-build" -j"$jobs" --target jpeg-static
install -D -m 644 "$work/jpeg-build/libjpeg.a" "$prefix/lib/libjpeg.a"
install -D -m 644 -t "$prefix/include" "$work/jpeg-build/jconfig.h" \
  "$work/jpeg/jpeglib.h" "$work/jpeg/jmorecfg.h" "$work/jpeg/jerror.h"

# libpng: the static library over mingw-w64's zlib.
echo "windows-deps: building libpng"
quietly cmake -S "$work/png" -B "$work/png-build" "${cmake_opts[@]}" \
  -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DZLIB_USE_STATIC_LIBS=ON
quietly cmake --build "$work/png-build" -j"$jobs" --target png_static
install -D -m 644 "$work/png-build/libpng16.a" "$prefix/lib/libpng16.a"
install -D -m 644 -t "$prefix/include" "$work/png/png.h" "$work/png/pngconf.h" "$work/png-build/pnglibconf.h"

# giflib: its Makefile builds for the host only; the library's sources compiled here.
echo "windows-deps: building giflib"
mkdir -p "$work/gif-build"
gif_sources=(dgif_lib.c egif_lib.c gifalloc.c gif_err.c gif_font.c gif_hash.c openbsd-reallocarray.c quantize.c)
for c in "${gif_sources[@]}"; do
  quietly x86_64-w64-mingw32-gcc-posix -O2 -c "$work/gif/$c" -o "$work/gif-build/${c%.c}.o"
done
quietly x86_64-w64-mingw32-ar rcs "$work/gif-build/libgif.a" "$work/gif-build/"*.o
install -D -m 644 "$work/gif-build/libgif.a" "$prefix/lib/libgif.a"
install -D -m 644 -t "$prefix/include" "$work/gif/gif_lib.h"

# libtiff: the static library, its codecs over the libjpeg-turbo above and mingw-w64's zlib.
echo "windows-deps: building libtiff"
quietly cmake -S "$work/tiff" -B "$work/tiff-build" "${cmake_opts[@]}" \
  -DBUILD_SHARED_LIBS=OFF -Dcxx=OFF -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF \
  -Djpeg=ON -Dold-jpeg=ON -Dzlib=ON -Dpixarlog=ON -Djbig=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dlerc=OFF \
  -Dlibdeflate=OFF -Djpeg12=OFF \
  -DJPEG_INCLUDE_DIR="$prefix/include" -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" -DZLIB_USE_STATIC_LIBS=ON
quietly cmake --build "$work/tiff-build" -j"$jobs" --target tiff
install -D -m 644 "$work/tiff-build/libtiff/libtiff.a" "$prefix/lib/libtiff.a"
install -D -m 644 -t "$prefix/include" "$work/tiff/libtiff/tiffio.h" "$work/tiff/libtiff/tiff.h" \
  "$work/tiff-build/libtiff/tiffconf.h"
# tiffvers.h is generated by some releases and shipped by others.
install -D -m 644 -t "$prefix/include" "$(ls "$work/tiff-build/libtiff/tiffvers.h" "$work/tiff/libtiff/tiffvers.h" 2>/dev/null | head -n1)"

{
  echo "$wanted"
  cat "$work/fetched"
} >"$prefix/built-from"
rm -rf "$work"
echo "windows-deps: built in $((SECONDS - start)) s into $prefix"
