"""End-to-end harness: runs the real console (and the softphone simulator) over a
private session bus, with private runtime and settings folders; for the Windows
build (QUVO_TARGET=win32) both run under Wine, the settings live in the Wine
prefix's registry and the simulator is reached through its loopback control port.

Output is collected by a reader thread; tests wait for expected text with a
time-out instead of sleeping, because events from other threads may come at any
moment between prompts.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

BUILD_DIR = os.environ.get("QUVO_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "linux"))
SOURCE_DIR = os.environ.get("QUVO_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
TARGET = os.environ.get("QUVO_TARGET", "posix")
ON_WINDOWS_BUILD = TARGET == "win32"
# The console's text: the locale's (UTF-8 here) on Linux, the ANSI code page under Wine,
# which is 1252 whatever LANG says.
CONSOLE_ENCODING = "cp1252" if ON_WINDOWS_BUILD else "utf-8"

BANNER = (
    "-----------------------------------------------\n"
    "QUVOConnect Program v.1.0.\n"
    "Copyright (c) 2026 Quelbo. All rights reserved.\n"
    "Type 'help' for available commands.\n"
    "-----------------------------------------------\n"
    "\n"
)

CONNECTED = "Event : Connected to softphone\n> "
DISCONNECTED = "Event : Disconnected from softphone\n> "
CALL_MANAGER_UP = "Event : Connected to CallManager\n> "


def line_update(state, name, ref, direction, other, line="1(1001)", button=1):
    """A LineUpdate event line as the console prints it."""
    return (f"Event : LineUpdate, Line={line}, Button={button}, State={state}({name}), CallRef={ref}, "
            f"Direction={direction}, OtherParty={other}\n> ")


def wait_for(predicate, timeout=10, what="condition"):
    """Polls predicate until it returns something true, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


def console_command():
    """The command line that starts the console of the build under test."""
    if ON_WINDOWS_BUILD:
        return ["wine", os.path.join(BUILD_DIR, "quvoconnect.exe")]
    return [os.path.join(BUILD_DIR, "quvoconnect")]


def simulator_path():
    if ON_WINDOWS_BUILD:
        return os.path.join(BUILD_DIR, "softphone-sim", "win32", "quvo-softphone-sim.exe")
    return os.path.join(BUILD_DIR, "softphone-sim", "quvo-softphone-sim")


def simulator_command():
    if ON_WINDOWS_BUILD:
        return ["wine", simulator_path()]
    return [simulator_path()]


def requires_simulator(test):
    """Skips tests that need the Linux simulator, bus, lock file or X server on other
    targets (the Windows side of those has tests of its own)."""
    return unittest.skipIf(ON_WINDOWS_BUILD, "needs the Linux softphone simulator")(test)


def automation_failure(status, text):
    """The console's line for a failed softphone operation. The text is the softphone's
    error text on Linux; under Wine, error information does not cross processes on
    vtable calls, so there the status alone is compared (see assert_automation_failure)."""
    return f"> Error : Automation failure {status} - {text}"


def assert_automation_failure(test, answer, status, text):
    if ON_WINDOWS_BUILD:
        test.assertTrue(answer.startswith(f"> Error : Automation failure {status} - "), answer)
        test.assertNotIn("\n", answer)
    else:
        test.assertEqual(answer, automation_failure(status, text))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


WINE_SETTINGS_KEY = r"HKCU\Software\Quelbo\QUVO"


def wine_quiet(*args, check=False):
    """Runs a Wine tool with no output (Wine's helpers must not hold our pipes)."""
    return subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=check, timeout=60)


def restart_wine():
    """A killed local server stays in Wine's table of running classes until the
    wineserver restarts; tests that kill the simulator call this afterwards."""
    subprocess.run(["wineserver", "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-w"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-p"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    wine_quiet("cmd", "/c", "exit")


def windows_path(path):
    """A Linux path as the Windows build sees it (Wine maps / to drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def simulator_processes():
    """Process ids of this build's Windows simulator under Wine, whoever started it
    (a test, or the console through RunProgram): Wine shows each by its program's path."""
    def plain(path):
        return path.replace("/", "\\").lower()

    wanted = {plain(os.path.abspath(simulator_path())), plain(windows_path(simulator_path()))}
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                program = f.read().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue
        if plain(program) in wanted:
            found.append(int(pid))
    return found


def quit_started_simulator(env):
    """Ends a Windows simulator that a test did not start itself (RunProgram started it)
    through the control port it inherited; restarts Wine when it does not go. Such a
    simulator holds the console's output pipes, so it must be gone before the console
    is reaped. A copy that RunProgram started just before may still be on its way up:
    it finds no softphone once the first has gone, and stays. So this waits until no
    copy is left, asking again as long as one answers."""
    for _ in range(3):
        try:
            control_request(env.ctl_port, ["quit"], timeout=5)
        except OSError:
            pass
        gone = subprocess.run(simulator_command() + ["ctl", "wait-gone", "10"], env=env.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        if gone.returncode != 0:
            break
        deadline = time.monotonic() + 5
        while simulator_processes() and time.monotonic() < deadline:
            time.sleep(0.1)
        if not simulator_processes():
            return
    restart_wine()


def control_request(port, words, timeout=15):
    """One request on the Windows simulator's control port: (ok, output lines, error)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(("\t".join(str(w) for w in words) + "\n").encode())
        data = bytearray()
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data.extend(chunk)
    lines, error, ok = [], "the simulator closed the connection without an answer", False
    for line in data.decode("utf-8", "replace").split("\n"):
        if line.startswith("+"):
            lines.append(line[1:])
        elif line == "OK":
            ok, error = True, ""
            break
        elif line.startswith("ERR "):
            error = line[4:]
            break
    return ok, lines, error


class TestEnv:
    """Private XDG folders and, on Linux, a private session bus."""

    def __init__(self, with_bus=True):
        self.root = tempfile.mkdtemp(prefix="quvo-e2e-")
        self.runtime_dir = os.path.join(self.root, "runtime")
        self.config_dir = os.path.join(self.root, "config")
        os.makedirs(self.runtime_dir, mode=0o700)
        os.makedirs(self.config_dir)
        self.env = dict(os.environ)
        self.env["XDG_RUNTIME_DIR"] = self.runtime_dir
        self.env["XDG_CONFIG_HOME"] = self.config_dir
        self.env["HOME"] = self.root
        self.env["LC_ALL"] = "C.UTF-8"
        self.env.pop("DISPLAY", None)
        self.env.setdefault("WINEDEBUG", "-all")
        self._bus = None
        if ON_WINDOWS_BUILD:
            self.ctl_port = free_port()
            self.env["QUVO_SIM_CTL_PORT"] = str(self.ctl_port)
            # The prefix is shared by every test: each starts from no settings at all.
            wine_quiet("reg", "delete", WINE_SETTINGS_KEY, "/f")
        if with_bus and not ON_WINDOWS_BUILD:
            self._bus = subprocess.Popen(
                ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
                stdout=subprocess.PIPE,
                stdin=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                env=self.env,
                text=True,
            )
            address = self._bus.stdout.readline().strip()
            if not address:
                raise RuntimeError("dbus-daemon did not start")
            self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        else:
            self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)

    @property
    def settings_path(self):
        return os.path.join(self.config_dir, "Quelbo", "QUVO.ini")

    def write_settings(self, values):
        """Sets values in the settings file (the registry key under Wine), keeping the others."""
        if ON_WINDOWS_BUILD:
            for name, value in values.items():
                wine_quiet("reg", "add", WINE_SETTINGS_KEY, "/v", name, "/d", value, "/f", check=True)
            return
        current = self.read_settings()
        current.update(values)
        os.makedirs(os.path.dirname(self.settings_path), exist_ok=True)
        with open(self.settings_path, "w") as f:
            for name, value in current.items():
                f.write(f"{name}={value}\n")

    def remove_settings(self):
        """Removes the settings file (the registry key under Wine) altogether."""
        if ON_WINDOWS_BUILD:
            wine_quiet("reg", "delete", WINE_SETTINGS_KEY, "/f")
        elif os.path.exists(self.settings_path):
            os.remove(self.settings_path)

    def settings_exist(self):
        if ON_WINDOWS_BUILD:
            return wine_quiet("reg", "query", WINE_SETTINGS_KEY).returncode == 0
        return os.path.exists(self.settings_path)

    def read_settings(self):
        values = {}
        if ON_WINDOWS_BUILD:
            out = wine_quiet("reg", "query", WINE_SETTINGS_KEY).stdout.decode("utf-8", "replace")
            for line in out.replace("\r", "").splitlines():
                parts = line.strip().split(None, 2)
                if len(parts) >= 2 and parts[1].startswith("REG_"):
                    values[parts[0]] = parts[2] if len(parts) > 2 else ""
            return values
        if os.path.exists(self.settings_path):
            with open(self.settings_path) as f:
                for line in f:
                    line = line.rstrip("\n")
                    if "=" in line and not line.startswith((";", "#")):
                        name, value = line.split("=", 1)
                        values[name] = value
        return values

    def close(self):
        if self._bus:
            self._bus.terminate()
            self._bus.wait(10)
            self._bus.stdout.close()
        shutil.rmtree(self.root, ignore_errors=True)


class Process:
    """A child with its standard output collected by a reader thread."""

    def __init__(self, argv, env, stdin=subprocess.PIPE):
        self.proc = subprocess.Popen(
            argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, start_new_session=True
        )
        self._data = bytearray()
        self._err = bytearray()
        self._cond = threading.Condition()
        self._closed = False
        self._cursor = 0
        self._reader = threading.Thread(target=self._read, args=(self.proc.stdout, self._data), daemon=True)
        self._err_reader = threading.Thread(target=self._read, args=(self.proc.stderr, self._err), daemon=True)
        self._reader.start()
        self._err_reader.start()

    def _read(self, stream, sink):
        while True:
            chunk = stream.read1(65536)
            with self._cond:
                if not chunk:
                    if sink is self._data:
                        self._closed = True
                    self._cond.notify_all()
                    return
                sink.extend(chunk)
                self._cond.notify_all()

    def output(self):
        """Everything printed so far, with Windows line ends made plain."""
        with self._cond:
            return self._text(bytes(self._data))

    def stderr(self):
        with self._cond:
            return bytes(self._err).decode("utf-8", "replace")

    @staticmethod
    def _text(data):
        return data.decode(CONSOLE_ENCODING, "replace").replace("\r\n", "\n")

    def expect(self, text, timeout=10):
        """Waits until text appears after the previous match; returns the output
        from the previous match up to and including text."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                current = self._text(bytes(self._data))
                found = current.find(text, self._cursor)
                if found >= 0:
                    end = found + len(text)
                    chunk = current[self._cursor : end]
                    self._cursor = end
                    return chunk
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self._closed and self.proc.poll() is not None):
                    raise AssertionError(
                        f"expected {text!r} within {timeout}s; output after the last match:\n"
                        f"{current[self._cursor:]!r}\nstderr: {bytes(self._err).decode('utf-8', 'replace')!r}"
                    )
                self._cond.wait(min(remaining, 0.2))

    def expect_all(self, texts, timeout=10):
        """Waits until every one of texts has appeared after the previous match, in
        any order (lines from different threads have no fixed order); moves past
        the last of them and returns the output up to there."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                current = self._text(bytes(self._data))
                ends = [current.find(t, self._cursor) for t in texts]
                if all(e >= 0 for e in ends):
                    end = max(e + len(t) for e, t in zip(ends, texts))
                    chunk = current[self._cursor : end]
                    self._cursor = end
                    return chunk
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self._closed and self.proc.poll() is not None):
                    missing = [t for t, e in zip(texts, ends) if e < 0]
                    raise AssertionError(
                        f"expected {missing!r} within {timeout}s; output after the last match:\n"
                        f"{current[self._cursor:]!r}"
                    )
                self._cond.wait(min(remaining, 0.2))

    def rest(self):
        """The output after the last match (and moves past it)."""
        with self._cond:
            current = self._text(bytes(self._data))
            chunk = current[self._cursor :]
            self._cursor = len(current)
            return chunk

    @property
    def output_closed(self):
        """Whether the process's standard output has reached its end."""
        with self._cond:
            return self._closed

    def wait_closed(self, timeout=10):
        """Waits for the process to end and its output to close; returns its status."""
        status = self.proc.wait(timeout)
        deadline = time.monotonic() + timeout
        with self._cond:
            while not self._closed and time.monotonic() < deadline:
                self._cond.wait(0.1)
        return status

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(10)
        if self.proc.stdin:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
        # A reading stream is closed only once its reader is done: closing it under a
        # reader that still waits (a program the process started keeps the pipe
        # open) would block until that program ends.
        for stream, reader in ((self.proc.stdout, self._reader), (self.proc.stderr, self._err_reader)):
            reader.join(2)
            if stream and not reader.is_alive():
                try:
                    stream.close()
                except OSError:
                    pass


class Console(Process):
    """The real console. By default waits for its banner.

    command() follows the main loop's prompts on a cursor of its own, so that
    expect() and expect_all() can still find the event lines that arrive while a
    command runs. In the output, a "> " at a line start is a prompt of the main
    loop unless it belongs to a line printed by another thread ("Event : ..." or
    "Error : ..." at a line start, ending in "\n> ", CallStatsUpdate in "\n"
    alone) or starts a line that the command printed itself ("> Error : ...",
    "> Event : Extension Mobility ...").
    """

    ANSWER_LINES = ("Error : ", "Event : Extension Mobility ")
    OTHER_THREAD_LINES = ("Event : ", "Error : ")

    def __init__(self, env, wait_for_prompt=True):
        super().__init__(console_command(), env.env)
        self._command_cursor = 0
        self._command_at_prompt = False
        self.events = []  # lines printed by other threads, as command() passed them
        if wait_for_prompt:
            try:
                self.expect(BANNER, timeout=30)
            except BaseException:
                self.kill()
                raise
            self._command_cursor = len(BANNER)

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode(CONSOLE_ENCODING, "replace"))
        self.proc.stdin.flush()

    def close_input(self):
        self.proc.stdin.close()

    def _next_prompt(self, text):
        """Parses text up to the first main-loop prompt: (answer, end) or None
        when text does not hold one yet."""
        answer = []
        pos = 0
        while pos < len(text):
            newline = text.find("\n", pos)
            if text.startswith("> ", pos):
                if text.startswith(self.ANSWER_LINES, pos + 2):
                    if newline < 0:
                        return None
                    answer.append(text[pos : newline + 1])
                    pos = newline + 1
                    continue
                return "".join(answer), pos + 2
            if text.startswith(self.OTHER_THREAD_LINES, pos):
                if newline < 0:
                    return None
                line = text[pos : newline + 1]
                pos = newline + 1
                if not line.startswith("Event : CallStatsUpdate"):
                    if not text.startswith("> ", pos):
                        return None
                    pos += 2
                self.events.append(line)
                continue
            if newline < 0:
                return None
            answer.append(text[pos : newline + 1])
            pos = newline + 1
        return None

    def _wait_prompt(self, timeout, what):
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                current = self._text(bytes(self._data))
                parsed = self._next_prompt(current[self._command_cursor :])
                if parsed is not None:
                    answer, end = parsed
                    self._command_cursor += end
                    return answer[:-1] if answer.endswith("\n") else answer
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self._closed and self.proc.poll() is not None):
                    raise AssertionError(f"no prompt {what}; output: {current[self._command_cursor:]!r}")
                self._cond.wait(min(remaining, 0.2))

    def command(self, line, timeout=10):
        """Sends a line at the prompt and returns what the console printed in
        answer, up to the next prompt (the prompt and other threads' lines
        excluded)."""
        self.begin_command(line, timeout)
        return self.answer(timeout)

    def begin_command(self, line, timeout=10):
        """Sends a line at the prompt without waiting for its answer."""
        if not self._command_at_prompt:
            self._wait_prompt(timeout, "before the first command")
            self._command_at_prompt = True
        self._pending = line
        self.send(line)

    def answer(self, timeout=10):
        """The answer to the command begun last (see command())."""
        return self._wait_prompt(timeout, f"after {self._pending!r}")

    # A line whose known answer closes the answer of the line before it.
    MARKER_LINE = "NoSuchCommand"
    MARKER = "> Error : ERROR_INVALID_COMMAND\n> "

    def ask(self, line, timeout=10):
        """Sends line, then a line with a known answer, and returns everything the
        console printed in between (on the expect() cursor, prompts included).
        Not to be mixed with command() in one test."""
        self.send(line)
        self.send(self.MARKER_LINE)
        return self.expect(self.MARKER, timeout)[: -len(self.MARKER)]

    def wait_until_bound(self, timeout=10):
        """Waits for the lines a console prints unasked once it has bound to the
        running simulator: its presence and the simulator's call-server event."""
        self.expect_all([CONNECTED, CALL_MANAGER_UP], timeout)

    def quit(self, timeout=10):
        self.send("quit")
        return self.wait_closed(timeout)


class Simulator(Process):
    """The softphone simulator; waits until it serves its control channel (the bus
    name on Linux, the loopback port under Wine)."""

    def __init__(self, env, *options, wait=True):
        self.env = env
        args = simulator_command() + ["--quiet"]
        if "--window" in options:
            options = tuple(o for o in options if o != "--window")
        else:
            args.append("--no-window")
        super().__init__(args + list(options), env.env, stdin=subprocess.DEVNULL)
        if wait:
            try:
                self.wait_ready()
            except BaseException:
                self.kill()
                raise

    def _ready(self):
        if ON_WINDOWS_BUILD:
            try:
                return control_request(self.env.ctl_port, ["log"], timeout=5)[0]
            except OSError:
                return False
        result = subprocess.run(
            [simulator_path(), "ctl", "log"], env=self.env.env, capture_output=True, text=True, timeout=10
        )
        return result.returncode == 0

    def wait_ready(self, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError(f"simulator ended with {self.proc.returncode}: {self.stderr()}")
            if self._ready():
                return
            time.sleep(0.05)
        raise AssertionError("simulator did not come up: " + self.stderr())

    def ctl(self, *args, check=True):
        if ON_WINDOWS_BUILD:
            ok, lines, error = control_request(self.env.ctl_port, args)
            if check and not ok:
                raise AssertionError(f"ctl {args} failed: {error}")
            return "".join(line + "\n" for line in lines)
        result = subprocess.run(
            [simulator_path(), "ctl", *[str(a) for a in args]],
            env=self.env.env,
            capture_output=True,
            text=True,
            timeout=15,
        )
        if check and result.returncode != 0:
            raise AssertionError(f"ctl {args} failed: {result.stderr}")
        return result.stdout

    def log(self):
        """The operations the simulator received, without their time stamps."""
        return [line.split(" ", 1)[1] for line in self.ctl("log").splitlines() if " " in line]

    def timed_log(self):
        """(milliseconds, operation) pairs."""
        entries = []
        for line in self.ctl("log").splitlines():
            stamp, _, operation = line.partition(" ")
            entries.append((int(stamp), operation))
        return entries

    def wait_for_log(self, operation, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            log = self.log()
            if operation in log:
                return log
            time.sleep(0.05)
        raise AssertionError(f"{operation!r} not in the simulator's log: {self.log()}")

    def stop(self):
        if ON_WINDOWS_BUILD:
            # Killing a local server would leave its class registered in the wineserver:
            # ask it to quit, and only restart Wine when it does not.
            if self.proc.poll() is None:
                try:
                    control_request(self.env.ctl_port, ["quit"], timeout=5)
                    self.proc.wait(10)
                except (OSError, subprocess.TimeoutExpired):
                    self.kill()
                    restart_wine()
            self.kill()
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass
        self.kill()


class ConsoleTestCase(unittest.TestCase):
    """A test with its own environment; processes registered with track() are
    stopped at the end."""

    with_bus = True

    def setUp(self):
        self.env = TestEnv(with_bus=self.with_bus)
        self._processes = []

    def tearDown(self):
        for process in reversed(self._processes):
            if isinstance(process, Simulator):
                process.stop()
            else:
                process.kill()
        self.env.close()
        # A sanitizer's report on standard error fails the test that caused it.
        for process in self._processes:
            report = process.stderr()
            for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                           "runtime error:"):
                self.assertNotIn(marker, report, f"sanitizer report from {process.proc.args[0]}:\n{report}")

    def track(self, process):
        self._processes.append(process)
        return process

    def start_console(self, **kwargs):
        return self.track(Console(self.env, **kwargs))

    def start_simulator(self, *options, **kwargs):
        return self.track(Simulator(self.env, *options, **kwargs))


def main():
    unittest.main(verbosity=2)


def stop_bus(env):
    """Ends env's private session bus while its clients still run."""
    if env._bus and env._bus.poll() is None:
        env._bus.terminate()
        env._bus.wait(10)


def start_console_through(test, shell):
    """Starts a console for test through `sh -c`: the shell text runs first (to
    open descriptors for the console to inherit, say), then execs the console."""
    global console_command
    plain = console_command
    console_command = lambda: ["/bin/sh", "-c", shell + ' exec "$@"', "sh", *plain()]
    try:
        return test.start_console()
    finally:
        console_command = plain
