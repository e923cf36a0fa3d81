"""compare_wav.py SOURCE WAV...: each WAV's data chunk equals the reference
s32 decode of SOURCE, bit for bit."""
import sys

import e2e_util as u

source = sys.argv[1]
ref = u.reference_s32(source)
for wav in sys.argv[2:]:
    _, _, _, bits, data = u.wav_data(wav)
    if bits != 32 or data != ref:
        u.fail(f"{wav}: {bits} bits, differs from the reference at byte "
               f"{u.first_difference(data, ref)}")
print(f"{len(sys.argv) - 2} WAV file(s) equal the reference decode of {source}")
