"""Input lines are capped at 64 KiB: a longer line is read to its end and thrown
away in bounded memory, answered by one error line, and the console goes on."""

import unittest

import harness
from harness import ConsoleTestCase

MIB = 1024 * 1024


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM")


class LineLimit(ConsoleTestCase):
    with_bus = False

    @unittest.skipIf(harness.ON_WINDOWS_BUILD, "reads the process's peak memory from /proc")
    def test_a_100_mib_line_leaves_the_peak_memory_flat(self):
        console = self.start_console()
        self.assertEqual(console.command("help zz"), "")
        before = peak_memory_kib(console.proc.pid)
        chunk = b"MakeCall " + b"9" * (MIB - 9)
        for _ in range(100):
            console.proc.stdin.write(chunk)
        console.proc.stdin.flush()
        self.assertEqual(console.command("", timeout=120), "> Error : ERROR_INVALID_COMMAND")
        self.assertEqual(console.command("help zz"), "")
        growth_mib = (peak_memory_kib(console.proc.pid) - before) / 1024
        # Holding the line, let alone copying it, would take 100 MiB and more.
        self.assertLess(growth_mib, 8, f"peak memory grew by {growth_mib:.1f} MiB")
        self.assertEqual(console.quit(), 0)


if __name__ == "__main__":
    harness.main()
