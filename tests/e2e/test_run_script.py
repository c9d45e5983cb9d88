"""scripts/run.sh on the programs of the build under test: it works in a private
folder of its own (bus, runtime folder, settings), leaves the user's settings
alone, lets two runs go on side by side and leaves nothing behind."""

import os
import re
import subprocess

import harness
from harness import ConsoleTestCase, Process, requires_simulator

RUN_SCRIPT = os.path.join(harness.SOURCE_DIR, "scripts", "run.sh")
PASTE_LINE = re.compile(r"^  DBUS_SESSION_BUS_ADDRESS='(unix:path=([^,']+)[^']*)' (\S+) ctl ", re.M)


def snapshot(folder):
    """Every file under folder with its content and modification time."""
    found = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = (f.read(), os.stat(path).st_mtime_ns)
    return found


@requires_simulator
class RunScript(ConsoleTestCase):
    with_bus = False  # run.sh starts its own

    def setUp(self):
        super().setUp()
        self.env.write_settings({"sExePath": "/opt/real/phone", "sExeFileName": "phone", "IpAddress": "10.0.0.1"})
        self.before = snapshot(self.env.config_dir)

    def start_run(self):
        return self.track(Process(["bash", RUN_SCRIPT, "--build-dir", harness.BUILD_DIR], self.env.env))

    def paste_line(self, run):
        """(bus address, bus socket, simulator path) from the line run.sh prints."""
        run.expect("ctl incoming", timeout=30)
        match = PASTE_LINE.search(run.output())
        self.assertIsNotNone(match, run.output())
        return match.groups()

    def ctl_log(self, address, simulator):
        env = dict(self.env.env, DBUS_SESSION_BUS_ADDRESS=address)
        return subprocess.run([simulator, "ctl", "log"], env=env, capture_output=True, text=True, timeout=15)

    def test_leaves_the_given_settings_untouched_and_cleans_up(self):
        run = self.start_run()
        run.proc.stdin.write(b"Quit\n")
        run.proc.stdin.close()
        self.assertEqual(run.wait_closed(timeout=60), 0, run.stderr())
        self.assertIn(harness.BANNER, run.output())
        self.assertIn("rings (an\nincoming call) after 20 idle seconds", run.output())
        _, socket, _ = self.paste_line(run)

        self.assertEqual(snapshot(self.env.config_dir), self.before)
        self.assertFalse(os.path.exists(os.path.join(self.env.root, ".config")))
        self.assertFalse(os.path.exists(os.path.dirname(socket)), "the private folder was left behind")

    def test_two_runs_side_by_side_each_on_its_own_bus(self):
        first = self.start_run()
        first_address, _, simulator = self.paste_line(first)
        first.expect(harness.CONNECTED, timeout=30)

        second = self.start_run()
        second.proc.stdin.write(b"MakeCall 222\nQuit\n")
        second.proc.stdin.close()
        self.assertEqual(second.wait_closed(timeout=60), 0, second.stderr())
        second_address, _, _ = self.paste_line(second)
        self.assertNotEqual(first_address, second_address)
        self.assertNotIn("Error", second.output())

        # The first run still has its own softphone, which saw none of the second's calls.
        first.proc.stdin.write(b"MakeCall 111\n")
        first.proc.stdin.flush()
        first.expect("OtherParty=111\n", timeout=15)
        log = self.ctl_log(first_address, simulator)
        self.assertEqual(log.returncode, 0, log.stderr)
        self.assertIn('MakeCall("111")', log.stdout)
        self.assertNotIn('MakeCall("222")', log.stdout)

        first.proc.stdin.close()
        self.assertEqual(first.wait_closed(timeout=60), 0, first.stderr())
        self.assertEqual(snapshot(self.env.config_dir), self.before)


if __name__ == "__main__":
    harness.main()
