"""quvo-sipphone behind a masquerading NAT (network namespaces and nftables of the test's
own): Kamailio, a STUN server (coturn) and baresip on the public side, the phone on the
LAN. Without a STUN server the far end hears the phone but the phone hears nothing (its
SDP carries its private address); with sSipStun, and with sSipIce, both hear each other."""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import nat  # noqa: E402
import peers  # noqa: E402
from peers import Peers, state, wait_for  # noqa: E402


def hears(path, freq, seconds=1.0):
    """Whether the last `seconds` of a recording hold a tone of freq."""
    if not path or not os.path.exists(path) or peers.wav_seconds(path) < seconds + 0.3:
        return False
    samples, rate = peers.last_audio(path, seconds)
    return peers.rms_db(samples) > -40 and peers.tone_power(samples, rate, freq) > 0.5


def within(predicate, seconds):
    """Whether predicate holds within seconds."""
    try:
        wait_for(predicate, seconds, "")
        return True
    except AssertionError:
        return False


@unittest.skipUnless(peers.have_peers() and peers.have_sipphone(), "needs the SIP peers and quvo-sipphone")
@unittest.skipUnless(os.geteuid() == 0 and shutil.which("nft") and shutil.which("turnserver"),
                     "needs root (network namespaces), nftables and coturn")
class BehindNat(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        nat.enter_private_network()
        cls.servers = Peers()
        try:
            cls.proxy = peers.Kamailio(cls.servers.root, nat.public_address(), port=5060)
            cls.servers._own(cls.proxy.stop, cls.proxy)
            cls.proxy.start()
            cls.stun = nat.Coturn(cls.servers.root, nat.public_address(), user="relay", password="relay-pw")
            cls.servers._own(cls.stun.stop, cls.stun)
            cls.stun.start()
        except BaseException:
            cls.servers.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.servers.close()

    def setUp(self):
        self.p = Peers()
        self.addCleanup(self.p.close)

    def far_end(self, **kwargs):
        """A baresip far end on a public address of its own, with a 1 kHz tone."""
        host = nat.Host().start()
        self.addCleanup(host.close)
        far = host.start_inside(peers.Baresip, self.p.root, host.address, peers.next_number(),
                                proxy=self.proxy.uri, tone=1000, **kwargs)
        self.addCleanup(far.stop)
        far.wait_ready()
        far.number = far.user
        far.heard = lambda: far.recordings()[-1] if far.recordings() else None
        return far

    def phone(self, symmetric=False, tone=440, auto_answer=False, **settings):
        """A quvo-sipphone on the LAN of a NAT of its own, registered; its .heard() is what it records."""
        home = nat.Nat(symmetric=symmetric).start()
        self.addCleanup(home.close)
        env = self.p.phone_env()
        record = os.path.join(env.root, "heard.wav")
        phone = home.start_inside(peers.SipPhone, env, home.lan_address, peers.next_number(), proxy=self.proxy.uri,
                                  tone=tone, record=record, settings=settings, auto_answer=auto_answer, wait=False)
        self.addCleanup(phone.stop)
        phone.wait_ready()
        phone.number = phone.user
        phone.heard = lambda: record
        return phone

    def call(self, far, symmetric=False, **settings):
        """A phone behind a NAT calls far through the console; (far hears the phone's 440 Hz,
        the phone hears far's 1 kHz) after two seconds of the call."""
        phone = self.phone(symmetric, **settings)
        console = self.p.console(phone.env)
        console.expect("Event : Connected to softphone\n", 15)
        wait_for(lambda: peers.CALL_MANAGER_UP in console.output(), 15, "the registration")
        console.ok(f"MakeCall {far.number}")
        console.expect_all([state(5, "TsConnected"), "Event : PartyPickup,"], 15)
        wait_for(lambda: far.heard() and peers.wav_seconds(far.heard()) > 2.5, 10,
                 "two seconds of the call at the far end")
        result = within(lambda: hears(far.heard(), 440), 3), within(lambda: hears(phone.heard(), 1000), 3)
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)
        return result

    def test_without_stun_the_phone_hears_nothing(self):
        self.assertEqual(self.call(self.far_end()), (True, False))

    def test_with_stun_both_hear_each_other(self):
        self.assertEqual(self.call(self.far_end(), sSipStun=f"{self.stun.address}:{self.stun.port}"), (True, True))
        self.assertIn("BINDING", self.stun.log())

    def test_with_ice_both_hear_each_other(self):
        far = self.far_end(medianat="ice", stun=f"{self.stun.address}:{self.stun.port}")
        self.assertEqual(self.call(far, sSipStun=self.stun.address, sSipIce="1"), (True, True))

    def test_two_phones_behind_symmetric_nats_through_a_turn_relay(self):
        # Each maps every destination to a port of its own: only the relay joins them.
        far = self.phone(symmetric=True, tone=1000, auto_answer=True, sSipStun=self.stun.address, sSipIce="1")
        relay = {"sSipStun": self.stun.address, "sSipIce": "1", "sSipTurnUser": "relay", "sSipTurnPassword": "relay-pw"}
        self.assertEqual(self.call(far, symmetric=True, **relay), (True, True))
        self.assertIn("ALLOCATE processed, success", self.stun.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
