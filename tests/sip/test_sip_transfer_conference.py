"""Transfers and a three-party conference through the console and quvo-sipphone, judged
at the far ends: who ends up talking to whom, and what each party hears."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402
from peers import PhoneCase, last_audio, state, wait_for  # noqa: E402


def blind_transfer(case, leg_ends_within):
    far = case.far_end()
    third = case.far_end("linphonec")
    _, console = case.start_phone()
    case.connect(console, far)
    console.ok(f"Transfer {third.number}")
    console.expect(state(10, "TsCallTransfer"), leg_ends_within)
    console.expect(state(0, "TsIdle"), 2)
    wait_for(lambda: f"Call established: sip:{third.number}@" in far.output(), 15,
             "the far end to reach the third party")
    third.expect(f"from sip:{far.number}@", 10)
    third.expect("connected.", 10)


class Transfers(PhoneCase):
    def test_blind_transfer_puts_the_far_end_through_to_the_third_party(self):
        blind_transfer(self, 5)

    def test_attended_transfer_joins_the_held_party_and_the_consulted_one(self):
        # baresip cannot be the transferee of an attended transfer: both far ends are linphonec.
        far = self.far_end("linphonec")
        third = self.far_end("linphonec")
        _, console = self.start_phone()
        self.connect(console, far)
        console.ok(f"TransferInitiate {third.number}")
        console.expect(state(8, "TsHold"), 10)
        console.expect(state(5, "TsConnected"), 10)
        far.expect("has been paused by", 10)
        calls_at_third = third.connected()
        # At once: the hold's re-INVITE may still await its answer, which the phone waits for.
        console.ok("TransferComplete")
        # The held party calls the consulted one (replacing our call to it): a new connected call at each.
        wait_for(lambda: re.search(rf"Call \d+ with <?sip:{third.number}@[^\n]* connected\.", far.output()), 15,
                 "the held party to be connected to the third party")
        wait_for(lambda: third.connected() > calls_at_third, 15, "the third party to take the new call")
        self.assertRegex(third.output(), rf"Call \d+ with sip:{far.number}@[^\n]* connected\.")
        wait_for(lambda: console.output().count(state(0, "TsIdle")) >= 2, 15, "both of our calls to end")


class TransfersThroughAReorderingProxy(PhoneCase):
    """The far end's first NOTIFY reaches the phone ahead of the 202 to its REFER (as a proxy
    with several workers now and then relays them): the library turns that NOTIFY away, and
    the far end sends no other, so the phone ends its leg after 10 s without a report."""

    proxy_options = {"reorder_refer_answer": True}

    def test_blind_transfer_ends_our_leg(self):
        blind_transfer(self, 15)


class Conference(PhoneCase):
    def test_three_parties_each_hear_both_others(self):
        # Every party a phone of ours with a tone of its own, recording what it hears.
        second = self.far_phone(tone=1000, record=os.path.join(self.p.root, "second.wav"))
        third = self.far_phone(tone=1500, record=os.path.join(self.p.root, "third.wav"))
        host_recording = os.path.join(self.p.root, "host.wav")
        phone, console = self.start_phone(tone=440, record=host_recording)
        self.connect(console, second)
        console.ok(f"ConferenceInitiate {third.number}")
        console.expect(state(5, "TsConnected"), 10)
        console.ok("ConferenceComplete")
        console.expect("OtherParty=Conference\n", 10)
        time.sleep(2.5)  # the mix settles; then a second of it is judged at every end

        def hears(path, tones, who):
            samples, rate = last_audio(path)
            self.assertGreater(peers.rms_db(samples), -40, f"{who} hears nothing")
            for tone in tones:
                self.assertGreater(peers.tone_power(samples, rate, tone), 0.1,
                                   f"{who} does not hear the {tone} Hz party")

        hears(host_recording, (1000, 1500), "the host")
        hears(second.record, (440, 1500), "the second party")
        hears(third.record, (440, 1000), "the third party")

        # One leaves; the host ends the rest.
        third.console.ok("EndCall")
        console.expect("Event : PartyHangup,", 10)
        console.ok("EndCall")
        wait_for(lambda: console.output().count(state(0, "TsIdle")) >= 2, 15, "both calls to end")
        second.console.expect(state(0, "TsIdle"), 10)
        # The phone goes on: a new call.
        self.connect(console, second)
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)
        self.assertIsNone(phone.proc.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
