#!/usr/bin/env bash
# check-exports.sh LIBRARY LIST: the library's dynamic symbol table defines
# exactly the functions named in LIST (and the version node), nothing else.
set -euo pipefail
lib="$1"; list="$2"
want="$(grep -v -E '^\s*(#|$)' "$list" | sed 's/\s//g' | sort)"
have="$(nm -D --defined-only "$lib" | awk '$2 != "A" {print $3}' | sed 's/@.*//' | sort)"
if [ "$want" != "$have" ]; then
  echo "exported symbols of $lib differ from $list:"
  diff <(echo "$want") <(echo "$have") | sed -n 's/^</missing: /p; s/^>/extra:   /p'
  exit 1
fi
echo "$(echo "$have" | wc -l) symbols, as listed"
