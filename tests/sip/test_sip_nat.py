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
            cls.stun = nat.Coturn(cls.servers.root, nat.public_address())
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
        self.home = nat.Nat().start()
        self.addCleanup(self.home.close)

    def far_end(self, **kwargs):
        host = nat.Host().start()
        self.addCleanup(host.close)
        far = host.start_inside(peers.Baresip, self.p.root, host.address, peers.next_number(),
                                proxy=self.proxy.uri, tone=1000, **kwargs)
        self.addCleanup(far.stop)
        far.wait_ready()
        return far

    def call(self, far, **settings):
        """The phone on the LAN calls far; (far end hears the phone, the phone hears the far end)
        once both have recorded two seconds of the call."""
        env = self.p.phone_env()
        console = self.p.console(env)
        record = os.path.join(self.p.root, "phone-heard.wav")
        phone = self.home.start_inside(peers.SipPhone, env, self.home.lan_address, peers.next_number(),
                                       proxy=self.proxy.uri, tone=440, record=record, settings=settings,
                                       wait=False)
        self.addCleanup(phone.stop)
        phone.wait_ready()
        console.expect_all(["Event : Connected to softphone\n", peers.CALL_MANAGER_UP], 15)
        console.ok(f"MakeCall {far.user}")
        console.expect_all([state(5, "TsConnected"), "Event : PartyPickup,"], 15)
        wait_for(lambda: far.recordings() and peers.wav_seconds(far.recordings()[-1]) > 2.5, 10,
                 "two seconds of the call at the far end")
        result = hears(far.recordings()[-1], 440), within(lambda: hears(record, 1000), 3)
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


if __name__ == "__main__":
    unittest.main(verbosity=2)
