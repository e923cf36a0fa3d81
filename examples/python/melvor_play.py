#!/usr/bin/env python3
"""A host in Python: loads libmelvor and libsandrel with ctypes, decodes a
file block by block and plays it on the live device, or renders it to a
WAV file.

    python3 melvor_play.py [--lib-dir DIR] [--wav OUT.wav] FILE

DIR is a build's lib/ folder or an install prefix's; without it the
libraries are looked for in ../../build/lib beside this script, then by the
system's loader (an installed prefix on its search path).
"""
import argparse
import ctypes
import os
import sys
import time


class SandrelFormat(ctypes.Structure):
    """The record ao_play_async takes by value; only `bits` is read."""
    _fields_ = [("head", ctypes.c_int32), ("bits", ctypes.c_int32),
                ("rest", ctypes.c_int32 * 4)]


FMT_NATIVE = 4


def load(name, lib_dir):
    candidates = []
    if lib_dir:
        candidates.append(os.path.join(lib_dir, name))
    here = os.path.dirname(os.path.abspath(__file__))
    candidates.append(os.path.join(here, "..", "..", "build", "lib", name))
    candidates.append(name)
    for c in candidates:
        if c == name or os.path.exists(c):
            try:
                return ctypes.CDLL(c)
            except OSError:
                continue
    sys.exit(f"melvor_play.py: cannot load {name}; give --lib-dir")


def declare(lib, name, restype, *argtypes):
    f = getattr(lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


class Decoder:
    def __init__(self, lib):
        p, i, i64, d = ctypes.c_void_p, ctypes.c_int, ctypes.c_int64, ctypes.c_double
        s = ctypes.c_char_p
        self.init = declare(lib, "fmpg_init", p)
        self.free = declare(lib, "fmpg_free", None, p)
        self.open_file = declare(lib, "fmpg_open_file", i, p, s)
        self.close = declare(lib, "fmpg_close", None, p)
        self.rate = declare(lib, "fmpg_audio_sample_rate", i, p)
        self.channels = declare(lib, "fmpg_audio_channels", i, p)
        self.bits = declare(lib, "fmpg_audio_bits_per_sample", i, p)
        self.duration_ms = declare(lib, "fmpg_duration_ms", i64, p)
        self.title = declare(lib, "fmpg_file_title", s, p)
        self.author = declare(lib, "fmpg_file_author", s, p)
        self.decode_next = declare(lib, "fmpg_decode_next", i, p)
        self.buffer = declare(lib, "fmpg_buffer", p, p)
        self.buffer_size = declare(lib, "fmpg_buffer_size", i, p)
        self.timecode = declare(lib, "fmpg_timecode", d, p)


class Output:
    def __init__(self, lib):
        p, i, d = ctypes.c_void_p, ctypes.c_int, ctypes.c_double
        self.create = declare(lib, "ao_create_async", p, i, i, i, i, ctypes.c_char_p)
        self.play = declare(lib, "ao_play_async", None, p, i, d, d, i, p, SandrelFormat)
        self.stop = declare(lib, "ao_stop_async", None, p)
        self.bufsize = declare(lib, "ao_bufsize_async", i, p)
        self.real_bits = declare(lib, "ao_real_output_bits_async", i, p)
        self.at_second = declare(lib, "ao_is_at_second_async", d, p)


def main():
    ap = argparse.ArgumentParser(description="Plays or renders a file through libmelvor and "
                                 "libsandrel.")
    ap.add_argument("--lib-dir", help="folder holding libmelvor.so.1 and libsandrel.so.1")
    ap.add_argument("--wav", help="render to this WAV file instead of the live device")
    ap.add_argument("file")
    args = ap.parse_args()

    suffix = ".1.dylib" if sys.platform == "darwin" else ".so.1"
    melvor = Decoder(load("libmelvor" + suffix, args.lib_dir))
    sandrel = Output(load("libsandrel" + suffix, args.lib_dir))

    dec = melvor.init()
    if not dec:
        sys.exit("melvor_play.py: the FFmpeg libraries do not match the decoder")
    try:
        if not melvor.open_file(dec, os.fsencode(args.file)):
            sys.exit(f"melvor_play.py: cannot play {args.file}")
        rate, channels = melvor.rate(dec), melvor.channels(dec)
        duration = melvor.duration_ms(dec) / 1000.0
        print(f"{args.file}: {melvor.title(dec).decode(errors='replace')!r} by "
              f"{melvor.author(dec).decode(errors='replace')!r}, {rate} Hz, {channels} channels")
        out = sandrel.create(32, rate, channels, FMT_NATIVE,
                             os.fsencode(args.wav) if args.wav else None)
        if not out:
            sys.exit("melvor_play.py: no audio device could be opened; try --wav FILE")
        fmt = SandrelFormat(bits=melvor.bits(dec))
        half_second = rate * channels * sandrel.real_bits(out) // 8 // 2
        while melvor.decode_next(dec):
            # The block is borrowed until the next decode; ao_play_async copies it.
            sandrel.play(out, 1, melvor.timecode(dec), duration, melvor.buffer_size(dec),
                         melvor.buffer(dec), fmt)
            while sandrel.bufsize(out) > half_second:
                time.sleep(0.01)
        while sandrel.bufsize(out) > 0:
            time.sleep(0.01)
        print(f"played to {sandrel.at_second(out):.2f} s")
        sandrel.stop(out)
    finally:
        melvor.free(dec)


if __name__ == "__main__":
    main()
