"""Helpers of the end-to-end and live checks: WAV data chunks, reference
decodes, fixtures made on the fly, and the sample arithmetic that says what
the output library makes of the decoder's samples."""
import array
import os
import pty
import random
import select
import shutil
import struct
import subprocess
import sys
import time

RATE = 48000
BLOCK = 4800  # frames per FLAC frame of index_flac: one decoder block is 100 ms


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def wav_data(path):
    """(format tag, channels, rate, bits, data bytes) of a RIFF WAVE file."""
    with open(path, "rb") as f:
        blob = f.read()
    if blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        fail(f"{path} is not a WAV file")
    pos, fmt, data = 12, None, None
    while pos + 8 <= len(blob):
        chunk, size = blob[pos:pos + 4], struct.unpack_from("<I", blob, pos + 4)[0]
        body = blob[pos + 8:pos + 8 + size]
        if chunk == b"fmt ":
            tag, channels, rate = struct.unpack_from("<HHI", body, 0)
            bits = struct.unpack_from("<H", body, 14)[0]
            fmt = (tag, channels, rate, bits)
        elif chunk == b"data":
            data = body
        pos += 8 + size + (size & 1)
    if fmt is None or data is None:
        fail(f"{path} has no fmt or data chunk")
    return fmt + (data,)


def reference_s32(path):
    """An independent decode (Debian's ffmpeg) to interleaved s32le."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:a:0",
                          "-f", "s32le", "-"], check=True, stdout=subprocess.PIPE).stdout
    return out


def samples32(data):
    """Native ints of s32le bytes."""
    a = array.array("i")
    a.frombytes(data[:len(data) // 4 * 4])
    if sys.byteorder != "little":
        a.byteswap()
    return a


def to_s32(values):
    """s32le bytes of ints."""
    a = array.array("i", values)
    if sys.byteorder != "little":
        a.byteswap()
    return a.tobytes()


def frames(data, channels=2):
    """The frames of s32le bytes, as tuples."""
    v = samples32(data)
    return [tuple(v[i:i + channels]) for i in range(0, len(v) - channels + 1, channels)]


def truncated(a, b):
    """a / b rounded toward zero, as C divides."""
    q = abs(a) // b
    return q if a >= 0 else -q


def at_width(values, bits, volume=100.0):
    """s32 samples as the output library hands them to a `bits`-bit device:
    narrowed by truncation toward zero, then scaled by the volume (kept in
    hundredths, truncated toward zero, 99.9 to 100.1 being unity) and
    saturated at the width."""
    hundredths = int(volume * 100)
    if 9990 <= hundredths <= 10010:
        hundredths = 10000
    top, bottom = (1 << (bits - 1)) - 1, -(1 << (bits - 1))
    out = []
    for v in values:
        n = truncated(v, 1 << (32 - bits))
        if hundredths != 10000:
            n = max(bottom, min(top, truncated(n * hundredths, 10000)))
        out.append(n)
    return out


def packed(values, bits):
    """Little-endian bytes of `bits`-bit samples, as a WAV file holds them."""
    n = bits // 8
    return b"".join((v & ((1 << bits) - 1)).to_bytes(n, "little") for v in values)


def first_difference(a, b):
    n = min(len(a), len(b))
    for i in range(n):
        if a[i] != b[i]:
            return i
    return n if len(a) != len(b) else -1


def index_flac(path, seconds, sign=-1):
    """48 kHz 24-bit stereo FLAC in 100 ms frames whose left sample n is
    n + 1 and whose right one is sign * (n + 1): every frame says where it
    comes from (index_of), and none is silent."""
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    f"aevalsrc=(n+1)/8388608|{sign}*(n+1)/8388608:s={RATE}:d={seconds}",
                    "-c:a", "flac", "-sample_fmt", "s32", "-frame_size", str(BLOCK), path],
                   check=True)
    return path


def index_of(frame):
    """The sample index an index_flac frame carries (at 32 bits)."""
    return (frame[0] >> 8) - 1


def noise_wav(path, seconds, seed=12):
    """48 kHz stereo 32-bit WAV of full-range noise: every bit of a sample
    matters, and narrowing and scaling touch most samples."""
    rng = random.Random(seed)
    count = int(seconds * RATE)
    blob = to_s32([rng.randint(-2**31, 2**31 - 1) for _ in range(count * 2)])
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(blob)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, RATE, RATE * 8, 8, 32))
        f.write(b"data" + struct.pack("<I", len(blob)) + blob)
    return path


def jumps(indices):
    """Where a run of sample indices does not go on by one."""
    return [i for i in range(1, len(indices)) if indices[i] != indices[i - 1] + 1]


class WorkDir:
    """with WorkDir("name") as work: a folder of the test's own, removed on
    every path."""

    def __init__(self, name):
        base = os.environ.get("TMPDIR", "/tmp")
        self.path = os.path.join(base, f"melvor-{name}-{os.getpid()}")

    def __enter__(self):
        os.makedirs(self.path, exist_ok=True)
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def pty_run(cmd, env, keys, timeout=30):
    """Runs `cmd` on a pseudo-terminal (stdin, stdout and stderr), typing
    `keys`, a list of (seconds after start, bytes); returns (exit code,
    screen bytes, seconds taken)."""
    master, slave = pty.openpty()
    began = time.monotonic()
    proc = subprocess.Popen(cmd, stdin=slave, stdout=slave, stderr=slave, env=env)
    os.close(slave)
    screen = b""
    pending = list(keys)
    while True:
        if pending and time.monotonic() - began >= pending[0][0]:
            os.write(master, pending.pop(0)[1])
        ready, _, _ = select.select([master], [], [], 0.02)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                chunk = b""
            if not chunk and proc.poll() is not None:
                break  # the program has ended and all it wrote is read
            screen += chunk
        if time.monotonic() - began > timeout:
            proc.kill()
            fail(f"{cmd[0]} did not end within {timeout} s; screen: {screen[-300:]!r}")
    os.close(master)
    return proc.wait(), screen, time.monotonic() - began
