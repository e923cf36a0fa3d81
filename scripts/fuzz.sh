#!/usr/bin/env bash
# Builds the decoder's libFuzzer target with clang, ASan and UBSan, and runs it
# for a fixed time on JOBS workers, seeded with the test fixtures, the small
# seeds in fuzz/ and the committed regressions.
#   scripts/fuzz.sh [SECONDS] [JOBS]     default: 60 seconds, 1 job
# The corpus grows in build-fuzz/corpus, and the next run goes on from it.
# Findings land in build-fuzz/artifacts; a worker that makes one starts again
# from the corpus until the time is up. At the end the script prints the
# executions, executions per second, coverage, corpus and findings of the
# run, and fails when there are findings (with MELVOR_FUZZ_REPORT_ONLY=1 it
# only reports them; the build and the run itself must still work). Minimise
# one with
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
PKG_CONFIG_PATH="$pkgpath" cmake --build "$dir" -j2 --target decoder_fuzz

fuzzer="$dir/bin/decoder_fuzz"
seeds=("$root/tests/fixtures" "$root/fuzz/seeds" "$root/fuzz/regressions")
# The harness cuts inputs to 4 KiB (kFuzzLimits). libFuzzer's entropic
# schedule is off: it keeps a frequency for every feature an input touches,
# and an input touches thousands in FFmpeg, which cost a fifth of the time.
args=(-timeout=20 -rss_limit_mb=2560 -max_len=4096 -entropic=0
      -dict="$root/fuzz/decoder.dict" -artifact_prefix="$dir/artifacts/" -print_final_stats=1)
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
mkdir -p "$dir/corpus" "$dir/artifacts"
cd "$dir"
rm -f fuzz-*.log
stamp="$dir/.fuzz-start"
touch "$stamp"
start=$(date +%s)
deadline=$((start + seconds))

# The library writes a trace of its own on every open, without a line end;
# it is taken out so that libFuzzer's lines stay whole.
untrace() { sed -u -E 's/metadata: (0x[0-9a-f]+|\(nil\))//g'; }

# One worker: the fuzzer until the deadline, again after each finding,
# unless it stops at once (an input of the corpus itself fails).
worker() {
  local log="$dir/fuzz-$1.log" left began status
  while left=$((deadline - $(date +%s))); [ "$left" -gt 0 ]; do
    began=$(date +%s)
    set +e
    "$fuzzer" "${args[@]}" -max_total_time="$left" "$dir/corpus" "${seeds[@]}" 2>&1 | untrace >>"$log"
    status=${PIPESTATUS[0]}
    set -e
    [ "$status" -ne 0 ] || break
    echo "fuzz.sh: worker $1 stopped with status $status" >>"$log"
    [ $(($(date +%s) - began)) -ge 10 ] || break
  done
}
for n in $(seq 1 "$jobs"); do worker "$n" & done
wait
elapsed=$(($(date +%s) - start))

# The figures of the run, over all workers.
logs=("$dir"/fuzz-*.log)
executions=$(grep -ahoE 'stat::number_of_executed_units: *[0-9]+' "${logs[@]}" |
             awk '{s += $2} END {print s + 0}')
if [ "$jobs" -gt 1 ]; then
  # Each worker reports what it has seen; one pass over the corpus tells
  # what they found together.
  "$fuzzer" "${args[@]}" -runs=0 "$dir/corpus" "${seeds[@]}" 2>&1 | untrace >"$dir/fuzz-total.txt" || true
  coverage=$(grep -aoE 'INITED +cov: [0-9]+ ft: [0-9]+' "$dir/fuzz-total.txt" | tail -1 | sed 's/INITED *//')
else
  coverage=$(grep -ahoE '#[0-9]+[[:space:]]+(INITED|NEW|REDUCE|pulse|DONE|RELOAD) +cov: [0-9]+ ft: [0-9]+' "${logs[@]}" |
             tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
fi
corpus_files=$(find "$dir/corpus" -type f | wc -l)
corpus_bytes=$(find "$dir/corpus" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
findings=$(find "$dir/artifacts" -type f -newer "$stamp" | wc -l)

echo "== fuzz run: $elapsed s, $jobs worker(s)"
echo "executions:             $executions"
echo "executions per second:  $((executions / (elapsed > 0 ? elapsed : 1))) ($((executions / (elapsed > 0 ? elapsed : 1) / jobs)) per worker)"
echo "coverage:               ${coverage:-unknown}"
echo "corpus:                 $corpus_files files, $corpus_bytes bytes"
echo "findings:               $findings (in $dir/artifacts)"
if [ "$findings" -gt 0 ]; then
  # What broke, once per kind.
  grep -ahE 'invariant broken:|^SUMMARY: ' "${logs[@]}" | sed -E 's/ \(-?[0-9]+, -?[0-9]+\)$//' | sort | uniq -c
  find "$dir/artifacts" -type f -newer "$stamp"
  echo "fuzz.sh: findings; see $dir/fuzz-*.log"
  [ "${MELVOR_FUZZ_REPORT_ONLY:-0}" = 1 ] || exit 1
fi
