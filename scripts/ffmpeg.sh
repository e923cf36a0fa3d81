#!/usr/bin/env bash
# FFmpeg 8 for the decoder.
#   ffmpeg.sh system   exit 0 when pkg-config already finds FFmpeg 8 (the majors below)
#   ffmpeg.sh prefix   print the cache prefix of our own build
#   ffmpeg.sh build    build FFmpeg 8.1.2 into that prefix (skipped when complete)
#   ffmpeg.sh pkgpath  print the PKG_CONFIG_PATH entry the build must use ("" for a system FFmpeg)
# The build goes to a cache outside the clone, keyed by version and options,
# so every clone and every CI run on this machine shares it.
set -euo pipefail

version=8.1.2
sha256_file_default="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/../shared/deps/SHA256SUMS"
release_url="https://ffmpeg.org/releases/ffmpeg-${version}.tar.xz"

# Shared libraries; every demuxer, decoder and parser (the defaults);
# only the file protocol; x86 assembly through nasm; nothing else.
# FFmpeg's libraries find each other through their own RPATH.
options=(
  --enable-shared --disable-static --enable-rpath
  --disable-programs --disable-doc
  --disable-encoders --disable-muxers --disable-filters --disable-avfilter
  --disable-avdevice --disable-swscale
  --disable-network --disable-protocols --enable-protocol=file
  --disable-autodetect --enable-zlib --enable-bzlib --enable-lzma
  --disable-debug --enable-x86asm
)
# Extra options (an instrumented build, say) change the cache key too.
if [ -n "${FFMPEG_EXTRA_OPTIONS:-}" ]; then
  # shellcheck disable=SC2206
  options+=(${FFMPEG_EXTRA_OPTIONS})
fi

key="$(printf '%s\n' "$version" "${options[@]}" | sha256sum | cut -c1-12)"
cache="${MELVOR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/melvor}"
prefix="$cache/ffmpeg-$version-$key"

want_majors="libavformat=62 libavcodec=62 libswresample=6 libavutil=60"

system_ok() {
  command -v pkg-config >/dev/null || return 1
  local pair lib major v
  for pair in $want_majors; do
    lib="${pair%=*}"; major="${pair#*=}"
    v="$(PKG_CONFIG_PATH= pkg-config --modversion "$lib" 2>/dev/null)" || return 1
    [ "${v%%.*}" = "$major" ] || return 1
  done
}

expected_sha() {
  local sums="${FFMPEG_SHA256SUMS:-$sha256_file_default}"
  [ -f "$sums" ] || { echo "ffmpeg.sh: no checksum list at $sums" >&2; return 1; }
  awk '/ffmpeg_'"$version"'\.orig\.tar\.xz|ffmpeg-'"$version"'\.tar\.xz/ {print $1; exit}' "$sums"
}

find_tarball() {
  local c
  for c in "${FFMPEG_TARBALL:-}" "$(dirname "$sha256_file_default")/ffmpeg_${version}.orig.tar.xz"; do
    if [ -n "$c" ] && [ -f "$c" ]; then echo "$c"; return 0; fi
  done
  mkdir -p "$cache/downloads"
  c="$cache/downloads/ffmpeg-${version}.tar.xz"
  if [ ! -f "$c" ]; then
    echo "ffmpeg.sh: downloading $release_url" >&2
    curl -fL --retry 2 -o "$c.part" "$release_url" >&2
    mv "$c.part" "$c"
  fi
  echo "$c"
}

build() {
  if [ -f "$prefix/.complete" ]; then return 0; fi
  local tarball sha want work jobs
  tarball="$(find_tarball)"
  want="$(expected_sha)"
  sha="$(sha256sum "$tarball" | cut -d' ' -f1)"
  if [ -z "$want" ] || [ "$sha" != "$want" ]; then
    echo "ffmpeg.sh: checksum mismatch for $tarball (got $sha, want ${want:-nothing})" >&2
    return 1
  fi
  work="$(mktemp -d "${TMPDIR:-/tmp}/ffmpeg-build.XXXXXX")"
  trap 'rm -rf "$work"' RETURN
  echo "ffmpeg.sh: building FFmpeg $version into $prefix" >&2
  tar -xJf "$tarball" -C "$work"
  jobs="$(nproc 2>/dev/null || echo 2)"
  rm -rf "$prefix"
  (
    cd "$work/ffmpeg-$version"
    ./configure --prefix="$prefix" "${options[@]}" >"$work/configure.log" 2>&1 ||
      { tail -40 "$work/configure.log" >&2; exit 1; }
    make -j"$jobs" >"$work/make.log" 2>&1 || { tail -60 "$work/make.log" >&2; exit 1; }
    make install >"$work/install.log" 2>&1 || { tail -40 "$work/install.log" >&2; exit 1; }
  )
  printf '%s\n' "${options[@]}" >"$prefix/.options"
  touch "$prefix/.complete"
}

case "${1:-}" in
  system) system_ok ;;
  prefix) echo "$prefix" ;;
  build) build ;;
  pkgpath)
    if [ -f "$prefix/.complete" ]; then echo "$prefix/lib/pkgconfig"
    elif system_ok; then echo ""
    else echo "ffmpeg.sh: FFmpeg 8 is neither installed nor built; run scripts/setup.sh" >&2; exit 1
    fi ;;
  *) echo "usage: $0 system|prefix|build|pkgpath" >&2; exit 2 ;;
esac
