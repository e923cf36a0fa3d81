"""Live playback through a private PulseAudio server (pulse_server.py), with
the small C host (live_host.c) and with melvor-play on the live device: what
the sink's monitor records is checked against the decoder's samples.

    live_test.py CASE PLAYER HOST

Each case starts a server of its own and stops it on every path. Without
pulseaudio the cases exit 77, which ctest shows as skipped.
"""
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import e2e_util as u  # noqa: E402
from e2e_util import fail  # noqa: E402
from pulse_server import PulseServer, skip_unless_available  # noqa: E402

# libao's ALSA buffer in the private ~/.libao, and one decoder block.
DEVICE_BUFFER = 0.5
BLOCK_SECONDS = u.BLOCK / u.RATE


def silent(blob):
    return blob.count(0) == len(blob)


def align(capture, expected, what):
    """Where `expected` starts in `capture`, frame-aligned; fails unless the
    capture holds it whole with nothing but silence before and after."""
    probe = expected[:64 * 8]
    at = capture.find(probe)
    while at >= 0 and at % 8:
        at = capture.find(probe, at + 1)
    if at < 0:
        fail(f"{what}: the start of the audio is not in the capture "
             f"({len(capture)} bytes recorded)")
    if not silent(capture[:at]):
        fail(f"{what}: sound before the audio starts (first at byte "
             f"{next(i for i, b in enumerate(capture[:at]) if b)})")
    got = capture[at:at + len(expected)]
    if got != expected:
        i = u.first_difference(got, expected) // 8 * 8
        gap = len(got[i:]) - len(got[i:].lstrip(b"\0"))
        fail(f"{what}: differs from the expected samples at frame {i // 8} of "
             f"{len(expected) // 8} (capture offset {at // 8} frames; {gap // 8} silent frames "
             f"there, {(len(capture) - at) // 8} recorded from the start)")
    if not silent(capture[at + len(expected):]):
        fail(f"{what}: sound after the audio ends")
    return at // 8


def sounding(blob):
    """The frames of s32le stereo bytes that are not silent."""
    return [f for f in u.frames(blob) if f != (0, 0)]


def heard_indices(capture):
    """The sample indices that an index fixture's sounding frames carry."""
    return [u.index_of(f) for f in sounding(capture)]


def at_monitor(values, bits, volume=100.0):
    """What a 32-bit monitor records of s32 samples played at `bits` bits:
    the sound server widens them back by a shift."""
    return u.to_s32([v << (32 - bits) for v in u.at_width(values, bits, volume)])


def tail(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()[-1500:]
    except OSError:
        return ""


def run_host(server, host, path, *args):
    r = subprocess.run([host, path, *args], env=server.env(), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True, timeout=60)
    if r.returncode != 0:
        fail(f"live_host exited {r.returncode}: {r.stderr[-2000:]}")
    events = {}
    trace = []
    for line in r.stdout.splitlines():
        word, *rest = line.split()
        if word == "at":
            trace.append(tuple(float(x) for x in rest))
        else:
            events[word] = [float(x) for x in rest]
    return events, trace


# --- the C host -----------------------------------------------------------

def host_bits(driver, asked, opened):
    """A width asked of the real device through one of libao's drivers: the
    device opens at `opened` bits (libao's pulse driver refuses 32, and the
    library falls back to 24), that is what the handle reports, and the
    monitor records the decoder's samples narrowed to it, bit for bit."""
    def check(player, host, work):
        source = u.noise_wav(os.path.join(work, "noise.wav"), 2)
        expected = at_monitor(u.samples32(u.reference_s32(source)), opened)
        with PulseServer(driver=driver) as server:
            rec = server.record()
            events, _ = run_host(server, host, source, "--bits", str(asked))
            capture = rec.stop()
        if events["bits"] != [opened]:
            fail(f"asked for {asked} bits, the device reports {events['bits']}, not {opened}")
        offset = align(capture, expected, f"{opened}-bit capture through libao's {driver}")
        print(f"{driver}: {asked} bits asked, {opened} reported; capture equal from frame "
              f"{offset} ({offset / u.RATE * 1000:.0f} ms of silence first)")
    return check


def host_pacing(player, host, work):
    """N seconds of audio are heard in N seconds (within 10 %), and the
    second the handle publishes is heard after it is published, by no more
    than the device's buffer and one block."""
    seconds = 6
    source = u.index_flac(os.path.join(work, "index.flac"), seconds)
    with PulseServer() as server:
        rec = server.record()
        _, trace = run_host(server, host, source)
        capture = rec.stop()
    offset = align(capture, u.reference_s32(source), "capture")
    first, last, heard = rec.sounding_span()
    played = (last - first) / u.RATE
    if abs(heard - played) > 0.1 * played:
        fail(f"{played:.2f} s of audio were heard in {heard:.2f} s")
    # How long after it was published each published second was heard.
    # The host reads the second before the clock: t is no earlier than the
    # publication.
    leads = [rec.heard(offset + round(second * u.RATE)) - t for t, second, _ in trace
             if second >= 0]
    soonest, latest = min(leads), max(leads)
    if soonest < -0.1:
        fail(f"a second was heard {-soonest:.3f} s before it was published")
    if latest > DEVICE_BUFFER + BLOCK_SECONDS + 0.1:
        fail(f"a published second was heard only {latest:.3f} s later")
    print(f"{played:.2f} s heard in {heard:.3f} s ({(heard / played - 1) * 100:+.1f} %); "
          f"each published second heard {soonest:.3f} to {latest:.3f} s later")


def host_pause(player, host, work):
    """A pause of a second: the monitor hears a gap, and around it every
    frame once, in order."""
    source = u.noise_wav(os.path.join(work, "noise.wav"), 3)
    expected = u.frames(u.reference_s32(source))
    with PulseServer() as server:
        rec = server.record()
        events, _ = run_host(server, host, source, "--pause", "1.0", "1.0")
        capture = rec.stop()
    if "pause" not in events or "resume" not in events:
        fail(f"the host did not pause and resume: {events}")
    heard = sounding(capture)
    if heard != expected:
        fail(f"{len(heard)} frames heard of {len(expected)}; first difference at frame "
             f"{u.first_difference(heard, expected)}")
    frames = u.frames(capture)
    first = next(i for i, f in enumerate(frames) if f != (0, 0))
    last = max(i for i, f in enumerate(frames) if f != (0, 0))
    gaps, run = [], 0
    for f in frames[first:last + 1]:
        if f == (0, 0):
            run += 1
        elif run:
            gaps.append(run)
            run = 0
    # The device plays what it holds through the pause.
    longest = max(gaps, default=0) / u.RATE
    if not 1.0 - DEVICE_BUFFER - 0.2 <= longest <= 1.0 + 0.2:
        fail(f"the longest silence inside the audio lasts {longest:.3f} s: no pause of 1 s "
             f"less the device's buffer")
    print(f"paused {events['resume'][0] - events['pause'][0]:.3f} s: a gap of {longest:.3f} s, "
          f"all {len(expected)} frames heard once, in order")


def host_seek(player, host, work):
    """A clear and a seek to 4000 ms: the monitor hears the start of the file
    to the end of the block being played (what was queued behind it is
    dropped), then the decoder's samples from the target on, to the end."""
    seconds = 6
    source = u.index_flac(os.path.join(work, "index.flac"), seconds)
    with PulseServer() as server:
        rec = server.record()
        events, _ = run_host(server, host, source, "--seek", "1.0", "4000")
        capture = rec.stop()
    if "seek" not in events:
        fail("the host did not seek")
    left = heard_indices(capture)
    jumps = u.jumps(left)
    if left[:1] != [0] or len(jumps) != 1:
        fail(f"expected samples from 0 with one jump, found jumps at {jumps[:5]}")
    end, target = left[jumps[0] - 1] + 1, left[jumps[0]]
    # The thread may take one more block between the query and the clear.
    playing = round(events["seek"][2] * u.RATE)
    if not playing + u.BLOCK <= end <= playing + 2 * u.BLOCK:
        fail(f"heard up to sample {end} though the clear came while the block at {playing} "
             f"was playing")
    if target != 4000 * u.RATE // 1000:
        fail(f"after the seek the samples go on from {target}, not from 4000 ms")
    if left[-1] != seconds * u.RATE - 1:
        fail(f"the samples end at {left[-1]}, not at the end of the file")
    print(f"heard 0..{end - 1} (the block at {playing} was playing), then {target}..{left[-1]}")


def host_volume(volume):
    """Volume: the monitor records the samples scaled as the library scales
    them, saturating at full scale."""
    def check(player, host, work):
        source = u.noise_wav(os.path.join(work, "noise.wav"), 2)
        expected = at_monitor(u.samples32(u.reference_s32(source)), 32, volume)
        with PulseServer() as server:
            rec = server.record()
            run_host(server, host, source, "--volume", str(volume))
            capture = rec.stop()
        align(capture, expected, f"capture at {volume} %")
        top = sum(1 for v in u.samples32(expected) if v in (2**31 - 1, -2**31))
        print(f"{volume} %: capture equal to the scaled samples ({top} saturated)")
    return check


# --- melvor-play on the live device ---------------------------------------

def player_plays(player, host, work):
    """Two files in one run: the monitor records both, back to back, bit for
    bit, and hears them in the time they last."""
    a = u.index_flac(os.path.join(work, "a.flac"), 3)
    b = u.noise_wav(os.path.join(work, "b.wav"), 3)
    expected = u.reference_s32(a) + u.reference_s32(b)
    log = os.path.join(work, "player.log")
    with PulseServer() as server:
        rec = server.record()
        r = subprocess.run([player, "--quiet", "--log", log, a, b], env=server.env(),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
        capture = rec.stop()
    if r.returncode != 0 or r.stdout or r.stderr:
        fail(f"player exited {r.returncode}, printed {r.stdout!r} {r.stderr!r}")
    offset = align(capture, expected, "two files")
    first, last, heard = rec.sounding_span()
    played = (last - first) / u.RATE
    if abs(heard - played) > 0.1 * played:
        fail(f"{played:.2f} s of audio were heard in {heard:.2f} s")
    print(f"two files heard bit for bit from frame {offset}; {played:.3f} s of audio heard in "
          f"{heard:.3f} s ({(heard / played - 1) * 100:+.1f} %)")


def player_screen(player, host, work):
    """On a terminal, the screen holds only the player's lines, however much
    the libraries and ALSA write; they go to the log. The right arrow jumps
    5 s from the start of the block heard, to the sample."""
    source = u.index_flac(os.path.join(work, "index.flac"), 9)
    log = os.path.join(work, "player.log")
    with PulseServer() as server:
        rec = server.record()
        code, screen, _ = u.pty_run([player, "--log", log, source], server.env(),
                                  [(1.5, b"\x1b[C")])
        capture = rec.stop()
    text = screen.decode(errors="replace")
    if code != 0:
        fail(f"player exited {code}: {text[-500:]}")
    lines = [line.split("\r")[-1] for line in text.replace("\r\n", "\n").split("\n")]
    foreign = [line for line in lines if line.strip() and not (
        line.startswith("[1/1] ") or line.startswith("  "))]
    if foreign:
        fail(f"lines on the screen that are not the player's: {foreign}")
    with open(log, errors="replace") as f:
        logged = f.read()
    for needed in ("elements cleared", "async handle freed"):
        if needed not in logged:
            fail(f"the log lacks {needed!r}: {logged[-500:]!r}")
    left = heard_indices(capture)
    jumps = u.jumps(left)
    if left[:1] != [0] or len(jumps) != 1:
        fail(f"expected samples from 0 with one jump, found jumps at {jumps[:5]}")
    end = left[jumps[0] - 1] + 1  # the block heard at the key ends here
    if end % u.BLOCK:
        fail(f"the jump comes after sample {end}, not at the end of a block")
    target = left[jumps[0]]
    if target - (end - u.BLOCK) != 5 * u.RATE:
        fail(f"the jump lands on {target}, {(target - end + u.BLOCK) / u.RATE:.5f} s after "
             f"the start of the block heard ({end - u.BLOCK}), not 5 s")
    print(f"screen: {len([x for x in lines if x.strip()])} lines, all the player's; jump from "
          f"the block at {end - u.BLOCK} to {target}: 5 s exactly")


def player_device_dies(sig, what):
    """The server killed, or hung, mid-file: the player says so in one line,
    and exits with 4 within 5 s."""
    def check(player, host, work):
        source = u.index_flac(os.path.join(work, "index.flac"), 12)
        log = os.path.join(work, "player.log")
        with PulseServer() as server:
            proc = subprocess.Popen([player, "--quiet", "--log", log, source], env=server.env(),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            time.sleep(2.0)
            if proc.poll() is not None:
                fail(f"player ended ({proc.returncode}) before the server was {what}: "
                     f"{proc.communicate()}, log: {tail(log)}")
            server.signal(sig)
            died = time.monotonic()
            try:
                out, err = proc.communicate(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                fail(f"player still running 15 s after the server was {what}")
            took = time.monotonic() - died
        if proc.returncode != 4:
            fail(f"player exited {proc.returncode}, not 4: {err!r}, log: {tail(log)}")
        lines = err.splitlines()
        if len(lines) != 1 or not lines[0].startswith("melvor-play: the audio device stopped; "):
            fail(f"expected one line about the device, got {err!r}")
        if took > 5.0:
            fail(f"the player took {took:.2f} s to give up")
        print(f"server {what}: exit 4 after {took:.2f} s: {lines[0]}")
    return check


def player_no_server(player, host, work):
    """No server at all: exit 3, with the player's one line on the screen."""
    source = u.index_flac(os.path.join(work, "index.flac"), 1)
    server = PulseServer()  # its folders and ~/.libao, but no server started
    try:
        os.makedirs(server.runtime, mode=0o700)
        os.makedirs(server.home, mode=0o700)
        with open(os.path.join(server.home, ".libao"), "w") as f:
            f.write("default_driver=alsa\n")
        env = server.env()
        # ALSA leaks on the failed open, from a library that libao has
        # unloaded by the time LeakSanitizer looks: nothing to tell its
        # blocks apart by.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        r = subprocess.run([player, source], env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, timeout=30)
    finally:
        server.stop()
    if r.returncode != 3:
        fail(f"player exited {r.returncode}, not 3: {r.stderr!r}")
    if r.stderr != "melvor-play: no audio device could be opened; try --wav FILE\n":
        fail(f"stderr holds more than the player's line: {r.stderr!r}")
    print("no server: exit 3, " + r.stderr.strip())


CASES = {
    # libao's ALSA driver garbles 24-bit samples on their way to ALSA (its
    # pulse plugin takes them right from other programs): 24 bits are played
    # through libao's pulse driver only.
    "host_bits_alsa_32": host_bits("alsa", 32, 32),
    "host_bits_alsa_16": host_bits("alsa", 16, 16),
    "host_bits_pulse_32": host_bits("pulse", 32, 24),
    "host_bits_pulse_24": host_bits("pulse", 24, 24),
    "host_bits_pulse_16": host_bits("pulse", 16, 16),
    "host_pacing": host_pacing,
    "host_pause": host_pause,
    "host_seek": host_seek,
    "host_volume_50": host_volume(50),
    "host_volume_150": host_volume(150),
    "player_plays": player_plays,
    "player_screen": player_screen,
    "player_server_killed": player_device_dies(signal.SIGKILL, "killed"),
    "player_server_hung": player_device_dies(signal.SIGSTOP, "hung"),
    "player_no_server": player_no_server,
}


def main():
    case, player, host = sys.argv[1:4]
    skip_unless_available()
    with u.WorkDir(f"live-{case}") as work:
        CASES[case](player, host, work)


if __name__ == "__main__":
    main()
