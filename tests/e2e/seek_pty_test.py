"""A seek during playback, driven through a pseudo-terminal: the player
renders a file whose samples are their own index in real time, the right
arrow key jumps 5 s ahead, q quits. The output must run contiguously from 0,
jump once forward to the sample of a whole millisecond, and run
contiguously from there."""
import os
import pty
import select
import subprocess
import sys
import time

import e2e_util as u

player = sys.argv[1]
work = u.tmpdir("seek")
source = os.path.join(work, "index20.flac")
out = os.path.join(work, "out.wav")
u.make_index_flac(source, 20)

master, slave = pty.openpty()
proc = subprocess.Popen([player, "--wav", out, "--realtime", source], stdin=slave, stdout=slave,
                        stderr=subprocess.PIPE)
os.close(slave)
screen = b""


def pump(seconds):
    global screen
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.05)
        if ready:
            try:
                screen += os.read(master, 4096)
            except OSError:
                return


pump(1.0)
# Two keys in one write must both act: volume up, then down again, so the
# samples stay unscaled and the line ends at 100 %.
os.write(master, b"\x1b[A\x1b[B")
pump(0.5)
os.write(master, b"\x1b[C")  # right arrow
pump(1.5)
os.write(master, b"q")
pump(0.5)
try:
    proc.wait(timeout=20)
except subprocess.TimeoutExpired:
    proc.kill()
    u.fail("player did not quit on q")
err = proc.stderr.read().decode(errors="replace")
if proc.returncode != 0:
    u.fail(f"player exited {proc.returncode}: {err}")
if b"[" not in screen or b"/ 0:20" not in screen:
    u.fail(f"no progress line on the terminal: {screen[-300:]!r}")
if b"vol 110%" not in screen or not screen.rstrip().endswith(b"vol 100%\x1b[K"):
    u.fail(f"the two volume keys did not both act: {screen[-200:]!r}")

_, channels, rate, bits, data = u.wav_data(out)
left = u.samples32(data)[0::2]
if len(left) == 0 or left[0] != 0:
    u.fail("output does not start at sample 0")
jumps = [(i, left[i - 1] >> 8, left[i] >> 8) for i in range(1, len(left))
         if left[i] != left[i - 1] + 256]
if len(jumps) != 1:
    u.fail(f"expected exactly one jump, found {len(jumps)}: {jumps[:5]}")
at, before, target = jumps[0]
gap = (target - before) / rate
if target % 48 != 0:
    u.fail(f"the jump lands on sample {target}, not on a whole millisecond")
if not 4.0 <= gap <= 5.6:
    u.fail(f"the jump skips {gap:.3f} s, not about 5 s")
print(f"contiguous 0..{before}, then {target} ({target // 48} ms, +{gap:.3f} s) "
      f"..{left[-1] >> 8}; {len(left)} samples")
