#!/usr/bin/env python3
"""Render speed of melvor-play --wav: the 6 s demo piece and a 10-minute
file, against a host that renders with live playback's pacing (half a
second queued by ao_bufsize_async), as the player did before it held the
handle paused for batches: the live tests' host, live_host --wav. Prints
the median wall time of a few runs and the speed as a multiple of real
time; checks that both write the same bytes. The old pacing renders at about twice real time whatever the length,
so it renders the 10-minute file only with --full (5 minutes).

    bench/render_bench.py [--full] [BUILD_DIR] [RUNS]
"""
import os
import statistics
import subprocess
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
args = sys.argv[1:]
full = "--full" in args
args = [a for a in args if a != "--full"]
build = os.path.abspath(args[0] if args else os.path.join(root, "build"))
runs = int(args[1]) if len(args) > 1 else 5
data = os.path.join(build, "bench-data")
os.makedirs(data, exist_ok=True)

long_file = os.path.join(data, "render-10min.flac")
if not os.path.exists(long_file):
    # Music-like enough for FLAC: two detuned tones with a slow tremolo.
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    "aevalsrc=0.4*sin(2*PI*220*t)*(1+0.3*sin(2*PI*0.5*t))|"
                    "0.4*sin(2*PI*221*t)*(1+0.3*sin(2*PI*0.7*t)):s=44100:d=600",
                    "-c:a", "flac", long_file], check=True)
minute_file = os.path.join(data, "render-1min.flac")
if not os.path.exists(minute_file):
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", long_file, "-t", "60",
                    "-c:a", "flac", minute_file], check=True)
pieces = [("6 s demo piece", os.path.join(root, "samples", "melvor-demo.flac"), 6.0),
          ("1-minute file", minute_file, 60.0),
          ("10-minute file", long_file, 600.0)]
player = os.path.join(build, "bin", "melvor-play")
paced = os.path.join(build, "bin", "live_host")  # the tests' host: paced as live playback


def timed(cmd, out):
    began = time.monotonic()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    took = time.monotonic() - began
    with open(out, "rb") as f:
        return took, f.read()


print(f"render speed, median of {runs} runs (load {os.getloadavg()[0]:.2f})")
for name, path, seconds in pieces:
    results = {}
    hosts = [("melvor-play --wav", lambda o: [player, "--quiet", "--wav", o, path])]
    if not os.path.exists(paced):
        print(f"  ({paced} is built with the tests; without it, no figures for before)")
    elif seconds < 600 or full:
        hosts.insert(0, ("paced by bufsize (before)", lambda o: [paced, path, "--wav", o]))
    for label, make in hosts:
        out = os.path.join(data, "render-out.wav")
        n = runs if seconds < 60 or label.startswith("melvor") else 1
        times, blob = [], None
        for _ in range(n):
            took, blob = timed(make(out), out)
            times.append(took)
        results[label] = blob
        median = statistics.median(times)
        print(f"  {name:14} {label:26} {median:7.3f} s  {seconds / median:7.1f}x real time"
              f"  (runs: {' '.join(f'{t:.2f}' for t in times)})")
    if len(set(results.values())) != 1:
        sys.exit(f"{name}: the two renders differ")
os.remove(os.path.join(data, "render-out.wav"))
