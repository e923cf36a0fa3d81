"""A private PulseAudio sound server for the live tests.

Each server gets a folder of its own (runtime folder, HOME, socket, logs),
so that tests never meet a user's server, each other's, or fixed paths or
ports. It plays into a null sink whose monitor `parec` records, and the
clients reach it through PULSE_SERVER; the private HOME holds a ~/.libao
that makes libao's default driver ALSA, whose pulse plugin reaches the
server (or libao's own pulse driver).

The server and the recorders die with the test on every path: `stop()` from
`with`, atexit and SIGTERM, and the kernel's parent-death signal when the
test itself is killed.
"""
import atexit
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77  # ctest's SKIP_RETURN_CODE for the live tests
TSAN_SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tsan.supp")
LSAN_SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")

TOOLS = ("pulseaudio", "pactl", "parec")


def skip_unless_available():
    """Exits with SKIP, saying why, where the server cannot be run."""
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed (Debian's pulseaudio and "
              f"pulseaudio-utils; scripts/setup.sh installs them): no live test")
        sys.exit(SKIP)


def _die_with_parent():
    # PR_SET_PDEATHSIG: SIGKILL this child when the test process ends.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)


_live = []


def _stop_all():
    for server in list(_live):
        server.stop()


def _on_sigterm(signum, frame):
    _stop_all()
    sys.exit(128 + signum)


atexit.register(_stop_all)
signal.signal(signal.SIGTERM, _on_sigterm)


class Recorder:
    """`parec` on the sink's monitor: raw s32le frames, and the wall time at
    which each stretch of them arrived."""

    def __init__(self, server):
        self.frame_bytes = 4 * server.channels
        self.rate = server.rate
        self.data = bytearray()
        self.arrivals = []  # (monotonic seconds, bytes received by then)
        self.proc = subprocess.Popen(
            ["parec", "-d", server.sink + ".monitor", "--raw", "--latency-msec=10",
             "--format=s32le", f"--rate={server.rate}", f"--channels={server.channels}"],
            env=server.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                return
            self.data += chunk
            self.arrivals.append((time.monotonic(), len(self.data)))

    def sink_start(self):
        """The wall time at which the sink played the first recorded frame.
        The sink's clock is the wall clock, and a frame never arrives before
        it is played, so the arrival that lags least tells it best."""
        rate = self.frame_bytes * self.rate
        return min(t - received / rate for t, received in self.arrivals)

    def heard(self, frame):
        """The wall time at which the sink played recorded frame `frame`."""
        return self.sink_start() + frame / self.rate

    def stop(self, settle=0.3):
        """Stops once the recording has caught up with the sink, `settle`
        seconds on (the sink's last blocks), and returns the recorded
        bytes."""
        if self.proc.poll() is None:
            until = time.monotonic() + settle
            wanted = (until - self.sink_start()) * self.rate * self.frame_bytes
            deadline = until + 10
            while (time.monotonic() < until or len(self.data) < wanted) and \
                    time.monotonic() < deadline:
                time.sleep(0.02)
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
        return bytes(self.data)

    def sounding_span(self):
        """(first, last) frame that is not silent, and the wall seconds
        between their arrivals."""
        blob, n = bytes(self.data), self.frame_bytes
        silent = bytes(n)
        first = next(i for i in range(0, len(blob) - n + 1, n) if blob[i:i + n] != silent)
        last = next(i for i in range(len(blob) - len(blob) % n - n, -1, -n)
                    if blob[i:i + n] != silent)
        return first // n, last // n, self.arrived(last) - self.arrived(first)

    def arrived(self, offset):
        """When the byte at `offset` reached the recorder."""
        return next(t for t, received in self.arrivals if received > offset)


class PulseServer:
    """with PulseServer(rate=48000) as server: run clients with server.env()."""

    def __init__(self, rate=48000, channels=2, sink="melvor_sink", driver="alsa"):
        self.driver = driver  # libao's: "alsa" (through ALSA's pulse plugin) or "pulse"
        self.rate = rate
        self.channels = channels
        self.sink = sink
        self.proc = None
        self.recorders = []
        self.dir = tempfile.mkdtemp(prefix="melvor-live-")
        self.runtime = os.path.join(self.dir, "run")
        self.home = os.path.join(self.dir, "home")
        self.socket = os.path.join(self.runtime, "native")
        self.log = os.path.join(self.dir, "server.log")

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def _base_env(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("PULSE_")}
        env.update(HOME=self.home, XDG_RUNTIME_DIR=self.runtime,
                   XDG_CONFIG_HOME=os.path.join(self.home, ".config"))
        return env

    def env(self):
        """The environment of a client of this server."""
        env = self._base_env()
        env["PULSE_SERVER"] = "unix:" + self.socket
        env["TSAN_OPTIONS"] = env.get("TSAN_OPTIONS", "") + ":suppressions=" + TSAN_SUPPRESSIONS
        # use_tls=0: LeakSanitizer's own thread walk crashes ("Tracer caught
        # signal 11") on the dynamic TLS slot that ALSA's unloaded pulse
        # plugin leaves behind, so thread-local storage is not scanned here.
        env["LSAN_OPTIONS"] = (env.get("LSAN_OPTIONS", "") + ":use_tls=0:suppressions="
                               + LSAN_SUPPRESSIONS)
        return env

    def start(self):
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        os.makedirs(self.runtime, mode=0o700)
        os.makedirs(self.home, mode=0o700)
        # libao's drivers buffer 20 ms by default, too little for a loaded
        # machine: the sink would play silence in mid-stream.
        with open(os.path.join(self.home, ".libao"), "w") as f:
            f.write(f"default_driver={self.driver}\nbuffer_time=500\n")
        script = os.path.join(self.dir, "server.pa")
        # norewinds: without it the null sink's first write blocks and frames
        # are lost.
        with open(script, "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 "
                    f"socket={self.socket}\n"
                    f"load-module module-null-sink sink_name={self.sink} norewinds=1 "
                    f"format=s32le rate={self.rate} channels={self.channels}\n"
                    f"set-default-sink {self.sink}\n")
        _live.append(self)
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen(
                ["pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1",
                 "--use-pid-file=no", "--realtime=no", "--high-priority=no",
                 "--log-target=stderr"],
                env=self._base_env(), stdout=log, stderr=log, start_new_session=True,
                preexec_fn=_die_with_parent)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"pulseaudio exited with {self.proc.returncode}:\n"
                                   + self.server_log())
            ready = subprocess.run(["pactl", "info"], env=self.env(), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
            if ready.returncode == 0:
                return
            time.sleep(0.02)
        raise RuntimeError("pulseaudio did not answer within 15 s:\n" + self.server_log())

    def server_log(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()[-3000:]
        except OSError:
            return ""

    def record(self):
        """A recorder of the monitor, once it is recording: the sink plays
        silence while nothing plays into it."""
        r = Recorder(self)
        self.recorders.append(r)
        deadline = time.monotonic() + 10
        while not r.arrivals:
            if time.monotonic() > deadline or r.proc.poll() is not None:
                raise RuntimeError("parec recorded nothing:\n" + self.server_log())
            time.sleep(0.01)
        return r

    def signal(self, sig):
        """Sends the server a signal: SIGKILL to kill it, SIGSTOP to hang it."""
        self.proc.send_signal(sig)

    def stop(self):
        for r in self.recorders:
            if r.proc.poll() is None:
                r.proc.kill()
                r.proc.wait()
        self.recorders = []
        if self.proc is not None and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
        self.proc = None
        if self in _live:
            _live.remove(self)
        shutil.rmtree(self.dir, ignore_errors=True)
