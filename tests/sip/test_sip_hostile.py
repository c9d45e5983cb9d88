"""quvo-sipphone under abuse, through the console: garbage at its SIP port, a far end
that never answers, a call to where nothing listens, and 200 calls in a row. The phone
must not crash, must report every failure as an event or a failure reply, and its
memory and descriptors must stay flat."""

import os
import random
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import peers  # noqa: E402
from peers import PhoneCase, process_status, state, wait_for  # noqa: E402


def garbage_datagrams(target, count, seed=7):
    """count hostile datagrams: random bytes, SIP requests cut short at random points,
    requests with broken headers, lengths and encodings."""
    rng = random.Random(seed)
    host, port = target
    invite = (
        f"INVITE sip:1001@{host}:{port} SIP/2.0\r\n"
        f"Via: SIP/2.0/UDP 127.0.0.1:5999;branch=z9hG4bK{{n}}\r\n"
        "Max-Forwards: 70\r\nFrom: <sip:evil@127.0.0.1>;tag={n}\r\n"
        f"To: <sip:1001@{host}>\r\nCall-ID: hostile-{{n}}@127.0.0.1\r\nCSeq: 1 INVITE\r\n"
        "Contact: <sip:evil@127.0.0.1:5999>\r\nContent-Type: application/sdp\r\nContent-Length: {length}\r\n\r\n"
        "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 5998 RTP/AVP 0\r\n"
    )
    broken = [
        "INVITE sip:1001@{h} SIP/2.0\r\n\r\n",
        "INVITE  SIP/2.0\r\nVia: \r\nCSeq: x\r\n\r\n",
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKnone\r\nCSeq: 99 BYE\r\n\r\n",
        "BYE sip:1001@{h} SIP/2.0\r\nCall-ID: nosuchcall\r\nCSeq: 2 BYE\r\nFrom: <sip:a@b>;tag=1\r\nTo: <sip:c@d>;tag=2\r\n\r\n",
        "OPTIONS sip:1001@{h} SIP/2.0\r\nContent-Length: 99999999999999999999\r\n\r\n",
        "NOTIFY sip:1001@{h} SIP/2.0\r\nVia: SIP/2.0/UDP [::1\r\nFrom: <<<<>>>>\r\nTo: \x00\x01\x02\r\n\r\n",
        "REFER sip:1001@{h} SIP/2.0\r\nRefer-To: <sip:" + "9" * 5000 + "@x>\r\n\r\n",
        "\xff\xfe" + "A" * 1400,
    ]
    packets = []
    for n in range(count):
        kind = n % 4
        if kind == 0:
            packets.append(bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 1400))))
        elif kind == 1:
            text = invite.format(n=n, length=rng.choice([0, 5, 150, 100000, -1])).encode()
            packets.append(text[: rng.randrange(1, len(text))])
        elif kind == 2:
            packets.append(rng.choice(broken).replace("{h}", host).encode("latin-1"))
        else:
            text = bytearray(invite.format(n=n, length=150).encode())
            for _ in range(rng.randrange(1, 8)):
                text[rng.randrange(len(text))] = rng.getrandbits(8)
            packets.append(bytes(text))
    return packets


class Hostile(PhoneCase):
    def test_garbage_at_the_sip_port(self):
        far = self.far_end()
        phone, console = self.start_phone()
        before = process_status(phone.proc.pid)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for packet in garbage_datagrams((phone.address, 5060), 400):
                s.sendto(packet, (phone.address, 5060))
                time.sleep(0.002)
        time.sleep(1)
        self.assertIsNone(phone.proc.poll(), phone.stderr()[-2000:])
        # Still registered and working.
        self.connect(console, far)
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)
        after = process_status(phone.proc.pid)
        self.assertLess(after[0] - before[0], 20000, (before, after))
        self.assertLess(after[1] - before[1], 8, (before, after))

    def test_a_far_end_that_never_answers(self):
        far = self.far_end(auto_answer=False)
        phone, console = self.start_phone()
        console.ok(f"MakeCall {far.number}")
        console.expect(state(3, "TsRingOut"), 10)
        far.expect("Incoming call", 10)
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)
        far.expect("terminated", 10)
        self.assertIsNone(phone.proc.poll())

    def test_calls_where_nobody_is(self):
        phone, console = self.start_phone()
        # Unknown to the registrar: refused at once.
        console.ok("MakeCall 99999")
        console.expect(state(0, "TsIdle"), 15)
        # Straight to an address where nothing listens: the phone gives up by itself.
        nobody = f"sip:1@{self.p.addresses.take()}:5060"
        outcome = console.run(f"MakeCall {nobody}")
        if outcome == "OK":
            wait_for(lambda: console.output().count(state(0, "TsIdle")) >= 2, 40, "the dead call to end")
        else:
            self.assertEqual(outcome, "Error : ERROR_MAKE_CALL")
        self.assertEqual(console.run("MakeCall"), "Error : ERROR_NO_DESTINATION")
        self.assertEqual(console.run("MakeCall sip:"), "Error : ERROR_MAKE_CALL")
        self.assertIsNone(phone.proc.poll())

    def test_two_hundred_calls_in_a_row(self):
        far = self.far_end()
        phone, console = self.start_phone()
        samples = []
        for n in range(200):
            console.ok(f"MakeCall {far.number}")
            wait_for(lambda: console.output().count("Event : PartyPickup,") > n, 10, f"call {n + 1} to connect")
            console.ok("EndCall")
            wait_for(lambda: console.output().count(state(0, "TsIdle")) > n, 10, f"call {n + 1} to end")
            if n in (19, 199):
                time.sleep(0.5)
                samples.append(process_status(phone.proc.pid))
        (rss_warm, fds_warm), (rss_end, fds_end) = samples
        self.assertLess(rss_end - rss_warm, 15000, samples)  # kB over 180 calls
        self.assertLessEqual(fds_end - fds_warm, 4, samples)
        self.assertEqual(console.outcomes().count("OK"), 400)
        self.assertIsNone(phone.proc.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
