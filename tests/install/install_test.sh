#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds a front end against it twice: with
# pkg-config and with CMake's find_package. Only the reg_* functions may be exported.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
lib=$(find "$tmp/prefix" -name 'libtarnwick-registry-storage.so' | head -n 1)

exported=$(nm -D --defined-only "$lib" | awk '$2 == "T" {print $3}' | sort)
count=$(echo "$exported" | grep -c '^reg_' || true)
others=$(echo "$exported" | grep -v '^reg_' || true)
[ "$count" -eq 28 ] || { echo "expected 28 exported reg_* functions, found $count"; exit 1; }
[ -z "$others" ] || { echo "unexpected exports: $others"; exit 1; }

export PKG_CONFIG_PATH="$(dirname "$lib")/pkgconfig"
cc -std=c99 -Wall -Werror -o "$tmp/pc-consumer" "$here/consumer.c" \
  $(pkg-config --cflags --libs tarnwick-registry-storage) -Wl,-rpath,"$(dirname "$lib")"
"$tmp/pc-consumer" "$tmp/store1" | grep -q '"repositories":\[\]'

cmake -S "$here" -B "$tmp/cm" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cm" >/dev/null
"$tmp/cm/consumer" "$tmp/store2" >/dev/null
echo "install: 28 exports, pkg-config and find_package consumers work"
