#!/usr/bin/env bash
# Builds the decoder's libFuzzer target with clang, ASan and UBSan, and runs it
# on the test fixtures for a fixed time.
#   scripts/fuzz.sh [SECONDS] [JOBS]     default: 60 seconds, 1 job
# The corpus grows in build-fuzz/corpus; crashes land in build-fuzz/artifacts.
# A crash, a leak or a timeout makes the script fail; minimise it with
#   build-fuzz/bin/decoder_fuzz -minimize_crash=1 -runs=10000 FILE
# and commit it to fuzz/regressions/, which every ctest run replays.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
jobs="${2:-1}"
dir="$root/build-fuzz"

# FFmpeg itself carries coverage instrumentation, so that the fuzzer learns
# the formats' structure; built once into the cache like the release build.
export FFMPEG_EXTRA_OPTIONS="--cc=clang-14 --cxx=clang++-14 --extra-cflags=-fsanitize=fuzzer-no-link --extra-ldflags=-fsanitize=fuzzer-no-link"
"$root/scripts/ffmpeg.sh" build
pkgpath="$("$root/scripts/ffmpeg.sh" pkgpath)"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  PKG_CONFIG_PATH="$pkgpath" CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" \
    -DMELVOR_WERROR=ON -DMELVOR_FUZZ=ON -DMELVOR_SANITIZE=address,undefined \
    -DMELVOR_BUILD_TESTS=OFF -DMELVOR_BUILD_BENCH=OFF >/dev/null
fi
PKG_CONFIG_PATH="$pkgpath" cmake --build "$dir" -j"$(nproc)" --target decoder_fuzz

mkdir -p "$dir/corpus" "$dir/artifacts"
args=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -max_len=1048576
      -dict="$root/fuzz/decoder.dict" -artifact_prefix="$dir/artifacts/" -print_final_stats=1)
if [ "$jobs" -gt 1 ]; then
  args+=(-jobs="$jobs" -workers="$jobs")
fi
cd "$dir"
log="$dir/fuzz.log"
status=0
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
  "$dir/bin/decoder_fuzz" "${args[@]}" "$dir/corpus" "$root/tests/fixtures" \
  "$root/fuzz/regressions" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  tail -80 "$log"
  echo "fuzz.sh: the fuzzer stopped with status $status; the input is in $dir/artifacts/"
  exit "$status"
fi
# libFuzzer's last status line (executions, coverage, corpus) and its totals.
grep -E '^#[0-9]+' "$log" | tail -1
grep -E '^stat::' "$log"
