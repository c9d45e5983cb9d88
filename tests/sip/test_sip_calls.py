"""Calls through the console and quvo-sipphone against real far ends behind Kamailio:
registration, placing and answering calls (one while another rings in), DTMF, hold and resume, the far end's
hang-up, mute as the far end hears it, and call statistics."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402
from peers import PhoneCase, state, wait_for  # noqa: E402


class Calls(PhoneCase):
    def test_registration_and_an_outgoing_call_picked_up(self):
        far = self.far_end()
        phone, console = self.start_phone()  # waits for "Connected to CallManager"
        self.connect(console, far)
        wait_for(far.call_established, 10, "the far end to see the call")
        line = console.event("TsConnected")
        self.assertIn("Direction=outgoing", line)
        self.assertIn(f"OtherParty={far.number}", line)
        far.hangup()
        console.expect_all(["Event : PartyHangup,", state(0, "TsIdle")], 10)
        self.assertTrue(phone.proc.poll() is None)

    def test_dtmf_reaches_the_far_end_exactly(self):
        far = self.far_end()
        _, console = self.start_phone()
        self.connect(console, far)
        console.ok("DTMF 123#*0", timeout=20)
        wait_for(lambda: len(far.dtmf_received()) >= 6, 10, "the far end to receive six keys")
        time.sleep(0.5)  # nothing more comes
        self.assertEqual(far.dtmf_received(), "123#*0")
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)

    def test_hold_and_resume_as_the_far_end_sees_them(self):
        far = self.far_end("linphonec")
        _, console = self.start_phone()
        self.connect(console, far)
        wait_for(lambda: far.output().count("Media streams established") >= 1, 10, "media at the far end")
        console.ok("Hold")
        console.expect(state(8, "TsHold"), 10)
        far.expect("has been paused by", 10)
        streams = far.output().count("Media streams established")
        console.ok("Resume")
        console.expect(state(5, "TsConnected"), 10)
        wait_for(lambda: far.output().count("Media streams established") > streams, 10, "the far end to resume")
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)

    def test_incoming_call_with_its_number_answered(self):
        caller = self.far_end(auto_answer=False)
        phone, console = self.start_phone()
        caller.dial(f"sip:{phone.number}@{self.proxy.address}")
        console.expect_all(["Event : IncomingCall,", state(4, "TsRingIn")], 10)
        self.assertRegex(console.event("Event : IncomingCall,"), rf"CallerID=.*{caller.number}")
        console.ok("Answer")
        console.expect(state(5, "TsConnected"), 10)
        wait_for(caller.call_established, 10, "the caller to see the answer")
        caller.hangup()
        console.expect_all(["Event : PartyHangup,", state(0, "TsIdle")], 10)

    def test_a_call_placed_while_another_rings_in(self):
        far = self.far_end()
        caller = self.far_end(auto_answer=False)
        phone, console = self.start_phone()
        caller.dial(f"sip:{phone.number}@{self.proxy.address}")
        console.expect(state(4, "TsRingIn"), 10)
        ringing = re.search(r"CallRef=(\d+)", console.event("TsRingIn")).group(1)
        # The call is placed; the one ringing in rings on, to be answered later.
        console.ok(f"MakeCall {far.number}")
        console.expect_all([state(5, "TsConnected"), "Event : PartyPickup,"], 10)
        wait_for(far.call_established, 10, "the far end to see the call")
        console.ok(f"Answer {ringing}")
        console.expect_all([state(8, "TsHold"), f"{state(5, 'TsConnected')}, CallRef={ringing},"], 10)
        wait_for(caller.call_established, 10, "the caller to see the answer")
        console.ok("EndCall")
        console.ok("Resume")
        wait_for(lambda: console.output().count(state(5, "TsConnected")) >= 3, 10, "the held call to resume")
        self.assertTrue(console.events()[-1].endswith(f"OtherParty={far.number}"), console.events()[-3:])
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)

    def test_call_stats_are_above_zero(self):
        far = self.far_end()
        _, console = self.start_phone()
        self.connect(console, far)
        time.sleep(1.5)  # some packets each way
        console.ok("CallStats")
        line = console.event("Event : CallStatsUpdate,")
        figures = dict(re.findall(r"(\w+)=([^,\n]*)", line))
        self.assertTrue(figures["Codec"].strip(), line)
        for name in ("Sent", "Recvd"):
            self.assertGreater(int(figures[name]), 0, line)
        self.assertGreaterEqual(int(figures["CallLen"]), 1, line)
        console.ok("EndCall")


class Mute(PhoneCase):
    def test_the_far_end_hears_silence_while_muted(self):
        far = self.far_end(tone=1000)
        _, console = self.start_phone(tone=440)
        self.connect(console, far)
        wait_for(lambda: far.recordings() and peers.wav_seconds(far.recordings()[-1]) > 1.0, 10,
                 "a second of recorded audio at the far end")
        recording = far.recordings()[-1]

        def segment(seconds):
            """The far end's recording over the next `seconds` (its first 0.3 s left out: jitter buffer)."""
            start = peers.wav_seconds(recording)
            time.sleep(seconds)
            samples, rate = peers.read_wav(recording, start + 0.3, peers.wav_seconds(recording))
            return samples, rate

        heard, rate = segment(1.0)
        self.assertGreater(peers.rms_db(heard), -35)
        self.assertGreater(peers.tone_power(heard, rate, 440), 0.5)
        console.ok("Mute")
        muted, _ = segment(1.2)
        self.assertLess(peers.rms_db(muted), -55, "the far end still hears the phone while muted")
        console.ok("Mute off")
        back, rate = segment(1.2)
        self.assertGreater(peers.rms_db(back), -35, "the phone's audio did not come back after unmuting")
        self.assertGreater(peers.tone_power(back, rate, 440), 0.5)
        console.ok("EndCall")


if __name__ == "__main__":
    unittest.main(verbosity=2)
