#!/usr/bin/env bash
# Synthesises the bundled demo piece samples/melvor-demo.flac: a short
# plucked tune over a soft drone, tagged, 44.1 kHz stereo, 16-bit FLAC.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

notes=(E4 G4 A4 B4 D5 B4 A4 G4 E4 G4 A4 E5 D5 B4 A4 E4)
parts=()
i=0
for n in "${notes[@]}"; do
  f="$tmp/n$i.wav"
  sox -n -r 44100 -c 2 -b 16 "$f" synth 0.375 pluck "$n" fade 0 0.375 0.1 gain -8 remix 1v0.9 1v0.6
  parts+=("$f")
  i=$((i + 1))
done
sox "${parts[@]}" "$tmp/tune.wav"
sox -n -r 44100 -c 2 -b 16 "$tmp/drone.wav" synth 6 sine E2 sine B2 fade 0.5 6 1 gain -24
sox -m "$tmp/tune.wav" "$tmp/drone.wav" "$tmp/piece.wav" gain -n -3

mkdir -p "$root/samples"
ffmpeg -hide_banner -loglevel error -nostdin -y -i "$tmp/piece.wav" \
  -metadata title="Small Pluck Tune" -metadata artist="Melvor Project" \
  -metadata album="Demo Pieces" -metadata genre="Synth" -metadata date="2026" \
  -metadata track="1/1" -metadata comment="synthesised by scripts/make-sample.sh" \
  -metadata copyright="CC0" -fflags +bitexact -flags:a +bitexact -c:a flac \
  "$root/samples/melvor-demo.flac"
ls -l "$root/samples/melvor-demo.flac"
