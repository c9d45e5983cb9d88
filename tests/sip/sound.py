"""A private PulseAudio daemon for the audio tests: null sinks only, reached over a unix
socket inside the test's folder, with every folder it uses (runtime, state, configuration,
home) under that folder too. It runs as root as an ordinary per-user daemon (--system is
not needed; PulseAudio only warns), never autospawns, never exits on idle and loads no
D-Bus, X11 or udev module.

The media library names a PulseAudio device "PulseAudio Unknown: <description>" and lists
sinks as playback cards and sources as capture cards, leaving monitor sources out. So each
sink gets a description of its own, "Quvo test <name>", and a microphone is a null sink
to play into ("<name>") with a source over its monitor ("<name>.in", described as
"Quvo test <name> in"). What a sink plays is recorded from its monitor into a 16-bit mono
WAV file with parecord.

A null sink that nobody listens to renders two seconds at a time, so a stream opened on its
monitor would get nothing for up to two seconds. Each sink therefore has a parec reading
its monitor at 20 ms for the daemon's whole life, and every sink is suspended and resumed
once those are connected, which restarts its clock at the shorter block.
"""

import os
import signal
import subprocess
import time

DESCRIPTION = "Quvo test {name}"


def card_id(name):
    """The media library's string id of a sink, or of a microphone's source (name + " in")."""
    return "PulseAudio Unknown: " + DESCRIPTION.format(name=name)


def _stop(proc, sig=signal.SIGTERM, timeout=5):
    if proc.poll() is None:
        try:
            proc.send_signal(sig)
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)


class Recorder:
    """parecord of one source into a WAV file, from start until stop()."""

    def __init__(self, env, source, path, rate=16000):
        self.path, self.rate = path, rate
        self.proc = subprocess.Popen(
            ["parecord", f"--device={source}", "--file-format=wav", "--format=s16le", f"--rate={rate}",
             "--channels=1", "--latency-msec=20", path],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            start_new_session=True)

    def seconds(self):
        """The length recorded so far (a 44-byte header, 2 bytes a frame)."""
        try:
            return max(0, os.path.getsize(self.path) - 44) / (2 * self.rate)
        except OSError:
            return 0.0

    def wait(self, seconds, timeout=None):
        """Waits until the file holds seconds of audio."""
        deadline = time.monotonic() + (seconds + 10 if timeout is None else timeout)
        while self.seconds() < seconds:
            if self.proc.poll() is not None:
                raise AssertionError(f"parecord ended: {self.proc.stderr.read().decode(errors='replace')}")
            if time.monotonic() > deadline:
                raise AssertionError(f"{self.path}: {self.seconds():.2f} s recorded, {seconds} s awaited")
            time.sleep(0.01)

    def stop(self):
        """Ends the recording; on SIGINT parecord writes the lengths into the WAV header."""
        _stop(self.proc, signal.SIGINT)
        self.proc.stderr.close()
        return self.path


class PulseDaemon:
    """pulseaudio in the foreground; stop() ends it with everything started here."""

    def __init__(self, root, sinks=("one", "two"), mics=(), timeout=10):
        """mics: names of microphones, each a sink to play into and a capture source over it;
        the first is the default source (ALSA's "default" capture device then reads it, and
        without a microphone it reads the first sink's monitor)."""
        started = time.monotonic()
        self.root = os.path.join(os.path.abspath(root), "pulse")
        self.sinks, self.mics = tuple(sinks), tuple(mics)
        self.socket = os.path.join(self.root, "native")
        self.log = os.path.join(self.root, "daemon.log")
        self.client_config = os.path.join(self.root, "client.conf")
        self._keepers, self._recorders = [], []
        folders = {name: os.path.join(self.root, name) for name in ("home", "runtime", "state", "config")}
        for folder in folders.values():
            os.makedirs(folder, mode=0o700, exist_ok=True)
        self.cookie = os.path.join(folders["config"], "pulse", "cookie")
        with open(self.client_config, "w") as f:
            f.write("autospawn = no\n")

        def description(name):
            return DESCRIPTION.format(name=name).replace(" ", "\\ ")

        lines = [".fail", f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.socket}"]
        for name in self.sinks + self.mics:
            lines.append(f"load-module module-null-sink sink_name={name} "
                         f"sink_properties=device.description=\"{description(name)}\"")
        for name in self.mics:
            lines.append(f"load-module module-remap-source master={name}.monitor source_name={name}.in "
                         f"source_properties=device.description=\"{description(name + ' in')}\"")
        if self.mics:
            lines.append(f"set-default-source {self.mics[0]}.in")
        script = os.path.join(self.root, "daemon.pa")
        with open(script, "w") as f:
            f.write("\n".join(lines) + "\n")

        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("PULSE_", "DBUS_", "XDG_")) and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(HOME=folders["home"], XDG_RUNTIME_DIR=folders["runtime"], XDG_CONFIG_HOME=folders["config"],
                   PULSE_RUNTIME_PATH=folders["runtime"], PULSE_STATE_PATH=folders["state"])
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen(
                ["pulseaudio", "-n", "-F", script, "--daemonize=no", "--system=no", "--exit-idle-time=-1",
                 "--use-pid-file=no", "--high-priority=no", "--realtime=no", "--log-target=stderr"],
                env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
        try:
            deadline = started + timeout
            # The daemon answers nobody before its script has run: one answer means it is ready.
            self._wait(lambda: os.path.exists(self.socket) and self.pactl("info", check=False), deadline, "to start")
            all_sinks = self.sinks + self.mics
            self._keepers = [subprocess.Popen(["parec", f"--device={name}.monitor", "--latency-msec=20"],
                                              env=self.client_env(), stdin=subprocess.DEVNULL,
                                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                              start_new_session=True) for name in all_sinks]
            # A microphone's source reads its monitor from inside the daemon: count the readers only.
            outputs = lambda: self.pactl("list", "short", "source-outputs")  # noqa: E731
            self._wait(lambda: outputs().count("protocol-native") >= len(all_sinks), deadline, "to take its readers")
            for name in all_sinks:
                self.pactl("suspend-sink", name, "1")
                self.pactl("suspend-sink", name, "0")
        except BaseException:
            self.stop()
            raise
        self.startup_seconds = time.monotonic() - started

    def _wait(self, predicate, deadline, what):
        while not predicate():
            if self.proc.poll() is not None:
                raise AssertionError(f"pulseaudio ended ({self.proc.returncode}): {self.log_text()}")
            if time.monotonic() > deadline:
                raise AssertionError(f"pulseaudio did not come {what}: {self.log_text()}")
            time.sleep(0.02)

    def log_text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def env(self):
        """What a client needs to reach this daemon and no other."""
        return {"PULSE_SERVER": f"unix:{self.socket}", "PULSE_CLIENTCONFIG": self.client_config,
                "PULSE_COOKIE": self.cookie}

    def client_env(self, **extra):
        return dict(os.environ, **self.env(), **extra)

    def pactl(self, *args, check=True):
        """pactl's output, or None when it fails and check is false."""
        done = subprocess.run(["pactl", *args], env=self.client_env(), capture_output=True, text=True, timeout=10)
        if done.returncode != 0:
            if check:
                raise AssertionError(f"pactl {' '.join(args)}: {done.stderr}")
            return None
        return done.stdout or "ok"

    def start_recording(self, sink, path, rate=16000):
        """Records what sink plays until the Recorder's stop(); returns once sound is flowing."""
        recorder = Recorder(self.client_env(), f"{sink}.monitor", path, rate)
        self._recorders.append(recorder)
        recorder.wait(0.001, timeout=5)
        return recorder

    def record(self, sink, path, seconds, rate=16000):
        recorder = self.start_recording(sink, path, rate)
        try:
            recorder.wait(seconds)
        finally:
            recorder.stop()
        return path

    def play(self, sink, path, timeout=30):
        """Plays a WAV file into sink, to its end."""
        subprocess.run(["paplay", f"--device={sink}", path], env=self.client_env(), check=True,
                       capture_output=True, timeout=timeout)

    def stop(self):
        for process in [r.proc for r in self._recorders] + self._keepers:
            _stop(process, signal.SIGINT)
        for recorder in self._recorders:
            recorder.proc.stderr.close()
        self._recorders, self._keepers = [], []
        _stop(self.proc)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def write_tone(path, freq, seconds, rate=16000, level=0.5):
    """A mono 16-bit WAV file of a sine."""
    import math
    import struct
    import wave

    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"".join(struct.pack("<h", round(level * 32767 * math.sin(2 * math.pi * freq * i / rate)))
                               for i in range(int(seconds * rate))))
    return path


if __name__ == "__main__":
    import tempfile

    from peers import read_wav, rms_db, tone_power

    with tempfile.TemporaryDirectory() as root:
        with PulseDaemon(root) as pulse:
            print(f"up in {pulse.startup_seconds:.2f} s; cards {card_id('one')!r}, {card_id('two')!r}")
            tone = write_tone(os.path.join(root, "tone.wav"), 1000, 1.0)
            one = pulse.start_recording("one", os.path.join(root, "one.wav"))
            two = pulse.start_recording("two", os.path.join(root, "two.wav"))
            pulse.play("two", tone)
            one.stop(), two.stop()
            stopping = time.monotonic()
        print(f"stopped in {time.monotonic() - stopping:.2f} s")
        for name in ("one", "two"):
            samples, rate = read_wav(os.path.join(root, f"{name}.wav"))
            print(f"{name}: {len(samples) / rate:.2f} s, {rms_db(samples):.1f} dB, "
                  f"1 kHz share {tone_power(samples, rate, 1000):.3f}")
            assert len(samples) >= rate, f"{name}: recording too short"
            if name == "one":
                assert rms_db(samples) < -80, "sound in one"
            else:
                assert tone_power(samples, rate, 1000) > 0.5 and rms_db(samples) > -20, "no tone in two"
