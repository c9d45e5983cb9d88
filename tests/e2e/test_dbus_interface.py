"""The softphone simulator's live D-Bus introspection against the interface file
that a real softphone for Linux implements (contract/com.quelbo.QUVO.xml)."""

import os
import subprocess
import xml.etree.ElementTree as ElementTree

import harness
from harness import ConsoleTestCase, requires_simulator

INTERFACE_FILE = os.path.join(harness.SOURCE_DIR, "contract", "com.quelbo.QUVO.xml")
CONTRACT = ("com.quelbo.QUVO.Softphone", "com.quelbo.QUVO.SoftphoneEvents")


def members(interface):
    """{(kind, name): [(arg name, type, direction)]} of an <interface> element;
    a method argument without a direction is an input."""
    found = {}
    for member in interface:
        if member.tag not in ("method", "signal"):
            continue
        default = "in" if member.tag == "method" else ""
        args = [(a.get("name"), a.get("type"), a.get("direction", default)) for a in member.findall("arg")]
        found[(member.tag, member.get("name"))] = args
    return found


def interfaces(root):
    return {i.get("name"): members(i) for i in root.findall("interface")}


@requires_simulator
class Introspection(ConsoleTestCase):
    def introspect(self):
        result = subprocess.run(
            ["dbus-send", "--session", "--print-reply=literal", "--dest=com.quelbo.QUVO",
             "/com/quelbo/QUVO/Softphone", "org.freedesktop.DBus.Introspectable.Introspect"],
            env=self.env.env, capture_output=True, text=True, timeout=15)
        self.assertEqual(result.returncode, 0, result.stderr)
        text = result.stdout.strip()
        return ElementTree.fromstring(text[text.index("<node"):])

    def test_simulator_serves_exactly_the_interfaces_of_the_file(self):
        expected = interfaces(ElementTree.parse(INTERFACE_FILE).getroot())
        self.assertEqual(sorted(expected), sorted(CONTRACT))
        self.assertEqual(len(expected["com.quelbo.QUVO.Softphone"]), 29)

        self.start_simulator()
        live = interfaces(self.introspect())
        for name in CONTRACT:
            with self.subTest(interface=name):
                self.assertIn(name, live)
                self.assertEqual(live[name], expected[name])


if __name__ == "__main__":
    harness.main()
