"""The phone's life as the console sees it: the registrar going away and coming back,
and the phone program closed with ExitProgram and started again with RunProgram."""

import os
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from peers import CALL_MANAGER_DOWN, CALL_MANAGER_UP, PhoneCase, state, wait_for  # noqa: E402


def bus_name_pid(env, name="com.quelbo.QUVO"):
    """The process that owns name on env's bus, or None."""
    result = subprocess.run(
        ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
         "org.freedesktop.DBus.GetConnectionUnixProcessID", f"string:{name}"],
        env=env.env, capture_output=True, text=True, timeout=10)
    if result.returncode != 0:
        return None
    return int(result.stdout.split()[-1])


class Registrar(PhoneCase):
    def test_registrar_lost_and_back(self):
        # Over TCP the phone notices the lost connection at once (over UDP only when a refresh times out).
        proxy = f"{self.proxy.uri};transport=tcp"
        phone, console = self.start_phone(proxy=proxy)
        self.proxy.stop()
        try:
            console.expect(CALL_MANAGER_DOWN, 20)
        finally:
            self.proxy.start()
        # The phone registers anew by itself (the restarted registrar has forgotten it).
        console.expect(CALL_MANAGER_UP, 90)
        far = self.far_end()
        self.connect(console, far)
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)
        self.assertIsNone(phone.proc.poll())


class ProgramControl(PhoneCase):
    def test_exit_and_run_program_rebind_to_the_new_phone(self):
        far = self.far_end()
        phone, console = self.start_phone()
        env = phone.env
        console.ok("ExitProgram")
        console.expect("Event : Disconnected from softphone\n", 15)
        self.assertEqual(phone.proc.wait(15), 0)
        console.ok("RunProgram")
        try:
            console.expect("Event : Connected to softphone\n", 20)
            console.expect(CALL_MANAGER_UP, 20)
            self.connect(console, far)
            console.ok("EndCall")
            console.expect(state(0, "TsIdle"), 10)
        finally:
            # The phone that RunProgram started is no child of ours: end it by its bus name.
            pid = bus_name_pid(env)
            if pid:
                os.kill(pid, signal.SIGTERM)
                try:
                    wait_for(lambda: not os.path.exists(f"/proc/{pid}"), 10, "the started phone to end")
                except AssertionError:
                    os.kill(pid, signal.SIGKILL)


if __name__ == "__main__":
    unittest.main(verbosity=2)
