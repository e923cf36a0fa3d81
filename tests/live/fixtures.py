"""Fixtures of the live and player tests, made on the fly, and the sample
arithmetic that says what a device must receive from them."""
import array
import os
import random
import struct
import subprocess
import sys

RATE = 48000
BLOCK = 4800  # frames per FLAC frame, so one decoder block is 100 ms


def index_flac(path, seconds, sign=-1):
    """48 kHz 24-bit stereo FLAC in 100 ms frames whose left sample n is
    n + 1 and whose right one is sign * (n + 1): every frame says where it
    comes from, and none is silent."""
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    f"aevalsrc=(n+1)/8388608|{sign}*(n+1)/8388608:s={RATE}:d={seconds}",
                    "-c:a", "flac", "-sample_fmt", "s32", "-frame_size", str(BLOCK), path],
                   check=True)
    return path


def noise_wav(path, seconds, seed=12):
    """48 kHz stereo 32-bit WAV of full-range noise: every bit of a sample
    matters, and narrowing and scaling touch most samples."""
    rng = random.Random(seed)
    frames = int(seconds * RATE)
    data = array.array("i", (rng.randint(-2**31, 2**31 - 1) for _ in range(frames * 2)))
    if sys.byteorder != "little":
        data.byteswap()
    blob = data.tobytes()
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(blob)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, RATE, RATE * 8, 8, 32))
        f.write(b"data" + struct.pack("<I", len(blob)) + blob)
    return path


def samples(blob):
    """Native ints of s32le bytes."""
    a = array.array("i")
    a.frombytes(blob[:len(blob) // 4 * 4])
    if sys.byteorder != "little":
        a.byteswap()
    return a


def to_bytes(values):
    a = array.array("i", values)
    if sys.byteorder != "little":
        a.byteswap()
    return a.tobytes()


def at_device(values, bits, volume=100.0):
    """What a 32-bit monitor records of s32 samples played at `bits` bits:
    narrowed by truncation toward zero, scaled by the volume (hundredths,
    truncated toward zero) and saturated at the device width, and widened
    back by the sound server's shift."""
    shift = 32 - bits
    hundredths = int(volume * 100)
    if 9990 <= hundredths <= 10010:
        hundredths = 10000
    top, bottom = (1 << (bits - 1)) - 1, -(1 << (bits - 1))
    out = []
    for v in values:
        n = truncated(v, 1 << shift)
        if hundredths != 10000:
            n = max(bottom, min(top, truncated(n * hundredths, 10000)))
        out.append(n << shift)
    return out


def truncated(a, b):
    """a / b rounded toward zero, as C divides."""
    q = abs(a) // b
    return q if a >= 0 else -q


def frames(blob, channels=2):
    """The frames of s32le bytes, as tuples."""
    v = samples(blob)
    return [tuple(v[i:i + channels]) for i in range(0, len(v) - channels + 1, channels)]


def work_dir(name):
    d = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"melvor-live-{name}-{os.getpid()}")
    os.makedirs(d, exist_ok=True)
    return d
