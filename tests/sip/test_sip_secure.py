"""quvo-sipphone with a server that protects its calls: registration over TLS against a CA of
the test's own (and refused with another), sips: destinations that never go out in clear, a
digest user name apart from the number, and SRTP (SDES and DTLS-SRTP) with far ends that
require it."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from peers import (CALL_MANAGER_DOWN, Kamailio, PhoneCase, last_audio, sip_log, snapshot, state,  # noqa: E402
                   tone_power, wait_for)

USERS = {"5601": "pw-5601", "auth-5602": "pw-5602", "5603": "pw-5603"}


class Tls(PhoneCase):
    tls = True
    proxy_options = {"users": USERS}

    def tls_phone(self, user="5601", ca=None, registers=True, settings=None, **kwargs):
        settings = settings or {}
        return self.start_phone(user=user, password=USERS.get(user, USERS.get(settings.get("sSipAuthUser"))),
                                proxy=self.proxy.tls_uri, registers=registers,
                                settings={"sSipCaFile": (ca or self.ca)[0], **settings}, **kwargs)

    def test_registers_and_calls_over_tls_with_srtp(self):
        far = self.far_end(mediaenc="srtp-mand")
        phone, console = self.tls_phone()
        self.assertIn(("REGISTER", "sip:5601@" + self.proxy.address, "sip:5601@" + self.proxy.address, "tls"),
                      self.proxy.seen("REGISTER"))
        self.connect(console, far)
        invites = [s for s in self.proxy.seen("INVITE") if s[1].startswith("sip:5601@")]
        self.assertEqual({s[3] for s in invites}, {"tls"})
        self.assertIn("media_encryption=srtp (SDES)", snapshot(console, phone))
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)
        # A sips: destination goes out over TLS, as given.
        console.ok(f"MakeCall sips:{far.number}@{self.proxy.address}")
        console.expect("Event : PartyPickup,", 10)
        secure = [s for s in self.proxy.seen("INVITE") if s[2].startswith("sips:")]
        self.assertTrue(secure and all(s[3] == "tls" for s in secure), self.proxy.seen("INVITE"))
        console.ok("EndCall")

    def test_a_server_the_trusted_cas_do_not_vouch_for_is_refused(self):
        far = self.far_end()
        before = len(self.proxy.seen())
        phone, console = self.tls_phone(ca=self.other_ca, registers=False)
        console.expect(CALL_MANAGER_DOWN, 15)
        self.assertFalse([s for s in self.proxy.seen()[before:] if s[1].startswith("sip:5601@")])
        outcome = console.run(f"MakeCall {far.number}")
        if outcome == "OK":  # placed, then it fails on the connection the phone refuses
            console.expect(state(0, "TsIdle"), 15)
        self.assertEqual(far.call_established(), 0)
        self.assertRegex(sip_log(phone).decode("utf-8", "replace"), r"(?i)certificate|x509")

    def test_a_call_between_two_phones_on_tls(self):
        # linphonec over TLS too, trusting the same CA: an independent far end.
        number = "5604"
        far = self.p.linphonec(number, proxy=self.proxy, root_ca=self.ca[0])
        _, console = self.tls_phone()
        self.assertIn(("REGISTER", f"sip:{number}@{far.address}", f"sip:{number}@{far.address}", "tls"),
                      self.proxy.seen("REGISTER"))
        console.ok(f"MakeCall {number}@{self.proxy.address}")
        console.expect("Event : PartyPickup,", 15)
        console.ok("EndCall")

    def test_a_server_whose_certificate_names_another_host_is_refused(self):
        # Signed by the trusted CA, but for another address.
        impostor = Kamailio(self.p.root, self.p.addresses.take(), tls_ca=self.ca, tls_name="127.9.9.9")
        self.p._own(impostor.stop, impostor)
        impostor.start()
        phone, console = self.start_phone(user="5601", password=USERS["5601"], proxy=impostor.tls_uri,
                                          registers=False, settings={"sSipCaFile": self.ca[0]})
        console.expect(CALL_MANAGER_DOWN, 15)
        self.assertFalse(impostor.seen("REGISTER"))

    def test_a_separate_authentication_user_registers(self):
        # The number 5602, the digest user name auth-5602 (before: always the number).
        self.tls_phone(user="5602", settings={"sSipAuthUser": "auth-5602"})
        # The number itself is no authentication user there.
        _, console = self.start_phone(user="5602", password=USERS["auth-5602"], proxy=self.proxy.tls_uri,
                                      registers=False, settings={"sSipCaFile": self.ca[0]})
        console.expect(CALL_MANAGER_DOWN, 15)

    def test_dtls_srtp_both_ways_and_mandatory_encryption(self):
        recording = os.path.join(self.p.root, "heard.wav")
        phone, console = self.tls_phone(
            user="5603", settings={"sSipMediaEncryption": "dtls", "sSipMediaEncryptionMandatory": "1"}, tone=440,
            record=recording)
        dtls = self.far_end(mediaenc="dtls_srtp", tone=1000)
        self.connect(console, dtls)
        time.sleep(2)
        shot = snapshot(console, phone)
        self.assertIn("media_encryption=dtls (DTLS-SRTP)", shot)
        heard, rate = last_audio(recording)
        self.assertGreater(tone_power(heard, rate, 1000), 0.5)
        far_heard, far_rate = last_audio(dtls.recordings()[-1])
        self.assertGreater(tone_power(far_heard, far_rate, 440), 0.5)
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)
        # A far end in clear: refused, out and in.
        clear = self.far_end(auto_answer=False)
        console.ok(f"MakeCall {clear.number}")
        wait_for(lambda: console.output().count(state(0, "TsIdle")) >= 2, 15, "the call in clear to fail")
        self.assertEqual(clear.call_established(), 0)
        clear.dial(f"sip:5603@{self.proxy.address}:{self.proxy.port}")
        wait_for(lambda: "488" in clear.output() or "Not Acceptable" in clear.output(), 10, "the refusal")
        self.assertNotIn("Event : IncomingCall", console.output())


class WithoutTls(PhoneCase):
    def test_a_sips_destination_is_never_placed_in_clear(self):
        far = self.far_end()
        phone, console = self.start_phone()
        before = len(self.proxy.seen("INVITE"))
        # Before: placed as sip: over UDP, in clear.
        self.assertEqual(console.run(f"MakeCall sips:{far.number}@{self.proxy.address}"), "Error : ERROR_MAKE_CALL")
        time.sleep(1)
        self.assertEqual(len(self.proxy.seen("INVITE")), before)
        self.assertEqual(far.call_established(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
