"""RunProgram, ShowProgram and HideProgram end to end: the program the settings
name is started for real, and the softphone simulator's window is minimised and
restored on a private X server with a window manager."""

import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

import harness
from harness import wait_for, CONNECTED, ConsoleTestCase, requires_simulator

NOT_FOUND = "> Error : ERROR_PHONE_NOT_FOUND\n> "
SILENT = "> "  # a command that succeeds prints nothing but the next prompt



# The launched program writes what it saw into the file named by its own
# location, so that the test can check it.
PROGRAM = """#!/bin/sh
{{
  echo "cwd=$(pwd -P)"
  echo "args=$#"
  echo "pid=$$ sid=$(cut -d' ' -f6 /proc/$$/stat)"
  echo "stdin=$(readlink /proc/$$/fd/0)"
}} > "{report}.tmp"
mv "{report}.tmp" "{report}"
"""


def children(pid):
    """(pid, state) of every process whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append((int(entry), fields[0]))
    return found


@requires_simulator
class RunProgram(ConsoleTestCase):
    def setUp(self):
        super().setUp()
        self.start_simulator("--no-settings")
        self.console = self.start_console()
        self.console.wait_until_bound()

    def make_program(self, folder, name="phone.sh", mode=0o755):
        os.makedirs(folder, exist_ok=True)
        report = os.path.join(self.env.root, "report-" + os.path.basename(folder.rstrip("/")) + "-" + name)
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write(PROGRAM.format(report=report))
        os.chmod(path, mode)
        return report

    def read_report(self, report):
        wait_for(lambda: os.path.exists(report), what="the launched program's report")
        with open(report) as f:
            return dict(line.split("=", 1) for line in f.read().splitlines())

    def test_starts_the_program_in_its_folder(self):
        folder = os.path.realpath(os.path.join(self.env.root, "my phone"))
        for written in [folder, folder + "/", folder + "/   "]:
            with self.subTest(sExePath=written):
                report = self.make_program(folder)
                if os.path.exists(report):
                    os.remove(report)
                self.env.write_settings({"sExePath": written, "sExeFileName": "phone.sh"})
                self.assertEqual(self.console.ask("RunProgram extra words"), SILENT)
                seen = self.read_report(report)
                self.assertEqual(seen["cwd"], folder)
                self.assertEqual(seen["args"], "0")  # the further words are not passed on
                pid, sid = seen["pid"].split(" sid=")
                self.assertEqual(pid, sid, "the program runs in a session of its own")
                console_stdin = os.readlink(f"/proc/{self.console.proc.pid}/fd/0")
                self.assertNotEqual(seen["stdin"], console_stdin, "the program must not read the console's input")

        # Every launched program has ended and been reaped: no zombie stays.
        wait_for(lambda: not children(self.console.proc.pid), what="the console's children to go")

    def test_missing_values_launch_nothing(self):
        folder = os.path.join(self.env.root, "phone")
        report = self.make_program(folder)
        for settings in [
            {},
            {"sExePath": folder},
            {"sExeFileName": "phone.sh"},
            {"sExePath": "   ", "sExeFileName": "phone.sh"},
            {"sExePath": folder, "sExeFileName": " \t "},
        ]:
            with self.subTest(settings=settings):
                if os.path.exists(self.env.settings_path):
                    os.remove(self.env.settings_path)
                if settings:
                    self.env.write_settings(settings)
                self.assertEqual(self.console.ask("RunProgram"), NOT_FOUND)
        self.assertTrue(os.path.exists(self.env.settings_path), "the settings file is created, empty")
        time.sleep(0.3)
        self.assertFalse(os.path.exists(report))

    def test_refused_launches(self):
        folder = os.path.join(self.env.root, "phone")
        self.make_program(folder, "not-executable.sh", mode=0o644)
        self.make_program(folder, "phone.sh")
        cases = [
            ({"sExePath": folder, "sExeFileName": "not-executable.sh"}, "a file without execute permission"),
            ({"sExePath": folder, "sExeFileName": "missing.sh"}, "a missing file"),
            ({"sExePath": folder, "sExeFileName": " phone.sh"}, "leading blanks are part of the name"),
            ({"sExePath": self.env.root, "sExeFileName": "phone"}, "a folder, not a program"),
        ]
        for settings, what in cases:
            with self.subTest(what):
                self.env.write_settings(settings)
                self.assertEqual(self.console.ask("RunProgram"), NOT_FOUND)
        self.assertEqual(children(self.console.proc.pid), [])


@unittest.skipIf(harness.ON_WINDOWS_BUILD, "launches a shell script")
class RunProgramUnbound(ConsoleTestCase):
    with_bus = False

    def test_starts_the_program_without_a_softphone(self):
        folder = os.path.realpath(os.path.join(self.env.root, "phone"))
        os.makedirs(folder)
        report = os.path.join(self.env.root, "report")
        path = os.path.join(folder, "phone.sh")
        with open(path, "w") as f:
            f.write(PROGRAM.format(report=report))
        os.chmod(path, 0o755)
        self.env.write_settings({"sExePath": folder, "sExeFileName": "phone.sh"})
        console = self.start_console()
        # The first answer begins with the first prompt.
        self.assertEqual(console.ask("Hold"), "> > Error : ERROR_NOT_INITIALIZED\n> ")
        self.assertEqual(console.ask("RunProgram"), SILENT)
        wait_for(lambda: os.path.exists(report), what="the launched program's report")
        self.assertEqual(console.quit(), 0)


@requires_simulator
class ExitAndRunAgain(ConsoleTestCase):
    def test_exit_program_then_run_program_starts_the_softphone_again(self):
        sim = self.start_simulator()  # records its own folder and file name in the settings
        console = self.start_console()
        console.wait_until_bound()
        settings = self.env.read_settings()
        self.assertEqual(os.path.join(settings["sExePath"], settings["sExeFileName"]), harness.simulator_path())

        self.assertEqual(console.command("ExitProgram now"), "")
        console.expect("Event : Disconnected from softphone\n> ", timeout=5)
        sim.wait_closed()
        self.assertEqual(console.command("Hold"), "> Error : ERROR_PHONE_NOT_RUNNING")

        self.assertEqual(console.command("RunProgram"), "")
        try:
            console.expect(CONNECTED, timeout=10)
            # The new softphone is bound and takes the console's commands.
            self.assertEqual(console.command("Snapshot"), "")
        finally:
            subprocess.run([harness.simulator_path(), "ctl", "quit"], env=self.env.env, capture_output=True, timeout=10)


def have_x_tools():
    return all(shutil.which(tool) for tool in ("Xvfb", "icewm", "xprop"))


class XServer:
    """Xvfb on a free display number with icewm managing it; with a cookie, only
    clients that present it (from the authority file in self.env) get in."""

    def __init__(self, cookie=None):
        self.folder = tempfile.mkdtemp(prefix="quvo-x-")
        options = []
        if cookie:
            # The server takes every cookie of its file, whatever display it is filed under.
            options = ["-auth", self.add_cookie("server-auth", ":0", cookie)]
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "800x600x24", *options],
            pass_fds=(write_end,),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            self.xvfb.kill()
            raise AssertionError("Xvfb did not start")
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display)
        if cookie:
            self.env["XAUTHORITY"] = self.add_cookie("client-auth", self.display, cookie)
        self.wm = subprocess.Popen(["icewm"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: "window id" in self.xprop("-root", "_NET_SUPPORTING_WM_CHECK"), 60, "icewm")

    def add_cookie(self, file, display, cookie):
        path = os.path.join(self.folder, file)
        subprocess.run(["xauth", "-q", "-f", path, "add", display, "MIT-MAGIC-COOKIE-1", cookie], check=True,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
        return path

    def xprop(self, *args):
        result = subprocess.run(["xprop", *args], env=self.env, capture_output=True, text=True, timeout=10)
        return result.stdout

    def client_windows(self):
        text = self.xprop("-root", "_NET_CLIENT_LIST")
        return [w.strip(",") for w in text.split() if w.startswith("0x")]

    def window_titled(self, title):
        for window in self.client_windows():
            if f'= "{title}"' in self.xprop("-id", window, "_NET_WM_NAME"):
                return window
        return None

    def state(self, window):
        text = self.xprop("-id", window, "WM_STATE")
        for state in ("Iconic", "Normal", "Withdrawn"):
            if f"window state: {state}" in text:
                return state
        return None

    def active_window(self):
        text = self.xprop("-root", "_NET_ACTIVE_WINDOW")
        return int(text.split()[-1], 16) if "window id" in text else 0

    def close(self):
        for proc in (self.wm, self.xvfb):
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


@requires_simulator
@unittest.skipUnless(have_x_tools(), "needs Xvfb, icewm and xprop")
class ShowAndHideProgram(ConsoleTestCase):
    def setUp(self):
        super().setUp()
        self.x = XServer()
        self.addCleanup(self.x.close)
        self.env.env["DISPLAY"] = self.x.display

    def start(self, *simulator_options, settings=None):
        self.start_simulator("--no-settings", *simulator_options)
        if settings:
            self.env.write_settings(settings)
        console = self.start_console()
        console.wait_until_bound()
        return console

    def test_hide_minimises_and_show_restores(self):
        title = "QUVO Test Phone"
        console = self.start("--window", "--title", title, settings={"sPhoneOnline": title.upper()})
        window = wait_for(lambda: self.x.window_titled(title), 10, "the simulator's window")
        wait_for(lambda: self.x.state(window) == "Normal", what="the window to be shown")

        self.assertEqual(console.ask("HideProgram"), SILENT)
        # The request has reached the server when the command returns; the window
        # manager acts on it a moment later.
        wait_for(lambda: self.x.state(window) == "Iconic", what="the window to be minimised")
        self.assertIn(window, self.x.client_windows(), "minimised, never removed")
        self.assertEqual(console.ask("HideProgram"), SILENT)
        time.sleep(0.3)
        self.assertEqual(self.x.state(window), "Iconic")

        self.assertEqual(console.ask("ShowProgram"), SILENT)
        wait_for(lambda: self.x.state(window) == "Normal", what="the window to be restored")
        wait_for(lambda: self.x.active_window() == int(window, 16), what="the window to be active")

        # Shown already: brought to the front again, still normal.
        self.assertEqual(console.ask("ShowProgram"), SILENT)
        time.sleep(0.3)
        self.assertEqual(self.x.state(window), "Normal")

    def test_a_title_held_only_in_wm_name_in_each_of_its_encodings(self):
        console = self.start("--window", "--title", "Placeholder")
        window = wait_for(lambda: self.x.window_titled("Placeholder"), 10, "the simulator's window")
        wait_for(lambda: self.x.state(window) == "Normal", what="the window to be shown")
        self.x.xprop("-id", window, "-remove", "_NET_WM_NAME")
        # xprop stores the text as STRING when it is Latin-1, else as COMPOUND_TEXT
        # (an ISO 8859 part or a set of East Asia designated by escape sequences).
        utf8 = dict(self.x.env, LC_ALL="C.UTF-8")
        for title in ("Café", "Телефон", "Ελλάδα", "電話 Phone"):
            with self.subTest(title=title):
                subprocess.run(["xprop", "-id", window, "-f", "WM_NAME", "8t", "-set", "WM_NAME", title], env=utf8,
                               check=True, timeout=10)
                self.env.write_settings({"sPhoneOnline": title})
                self.assertEqual(console.ask("HideProgram"), SILENT)
                wait_for(lambda: self.x.state(window) == "Iconic", what="the window to be minimised")
                self.assertEqual(console.ask("ShowProgram"), SILENT)
                wait_for(lambda: self.x.state(window) == "Normal", what="the window to be restored")

    def test_unknown_title_falls_back_to_the_default(self):
        console = self.start("--window", settings={"sPhoneOnline": "No Such Window"})
        window = wait_for(lambda: self.x.window_titled("Dorevirud Uvazed"), 10, "the simulator's window")
        wait_for(lambda: self.x.state(window) == "Normal", what="the window to be shown")
        self.assertEqual(console.ask("HideProgram"), SILENT)
        wait_for(lambda: self.x.state(window) == "Iconic", what="the window to be minimised")
        self.assertEqual(console.ask("ShowProgram"), SILENT)
        wait_for(lambda: self.x.state(window) == "Normal", what="the window to be restored")

    def test_no_window_is_success_without_effect(self):
        console = self.start()  # the simulator shows no window
        self.assertEqual(console.ask("HideProgram"), SILENT)
        self.assertEqual(console.ask("ShowProgram"), SILENT)
        self.assertEqual(self.x.client_windows(), [])


@requires_simulator
@unittest.skipUnless(have_x_tools() and shutil.which("xauth"), "needs Xvfb, icewm, xprop and xauth")
class ShowAndHideWithAccessControl(ConsoleTestCase):
    def test_the_cookie_of_the_authority_file_lets_the_console_in(self):
        x = XServer(cookie="0123456789abcdef0123456789abcdef")
        self.addCleanup(x.close)
        title = "QUVO Test Phone"
        self.env.env.update(DISPLAY=x.display, XAUTHORITY=x.env["XAUTHORITY"])
        self.start_simulator("--no-settings", "--window", "--title", title)
        self.env.write_settings({"sPhoneOnline": title})
        window = wait_for(lambda: x.window_titled(title), 10, "the simulator's window")
        wait_for(lambda: x.state(window) == "Normal", what="the window to be shown")

        # Without the cookie the server turns the console away: no window.
        self.env.env["XAUTHORITY"] = os.path.join(self.env.root, "no-such-authority")
        console = self.start_console()
        console.wait_until_bound()
        self.assertEqual(console.ask("HideProgram"), SILENT)
        time.sleep(0.3)
        self.assertEqual(x.state(window), "Normal")
        self.assertEqual(console.quit(), 0)

        self.env.env["XAUTHORITY"] = x.env["XAUTHORITY"]
        console = self.start_console()
        console.wait_until_bound()
        self.assertEqual(console.ask("HideProgram"), SILENT)
        wait_for(lambda: x.state(window) == "Iconic", what="the window to be minimised")
        self.assertEqual(console.quit(), 0)


@requires_simulator
class ShowAndHideWithoutDisplay(ConsoleTestCase):
    def test_no_display_is_success_without_effect(self):
        self.start_simulator("--no-settings")
        # No DISPLAY at all, then a display that names no server.
        for display in (None, ":9999"):
            with self.subTest(DISPLAY=display):
                if display:
                    self.env.env["DISPLAY"] = display
                else:
                    self.env.env.pop("DISPLAY", None)
                console = self.start_console()
                console.wait_until_bound()
                self.assertEqual(console.ask("HideProgram"), SILENT)
                self.assertEqual(console.ask("ShowProgram"), SILENT)
                self.assertEqual(console.quit(), 0)

if __name__ == "__main__":
    harness.main()
