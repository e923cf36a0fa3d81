"""melvor-play's options, keys and exit codes, rendering to WAV files.

    player_test.py CASE PLAYER FIXTURES

The samples are checked to the sample: fixtures whose frames carry their own
index show where every frame of a render comes from.
"""
import os
import subprocess
import sys
import time

import e2e_util as u
from e2e_util import fail

USAGE_ERRORS = [  # (arguments, what stderr must say)
    (["--bits", "12", "F"], "--bits takes 8, 16, 24 or 32"),
    (["--bits", "16.5", "F"], "--bits takes 8, 16, 24 or 32"),
    (["--start", "-1", "F"], "--start takes seconds"),
    (["--volume", "x", "F"], "--volume takes a percent"),
    (["--realtime", "F"], "--realtime goes with --wav"),
    (["--wav"], "--wav needs a value"),
    (["--log"], "--log needs a value"),
    (["--bogus", "F"], "unknown option --bogus"),
    ([], "usage: melvor-play"),
    (["--log", "/nonexistent/dir/log", "F"], "cannot write the log /nonexistent/dir/log"),
]


def play(player, *args, **kw):
    return subprocess.run([player, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=60, **kw)


def render(player, work, *args):
    """Renders with --quiet; returns the WAV's data chunk."""
    out = os.path.join(work, "out.wav")
    r = play(player, "--quiet", "--wav", out, *args)
    if r.returncode != 0 or r.stdout or r.stderr:
        fail(f"player exited {r.returncode}, printed {r.stdout!r} {r.stderr!r}")
    return u.wav_data(out)[4]


def bad_options(player, fixtures, work):
    """Exit 2, with the reason, for each bad command line."""
    source = os.path.join(fixtures, "tone.flac")
    for args, says in USAGE_ERRORS:
        args = [source if a == "F" else a for a in args]
        r = play(player, *args)
        if r.returncode != 2 or says not in r.stderr:
            fail(f"{args}: exit {r.returncode}, stderr {r.stderr!r}; wanted 2 and {says!r}")
    r = play(player, "--help")
    if r.returncode != 0 or "--log FILE" not in r.stdout or "Exit codes" not in r.stdout:
        fail(f"--help: exit {r.returncode}, {r.stdout!r}")
    print(f"{len(USAGE_ERRORS)} bad command lines exit 2 with their reason; --help exits 0")


def start(player, fixtures, work):
    """--start 1.5 renders the first file from sample 72000 on, exactly."""
    source = u.index_flac(os.path.join(work, "index.flac"), 3)
    left = [u.index_of(f) for f in u.frames(render(player, work, "--start", "1.5", source))]
    if left[:1] != [72000] or u.jumps(left) or left[-1] != 3 * u.RATE - 1:
        fail(f"rendered {left[:1]}..{left[-1:]} with jumps at {u.jumps(left)[:3]}")
    print(f"--start 1.5: samples 72000..{left[-1]}, contiguous")


def volume(player, fixtures, work):
    """--volume scales the samples as the library does, saturating at full
    scale."""
    source = u.noise_wav(os.path.join(work, "noise.wav"), 1)
    ref = u.samples32(u.reference_s32(source))
    for percent in (50, 150):
        data = render(player, work, "--volume", str(percent), source)
        if data != u.to_s32(u.at_width(ref, 32, percent)):
            fail(f"--volume {percent}: differs from the scaled samples")
    print("--volume 50 and 150: samples scaled and saturated as the library scales them")


def output_streams(player, fixtures, work):
    """stdout holds the file's lines unless --quiet; stderr holds nothing of
    the libraries', which go to the --log file when one is named."""
    source = os.path.join(fixtures, "tone.flac")
    out, log = os.path.join(work, "out.wav"), os.path.join(work, "play.log")
    r = play(player, "--wav", out, source)
    if r.returncode != 0 or r.stderr or "[1/1] " not in r.stdout:
        fail(f"plain: exit {r.returncode}, stdout {r.stdout!r}, stderr {r.stderr!r}")
    r = play(player, "--quiet", "--log", log, "--wav", out, source)
    with open(log) as f:
        logged = f.read()
    if r.returncode != 0 or r.stdout or r.stderr:
        fail(f"--quiet --log: exit {r.returncode}, stdout {r.stdout!r}, stderr {r.stderr!r}")
    for needed in ("stopping ao_async, calling clear", "async handle freed"):
        if needed not in logged:
            fail(f"the log lacks {needed!r}: {logged!r}")
    print("stdout: the player's lines (none with --quiet); stderr clean; the log has the "
          "libraries' lines")


def realtime(player, fixtures, work):
    """--realtime renders at the pace of playback, the same bytes."""
    source = u.index_flac(os.path.join(work, "index.flac"), 2)
    began = time.monotonic()
    data = render(player, work, "--realtime", source)
    took = time.monotonic() - began
    if data != u.reference_s32(source):
        fail("--realtime: differs from the reference")
    # The clock lets half a second be handed over ahead of time.
    if took < 2 - 0.5 - 0.1:
        fail(f"--realtime rendered 2 s in {took:.2f} s")
    print(f"--realtime: 2 s rendered in {took:.2f} s, equal to the reference")


def unreadable(player, fixtures, work):
    """A file that cannot be read, or cannot join the WAV file's format, is
    said in one line and skipped; the others play, back to back; exit 1."""
    a = u.index_flac(os.path.join(work, "a.flac"), 1)
    b = u.index_flac(os.path.join(work, "b.flac"), 1, sign=1)
    bad = os.path.join(fixtures, "random.bin")
    other = os.path.join(fixtures, "tone.flac")  # 44.1 kHz
    out = os.path.join(work, "out.wav")
    for skipped, says in (
            (bad, f"melvor-play: cannot play {bad}: not a readable audio file\n"),
            (other, f"melvor-play: cannot render {other} into {out}: its format (44100 Hz, 2 "
                    f"channels) differs from the first file's (48000 Hz, 2 channels)\n")):
        r = play(player, "--quiet", "--wav", out, a, skipped, b)
        if r.returncode != 1 or r.stderr != says:
            fail(f"{skipped}: exit {r.returncode}, stderr {r.stderr!r}")
        if u.wav_data(out)[4] != u.reference_s32(a) + u.reference_s32(b):
            fail(f"{skipped}: the WAV file is not the two readable files back to back")
    print("an unreadable file and a mismatched one: skipped with one line, exit 1, the others "
          "rendered back to back")


def cannot_write(player, fixtures, work):
    """A WAV file that cannot be created: exit 3. One that cannot be written
    (a full device): exit 4, with one line; over a long file, at once, for
    the blocks the failed handle refuses give it away (a stalled WAV file
    is given 5 s)."""
    source = os.path.join(fixtures, "tone.flac")
    r = play(player, "--wav", "/nonexistent/dir/out.wav", source)
    if r.returncode != 3 or r.stderr != "melvor-play: cannot write /nonexistent/dir/out.wav\n":
        fail(f"unwritable path: exit {r.returncode}, stderr {r.stderr!r}")
    long_source = u.index_flac(os.path.join(work, "long.flac"), 60)
    for path in (source, long_source):
        began = time.monotonic()
        r = play(player, "--quiet", "--wav", "/dev/full", path)
        took = time.monotonic() - began
        lines = r.stderr.splitlines()
        if r.returncode != 4 or len(lines) != 1 or \
                not lines[0].startswith("melvor-play: writing /dev/full stopped; "):
            fail(f"{path} into /dev/full: exit {r.returncode}, stderr {r.stderr!r}")
    if took > 4.0:
        fail(f"a long file into /dev/full took {took:.2f} s to give up")
    print(f"cannot create: exit 3; cannot write: exit 4 ({took:.2f} s for a long file), "
          f"{lines[0]!r}")


def keys(player, fixtures, work):
    """Every key, on a terminal, rendering two files at the pace of playback:
    space pauses and resumes (nothing lost or repeated), right and left jump
    5 s from the start of the block heard (to the sample), up and down typed
    together both act, n goes on with the next file, q quits."""
    a = u.index_flac(os.path.join(work, "a.flac"), 12)
    b = u.index_flac(os.path.join(work, "b.flac"), 4, sign=1)
    out = os.path.join(work, "out.wav")
    code, screen, _ = u.pty_run(
        [player, "--wav", out, "--realtime", a, b], dict(os.environ),
        [(1.0, b" "), (1.6, b" "), (2.2, b"\x1b[C"), (3.0, b"\x1b[D"), (3.6, b"\x1b[A\x1b[B"),
         (4.2, b"n"), (5.0, b"q")])
    if code != 0:
        fail(f"player exited {code}: {screen[-300:]!r}")
    for shown in (b"(paused)", b"vol 110%", b"[2/2] "):
        if shown not in screen:
            fail(f"{shown!r} never shown: {screen[-300:]!r}")
    frames = u.frames(u.wav_data(out)[4])
    first = [u.index_of(f) for f in frames if f[1] < 0]
    second = [u.index_of(f) for f in frames if f[1] > 0]
    if [f[1] > 0 for f in frames] != [False] * len(first) + [True] * len(second):
        fail("the second file's samples do not all follow the first's")
    steps = u.jumps(first)
    if first[:1] != [0] or len(steps) != 2:
        fail(f"the first file should run from 0 with two jumps, not {len(steps)}: {steps[:5]}")
    for at, seconds in zip(steps, (5, -5)):
        heard = first[at - 1] + 1 - u.BLOCK  # the block playing at the key
        if heard % u.BLOCK or first[at] - heard != seconds * u.RATE:
            fail(f"a jump from the block at {heard} lands on {first[at]}, not {seconds} s away")
    if second[:1] != [0] or u.jumps(second) or len(second) >= 4 * u.RATE:
        fail("the second file does not run from 0 until q")
    last_volume = screen[screen.rindex(b"vol "):][:8]
    if last_volume != b"vol 100%":
        fail(f"up and down typed together did not both act: {last_volume!r} shown last")
    print(f"first file: 0..{first[steps[0] - 1]}, {first[steps[0]]}..{first[steps[1] - 1]}, "
          f"{first[steps[1]]}..{first[-1]}; second file 0..{second[-1]}")


CASES = {f.__name__: f for f in (bad_options, start, volume, output_streams, realtime,
                                  unreadable, cannot_write, keys)}


def main():
    case, player, fixtures = sys.argv[1:4]
    with u.WorkDir(f"player-{case}") as work:
        CASES[case](player, fixtures, work)


if __name__ == "__main__":
    main()
