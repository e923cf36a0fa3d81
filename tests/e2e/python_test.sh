#!/usr/bin/env bash
# The Python example renders a file through both libraries (loaded by
# ctypes from the build tree); its WAV equals the reference decode.
# python_test.sh LIB_DIR FIXTURE
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/melvor-python.XXXXXX")"
trap 'rm -rf "$work"' EXIT
python3 "$here/../../examples/python/melvor_play.py" --lib-dir "$1" --wav "$work/out.wav" "$2" \
  2>/dev/null
python3 "$here/compare_wav.py" "$2" "$work/out.wav"
