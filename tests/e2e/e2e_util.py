"""Helpers of the end-to-end checks: WAV data chunks, reference decodes."""
import array
import os
import struct
import subprocess
import sys


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
    a = array.array("i")
    a.frombytes(data[:len(data) // 4 * 4])
    if sys.byteorder != "little":
        a.byteswap()
    return a


def narrow_32_to_16(data):
    """s32 samples narrowed to 16 bits the library's way: divided by 65536,
    truncating toward zero."""
    out = array.array("h", (int(v / 65536) for v in samples32(data)))
    if sys.byteorder != "little":
        out.byteswap()
    return out.tobytes()


def first_difference(a, b):
    n = min(len(a), len(b))
    for i in range(n):
        if a[i] != b[i]:
            return i
    return n if len(a) != len(b) else -1


def run(cmd, **kw):
    return subprocess.run(cmd, **kw)


def make_index_flac(path, seconds):
    """48 kHz 24-bit stereo FLAC whose left sample is its index n, right -n."""
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    f"aevalsrc=n/8388608|-n/8388608:s=48000:d={seconds}", "-c:a", "flac",
                    "-sample_fmt", "s32", path], check=True)


def tmpdir(name):
    base = os.environ.get("TMPDIR", "/tmp")
    d = os.path.join(base, f"melvor-e2e-{name}-{os.getpid()}")
    os.makedirs(d, exist_ok=True)
    return d
