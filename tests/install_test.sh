#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds a small C consumer against it, once
# through find_package(qorimg) and once through pkg-config. Then configures and installs a static
# build of the same sources and builds the C consumer against it the same two ways (pkg-config
# with --static): a C program needs the C++ runtime that the static library names.
set -euo pipefail
: "${BUILD_DIR:?}"
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cache() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD_DIR/CMakeCache.txt"; }
mkdir -p "$work/consumer"
cat >"$work/consumer/main.c" <<'C'
#include <qorimg/qorimg.h>
#include <stdio.h>
int main(void) {
    QorHandle h = QorGlobalAlloc(QOR_GMEM_MOVEABLE, 16);
    if (h == 0 || QorGlobalFree(h) != 0) return 1;
    puts(QorStatusText(QOR_NOT_GIF));
    return 0;
}
C
cat >"$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(qorimg REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE qorimg::qorimg)
CM

# Builds and runs the consumer against the installed prefix $1 both ways; $2 names the check and
# any further arguments go to pkg-config.
consume() {
  local prefix="$1" name="$2"
  shift 2
  local libs
  libs="$(find "$prefix" -name 'libqorimg*' -printf '%h\n' | head -1)"
  cmake -S "$work/consumer" -B "$work/build-$name" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$(cache CMAKE_C_COMPILER)" >/dev/null
  cmake --build "$work/build-$name" >/dev/null
  LD_LIBRARY_PATH="$libs" "$work/build-$name/consumer" | grep -q "not a GIF"
  local pc_dir flags
  pc_dir=$(dirname "$(find "$prefix" -name qorimg.pc | head -1)")
  flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config "$@" --cflags --libs qorimg)
  # shellcheck disable=SC2086
  "$(cache CMAKE_C_COMPILER)" "$work/consumer/main.c" -o "$work/pc-$name" $flags
  LD_LIBRARY_PATH="$libs" "$work/pc-$name" | grep -q "not a GIF"
}

cmake --install "$BUILD_DIR" --prefix "$work/prefix" >/dev/null
consume "$work/prefix" shared
# The license goes with the library, its CMake package and its pkg-config file.
for f in share/doc/qorimg/LICENSE lib*/cmake/qorimg/LICENSE; do
  compgen -G "$work/prefix/$f" >/dev/null || { echo "$f not installed"; exit 1; }
done
grep -q '^License: MIT$' "$(find "$work/prefix" -name qorimg.pc | head -1)" ||
  { echo "qorimg.pc names no license"; exit 1; }
# The tool's man page goes with the tool.
if [ -e "$work/prefix/bin/qorimg" ]; then
  [ -f "$work/prefix/share/man/man1/qorimg.1" ] || { echo "qorimg.1 not installed"; exit 1; }
fi

# The static library alone, unoptimised: only its linking is checked.
cmake -S "$source_dir" -B "$work/static" -G Ninja -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=None \
  -DQORIMG_BUILD_TESTS=OFF -DQORIMG_BUILD_TOOL=OFF -DCMAKE_C_COMPILER="$(cache CMAKE_C_COMPILER)" \
  -DCMAKE_CXX_COMPILER="$(cache CMAKE_CXX_COMPILER)" >/dev/null
cmake --build "$work/static" --parallel 2 --target qorimg >/dev/null
cmake --install "$work/static" --prefix "$work/static-prefix" >/dev/null
[ -f "$(find "$work/static-prefix" -name libqorimg.a | head -1)" ] || { echo "no libqorimg.a"; exit 1; }
consume "$work/static-prefix" static --static
echo "install: find_package and pkg-config consumers built and ran, shared and static"
