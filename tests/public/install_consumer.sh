#!/usr/bin/env bash
# Installs the built library into a temporary prefix, then builds and runs a
# consumer once through find_package(torvi) and once through pkg-config.
set -euo pipefail
build=$1
consumer=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
libdir=$(ls -d "$tmp"/prefix/lib*/ | head -n1)

cmake -S "$consumer" -B "$tmp/cm" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cm" >/dev/null
LD_LIBRARY_PATH="$libdir" "$tmp/cm/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c99 -Wall -Werror -o "$tmp/pc_consumer" "$consumer/main.c" $(pkg-config --cflags --libs torvi)
LD_LIBRARY_PATH="$libdir" "$tmp/pc_consumer"
for h in torvi.h torvi_export.h torvi_version.h; do test -f "$tmp/prefix/include/torvi/$h"; done
# Only public headers are installed: nothing private, nothing from the source tree.
if find "$tmp/prefix/include" -name '*_internal*' | grep -q .; then echo "private header installed"; exit 1; fi
echo "install consumer: find_package and pkg-config both work"
