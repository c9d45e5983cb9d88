"""The console bound to the softphone simulator over a private session bus:
binding, presence, events, call commands and automation failures."""

import os
import signal
import time

import harness
from harness import (CALL_MANAGER_UP, CONNECTED, DISCONNECTED, ConsoleTestCase, assert_automation_failure, line_update,
                     requires_simulator)


@requires_simulator
class Binding(ConsoleTestCase):
    def test_binds_and_reports_presence_as_the_softphone_comes_and_goes(self):
        sim = self.start_simulator()
        console = self.start_console()
        console.expect_all(["> ", CONNECTED, CALL_MANAGER_UP])
        self.assertIn("SetClientActive(1)", sim.log())

        sim.ctl("quit")
        sim.wait_closed()
        console.expect(DISCONNECTED, timeout=5)
        self.assertEqual(console.command("MakeCall 1234"), "> Error : ERROR_PHONE_NOT_RUNNING")
        # Arguments are not looked at before the running check.
        self.assertEqual(console.command("DTMF x"), "> Error : ERROR_PHONE_NOT_RUNNING")

        # A new softphone is a new object: the console binds to it and drives it.
        sim2 = self.start_simulator()
        console.expect(CONNECTED, timeout=5)
        self.assertEqual(console.command("Snapshot"), "")
        self.assertIn("Snapshot()", sim2.log())
        self.assertEqual(console.quit(), 0)
        self.assertTrue(console.output().endswith("> "))
        self.assertEqual(console.output().count("Event : Connected to softphone"), 2)
        self.assertEqual(console.output().count("Event : Disconnected from softphone"), 1)

    def test_probe_leaves_no_lock_file_behind(self):
        console = self.start_console()
        time.sleep(1.2)
        self.assertEqual(console.command("Hold"), "> Error : ERROR_NOT_INITIALIZED")
        self.assertFalse(os.path.exists(os.path.join(self.env.runtime_dir, "mutex_QUVO")))


class Calls(ConsoleTestCase):
    def setUp(self):
        super().setUp()
        self.sim = self.start_simulator("--ring-ms", "300")
        self.console = self.start_console()
        self.console.expect_all(["> ", CONNECTED, CALL_MANAGER_UP])

    def test_outgoing_call_rings_connects_and_ends(self):
        c = self.console
        self.assertEqual(c.command("MakeCall 1234 5678"), "")
        c.expect(line_update(3, "TsRingOut", 1001, "outgoing", "1234"))
        c.expect_all([line_update(5, "TsConnected", 1001, "outgoing", "1234"), "Event : PartyPickup,  CallRef=1001\n> "])
        self.assertEqual(c.command("Hold"), "")
        c.expect(line_update(8, "TsHold", 1001, "outgoing", "1234"))
        self.assertEqual(c.command("Resume"), "")
        c.expect(line_update(5, "TsConnected", 1001, "outgoing", "1234"))
        self.assertEqual(c.command("CallStats"), "")
        c.expect("Event : CallStatsUpdate, CallRef=1001, Codec=G.711u, ThisStation=1001, OtherStation=1234, CallLen=")
        self.assertEqual(c.command("EndCall"), "")
        c.expect(line_update(0, "TsIdle", 1001, "", "1234"))
        self.assertEqual(self.sim.log()[1:], ['MakeCall("1234")', "Hold()", "Resume(0)", "CallStats()", "EndCall()"])

    def test_incoming_call_answered_with_a_bare_answer(self):
        c = self.console
        ref = int(self.sim.ctl("incoming", "5551234").strip())
        c.expect_all([f"Event : IncomingCall, CallRef={ref}, Line=1001, CallerID=5551234\n> ",
                      line_update(4, "TsRingIn", ref, "incoming", "5551234")])
        self.assertEqual(c.command("Answer"), "")
        c.expect(line_update(5, "TsConnected", ref, "incoming", "5551234"))
        self.assertIn(f"Answer({ref})", self.sim.log())
        self.sim.ctl("hangup")
        c.expect_all([f"Event : PartyHangup,  CallRef={ref}\n> ", line_update(0, "TsIdle", ref, "", "5551234")])
        # After the call ended, a bare Answer answers call 0.
        c.command("Answer")
        self.assertEqual(self.sim.log()[-1], "Answer(0)")

    def test_argument_rules_reach_the_softphone(self):
        c = self.console
        for line, answer in [("MakeCall", "> Error : ERROR_NO_DESTINATION"), ("Answer abc", "> Error : ERROR_NO_INCOMING_CALL"),
                             ("OffHook -3", ""), ("OnHook 2", ""), ('MakeCall "12 34"', ""),
                             ("Messages", ""), ("Snapshot", "")]:
            with self.subTest(line=line):
                self.assertEqual(c.command(line), answer)
        assert_automation_failure(self, c.command("Answer 12x"), "0x80004005", "no such call")
        log = self.sim.log()
        for entry in ["Answer(12)", "OffHook(0)", "OnHook(2)", 'MakeCall("12 34")', "Messages()", "Snapshot()"]:
            self.assertIn(entry, log)

    def test_failures_with_and_without_a_code(self):
        c = self.console
        self.sim.ctl("fail", "MakeCall", "line busy")
        self.assertEqual(c.command("MakeCall 1"), "> Error : ERROR_MAKE_CALL")
        self.sim.ctl("fail", "Hold", "no active call")
        assert_automation_failure(self, c.command("Hold"), "0x80004005", "no active call")
        self.sim.ctl("fail", "Hold")
        self.assertEqual(c.command("Help zz"), "")

    def test_events_reach_the_console_and_bad_ones_are_ignored(self):
        c = self.console
        self.sim.ctl("fire", 21, "i:1")
        self.sim.ctl("fire", 1, "s:wrong-type")
        self.sim.ctl("fire", 11, "i:1")
        self.sim.ctl("fire", 5)
        self.sim.ctl("fire", 4, "i:77", "s:1001", "s:Zoë Ünal")
        c.expect("Event : IncomingCall, CallRef=77, Line=1001, CallerID=Zoë Ünal\n> ")
        self.sim.ctl("fire", 16, "i:0")
        c.expect("Event : Disconnected from CallManager\n> ")
        self.sim.ctl("fire", 19, "i:2", "i:5", "s:Lunch")
        c.expect("Event : IPCC NotReady Reason Code 5 - Lunch \n> ")
        output = c.output()
        self.assertEqual(output.count("Event :"), output.count("Event : Connected") + 3, output)
        # The simulator knows no call 77: its refusal is reported, and was asked for 77.
        assert_automation_failure(self, c.command("Answer"), "0x80004005", "no such call")
        self.assertEqual(self.sim.log()[-1], "Answer(77)")

    @requires_simulator  # under Wine: test_windows.py
    def test_softphone_killed_in_the_middle_of_a_command(self):
        c = self.console
        self.sim.ctl("delay", "Hold", 3000)
        c.begin_command("Hold")
        self.sim.wait_for_log("Hold()")
        os.killpg(self.sim.proc.pid, signal.SIGKILL)
        self.assertEqual(c.answer(), "> Error : Automation failure 0x800705B4 - org.freedesktop.DBus.Error.NoReply")
        c.expect(DISCONNECTED, timeout=5)
        self.assertEqual(c.command("Hold"), "> Error : ERROR_PHONE_NOT_RUNNING")
        self.assertEqual(c.quit(), 0)


@requires_simulator
class Text(ConsoleTestCase):
    def test_the_c_locale_prints_softphone_texts_as_utf8(self):
        self.env.env["LC_ALL"] = "C"
        sim = self.start_simulator()
        console = self.start_console()
        console.expect(CONNECTED)
        sim.ctl("fire", 13, "s:Zoë")
        console.expect("Event : CallParkReturned, ParkedAt=Zoë\n> ")


if __name__ == "__main__":
    harness.main()
