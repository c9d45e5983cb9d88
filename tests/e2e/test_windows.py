"""The Windows build under Wine: COM registration and activation, the named mutex, the
registry settings, program launch and window control with the null graphics driver,
failures on the automation link, and an event storm through the connection point."""

import os
import re
import signal
import subprocess
import time
import unittest

import harness
from harness import (CALL_MANAGER_UP, CONNECTED, DISCONNECTED, ON_WINDOWS_BUILD, ConsoleTestCase,
                     quit_started_simulator, restart_wine, simulator_command, wine_quiet)

CLASS_KEY = r"HKLM\Software\Classes\CLSID\{E2547136-98DE-4427-89F0-A577B0DB0D1C}"
LIBID = "{33504B8E-0D5B-47A6-88E4-C67BFBB9C4AF}"


def softphone_running(env):
    """The simulator's own probe: OpenMutexA("mutex_QUVO"), never creating it."""
    return subprocess.run(simulator_command() + ["ctl", "wait-gone", "0"], env=env.env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=30).returncode != 0


@unittest.skipUnless(ON_WINDOWS_BUILD, "the Windows build under Wine")
class Binding(ConsoleTestCase):
    def test_registered_class_has_its_type_library_and_no_local_server(self):
        keys = wine_quiet("reg", "query", CLASS_KEY, "/s").stdout.decode("utf-8", "replace")
        self.assertIn(LIBID, keys)
        self.assertNotIn("LocalServer32", keys)
        # Nothing runs, so activation fails at once and the console is unbound.
        console = self.start_console()
        self.assertEqual(console.command("Hold"), "> Error : ERROR_NOT_INITIALIZED")
        time.sleep(1.2)  # two polls of the mutex
        self.assertFalse(softphone_running(self.env), "the console never creates mutex_QUVO")
        self.assertNotIn("Event :", console.output())

    def test_presence_follows_the_mutex(self):
        sim = self.start_simulator()
        console = self.start_console()
        console.expect_all(["> ", CONNECTED, CALL_MANAGER_UP])
        self.assertTrue(softphone_running(self.env))
        sim.ctl("quit")
        sim.wait_closed()
        console.expect(DISCONNECTED, timeout=5)
        self.assertEqual(console.command("MakeCall 1"), "> Error : ERROR_PHONE_NOT_RUNNING")
        self.assertEqual(console.quit(), 0)


@unittest.skipUnless(ON_WINDOWS_BUILD, "the Windows build under Wine")
class ProgramControl(ConsoleTestCase):
    def tearDown(self):
        # A simulator that the console started is reached through the same control port.
        quit_started_simulator(self.env)
        super().tearDown()

    def test_exit_program_then_run_program_starts_it_again(self):
        sim = self.start_simulator()
        settings = self.env.read_settings()
        self.assertTrue(settings["sExePath"].endswith("\\softphone-sim\\win32"), settings)
        self.assertEqual(settings["sExeFileName"], "quvo-softphone-sim.exe")
        self.assertEqual(settings["sPhoneOnline"], "Dorevirud Uvazed")
        console = self.start_console()
        console.expect_all(["> ", CONNECTED])
        self.assertEqual(console.command("ExitProgram"), "")
        sim.wait_closed()
        console.expect(DISCONNECTED, timeout=5)
        self.assertEqual(console.command("RunProgram"), "")
        console.expect(CONNECTED, timeout=15)
        self.assertEqual(console.command("RunProgram extra words ignored"), "")  # a second copy refuses to run
        self.assertEqual(console.quit(), 0)
        self.assertNotIn("Disconnected", console.rest())
        # The softphone it started, still running, holds none of the console's output.
        self.assertTrue(console.output_closed)

    def test_run_program_refusals(self):
        # RunProgram needs no bound softphone: unbound, with no settings, nothing is found.
        console = self.start_console()
        self.assertEqual(console.command("RunProgram"), "> Error : ERROR_PHONE_NOT_FOUND")
        self.assertEqual(console.quit(), 0)  # else it would bind to the softphone below as well
        sim = self.start_simulator("--no-settings")
        console2 = self.start_console()
        console2.expect(CONNECTED)
        for values in ({}, {"sExePath": "", "sExeFileName": "x.exe"}, {"sExePath": "C:\\nowhere",
                                                                           "sExeFileName": "   "},
                       {"sExePath": "C:\\" + "long folder name " * 6, "sExeFileName": "phone.exe"}):
            with self.subTest(values=values):
                self.env.write_settings(values)
                self.assertEqual(console2.command("RunProgram"), "> Error : ERROR_PHONE_NOT_FOUND")
        self.assertEqual(sim.log(), ["SetClientActive(1)"])

    def test_hide_minimises_and_show_restores_with_a_long_title(self):
        title = "QUVO softphone window with a title that is longer than sixty-four bytes"
        self.start_simulator("--window", "--title", title)
        sim = self._processes[-1]
        self.assertEqual(self.env.read_settings()["sPhoneOnline"], title)
        console = self.start_console()
        console.expect(CONNECTED)
        self.assertEqual(console.command("HideProgram"), "")
        self.assertTrue(sim.ctl("window").startswith("iconic=1"), sim.ctl("window"))
        self.assertEqual(console.command("ShowProgram"), "")
        self.assertTrue(sim.ctl("window").startswith("iconic=0 foreground=1"), sim.ctl("window"))
        # A title under which no window exists falls back to the fixed one: nothing found, success.
        self.env.write_settings({"sPhoneOnline": "No such window"})
        self.assertEqual(console.command("HideProgram"), "")
        self.assertTrue(sim.ctl("window").startswith("iconic=0"))


@unittest.skipUnless(ON_WINDOWS_BUILD, "the Windows build under Wine")
class LinkFailures(ConsoleTestCase):
    def test_event_storm_arrives_whole_and_complete(self):
        sim = self.start_simulator()
        console = self.start_console()
        console.wait_until_bound()
        count = 400
        for n in range(count):
            sim.ctl("fire", "IncomingCall", f"i:{n}", "s:1001", f"s:caller {n} " + "x" * 40)
        console.expect(f"CallRef={count - 1}, ", timeout=60)
        console.expect("\n> ")
        lines = [line for line in console.output().split("\n") if "IncomingCall" in line]
        pattern = re.compile(r"^(> )?Event : IncomingCall, CallRef=(\d+), Line=1001, CallerID=caller \2 x{40}$")
        self.assertEqual(len(lines), count)
        self.assertEqual([int(pattern.match(line).group(2)) for line in lines], list(range(count)))

    def test_simulator_killed_in_the_middle_of_a_command(self):
        sim = self.start_simulator()
        console = self.start_console()
        console.wait_until_bound()
        try:
            sim.ctl("delay", "Hold", 3000)
            console.begin_command("Hold")
            sim.wait_for_log("Hold()")
            os.killpg(sim.proc.pid, signal.SIGKILL)
            answer = console.answer(timeout=30)
            self.assertRegex(answer, r"^> Error : Automation failure 0x8\w{7} - [^\n]*$")
            console.expect(DISCONNECTED, timeout=5)
            self.assertEqual(console.command("Hold"), "> Error : ERROR_PHONE_NOT_RUNNING")
            self.assertEqual(console.quit(), 0)
        finally:
            sim.kill()
            restart_wine()


if __name__ == "__main__":
    harness.main()
