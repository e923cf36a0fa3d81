#!/usr/bin/env bash
# Prepares a machine for building and testing: system packages, then FFmpeg 8.
# Idempotent: a second run only checks what is there.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"

# Packages the build, the tests and the fixture script use.
packages=(
  cmake g++ make pkg-config nasm binutils xz-utils
  libgtest-dev libgmock-dev libbenchmark-dev
  libao-dev libao4
  zlib1g-dev libbz2-dev liblzma-dev
  ffmpeg sox musepack-tools
  clang-14 libclang-rt-14-dev valgrind python3
  gdb
  pulseaudio pulseaudio-utils libasound2-plugins
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

prefix="$("$here/ffmpeg.sh" prefix)"
if [ ! -f "$prefix/.complete" ] && ! "$here/ffmpeg.sh" system >/dev/null; then
  "$here/ffmpeg.sh" build
fi
