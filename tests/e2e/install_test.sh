#!/usr/bin/env bash
# Installs the build into a fresh prefix, builds the tiny C host against it
# with pkg-config only (and once more through the CMake package), runs it,
# and checks the WAV it renders against a reference decode.
# install_test.sh BUILD_DIR FIXTURE FFMPEG_PKG_CONFIG_DIR
set -euo pipefail
build="$1"; fixture="$2"; ffmpeg_pc="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/melvor-install.XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in lib/libmelvor.so lib/libmelvor.so.1 lib/libsandrel.so lib/libsandrel.so.1 \
         include/melvor.h include/sandrel.h lib/pkgconfig/melvor.pc lib/pkgconfig/sandrel.pc \
         lib/cmake/melvor/melvorConfig.cmake bin/melvor-play bin/melvor-info; do
  [ -e "$prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig${ffmpeg_pc:+:$ffmpeg_pc}"
libdir="$(pkg-config --variable=libdir melvor)"
cc -std=c11 -Wall -Wextra -Werror -o "$work/host" "$here/host.c" \
  $(pkg-config --cflags melvor sandrel) $(pkg-config --libs melvor sandrel) -Wl,-rpath,"$libdir"
"$work/host" "$fixture" "$work/host.wav" 2>/dev/null

cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer" "$fixture" "$work/consumer.wav" 2>/dev/null

python3 "$here/compare_wav.py" "$fixture" "$work/host.wav" "$work/consumer.wav"
"$prefix/bin/melvor-info" "$fixture" >/dev/null 2>&1
echo "installed prefix works: pkg-config host, CMake package host, installed tools"
