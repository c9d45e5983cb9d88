"""The manual pages against what the programs do: every command's syntax line,
every result-code name and every event line of the console's sources appear in
quvoconnect(1); every option and control command that the simulators' --help
names appears in their pages."""

import os
import re
import subprocess
import unittest

import harness

MAN_DIR = os.path.join(harness.SOURCE_DIR, "man")


def source(*parts):
    with open(os.path.join(harness.SOURCE_DIR, *parts), encoding="utf-8") as f:
        return f.read()


def c_string(literal):
    return bytes(literal, "utf-8").decode("unicode_escape")


def man_text(page):
    """The page's text with roff's font changes and escapes resolved, one output
    line per source line (macro names dropped)."""
    with open(os.path.join(MAN_DIR, page), encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r"\\f[BIRP]", "", text)
    for escape, plain in (("\\-", "-"), ("\\(dq", '"'), ("\\(aq", "'"), ("\\&", ""), ("\\ ", " "), ("\\e", "\\")):
        text = text.replace(escape, plain)
    lines = []
    for line in text.splitlines():
        if line.startswith("."):
            macro, _, rest = line.partition(" ")
            # .BR/.IR and friends alternate fonts between words that join up.
            if macro in (".BR", ".RB", ".IR", ".RI", ".BI", ".IB"):
                rest = "".join(quoted or word for quoted, word in re.findall(r'"([^"]*)"|(\S+)', rest))
            line = rest
        lines.append(line)
    return "\n".join(lines)


def format_pattern(fmt):
    """A printf format as a regular expression: each conversion matches a
    placeholder word or phrase on the same line."""
    parts = re.split(r"%[ds]", fmt.rstrip())
    return re.compile("".join(re.escape(p) + ("[^\n]+?" if i < len(parts) - 1 else "") for i, p in enumerate(parts)))


class PageTestCase(unittest.TestCase):
    def assertMentions(self, page, pattern):
        self.assertTrue(re.search(pattern, page), f"the page lacks {pattern!r}")


class ConsolePage(PageTestCase):
    page = man_text("quvoconnect.1")

    def test_every_command_with_its_syntax(self):
        syntax = re.findall(r'^\s*\{"\w+", "([^"]+)"', source("console", "CommandTable.cpp"), re.M)
        self.assertEqual(len(syntax), 37)
        for line in syntax:
            with self.subTest(line):
                # As Help shows it; a page may add an optional argument that Help omits.
                self.assertMentions(self.page, r"(?m)^" + re.escape(line) + r"( \[\w+\])?$")

    def test_every_result_code_name(self):
        names = re.findall(r'return "(ERROR_\w+)"', source("console", "ResultCodes.cpp"))
        self.assertEqual(len(names), 23)
        for name in names:
            with self.subTest(name):
                self.assertMentions(self.page, re.escape(name))
        fallback = re.search(r'Format\("([^"(]+)\(%d\)"', source("console", "ResultCodes.cpp")).group(1)
        self.assertMentions(self.page, re.escape(fallback + "("))

    def test_every_event_line(self):
        formats = []
        for path in (("link", "EventReports.cpp"), ("link", "EventSink.cpp"), ("link", "SoftphoneControl.cpp")):
            for call in re.findall(r'PrintEvent(?:WithoutPrompt)?\(\s*((?:"(?:[^"\\]|\\.)*"\s*)+)', source(*path)):
                formats.append("".join(c_string(s) for s in re.findall(r'"((?:[^"\\]|\\.)*)"', call)))
        for path in (("commands", "mobility", "ExtensionMobility.cpp"),):
            formats += [c_string(s).rstrip("\n") for s in re.findall(r'Print\("(> Event : [^"]+)"', source(*path))]
        self.assertGreaterEqual(len(formats), 20)
        for fmt in formats:
            with self.subTest(fmt):
                self.assertMentions(self.page, format_pattern(fmt))


class SimulatorPages(PageTestCase):
    def help_words(self, program):
        result = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        options = set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", result.stdout))
        commands = set(re.findall(r"^\s+ctl ([a-z][a-z-]*)", result.stdout, re.M))
        return options, commands

    @harness.requires_simulator
    def test_softphone_simulator_page(self):
        page = man_text("quvo-softphone-sim.1")
        options, commands = self.help_words(harness.simulator_path())
        self.assertIn("--incoming-after", options)
        self.assertIn("fire", commands)
        for word in sorted(options):
            with self.subTest(option=word):
                self.assertMentions(page, re.escape(word) + r"\b")
        for word in sorted(commands):
            with self.subTest(command=word):
                self.assertMentions(page, r"(?m)^" + re.escape(word) + r"(?![\w-])")

    @harness.requires_simulator
    def test_extension_mobility_page(self):
        page = man_text("quvo-emapp-sim.1")
        options, _ = self.help_words(os.path.join(harness.BUILD_DIR, "emapp-sim", "quvo-emapp-sim"))
        for word in sorted(options):
            with self.subTest(option=word):
                self.assertMentions(page, re.escape(word) + r"\b")


if __name__ == "__main__":
    harness.main()
