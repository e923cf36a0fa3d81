#!/usr/bin/env bash
# valgrind.sh BUILD_DIR [PROGRAM...]
# Runs the decoder's and the output library's test programs under valgrind's
# memcheck: any invalid read or write, use of uninitialised memory or
# definitely lost block fails the run. Prints each program's time.
set -euo pipefail
build="$1"; shift
programs=("$@")
if ((${#programs[@]} == 0)); then
  programs=(decoder_api_tests decoder_decode_tests decoder_internal_tests decoder_version_tests
            output_internal_tests output_api_tests output_stress_tests output_libao_tests
            device_fault_tests file_fault_tests)
fi
logs="$build/valgrind"
mkdir -p "$logs"
failed=0
for p in "${programs[@]}"; do
  start=$(date +%s%N)
  status=0
  valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    --show-leak-kinds=definite --track-origins=no \
    "$build/bin/$p" >"$logs/$p.log" 2>&1 || status=$?
  took=$(( ($(date +%s%N) - start) / 100000000 ))
  if [ "$status" -eq 0 ]; then
    printf 'valgrind: %-24s ok  %4d.%d s  %s\n' "$p" $((took / 10)) $((took % 10)) \
      "$(grep -E '^\[  PASSED  \]' "$logs/$p.log" | tail -1)"
  else
    failed=1
    printf 'valgrind: %-24s FAILED (status %d), see %s\n' "$p" "$status" "$logs/$p.log"
    grep -E '^==[0-9]+==' "$logs/$p.log" | head -40 || true
  fi
done
exit "$failed"
