"""The console follows the softphone as it comes and goes: it binds to each new
softphone process once, whenever that process appears, also when it takes the
place of the old one within one presence poll. Runs against the Linux simulator
over the bus and against the Windows one over COM under Wine."""

import os
import subprocess
import time
import unittest

import harness
from harness import (CALL_MANAGER_UP, CONNECTED, DISCONNECTED, ON_WINDOWS_BUILD, ConsoleTestCase, control_request,
                     line_update, quit_started_simulator, windows_path)

REFUSED = "Error : SetClientActive failed - Automation failure 0x80004005"


class Rebinding(ConsoleTestCase):
    def restart(self, sim, console, *options):
        sim.ctl("quit")
        sim.wait_closed()
        console.expect(DISCONNECTED, timeout=5)
        return self.start_simulator(*options)

    def test_a_restarted_softphone_is_bound_and_its_calls_and_events_come_through(self):
        sim = self.start_simulator("--ring-ms", "200")
        console = self.start_console()
        console.wait_until_bound()
        sim2 = self.restart(sim, console, "--ring-ms", "200")
        console.expect_all([CONNECTED, CALL_MANAGER_UP], timeout=5)
        self.assertEqual(console.command("MakeCall 1234"), "")
        console.expect(line_update(5, "TsConnected", 1001, "outgoing", "1234"))
        self.assertEqual(sim2.log().count("SetClientActive(1)"), 1)
        self.assertIn('MakeCall("1234")', sim2.log())

    def test_a_console_started_first_binds_when_the_softphone_starts(self):
        console = self.start_console()
        self.assertEqual(console.command("MakeCall 1"), "> Error : ERROR_NOT_INITIALIZED")
        time.sleep(1.2)  # polls without a softphone say nothing
        self.assertNotIn("Event :", console.output())
        sim = self.start_simulator()
        console.wait_until_bound(timeout=5)
        self.assertEqual(console.command("Snapshot"), "")
        self.assertEqual(sim.log(), ["SetClientActive(1)", "Snapshot()"])

    @unittest.skipIf(ON_WINDOWS_BUILD, "--publish-after is an option of the Linux simulator only (the Windows "
                     "one registers its class object right after creating its mutex)")
    def test_an_object_published_after_the_lock_is_bound_silently_once_it_exists(self):
        console = self.start_console()
        sim = self.start_simulator("--publish-after", "1500", wait=False)
        console.expect(CONNECTED, timeout=5)
        sim.wait_ready()
        console.expect(CALL_MANAGER_UP, timeout=5)
        self.assertEqual(console.command("Snapshot"), "")
        self.assertEqual(sim.log(), ["SetClientActive(1)", "Snapshot()"])
        self.assertNotIn("Error :", console.output())
        self.assertEqual(console.output().count("Event : Connected to softphone"), 1)

    def test_a_refusing_softphone_is_reported_once_per_appearance(self):
        sim = self.start_simulator("--fail-client-active")
        console = self.start_console()
        self.assertTrue(console.expect("> ").startswith(REFUSED))
        console.expect(CONNECTED)
        time.sleep(1.2)  # further polls of the same softphone try nothing
        self.assertEqual(console.output().count(REFUSED), 1)
        self.assertEqual(sim.log(), ["SetClientActive(1)"])
        self.assertEqual(console.command("Hold"), "> Error : ERROR_NOT_INITIALIZED")

        sim2 = self.restart(sim, console, "--fail-client-active")
        console.expect(CONNECTED, timeout=5)
        time.sleep(1.2)
        self.assertEqual(console.output().count(REFUSED), 2)
        self.assertEqual(sim2.log(), ["SetClientActive(1)"])

        # A softphone that accepts the client after one that refused it is bound.
        sim3 = self.restart(sim2, console)
        console.wait_until_bound(timeout=5)
        self.assertEqual(console.command("Snapshot"), "")
        self.assertEqual(sim3.log(), ["SetClientActive(1)", "Snapshot()"])

    def use_simulator_as_softphone(self):
        folder, name = os.path.split(harness.simulator_path())
        if ON_WINDOWS_BUILD:
            folder = windows_path(folder)
        self.env.write_settings({"sExePath": folder, "sExeFileName": name})

    def quit_started_softphone(self):
        if ON_WINDOWS_BUILD:
            quit_started_simulator(self.env)
        else:
            subprocess.run([harness.simulator_path(), "ctl", "quit"], env=self.env.env, capture_output=True,
                           timeout=10)

    def started_softphone_log(self, check=True):
        """The operations that the softphone started by RunProgram received (None
        when check is false and no softphone answers)."""
        if ON_WINDOWS_BUILD:
            try:
                ok, lines, error = control_request(self.env.ctl_port, ["log"], timeout=5)
            except OSError as e:
                ok, lines, error = False, [], str(e)
        else:
            result = subprocess.run([harness.simulator_path(), "ctl", "log"], env=self.env.env,
                                    capture_output=True, text=True, timeout=10)
            ok, lines, error = result.returncode == 0, result.stdout.splitlines(), result.stderr
        if not ok and not check:
            return None
        self.assertTrue(ok, error)
        return [line.split(" ", 1)[1] for line in lines if " " in line]

    def run_program_again(self, console):
        """RunProgram right after ExitProgram: the new softphone waits for the one on
        its way out to let its presence mark go, and starts."""
        self.assertEqual(console.command("RunProgram"), "")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            log = self.started_softphone_log(check=False)
            if log is not None and "ExitProgram()" not in log:
                return
            time.sleep(0.1)
        self.fail("the softphone did not start again")

    def test_a_softphone_restarted_at_once_is_bound_anew_each_time(self):
        # ExitProgram followed at once by RunProgram: the new process takes the lock
        # within one poll of the old one letting it go, so no poll sees it free.
        self.use_simulator_as_softphone()
        console = self.start_console()
        try:
            self.assertEqual(console.command("RunProgram"), "")
            console.wait_until_bound(timeout=10)
            for restart in range(1, 4):
                with self.subTest(restart=restart):
                    self.assertEqual(console.command("ExitProgram"), "")
                    self.run_program_again(console)
                    console.expect_all([DISCONNECTED, CONNECTED, CALL_MANAGER_UP], timeout=10)
                    self.assertEqual(console.command(f"MakeCall {restart}"), "")
                    console.expect(line_update(3, "TsRingOut", 1001, "outgoing", str(restart)))
                    self.assertEqual(self.started_softphone_log(), ["SetClientActive(1)", f'MakeCall("{restart}")'])
            self.assertEqual(console.output().count(CONNECTED), 4)
            self.assertNotIn("Error :", console.output())
        finally:
            self.quit_started_softphone()

    def test_run_program_while_unbound_starts_the_softphone_that_then_takes_calls(self):
        self.use_simulator_as_softphone()
        console = self.start_console()
        try:
            self.assertEqual(console.command("RunProgram"), "")
            console.wait_until_bound(timeout=10)
            self.assertEqual(console.command("MakeCall 1234"), "")
            console.expect(line_update(3, "TsRingOut", 1001, "outgoing", "1234"))
        finally:
            self.quit_started_softphone()


if __name__ == "__main__":
    harness.main()
