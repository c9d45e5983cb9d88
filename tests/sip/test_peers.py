"""The peers themselves: a call between baresip and linphonec and between two baresips
through Kamailio, DTMF both ways, the far ends' tones in the recordings, and the
registrar's loss and return. Proves the harness before any phone of ours is in it."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402
from peers import wait_for  # noqa: E402


@unittest.skipUnless(peers.have_peers(), "needs kamailio, baresip and linphonec")
class PeersThroughProxy(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.peers = peers.Peers()
        try:
            cls.proxy = cls.peers.kamailio()
        except BaseException:
            cls.peers.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.peers.close()

    def test_baresip_calls_linphonec_and_dtmf_arrives(self):
        caller = self.peers.baresip("2001", proxy=self.proxy)
        callee = self.peers.linphonec("2002", proxy=self.proxy)
        caller.dial(f"sip:2002@{self.proxy.address}")
        wait_for(lambda: callee.connected() and caller.call_established(), 10, "the call to connect")
        caller.command("12#*")
        wait_for(lambda: callee.tones_received() == "12#*", 10, "linphonec to hear the digits")
        caller.hangup()
        callee.expect("ended", 10)

    def test_each_baresip_records_the_others_tone(self):
        a = self.peers.baresip("2101", proxy=self.proxy, tone=1000)
        b = self.peers.baresip("2102", proxy=self.proxy, tone=1500)
        a.dial(f"sip:2102@{self.proxy.address}")
        wait_for(lambda: a.call_established() and b.call_established(), 10, "the call to connect")
        wait_for(lambda: a.recordings() and b.recordings() and peers.wav_seconds(a.recordings()[0]) > 1.5
                 and peers.wav_seconds(b.recordings()[0]) > 1.5, 10, "a second and a half of audio")
        a.hangup()
        for peer, heard in ((a, 1500), (b, 1000)):
            samples, rate = peers.read_wav(peer.recordings()[0], 0.8, 1.4)
            self.assertGreater(peers.rms_db(samples), -40)
            self.assertAlmostEqual(peers.dominant_frequency(samples, rate), heard, delta=20)

    def test_the_registrar_stops_and_comes_back(self):
        callee = self.peers.linphonec("2202", proxy=self.proxy)
        self.proxy.stop()
        self.assertFalse(peers.port_open(self.proxy.address, self.proxy.port))
        self.proxy.start()
        # A restarted registrar has forgotten every binding: a new one registers anew.
        caller = self.peers.baresip("2201", proxy=self.proxy)
        caller.dial(f"sip:2202@{self.proxy.address}")
        caller.expect("404", 10)
        callee = self.peers.linphonec("2203", proxy=self.proxy)
        caller.dial(f"sip:2203@{self.proxy.address}")
        wait_for(lambda: callee.connected(), 10, "the call to connect")
        caller.hangup()


if __name__ == "__main__":
    unittest.main(verbosity=2)
