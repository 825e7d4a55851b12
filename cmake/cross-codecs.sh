#!/usr/bin/env bash
# Builds the codec libraries of the extended TIFF read (libdeflate, libjpeg-turbo) for a cross
# target from Debian's source packages, fetched with `apt-get source` into the build tree (never
# into the repository), and installs their headers and static libraries under
# BUILD_DIR/codecs/<name>/{include,lib}, where CMake takes them (QORIMG_<NAME>_ROOT).
# Needs a deb-src line for Debian's main archive (make deps-windows adds one) and dpkg-dev.
#   cmake/cross-codecs.sh BUILD_DIR HOST    e.g. build-win32 i686-w64-mingw32
set -euo pipefail
build=$(realpath -m "$1")
host=$2
work=$build/codecs
mkdir -p "$work/src"
cd "$work/src"

# The unpacked source folder of a Debian source package, fetched once.
source_of() {
  local dir
  dir=$(find . -maxdepth 1 -type d -name "$1-[0-9]*" | head -1)
  if [ -z "$dir" ]; then
    apt-get source -qq "$1" >/dev/null 2>&1 || {
      echo "cross-codecs: 'apt-get source $1' failed: is there a deb-src line? (make deps-windows)" >&2
      exit 1
    }
    dir=$(find . -maxdepth 1 -type d -name "$1-[0-9]*" | head -1)
  fi
  realpath "$dir"
}

deflate=$work/libdeflate
if [ ! -f "$deflate/lib/libdeflate.a" ]; then
  src=$(source_of libdeflate)
  rm -rf "$work/libdeflate-build" && cp -r "$src" "$work/libdeflate-build"
  make -s -C "$work/libdeflate-build" CC="$host-gcc" AR="$host-ar" libdeflatestatic.lib
  mkdir -p "$deflate/include" "$deflate/lib"
  cp "$work/libdeflate-build/libdeflate.h" "$deflate/include/"
  cp "$work/libdeflate-build/libdeflatestatic.lib" "$deflate/lib/libdeflate.a"
fi

jpeg=$work/libjpeg
if [ ! -f "$jpeg/lib/libjpeg.a" ]; then
  src=$(source_of libjpeg-turbo)
  case $host in
    i686-*) processor=x86 ;;
    *) processor=AMD64 ;;
  esac
  # Without SIMD, which would need nasm; the classic baseline is what the DLLs need.
  cmake -S "$src" -B "$work/libjpeg-build" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=$processor \
    -DCMAKE_C_COMPILER="$host-gcc" -DCMAKE_RC_COMPILER="$host-windres" \
    -DCMAKE_INSTALL_PREFIX="$jpeg" -DENABLE_SHARED=OFF -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF \
    >/dev/null
  cmake --build "$work/libjpeg-build" --target jpeg-static >/dev/null
  mkdir -p "$jpeg/include" "$jpeg/lib"
  cp "$src/jpeglib.h" "$src/jmorecfg.h" "$src/jerror.h" "$work/libjpeg-build/jconfig.h" \
     "$jpeg/include/"
  cp "$work/libjpeg-build/libjpeg.a" "$jpeg/lib/"
fi
echo "cross-codecs: $deflate, $jpeg"
