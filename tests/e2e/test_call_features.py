"""Transfer, conference, softkeys, DTMF, audio and the contact-centre agent,
end to end through the softphone simulator."""

import harness
from harness import ConsoleTestCase, assert_automation_failure, line_update


class SimulatorTestCase(ConsoleTestCase):
    def setUp(self):
        super().setUp()
        self.sim = self.start_simulator("--ring-ms", "200")
        self.console = self.start_console()
        self.console.wait_until_bound()

    def connect_call(self, destination="2000"):
        self.assertEqual(self.console.command(f"MakeCall {destination}"), "")
        self.console.expect(line_update(5, "TsConnected", 1001, "outgoing", destination))
        self.sim.ctl("clear-log")


class TransferAndConference(SimulatorTestCase):
    def test_one_step_transfer(self):
        self.connect_call()
        self.assertEqual(self.console.command("Transfer 3000"), "")
        self.console.expect(line_update(10, "TsCallTransfer", 1001, "outgoing", "2000"))
        self.console.expect(line_update(0, "TsIdle", 1001, "", "2000"))
        self.assertEqual(self.sim.log(), ['Transfer("3000")'])

    def test_consultative_transfer(self):
        self.connect_call()
        self.assertEqual(self.console.command("TransferInitiate 3000"), "")
        self.console.expect(line_update(8, "TsHold", 1001, "outgoing", "2000"))
        self.console.expect(line_update(5, "TsConnected", 1002, "outgoing", "3000"))
        self.assertEqual(self.console.command("TransferComplete extra words"), "")
        self.console.expect(line_update(0, "TsIdle", 1002, "", "3000"))
        self.assertEqual(self.sim.log(), ['TransferInitiate("3000")', "TransferComplete()"])

    def test_cancels_send_the_endcall_softkey(self):
        self.connect_call()
        self.assertEqual(self.console.command("ConferenceInitiate 4000"), "")
        self.console.expect(line_update(5, "TsConnected", 1002, "outgoing", "4000"))
        self.assertEqual(self.console.command("ConferenceCancel"), "")
        self.console.expect(line_update(5, "TsConnected", 1001, "outgoing", "2000"))
        self.assertEqual(self.console.command("TransferCancel now"), "")
        self.assertEqual(self.sim.log(), ['ConferenceInitiate("4000")', 'Softkey("endcall",-1,-1)',
                                          'Softkey("endcall",-1,-1)'])

    def test_failures_map_to_their_codes(self):
        c = self.console
        self.assertEqual(c.command("Transfer"), "> Error : ERROR_NO_DESTINATION")
        self.assertEqual(c.command("Transfer 3000"), "> Error : ERROR_TRANSFER")  # no call
        self.assertEqual(c.command("TransferComplete"), "> Error : ERROR_TRANSFER")
        self.assertEqual(c.command("ConferenceComplete"), "> Error : ERROR_CONFERENCE")
        self.sim.ctl("fail", "ConferenceInitiate", "no conference bridge")
        self.assertEqual(c.command("ConferenceInitiate 5"), "> Error : ERROR_CONFERENCE")
        self.assertEqual(c.command("ConferenceInitiate"), "> Error : ERROR_NO_DESTINATION")
        self.assertEqual(self.sim.log()[-1], 'ConferenceInitiate("5")')


class SoftkeysDtmfAudio(SimulatorTestCase):
    def test_softkeys(self):
        c = self.console
        for line, answer in [("Softkey EndCall", ""), ("Softkey hold 2", ""), ("Softkey hold abc 7", ""),
                             ('Softkey "hold,transfer"', ""), ("Softkey call", "> Error : ERROR_INVALID_PARAMETER"),
                             ("Softkey", "> Error : ERROR_INVALID_PARAMETER")]:
            with self.subTest(line=line):
                self.assertEqual(c.command(line), answer)
        self.assertEqual(self.sim.log()[1:], ['Softkey("endcall",-1,-1)', 'Softkey("hold",2,-1)',
                                              'Softkey("hold",0,7)', 'Softkey("hold,transfer",-1,-1)'])

    def test_dtmf_keys_are_sent_200_ms_apart_after_validation(self):
        c = self.console
        self.sim.ctl("clear-log")
        self.assertEqual(c.command("DTMF 12a3"), "> Error : ERROR_INVALID_PARAMETER")
        self.assertEqual(c.command("DTMF"), "> Error : ERROR_MISSING_PARAMETER")
        self.assertEqual(self.sim.log(), [])
        self.assertEqual(c.command("DTMF 12#*"), "")
        timed = self.sim.timed_log()
        self.assertEqual([op for _, op in timed], ['SendDtmf("1")', 'SendDtmf("2")', 'SendDtmf("#")', 'SendDtmf("*")'])
        gaps = [b - a for (a, _), (b, _) in zip(timed, timed[1:])]
        for gap in gaps:
            self.assertGreaterEqual(gap, 195, gaps)
            self.assertLess(gap, 400, gaps)

    def test_volume_and_mute(self):
        c = self.console
        for line in ["SpkrVolumeUp", "SpkrVolumeDown", "MicVolumeUp", "MicVolumeDown", "Mute", "Mute OFF",
                     "Mute yes", "Mute No", 'Mute " off"', "Mute 0"]:
            self.assertEqual(c.command(line), "")
        self.assertEqual(self.sim.log()[1:], ["SpkrVolumeUp()", "SpkrVolumeDown()", "MicVolumeUp()", "MicVolumeDown()",
                                              "SetMute(1)", "SetMute(0)", "SetMute(1)", "SetMute(0)", "SetMute(1)",
                                              "SetMute(0)"])

    def test_failed_softkey_is_reported_and_the_console_goes_on(self):
        self.sim.ctl("fail", "Softkey", "softkey not available")
        assert_automation_failure(self, self.console.command("TransferCancel"), "0x80004005",
                                  "softkey not available")
        self.assertEqual(self.console.command("Snapshot"), "")


class Agent(SimulatorTestCase):
    def test_agent_session(self):
        c = self.console
        self.assertEqual(c.command("IPCCState ready"), "> Error : ERROR_IPCC_CHANGE_STATE")  # not logged in
        self.assertEqual(c.command("IPCCLogin 42"), "> Error : ERROR_MISSING_PARAMETER")
        self.assertEqual(c.command('IPCCLogin " 42 " " pw " " 1001 "'), "")
        c.expect("Event : IPCC agent state 3 (Not Ready) ")
        self.assertEqual(c.command("IPCCState WorkReady 12"), "")
        c.expect("Event : IPCC agent state 7 (Work Ready) ")
        self.assertEqual(c.command("IPCCState readyy"), "> Error : ERROR_IPCC_INVALID_STATE")
        self.assertEqual(c.command("IPCCState"), "")
        c.expect("Event : IPCC agent state 7 (Work Ready) ")
        self.assertEqual(c.command("IPCCNotReadyReasons"), "")
        c.expect("Event : IPCC NotReady Reason Code ")
        self.assertEqual(c.command("IPCCLogoutReasons"), "")
        c.expect("Event : IPCC Logout Reason Code ")
        self.assertEqual(c.command("IPCCLogout"), "")
        c.expect("Event : IPCC agent state 2 (Logged Out) ")
        self.assertEqual(c.command("IPCCLogout"), "> Error : ERROR_IPCC_LOGIN")
        log = self.sim.log()
        self.assertIn('IPCCLogin("42"," pw ","1001")', log)
        self.assertIn('IPCCSetState("WorkReady","12")', log)
        self.assertIn('IPCCSetState("","")', log)
        self.assertNotIn('IPCCSetState("readyy","")', log)
        self.assertIn('IPCCLogout("")', log)

    def test_wrong_password_and_failing_reason_queries(self):
        c = self.console
        self.assertEqual(c.command("IPCCLogin 42 bad 1001"), "> Error : ERROR_IPCC_LOGIN")
        self.sim.ctl("fail", "IPCCLogoutReasons", "not available")
        assert_automation_failure(self, c.command("IPCCLogoutReasons"), "0x80004005", "not available")


if __name__ == "__main__":
    harness.main()
