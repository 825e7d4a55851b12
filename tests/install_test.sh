#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds a small C consumer against it, once
# through find_package(qorimg) and once through pkg-config.
set -euo pipefail
: "${BUILD_DIR:?}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$BUILD_DIR" --prefix "$work/prefix" >/dev/null
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
cmake -S "$work/consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:$(find "$work/prefix" -name 'libqorimg*' -printf '%h\n' | head -1)" \
  "$work/build/consumer" | grep -q "not a GIF"
pc_dir=$(dirname "$(find "$work/prefix" -name qorimg.pc | head -1)")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs qorimg)
# shellcheck disable=SC2086
cc "$work/consumer/main.c" -o "$work/pc-consumer" $flags
LD_LIBRARY_PATH="$(find "$work/prefix" -name 'libqorimg*' -printf '%h\n' | head -1)" "$work/pc-consumer" >/dev/null
# The tool's man page goes with the tool.
if [ -e "$work/prefix/bin/qorimg" ]; then
  [ -f "$work/prefix/share/man/man1/qorimg.1" ] || { echo "qorimg.1 not installed"; exit 1; }
fi
echo "install: find_package and pkg-config consumers built and ran"
