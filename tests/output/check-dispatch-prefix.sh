#!/usr/bin/env bash
# check-dispatch-prefix.sh LIBRARY PREFIX: libsandrel built with
# SANDREL_DISPATCH_PREFIX=PREFIX takes libdispatch from PREFIX/lib, through
# its run path, and does not carry the stand-in's calls itself.
set -euo pipefail
lib="$1"; prefix="$2"
dynamic="$(readelf -d "$lib")"
fail() { echo "$lib: $*"; exit 1; }
grep -q -E 'NEEDED.*\[libdispatch\.so(\.[0-9]+)*\]' <<<"$dynamic" || fail "does not need libdispatch.so"
grep -E 'R(UN)?PATH' <<<"$dynamic" | grep -q -F "$prefix/lib" || fail "run path without $prefix/lib"
defined="$(nm -D --defined-only "$lib")"
undefined="$(nm -D --undefined-only "$lib")"
if grep -q dispatch_ <<<"$defined"; then fail "defines libdispatch's calls itself"; fi
grep -q dispatch_semaphore_create <<<"$undefined" || fail "does not call dispatch_semaphore_create"
resolved="$(ldd "$lib" | awk '$1 ~ /^libdispatch\.so/ {print $3}')"
[ "$resolved" -ef "$prefix/lib/libdispatch.so" ] || fail "loads libdispatch.so from '$resolved'"
echo "libdispatch.so from $prefix/lib"
