"""Command-line options and the script mode: one outcome line per command in
input order, events interleaved without prompts, the exit status, --linger and
--timestamps."""

import re
import subprocess
import unittest

import harness
from harness import ConsoleTestCase, Process, requires_simulator

STAMP = r"\d\d:[0-5]\d:[0-6]\d\.\d\d\d "


class ScriptCase(ConsoleTestCase):
    def start(self, *args):
        return self.track(Process(harness.console_command() + list(args), self.env.env))

    def run_script(self, lines, *args, timeout=60):
        console = self.start(*args)
        console.proc.stdin.write("".join(line + "\n" for line in lines).encode())
        console.proc.stdin.close()
        status = console.wait_closed(timeout)
        return status, console.output(), console.stderr()


class Options(ScriptCase):
    with_bus = False

    def test_help_version_and_refused_options(self):
        result = subprocess.run(harness.console_command() + ["--help"], env=self.env.env, capture_output=True,
                                stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"--linger SECONDS", result.stdout)
        self.assertEqual(result.stderr, b"")
        usage = result.stdout

        result = subprocess.run(harness.console_command() + ["--version"], env=self.env.env, capture_output=True,
                                stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual((result.returncode, result.stdout.replace(b"\r\n", b"\n")), (0, b"QUVOConnect 1.0\n"))

        for args in (["--bogus"], ["--script", "extra"], ["--linger"], ["--linger", "soon"]):
            with self.subTest(args=args):
                result = subprocess.run(harness.console_command() + args, env=self.env.env, capture_output=True,
                                        input=b"Help\n", timeout=60)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, b"")  # nothing was run
                self.assertTrue(result.stderr.startswith(b"quvoconnect: "), result.stderr)
                self.assertIn(usage.replace(b"\r\n", b"\n"), result.stderr.replace(b"\r\n", b"\n"))


class ScriptWithoutSoftphone(ScriptCase):
    with_bus = False

    def test_one_outcome_line_per_command_and_the_exit_status(self):
        status, output, errors = self.run_script(
            ["help zz", "", "   \t", "foo", "Help ipccstate", '""', "MakeCall 1234", "x" * 70000, "help zz"],
            "--script",
        )
        self.assertEqual(
            output,
            "\nOK\n"
            "Error : ERROR_INVALID_COMMAND\n"
            "\n\tCommand syntax:\n\n\t  IPCCState [state] [reason]\n\n"
            "\tQuery or change IPCC agent state to\n\tready, notready, work, workready, worknotready\n\n\nOK\n"
            "OK\n"
            "Error : ERROR_NOT_INITIALIZED\n"
            "Error : ERROR_INVALID_COMMAND\n"
            "\nOK\n",
        )
        self.assertEqual(status, 1)
        self.assertEqual(errors, "")

    def test_status_zero_when_all_succeed_and_quit_ends_the_script(self):
        status, output, _ = self.run_script(["help zz", "quit", "foo"], "--script")
        self.assertEqual((status, output), (0, "\nOK\nOK\n"))
        status, output, _ = self.run_script(["foo", "QUIT", "help zz"], "--script")
        self.assertEqual((status, output), (1, "Error : ERROR_INVALID_COMMAND\nOK\n"))
        status, output, _ = self.run_script([], "--script")
        self.assertEqual((status, output), (0, ""))

    def test_without_script_mode_the_status_stays_zero(self):
        status, output, _ = self.run_script(["foo"], "--timestamps")
        self.assertEqual(status, 0)
        self.assertEqual(output, harness.BANNER + "> > Error : ERROR_INVALID_COMMAND\n> ")


class ScriptWithSoftphone(ScriptCase):
    @requires_simulator
    def test_outcomes_in_order_with_events_between_and_lingering(self):
        sim = self.start_simulator("--ring-ms", "1000")
        console = self.start("--script", "--linger", "4", "--timestamps")
        console.expect_all(["Event : Connected to softphone\n", "Event : Connected to CallManager\n"])
        # The input ends right after the call is placed: the call's later events
        # come while the console lingers.
        console.proc.stdin.write(b"MakeCall 1234\nDTMF 12\nSoftkey nosuchkey\nMute off\n")
        console.proc.stdin.close()
        console.expect("State=5(TsConnected)", timeout=15)
        status = console.wait_closed(30)
        self.assertEqual(status, 1)  # the softkey was refused
        self.assertIn('MakeCall("1234")', sim.log())

        lines = console.output().split("\n")
        self.assertEqual(lines[-1], "")  # every line is whole; no prompt anywhere
        lines = lines[:-1]
        outcomes = [line for line in lines if not re.match(STAMP, line)]
        self.assertEqual(outcomes, ["OK", "OK", "Error : ERROR_INVALID_PARAMETER", "OK"])
        events = [line[13:] for line in lines if re.match(STAMP, line)]
        self.assertEqual(len(events) + len(outcomes), len(lines))
        for event in events:
            self.assertTrue(event.startswith("Event : "), event)
        # The ring-out event answers MakeCall before its outcome line or after it;
        # the connected one came only after the last outcome.
        ring_out = next(i for i, line in enumerate(lines) if "State=3(TsRingOut)" in line)
        connected = next(i for i, line in enumerate(lines) if "State=5(TsConnected)" in line)
        self.assertLess(ring_out, lines.index("Error : ERROR_INVALID_PARAMETER"))
        self.assertGreater(connected, len(lines) - 1 - lines[::-1].index("OK"))
        self.assertEqual(console.stderr(), "")

    @requires_simulator
    def test_without_linger_the_end_of_input_ends_at_once(self):
        self.start_simulator("--ring-ms", "3000")
        console = self.start("--script")
        console.expect("Event : Connected to CallManager\n")
        console.proc.stdin.write(b"MakeCall 1234\n")
        console.proc.stdin.close()
        self.assertEqual(console.wait_closed(30), 0)
        self.assertIn("OK\n", console.output())
        self.assertNotIn("TsConnected", console.output())


if __name__ == "__main__":
    harness.main()
