#!/usr/bin/env bash
# usage: run_install_test.sh <build dir> <consumer source dir> <work dir>
set -euo pipefail
build="$1" consumer="$2" work="$3"
rm -rf "$work"
mkdir -p "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir="$(dirname "$(find "$prefix" -name 'libkvdepth.so' -print -quit)")"
test -n "$libdir"
test -L "$libdir/libkvdepth.so"
ls "$libdir"/libkvdepth.so.2 >/dev/null
expected="kvdepth 2.6.5: no error"

# find_package
cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
out="$(LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer")"
[ "$out" = "$expected" ] || { echo "find_package consumer printed: $out"; exit 1; }

# pkg-config
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc "$consumer/main.c" -o "$work/pc-consumer" $(pkg-config --cflags --libs kvdepth)
out="$(LD_LIBRARY_PATH="$libdir" "$work/pc-consumer")"
[ "$out" = "$expected" ] || { echo "pkg-config consumer printed: $out"; exit 1; }
echo "install consumer: find_package and pkg-config both work"
