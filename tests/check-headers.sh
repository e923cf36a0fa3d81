#!/usr/bin/env bash
# check-headers.sh INCLUDE_DIR... -- COMPILER...
# The public headers (every .h in the include directories), included
# together, compile with no warning as C99 and C11 (C compilers) and as
# C++98 and C++11 (C++ compilers), pedantic; and under C++11 a definition
# of an export that lacks noexcept fails to compile. A compiler is named
# cc:PROGRAM or cxx:PROGRAM.
set -euo pipefail
dirs=()
while [ "$1" != "--" ]; do dirs+=("$1"); shift; done
shift
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

includes=() flags=()
for d in "${dirs[@]}"; do
  flags+=(-I "$d")
  for h in "$d"/*.h; do includes+=("#include <$(basename "$h")>"); done
done
printf '%s\n' "${includes[@]}" >"$work/headers.c"
cp "$work/headers.c" "$work/headers.cpp"
# One export of each header, defined as a C++ host might wrongly do.
{
  printf '%s\n' "${includes[@]}"
  echo 'extern "C" int ao_async_version(void) { return 0; }'
  echo 'extern "C" int fmpg_version(void) { return 0; }'
} >"$work/throwing.cpp"

failed=0
checked=0
for spec in "$@"; do
  kind="${spec%%:*}" compiler="${spec#*:}"
  if [ "$kind" = cc ]; then
    standards=(c99 c11) source="$work/headers.c"
  else
    standards=(c++98 c++11) source="$work/headers.cpp"
  fi
  for std in "${standards[@]}"; do
    if "$compiler" -std="$std" -pedantic -Wall -Wextra -Werror -fsyntax-only "${flags[@]}" \
        "$source" 2>"$work/err"; then
      echo "ok      $compiler -std=$std"
    else
      echo "FAILED  $compiler -std=$std"; cat "$work/err"; failed=1
    fi
    checked=$((checked + 1))
  done
  if [ "$kind" = cxx ]; then
    if "$compiler" -std=c++11 -fsyntax-only "${flags[@]}" "$work/throwing.cpp" 2>"$work/err"; then
      echo "FAILED  $compiler: exports defined without noexcept compiled"; failed=1
    elif [ "$(grep -ci 'exception spec' "$work/err")" -lt 2 ]; then
      echo "FAILED  $compiler: not refused for their exception specification"; cat "$work/err"
      failed=1
    else
      echo "ok      $compiler refuses exports defined without noexcept"
    fi
  fi
done
[ "$checked" -gt 0 ] || { echo "no compiler given"; exit 1; }
exit "$failed"
