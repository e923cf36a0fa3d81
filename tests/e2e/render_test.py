"""melvor-play --wav renders a lossless file bit for bit: the reference
decode narrowed to the width asked for by the library's rule (truncation
toward zero), which at 32 bits is the reference itself."""
import os
import subprocess
import sys

import e2e_util as u

player, fixture, bits = sys.argv[1], sys.argv[2], int(sys.argv[3])
with u.WorkDir(f"render{bits}") as work:
    out = os.path.join(work, "out.wav")
    r = subprocess.run([player, "--quiet", "--bits", str(bits), "--wav", out, fixture],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        u.fail(f"player exited {r.returncode}: {r.stderr}")
    tag, channels, rate, wav_bits, data = u.wav_data(out)
ref = u.reference_s32(fixture)
expected = ref if bits == 32 else u.packed(u.at_width(u.samples32(ref), bits), bits)
if wav_bits != bits:
    u.fail(f"WAV has {wav_bits} bits, asked for {bits}")
i = u.first_difference(data, expected)
if i >= 0:
    u.fail(f"data chunk differs from the reference at byte {i} "
           f"({len(data)} bytes against {len(expected)})")
print(f"{fixture}: {len(data)} bytes at {bits} bits, {channels} channels, {rate} Hz, equal")
