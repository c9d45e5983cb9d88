"""What a user chooses of quvo-sipphone's media and call handling, against real far ends
behind Kamailio: codecs (the far end's only one, or the user's), forwarding every call,
and the sound devices of a PulseAudio server."""

import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402
import sound  # noqa: E402
from peers import PhoneCase, state, wait_for  # noqa: E402


def heard(path, freq):
    """Whether the last second of a recording holds a tone of freq."""
    samples, rate = peers.last_audio(path)
    return peers.rms_db(samples) > -40 and peers.tone_power(samples, rate, freq) > 0.5


def codec_of(console):
    console.ok("CallStats")
    return re.search(r"Codec=([^,]*)", console.event("Event : CallStatsUpdate,")).group(1)


class Codecs(PhoneCase):
    def talk(self, console, far, record, since=0.0):
        """Both sides hear each other's tone (the phone 440 Hz, the far end 1 kHz); the phone's
        recording goes on from call to call."""
        wait_for(lambda: far.recordings() and peers.wav_seconds(far.recordings()[-1]) > 1.5, 10,
                 "audio at the far end")
        wait_for(lambda: os.path.exists(record) and peers.wav_seconds(record) > since + 1.5, 10,
                 "audio at the phone")
        self.assertTrue(heard(far.recordings()[-1], 440), "the far end does not hear the phone")
        self.assertTrue(heard(record, 1000), "the phone does not hear the far end")

    def test_calls_both_ways_with_a_far_end_of_one_codec(self):
        for codec, shown in (("G722/16000/1", "G722/8000"), ("PCMA/8000/1", "PCMA/8000"),
                             ("opus/48000/2", "opus/48000")):
            with self.subTest(codec=codec):
                far = self.far_end(codecs=[codec], auto_answer=False)
                record = os.path.join(self.p.root, f"heard-{shown[:4]}.wav")
                phone, console = self.start_phone(tone=440, record=record)
                # Out: the far end answers by hand.
                console.ok(f"MakeCall {far.number}")
                wait_for(lambda: "Incoming call" in far.output() or "incoming call" in far.output(), 10,
                         "the far end to ring")
                far.command("/accept")
                console.expect_all([state(5, "TsConnected"), "Event : PartyPickup,"], 10)
                self.assertEqual(codec_of(console), shown)
                self.talk(console, far, record)
                console.ok("EndCall")
                console.expect(state(0, "TsIdle"), 10)
                # In.
                since = peers.wav_seconds(record)
                far.dial(f"sip:{phone.number}@{self.proxy.address}")
                console.expect(state(4, "TsRingIn"), 10)
                console.ok("Answer")
                console.expect(state(5, "TsConnected"), 10)
                self.assertEqual(codec_of(console), shown)
                self.talk(console, far, record, since)
                far.hangup()
                console.expect(state(0, "TsIdle"), 10)
                self.p.close()

    def test_the_users_codecs_only_and_in_their_order(self):
        far = self.far_end(codecs=["opus/48000/2", "G722/16000/1"])
        _, console = self.start_phone(settings={"sSipCodecs": "G722"})
        self.connect(console, far)
        self.assertEqual(codec_of(console), "G722/8000")
        console.ok("EndCall")
        # A far end of none of them gets no call; the phone says why.
        pcma = self.far_end(codecs=["PCMA/8000/1"])
        console.ok(f"MakeCall {pcma.number}")
        console.expect(state(0, "TsIdle"), 10)
        self.assertEqual(pcma.call_established(), 0)

    def test_an_unknown_codec_name_stops_the_phone_at_start(self):
        env = self.p.phone_env()
        phone = peers.SipPhone(env, self.p.addresses.take(), peers.next_number(),
                               settings={"sSipCodecs": "opus,G.729x"}, wait=False)
        self.addCleanup(phone.stop)
        self.assertEqual(phone.proc.wait(10), 1)
        self.assertEqual(phone.stderr().strip(),
                         "quvo-sipphone: sSipCodecs names 'G.729x', a codec this phone does not have")


class Forwarding(PhoneCase):
    def test_every_call_is_sent_on_with_302_while_forwarding_is_on(self):
        phone, console = self.start_phone(settings={"sSipForwardAll": "2999"})
        caller = peers.RawUa(self.p.addresses.take())
        self.addCleanup(caller.close)

        def invite(n):
            uri = f"sip:{phone.number}@{phone.address}:5060"
            caller.send(caller.request("INVITE", uri, f"<{uri}>", call_id=f"fwd-{n}", from_tag=f"f{n}",
                                       extra="Content-Type: application/sdp\r\n", body=peers.SDP.format(a=caller.address, rtp=40000)),
                        (phone.address, 5060))
            return caller.receive(5, want="SIP/2.0 302" if n == 1 else "SIP/2.0 180") or ""

        console.ok("Softkey cfwdall")
        answer = invite(1)
        # (The SIP library's phrase: "Moved temporarily".)
        self.assertTrue(answer.lower().startswith("sip/2.0 302 moved temporarily"), answer)
        self.assertIn(f"sip:2999@{self.proxy.address}", peers.header(answer, "Contact"))
        self.assertNotIn("Event : IncomingCall,", console.output())
        self.assertIn("forward_all=on", peers.snapshot(console, phone))
        # Off again: the next call rings here.
        console.ok("Softkey cfwdall")
        self.assertTrue(invite(2).startswith("SIP/2.0 180"))
        console.expect("Event : IncomingCall,", 10)


class Devices(PhoneCase):
    """The phone among the devices of a PulseAudio server of the test's own: two outputs and a
    microphone (so that the phone's default capture is not an output's monitor)."""

    def setUp(self):
        super().setUp()
        self.pulse = sound.PulseDaemon(self.p.root, sinks=("one", "two"), mics=("mic",))
        self.addCleanup(self.pulse.stop)

    def phone(self, **settings):
        env = self.p.phone_env()
        env.env.update(self.pulse.env())
        console = self.p.console(env)
        phone = self.p.sipphone(env, peers.next_number(), proxy=self.proxy, settings=settings)
        console.expect_all(["Event : Connected to softphone\n", peers.CALL_MANAGER_UP], 15)
        return phone, console

    def test_listed_and_chosen_for_playback(self):
        listing = subprocess.run([peers.sipphone_path(), "--list-devices"], env=self.pulse.client_env(),
                                 capture_output=True, text=True, timeout=30)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        lines = listing.stdout.splitlines()
        for name, use in (("one", "playback"), ("two", "playback"), ("mic in", "capture")):
            self.assertIn(f"{sound.card_id(name)}\t{use}", lines)

        far = self.far_end(tone=1000)
        phone, console = self.phone(sSipPlaybackDevice=sound.card_id("two"), sSipCaptureDevice="Quvo test mic in")
        one = self.pulse.start_recording("one", os.path.join(self.p.root, "one.wav"))
        two = self.pulse.start_recording("two", os.path.join(self.p.root, "two.wav"))
        self.connect(console, far)
        start = two.seconds()
        two.wait(start + 3.0)
        # The far end's tone on the second output (a sanitized phone's audio may stutter: the
        # tone need only stand out), nothing on the first.
        samples, rate = peers.read_wav(two.path, start + 1.0, start + 3.0)
        self.assertGreater(peers.rms_db(samples), -40, two.path)
        self.assertLess(abs(peers.dominant_frequency(samples, rate) - 1000), 30, two.path)
        samples, _ = peers.read_wav(one.path, start + 1.0, start + 3.0)
        self.assertLess(peers.rms_db(samples), -60, one.path)
        console.ok("EndCall")
        self.assertIn(f"playback_device={sound.card_id('two')}", peers.snapshot(console, phone))

    def test_a_device_not_present_falls_back_with_one_warning(self):
        phone, console = self.phone(sSipPlaybackDevice="Quvo test three")
        text = peers.sip_log(phone).decode(errors="replace")
        self.assertEqual(text.count("sSipPlaybackDevice 'Quvo test three' is no playback device here"), 1, text[-2000:])
        snap = peers.snapshot(console, phone)
        self.assertIn("null_card=no", snap)
        self.assertRegex(snap, r"playback_device=PulseAudio Unknown: Quvo test (one|two)")


if __name__ == "__main__":
    unittest.main(verbosity=2)
