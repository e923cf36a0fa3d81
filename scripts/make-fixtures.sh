#!/usr/bin/env bash
# Makes the committed test fixtures in tests/fixtures/ with Debian's ffmpeg
# and sox. The files are committed; rerun this only to change them.
# Every file is short and quiet on disk (about 1.3 MB together).
set -euo pipefail
out="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/fixtures"
mkdir -p "$out"
cd "$out"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
bitexact=(-fflags +bitexact -flags:a +bitexact)
tags=(-metadata title="Melvor Tone" -metadata artist="The Testers" -metadata album="Fixtures"
      -metadata genre="Test" -metadata comment="made by make-fixtures.sh"
      -metadata copyright="public domain" -metadata date="2004-05-01" -metadata track="3/12")

# A two-tone stereo source, 44.1 kHz, 2.5 s = 110250 samples.
ff -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.4*sin(2*PI*660*t):s=44100:d=2.5" \
   -c:a pcm_s16le "$tmp/tone.wav"

# Lossless, tagged. FLAC keeps Vorbis comments in the container, keys in
# upper case (TITLE, ARTIST ...), and the year under DATE.
ff -i "$tmp/tone.wav" "${tags[@]}" "${bitexact[@]}" -c:a flac tone.flac
# PCM in WAV: 16-bit mono without any tags, 24 bits, 32-bit float.
# WavPack, ALAC and TTA: 1 s each.
ff -i "$tmp/tone.wav" -t 0.5 -ac 1 -map_metadata -1 "${bitexact[@]}" -c:a pcm_s16le notags.wav
ff -i "$tmp/tone.wav" -t 0.5 "${bitexact[@]}" -c:a pcm_s24le tone24.wav
ff -i "$tmp/tone.wav" -t 0.25 "${bitexact[@]}" -c:a pcm_f32le tonef32.wav
ff -i "$tmp/tone.wav" -t 1 "${bitexact[@]}" -c:a wavpack tone.wv
ff -i "$tmp/tone.wav" -t 1 "${bitexact[@]}" -c:a alac tone_alac.m4a
ff -i "$tmp/tone.wav" -t 1 "${bitexact[@]}" -c:a tta tone.tta

# Keys in odd letter case; "author" is not a key the decoder reads; "YEAR"
# (with leading blanks) wins over "date"; a track that is not a number.
ff -f lavfi -i "sine=r=8000:d=0.2" -metadata Title="Mixed Case" -metadata aRtIsT="Odd Artist" \
   -metadata author="Not Read" -metadata YEAR="  7" -metadata date="1999" -metadata TRACK="abc" \
   "${bitexact[@]}" -c:a flac oddcase.flac

# Lossy. MP3 with ID3v2 tags (year in TDRC); AAC in MP4 (year in (c)day)
# and as ADTS; Vorbis and Opus in Ogg (tags in the stream's dictionary);
# MP2 and AC-3.
ff -i "$tmp/tone.wav" "${tags[@]}" -c:a libmp3lame -b:a 128k tone.mp3
ff -i "$tmp/tone.wav" "${tags[@]}" "${bitexact[@]}" -c:a aac -b:a 96k tone.m4a
ff -i "$tmp/tone.wav" "${bitexact[@]}" -c:a aac -b:a 96k -f adts tone.aac
ff -i "$tmp/tone.wav" "${tags[@]}" "${bitexact[@]}" -c:a libvorbis -q:a 2 tone.ogg
ff -i "$tmp/tone.wav" "${tags[@]}" "${bitexact[@]}" -c:a libopus -b:a 64k tone.opus
ff -i "$tmp/tone.wav" "${bitexact[@]}" -c:a mp2 -b:a 128k tone.mp2
ff -i "$tmp/tone.wav" "${bitexact[@]}" -c:a ac3 -b:a 96k tone.ac3

# Samples that encode their own index: 48 kHz, 24 bits, 3 s; left = n,
# right = -n. Decoded to s32 they read n << 8 and -n << 8.
ff -f lavfi -i "aevalsrc=n/8388608|-n/8388608:s=48000:d=3" -c:a flac -sample_fmt s32 \
   "${bitexact[@]}" index24.flac
# The same index signal, 1 s, as FLAC in Matroska, with the sync code of
# its fourth frame (samples 13824 to 18431) wiped: the codec refuses that
# frame and the container's millisecond timestamps go on.
ff -f lavfi -i "aevalsrc=n/8388608|-n/8388608:s=48000:d=1" -c:a flac -sample_fmt s32 \
   "${bitexact[@]}" index_lost.mkv
pos=$(ffprobe -v error -select_streams a -show_entries packet=pos -of csv=p=0 index_lost.mkv | sed -n 4p)
sync=$(python3 -c "import sys; print(open(sys.argv[1], 'rb').read().index(b'\\xff\\xf8', int(sys.argv[2])))" \
       index_lost.mkv "$pos")
printf '\0\0' | dd of=index_lost.mkv bs=1 seek="$sync" conv=notrunc status=none
# 16-bit mono, 44.1 kHz, 1 s: the value is n - 32768.
ff -f lavfi -i "aevalsrc=(n-32768)/32768:s=44100:d=1" "${bitexact[@]}" -c:a pcm_s16le index16.wav

# 5.1 FLAC, 0.25 s.
ff -f lavfi -i "aevalsrc=0.1*sin(2*PI*200*t)|0.1*sin(2*PI*300*t)|0.1*sin(2*PI*400*t)|0.1*sin(2*PI*50*t)|0.1*sin(2*PI*500*t)|0.1*sin(2*PI*600*t):s=48000:d=0.25:c=5.1" \
   "${bitexact[@]}" -c:a flac surround51.flac

# Containers with other streams: audio plus a tiny video, two audio streams
# (a stereo FLAC marked default and a mono MP2), and video alone.
ff -f lavfi -i "testsrc=size=32x32:rate=5:duration=2.5" -i "$tmp/tone.wav" \
   -map 0:v -map 1:a -c:v mpeg4 -q:v 31 -c:a flac -metadata title="With Video" \
   "${bitexact[@]}" av.mkv
ff -i "$tmp/tone.wav" -i "$tmp/tone.wav" -map 0:a -map 1:a -c:a:0 flac -c:a:1 mp2 -ac:a:1 1 \
   -b:a:1 64k -disposition:a:0 default -disposition:a:1 0 "${bitexact[@]}" two_audio.mkv
ff -f lavfi -i "testsrc=size=32x32:rate=5:duration=1" -c:v mpeg4 -q:v 31 "${bitexact[@]}" \
   video_only.mp4

# No duration anywhere: Matroska written to a pipe has no Duration element
# and no cues, and FLAC gives no bit rate to estimate one from. (It must be
# longer than what probing reads, or FFmpeg works the duration out.)
ff -f lavfi -i "sine=f=300:r=8000:d=6" -c:a flac -f matroska - >noduration.mkv

# Coarse timestamps: AAC and Opus in Matroska/WebM, stamped in whole
# milliseconds, 1 s each.
ff -i "$tmp/tone.wav" -t 1 "${bitexact[@]}" -c:a aac -b:a 64k tone_aac.mkv
ff -i "$tmp/tone.wav" -t 1 "${bitexact[@]}" -c:a libopus -b:a 32k tone.webm

# Streams that change part-way, joined with cat: a 44.1 kHz MP3 and a 48 kHz
# one (the stream reports 48000), a mono ADTS and a stereo one (the stream
# reports 1 channel, the opened decoder 2). 0.6 and 0.5 s each.
ff -i "$tmp/tone.wav" -t 0.6 "${bitexact[@]}" -c:a libmp3lame -b:a 64k "$tmp/a44.mp3"
ff -i "$tmp/tone.wav" -t 0.6 -ar 48000 "${bitexact[@]}" -c:a libmp3lame -b:a 64k "$tmp/b48.mp3"
cat "$tmp/a44.mp3" "$tmp/b48.mp3" >joined.mp3
ff -i "$tmp/tone.wav" -t 0.5 -ac 1 "${bitexact[@]}" -c:a aac -b:a 32k -f adts "$tmp/mono.aac"
ff -i "$tmp/tone.wav" -t 0.5 "${bitexact[@]}" -c:a aac -b:a 48k -f adts "$tmp/stereo.aac"
cat "$tmp/mono.aac" "$tmp/stereo.aac" >joined.aac
# And one that ends at the other rate: ADTS at 44.1 kHz for 1 s, then at
# 48 kHz for 0.3 s; the stream reports 44100, so its end is resampled.
ff -i "$tmp/tone.wav" -t 1 "${bitexact[@]}" -c:a aac -b:a 48k -f adts "$tmp/a44.aac"
ff -i "$tmp/tone.wav" -t 0.3 -ar 48000 "${bitexact[@]}" -c:a aac -b:a 48k -f adts "$tmp/b48.aac"
cat "$tmp/a44.aac" "$tmp/b48.aac" >joined_rate.aac

# Damaged data in the middle: a 2 s MP3 with 3000 bytes of noise after its
# first 8000 bytes.
ff -i "$tmp/tone.wav" -t 2 "${bitexact[@]}" -c:a libmp3lame -b:a 64k "$tmp/clean.mp3"
ff -f lavfi -i "anoisesrc=seed=11:d=0.1:r=30000" -f u8 -c:a pcm_u8 "$tmp/noise.bin"
{ head -c 8000 "$tmp/clean.mp3"; cat "$tmp/noise.bin"; tail -c +8001 "$tmp/clean.mp3"; } >garbage.mp3

# Classes whose positions and seeks depend on how the container labels its
# packets, 1.5 s each from a chirp (a steady tone hides misplaced samples):
# Ogg with FLAC, with Vorbis beside Theora video, with Speex; MP3 at the
# MPEG-2 and 2.5 rates (576-sample frames) and one without a table of
# contents but with an ID3v1 tag; E-AC-3 at 44.1 kHz; WMA in ASF; Musepack
# SV8; and Vorbis whose header packets span several Ogg pages (a long
# comment).
chirp() {  # RATE OUT
  ff -f lavfi -i "aevalsrc=0.4*sin(2*PI*(220+400*t)*t)|0.3*sin(2*PI*(660-150*t)*t):s=$1:d=1.5" \
     -c:a pcm_s16le "$2"
}
chirp 44100 "$tmp/chirp44.wav"
ff -i "$tmp/chirp44.wav" "${bitexact[@]}" -c:a flac chirp_flac.oga
ff -f lavfi -i "testsrc=size=32x32:rate=5:duration=1.5" -i "$tmp/chirp44.wav" -map 0:v -map 1:a \
   "${bitexact[@]}" -c:v libtheora -q:v 1 -c:a libvorbis -q:a 0 chirp_theora.ogv
for rate in 8000 16000 22050; do
  chirp "$rate" "$tmp/chirp$rate.wav"
  ff -i "$tmp/chirp$rate.wav" "${bitexact[@]}" -c:a libmp3lame -b:a 24k "chirp_mp3_$rate.mp3"
done
ff -i "$tmp/chirp16000.wav" -ac 1 "${bitexact[@]}" -c:a libspeex chirp_speex.ogg
ff -i "$tmp/chirp44.wav" "${bitexact[@]}" -c:a libmp3lame -b:a 64k -write_xing 0 -write_id3v1 1 \
   -metadata title="No TOC" chirp_notoc.mp3
ff -i "$tmp/chirp44.wav" "${bitexact[@]}" -c:a eac3 -b:a 96k chirp.eac3
ff -i "$tmp/chirp44.wav" "${bitexact[@]}" -c:a wmav2 -b:a 64k chirp_wmav2.wma
mpcenc --silent --overwrite --telephone "$tmp/chirp44.wav" chirp_sv8.mpc
ff -i "$tmp/chirp44.wav" "${bitexact[@]}" -metadata comment="$(head -c 90000 /dev/zero | tr '\0' 'x')" \
   -c:a libvorbis -q:a 0 chirp_bigheader.ogg

# Bad input: nothing, noise, a cut FLAC and a cut MP3; and noise that opens,
# behind the first good frames of tone.aac.
: >empty.bin
ff -f lavfi -i "anoisesrc=seed=7:d=0.1:r=8000" -f u8 -c:a pcm_u8 random.bin
ff -f lavfi -i "anoisesrc=seed=13:d=0.5:r=8000" -f u8 -c:a pcm_u8 "$tmp/noise.bin"
{ head -c 2000 tone.aac; cat "$tmp/noise.bin"; } >garbage_tail.aac
head -c 40000 tone.flac >truncated.flac
head -c 20000 tone.mp3 >truncated.mp3

echo "fixtures in $out:"
ls -l "$out" | awk 'NR>1 {t+=$5} END {print "total bytes:", t}'
