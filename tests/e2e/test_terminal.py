"""The console at a terminal: line editing, history, completion, events printed
above the edited line, Ctrl-C and Ctrl-D, driven through a pseudo-terminal; and
the plain mode whenever one end is not a terminal."""

import fcntl
import os
import pty
import re
import select
import stat
import struct
import subprocess
import termios
import threading
import time
import unittest

import harness
from harness import BANNER, ConsoleTestCase, requires_simulator

ROWS, COLUMNS = 24, 80
UP = b"\x1b[A"
CTRL_C, CTRL_D = b"\x03", b"\x04"


class Screen:
    """Just enough of a VT100 to read what the operator sees: printable text,
    CR, LF, backspace, and the cursor and erase sequences a line editor uses."""

    def __init__(self):
        self.lines = [""]
        self.row = 0
        self.col = 0

    def _line(self):
        while len(self.lines) <= self.row:
            self.lines.append("")
        return self.lines[self.row]

    def _put(self, ch):
        line = self._line().ljust(self.col)
        self.lines[self.row] = line[: self.col] + ch + line[self.col + 1 :]
        self.col += 1
        if self.col >= COLUMNS:
            self.col = 0
            self.row += 1

    def feed(self, text):
        i = 0
        while i < len(text):
            ch = text[i]
            if ch == "\x1b":
                match = re.match(r"\x1b\[([0-9;?]*)([A-Za-z@])", text[i:])
                if not match:
                    i += 1
                    continue
                self._csi(match.group(1), match.group(2))
                i += len(match.group(0))
                continue
            if ch == "\r":
                self.col = 0
            elif ch == "\n":
                self.row += 1
            elif ch == "\b":
                self.col = max(0, self.col - 1)
            elif ch == "\a":
                pass
            elif ch >= " ":
                self._put(ch)
            i += 1
        self._line()

    def _csi(self, params, final):
        n = int(params.split(";")[0]) if params and params[0].isdigit() else 0
        if final == "A":
            self.row = max(0, self.row - max(n, 1))
        elif final == "B":
            self.row += max(n, 1)
        elif final == "C":
            self.col += max(n, 1)
        elif final == "D":
            self.col = max(0, self.col - max(n, 1))
        elif final == "G":
            self.col = max(n, 1) - 1
        elif final == "K":
            self.lines[self.row] = self._line()[: self.col]
        elif final == "J":
            self.lines[self.row] = self._line()[: self.col]
            del self.lines[self.row + 1 :]
        elif final == "H" and not params:
            self.row = self.col = 0  # home; "\x1b[2J" follows for Ctrl-L
        elif final == "P":
            line = self._line()
            self.lines[self.row] = line[: self.col] + line[self.col + max(n, 1) :]
        elif final == "@":
            line = self._line()
            self.lines[self.row] = line[: self.col] + " " * max(n, 1) + line[self.col :]

    def text(self):
        return "\n".join(line.rstrip() for line in self.lines).rstrip("\n")

    def cursor_line(self):
        return self._line()


class TerminalConsole:
    """The console with its standard input, output and error on a pseudo-terminal."""

    def __init__(self, env, extra_env=None, args=(), size=(ROWS, COLUMNS), before_exec=None):
        self.master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", *size, 0, 0))
        environment = dict(env.env, TERM="xterm")
        environment.update(extra_env or {})

        def controlling_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
            if before_exec:
                before_exec()

        self.proc = subprocess.Popen(
            harness.console_command() + list(args), stdin=slave, stdout=slave, stderr=slave, env=environment,
            start_new_session=True, preexec_fn=controlling_terminal,
        )
        os.close(slave)
        self.raw = bytearray()
        self.screen = Screen()
        self._cond = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            try:
                ready, _, _ = select.select([self.master], [], [], 0.2)
                if not ready:
                    if self.proc.poll() is not None:
                        break
                    continue
                chunk = os.read(self.master, 65536)
            except OSError:
                break
            if not chunk:
                break
            with self._cond:
                self.raw.extend(chunk)
                self.screen.feed(chunk.decode("utf-8", "replace"))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def type(self, keys):
        os.write(self.master, keys if isinstance(keys, bytes) else keys.encode())

    def wait_screen(self, predicate, what, timeout=10):
        deadline = time.monotonic() + timeout
        with self._cond:
            while not predicate(self.screen):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError(f"screen never showed {what}:\n{self.screen.text()}")
                self._cond.wait(min(remaining, 0.2))

    def wait_text(self, text, timeout=10):
        self.wait_screen(lambda s: text in s.text(), repr(text), timeout)

    def wait_cursor_line(self, text, timeout=10):
        """Waits until the line with the cursor reads text."""
        self.wait_screen(lambda s: s.cursor_line().rstrip() == text.rstrip(), f"the cursor line {text!r}", timeout)

    def wait_raw(self, data, timeout=10):
        deadline = time.monotonic() + timeout
        with self._cond:
            while data not in self.raw:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise AssertionError(f"never printed {data!r}: {bytes(self.raw[-400:])!r}")
                self._cond.wait(min(remaining, 0.2))

    def settle(self, seconds=0.3):
        """Waits until the output has been quiet for a moment."""
        while True:
            with self._cond:
                size = len(self.raw)
            time.sleep(seconds)
            with self._cond:
                if len(self.raw) == size:
                    return

    def wait(self, timeout=10):
        return self.proc.wait(timeout)

    def resize(self, rows, columns):
        """Sets the terminal's size; the kernel tells the console with SIGWINCH."""
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))

    def peak_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        raise AssertionError("no VmHWM")

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, 9)
            except ProcessLookupError:
                pass
            self.proc.wait(10)
        self._reader.join(5)
        os.close(self.master)


@unittest.skipIf(harness.ON_WINDOWS_BUILD, "the Windows console edits lines itself")
class TerminalCase(ConsoleTestCase):
    with_bus = True

    def setUp(self):
        super().setUp()
        self.terminals = []

    def tearDown(self):
        for terminal in self.terminals:
            terminal.kill()
        super().tearDown()
        # Standard error is the terminal too: a sanitizer's report shows on it.
        for terminal in self.terminals:
            screen = bytes(terminal.raw).decode("utf-8", "replace")
            for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                           "runtime error:"):
                self.assertNotIn(marker, screen)

    def start_terminal(self, timeout=30, **kwargs):
        terminal = TerminalConsole(self.env, **kwargs)
        self.terminals.append(terminal)
        terminal.wait_text("Type 'help' for available commands.", timeout=timeout)
        terminal.wait_cursor_line("> ")
        return terminal

    @property
    def history_path(self):
        return os.path.join(self.env.root, ".local", "state", "quvoconnect", "history")


class Terminal(TerminalCase):
    def test_history_kept_across_runs_without_passwords(self):
        first = self.start_terminal()
        first.type("help mute\r")
        first.wait_text("Mute/unmute microphone")
        first.type("EMLogin bob s3cret\r")
        first.wait_text("> Error : ERROR_NOT_INITIALIZED")
        first.type('"ipcclogin" agent p4ss 12\r')
        first.wait_text('> "ipcclogin" agent p4ss 12\n> Error : ERROR_NOT_INITIALIZED')
        first.wait_cursor_line("> ")
        # The log-in lines are not in the in-memory history either.
        first.type(UP)
        first.wait_cursor_line("> help mute")
        first.type(b"\x15" + CTRL_D)
        self.assertEqual(first.wait(), 0)

        with open(self.history_path) as f:
            self.assertEqual(f.read(), "help mute\n")
        self.assertEqual(stat.S_IMODE(os.stat(self.history_path).st_mode), 0o600)

        second = self.start_terminal()
        second.type(UP)
        second.wait_cursor_line("> help mute")
        second.type("\r")
        second.wait_raw(b"Mute/unmute microphone\r\n\r\n\r\n> ")
        second.type("quit\r")
        self.assertEqual(second.wait(), 0)
        with open(self.history_path) as f:
            self.assertEqual(f.read(), "help mute\nquit\n")  # a repeated line is kept once

    def test_history_under_xdg_state_home_and_bounded(self):
        state = os.path.join(self.env.root, "state")
        path = os.path.join(state, "quvoconnect", "history")
        os.makedirs(os.path.dirname(path))
        with open(path, "w") as f:
            f.write("".join(f"help {i}\n" for i in range(3000)) + "EMLogin old secret\n")
        os.chmod(path, 0o644)
        terminal = self.start_terminal(extra_env={"XDG_STATE_HOME": state})
        terminal.type(UP)
        terminal.wait_cursor_line("> help 2999")
        terminal.type(b"\x15quit\r")
        self.assertEqual(terminal.wait(), 0)
        with open(path) as f:
            lines = f.read().splitlines()
        self.assertLessEqual(len(lines), 1001)
        self.assertEqual(lines[-2:], ["help 2999", "quit"])
        self.assertNotIn("EMLogin old secret", lines)
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
        self.assertFalse(os.path.exists(self.history_path))

    def test_completion_of_commands_and_arguments(self):
        terminal = self.start_terminal()
        terminal.type("mak\t")
        terminal.wait_cursor_line("> MakeCall")
        terminal.type(b"\x15SOFTKEY tr\t")
        terminal.wait_cursor_line("> SOFTKEY transfer")
        # Two softkeys begin with "transfer": a second Tab lists both, the line below.
        terminal.type("\t")
        terminal.wait_text("> SOFTKEY transfer\ntransfer  transfervmail\n> SOFTKEY transfer")
        terminal.type("v\t")
        terminal.wait_cursor_line("> SOFTKEY transfervmail")
        terminal.type(b"\x15ipccstate workn\t")
        terminal.wait_cursor_line("> ipccstate worknotready")
        terminal.type(b"\x15Mute of\t")
        terminal.wait_cursor_line("> Mute off")
        terminal.type(b"\x15help conferencec\t")
        terminal.wait_text("ConferenceComplete  ConferenceCancel\n> help Conference")
        terminal.type("om\t\r")
        terminal.wait_text("Complete conference")
        terminal.type(CTRL_D)
        self.assertEqual(terminal.wait(), 0)

    def test_ctrl_c_abandons_the_line_and_ctrl_d_ends_only_an_empty_one(self):
        terminal = self.start_terminal()
        terminal.type("foo bar")
        terminal.wait_cursor_line("> foo bar")
        terminal.type(CTRL_C)
        terminal.wait_cursor_line("> ")
        # The abandoned line stays on the screen (the terminal may add its "^C").
        terminal.wait_screen(lambda s: s.lines[s.row - 1].startswith("> foo bar"), "the abandoned line")
        terminal.type("help zz")
        terminal.wait_cursor_line("> help zz")
        # Ctrl-D inside a line deletes; at the end of a non-empty line it ends nothing.
        terminal.type(b"\x01" + CTRL_D)
        terminal.wait_cursor_line("> elp zz")
        terminal.type(b"\x05" + CTRL_D + b"\r")
        terminal.wait_text("> Error : ERROR_INVALID_COMMAND")  # "elp zz" ran: the console is alive
        terminal.wait_cursor_line("> ")
        self.assertIsNone(terminal.proc.poll())
        terminal.type(CTRL_D)
        self.assertEqual(terminal.wait(), 0)

    def test_a_line_over_the_limit_is_refused(self):
        terminal = self.start_terminal()
        terminal.type("help " + "x" * 70000 + "\r")
        terminal.wait_text("> Error : ERROR_INVALID_COMMAND", timeout=30)
        terminal.type("quit\r")
        self.assertEqual(terminal.wait(), 0)


@unittest.skipIf(harness.ON_WINDOWS_BUILD, "the Windows console edits lines itself")
class EventsWhileEditing(TerminalCase):
    @requires_simulator
    def test_event_is_printed_above_the_line_being_typed(self):
        sim = self.start_simulator()
        terminal = self.start_terminal()
        terminal.wait_text("Event : Connected to softphone")
        terminal.wait_text("Event : Connected to CallManager")
        terminal.settle()
        terminal.type("MakeCa")
        terminal.wait_cursor_line("> MakeCa")
        terminal.type(b"\x02\x02")  # the cursor two characters back: "Make|Ca"
        sim.ctl("fire", 17)
        terminal.wait_text("Event : ConnectionKeepAlive\n> MakeCa")
        terminal.wait_cursor_line("> MakeCa")
        # The event line went out whole, in one piece, with no prompt of its own.
        self.assertIn(b"Event : ConnectionKeepAlive\r\n", terminal.raw)
        self.assertNotIn(b"Event : ConnectionKeepAlive\r\n> \r\n", terminal.raw)
        # Typing goes on where the cursor was.
        terminal.type("X\x7f\x05ll 4321\r")
        sim.wait_for_log('MakeCall("4321")')
        terminal.wait_text("State=5(TsConnected)")
        lines = terminal.screen.text().splitlines()
        self.assertIn("> MakeCall 4321", lines)
        for line in lines:
            if "Event :" in line:
                self.assertTrue(line.startswith("Event : "), line)
        terminal.type("quit\r")
        self.assertEqual(terminal.wait(), 0)


@unittest.skipIf(harness.ON_WINDOWS_BUILD, "the Windows console edits lines itself")
class HistoryFileTraps(TerminalCase):
    """Whatever stands at the history's place, the console starts, answers, and
    touches no file but a regular one of its own."""

    with_bus = False

    def setUp(self):
        super().setUp()
        self.state = os.path.join(self.env.root, "state")
        self.path = os.path.join(self.state, "quvoconnect", "history")
        os.makedirs(os.path.dirname(self.path))
        self.other = os.path.join(self.env.root, "notes")
        with open(self.other, "w") as f:
            f.write("the operator's own notes\n")
        os.chmod(self.other, 0o644)

    def run_one_command(self, timeout=30, before_exec=None):
        terminal = self.start_terminal(extra_env={"XDG_STATE_HOME": self.state}, timeout=timeout,
                                       before_exec=before_exec)
        terminal.type("foo\r")
        terminal.wait_text("> Error : ERROR_INVALID_COMMAND")
        terminal.type("quit\r")
        self.assertEqual(terminal.wait(), 0)
        return terminal

    def assert_other_untouched(self):
        with open(self.other) as f:
            self.assertEqual(f.read(), "the operator's own notes\n")
        self.assertEqual(stat.S_IMODE(os.stat(self.other).st_mode), 0o644)

    def test_a_history_that_is_a_link_is_left_alone(self):
        os.symlink(self.other, self.path)
        self.run_one_command()
        self.assert_other_untouched()
        self.assertEqual(os.readlink(self.path), self.other)

    def test_a_hard_link_as_the_history_is_left_alone(self):
        os.link(self.other, self.path)
        self.run_one_command()
        self.assert_other_untouched()

    def test_a_link_in_place_of_the_temporary_is_replaced(self):
        # A line never kept has the file written anew through the temporary, whose
        # name ends in the console's process number; a link may stand there already.
        with open(self.path, "w") as f:
            f.write("help mute\nEMLogin old secret\n")
        self.run_one_command(before_exec=lambda: os.symlink(self.other, "%s.new.%d" % (self.path, os.getpid())))
        self.assert_other_untouched()
        self.assertTrue(stat.S_ISREG(os.lstat(self.path).st_mode))
        self.assertEqual(os.listdir(os.path.dirname(self.path)), ["history"])
        with open(self.path) as f:
            self.assertEqual(f.read(), "help mute\nfoo\nquit\n")

    def test_a_fifo_in_place_of_the_history_neither_blocks_nor_is_used(self):
        os.mkfifo(self.path)
        self.run_one_command(timeout=10)
        self.assertTrue(stat.S_ISFIFO(os.lstat(self.path).st_mode))

    def test_a_huge_line_in_the_history_is_skipped_in_little_memory(self):
        with open(self.path, "w") as f:
            f.write("help mute\n")
        usual = self.start_terminal(extra_env={"XDG_STATE_HOME": self.state})
        usual_kib = usual.peak_kib()
        usual.type(CTRL_D)
        self.assertEqual(usual.wait(), 0)

        size_kib = 20 << 10
        with open(self.path, "a") as f:
            f.write("x" * (size_kib << 10))
        terminal = self.start_terminal(extra_env={"XDG_STATE_HOME": self.state})
        self.assertLess(terminal.peak_kib(), usual_kib + size_kib // 4)
        terminal.type(UP)
        terminal.wait_cursor_line("> help mute")
        terminal.type(b"\x15quit\r")
        self.assertEqual(terminal.wait(), 0)
        with open(self.path) as f:
            self.assertEqual(f.read(), "help mute\nquit\n")


@unittest.skipIf(harness.ON_WINDOWS_BUILD, "the Windows console edits lines itself")
class AbsurdTerminalSizes(TerminalCase):
    """A terminal that claims tens of thousands of rows and columns gets the plain
    mode's lines instead of the editor's: no memory for its screen, no crash."""

    with_bus = False
    PEAK_KIB = 256 << 10  # the editor's screens alone took 677 MiB at 10000x10000

    def test_a_huge_terminal_from_the_start(self):
        terminal = self.start_terminal(size=(10000, 10000))
        terminal.type("foo\r")
        terminal.wait_text("> foo\n> Error : ERROR_INVALID_COMMAND")
        terminal.wait_cursor_line("> ")
        self.assertLess(terminal.peak_kib(), self.PEAK_KIB)
        terminal.type("quit\r")
        self.assertEqual(terminal.wait(), 0)

    def test_a_terminal_grown_huge_while_a_line_is_edited(self):
        terminal = self.start_terminal()
        terminal.type("fo")
        terminal.wait_cursor_line("> fo")
        terminal.resize(65535, 65535)
        time.sleep(0.3)
        terminal.type("o\r")
        terminal.wait_text("> foo\n> Error : ERROR_INVALID_COMMAND")
        # The next line is the terminal's own to edit; Ctrl-C still abandons it.
        terminal.wait_cursor_line("> ")
        terminal.type("help zz")
        terminal.wait_cursor_line("> help zz")
        terminal.type(CTRL_C)
        terminal.wait_cursor_line("> ")
        terminal.type("bar\r")
        terminal.wait_text("> bar\n> Error : ERROR_INVALID_COMMAND")
        terminal.wait_cursor_line("> ")
        self.assertLess(terminal.peak_kib(), self.PEAK_KIB)
        # Back to a usual size, the editor takes over again with the lines so far.
        terminal.resize(ROWS, COLUMNS)
        terminal.type("\r")
        terminal.wait_cursor_line("> ")
        terminal.type(UP)
        terminal.wait_cursor_line("> bar")
        terminal.type(b"\x15" + CTRL_D)
        self.assertEqual(terminal.wait(), 0)


class PlainMode(ConsoleTestCase):
    """Where one end is not a terminal, or the terminal is dumb, every byte is as
    without a terminal: prompts of the console's own, no editing."""

    with_bus = False
    SESSION = b"help zz\nfoo\n\x1b[A\t\nquit\n"
    EXPECTED = BANNER + "> \n> > Error : ERROR_INVALID_COMMAND\n> > Error : ERROR_INVALID_COMMAND\n> "

    def plain_run(self, stdin_tty, stdout_tty, term="xterm"):
        master, slave = pty.openpty()
        attributes = termios.tcgetattr(slave)
        attributes[3] &= ~termios.ECHO  # what is typed does not come back
        termios.tcsetattr(slave, termios.TCSANOW, attributes)
        env = dict(self.env.env, TERM=term)
        proc = subprocess.Popen(
            harness.console_command(),
            stdin=slave if stdin_tty else subprocess.PIPE,
            stdout=slave if stdout_tty else subprocess.PIPE,
            stderr=subprocess.PIPE, env=env,
        )
        os.close(slave)
        if stdin_tty:
            os.write(master, self.SESSION)
        else:
            proc.stdin.write(self.SESSION)
            proc.stdin.close()
        output = b""
        if stdout_tty:
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
        else:
            output = proc.stdout.read()
        status = proc.wait(30)
        errors = proc.stderr.read()
        for stream in (proc.stdout, proc.stderr):
            if stream:
                stream.close()
        os.close(master)
        text = output.decode()
        if stdout_tty:
            text = text.replace("\r\n", "\n")
        return status, text, errors

    @unittest.skipIf(harness.ON_WINDOWS_BUILD, "a Unix pseudo-terminal")
    def test_plain_when_either_end_is_not_a_terminal_or_the_terminal_is_dumb(self):
        for stdin_tty, stdout_tty, term in [(False, True, "xterm"), (True, False, "xterm"), (True, True, "dumb"),
                                            (False, False, "xterm")]:
            with self.subTest(stdin_tty=stdin_tty, stdout_tty=stdout_tty, term=term):
                status, output, errors = self.plain_run(stdin_tty, stdout_tty, term)
                self.assertEqual(output, self.EXPECTED)
                self.assertEqual(status, 0)
                self.assertEqual(errors, b"")
        self.assertFalse(os.path.exists(os.path.join(self.env.root, ".local", "state", "quvoconnect")))


if __name__ == "__main__":
    harness.main()
