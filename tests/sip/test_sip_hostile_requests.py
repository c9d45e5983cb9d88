"""quvo-sipphone against well-formed but hostile requests at its SIP port: names and URIs
longer than its SIP library can take (a crash, a parser that freezes the phone), a flood of
small requests, a far end's REFER that would make it call anywhere, text messages that would
be kept for ever, and all of these mixed for minutes with real calls in between."""

import os
import re
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from peers import (SANITIZED, SDP, PhoneCase, RawUa, core_folder, folder_bytes, header, response,  # noqa: E402
                   process_status, sip_log, snapshot, state, wait_for)

class Attacker:
    """A raw caller of its own at a phone's SIP port: what it sends to, and in whose name."""

    def __init__(self, case, phone):
        self.ua = RawUa(case.p.addresses.take())
        case.addCleanup(self.ua.close)
        self.target = (phone.address, 5060)
        self.uri = f"sip:{phone.number}@{phone.address}:5060"
        self.to = f"<sip:{phone.number}@{phone.address}>"
        self.sdp = SDP.format(a=self.ua.address, rtp=5998)


def options(ua, phone, n=0):
    return ua.request("OPTIONS", f"sip:{phone.number}@{phone.address}:5060", f"<sip:{phone.number}@{phone.address}>",
                      from_tag=f"o{n}")


def answered_options(ua, timeout):
    """Seconds until the 200 to an OPTIONS came back, or None."""
    start = time.monotonic()
    answer = ua.receive(timeout, "SIP/2.0 200")
    return time.monotonic() - start if answer else None


class Oversized(PhoneCase):
    def test_long_names_and_uris_neither_crash_nor_freeze_the_phone(self):
        far = self.far_end()
        phone, console = self.start_phone()
        a = Attacker(self, phone)
        ua, target, uri, to, sdp = a.ua, a.target, a.uri, a.to, a.sdp
        # Before: a display name of about 1,020 characters or more in From or To crashed the
        # phone (SIGSEGV) over UDP and TCP; a long URI held its only thread for seconds.
        attacks = [
            ("udp", ua.request("INVITE", uri, to, display="A" * 1100, body=sdp)),
            ("udp", ua.request("INVITE", uri, f'"{"B" * 1100}" {to}', body=sdp)),
            ("tcp", ua.request("INVITE", uri, to, display="C" * 1100, body=sdp)),
            ("udp", ua.request("INVITE", uri, to, extra=f"Route: <sip:{'r' * 16000}@{phone.address}>\r\n", body=sdp)),
            ("udp", ua.request("INVITE", f"sip:{'u' * 3000}@{phone.address}", to, body=sdp)),
        ]
        for transport, data in attacks:
            conn = ua.send(data, target, transport)
            time.sleep(0.2)
            ua.send(options(ua, phone), target)
            waited = answered_options(ua, 2)
            print(f"oversized {transport} {len(data)} bytes: an OPTIONS 0.2 s later answered after {waited} s",
                  file=sys.stderr)
            if conn:
                self.assertEqual(conn.recv(100), b"")  # ended by the phone
                conn.close()
            self.assertIsNone(phone.proc.poll(), "quvo-sipphone died")
            self.assertIsNotNone(waited, "the phone did not answer an OPTIONS within 2 s")
        log = sip_log(phone)
        self.assertIn(b"a quoted string over 512 characters", log)
        self.assertIn(b"a URI over 1024 characters", log)
        # Nothing at the port makes the library open its socket anew (which ends its transactions).
        self.assertNotIn(b"reopening server socket", log)
        # An absurd destination fails at once; the phone still calls.
        started = time.monotonic()
        self.assertEqual(console.run("MakeCall " + "5" * 8000), "Error : ERROR_MAKE_CALL")
        print(f"MakeCall with 8000 digits failed after {time.monotonic() - started:.3f} s", file=sys.stderr)
        self.connect(console, far)
        console.ok("EndCall")


class Flood(PhoneCase):
    def test_a_caller_gets_through_thirty_requests_a_second(self):
        caller = self.far_end(auto_answer=False)
        phone, console = self.start_phone()
        ua = RawUa(self.p.addresses.take())
        self.addCleanup(ua.close)
        stop = threading.Event()

        def flood():  # 30 OPTIONS a second, for at most 30 s
            n = 0
            end = time.monotonic() + 30
            while not stop.is_set() and time.monotonic() < end:
                n += 1
                ua.send(options(ua, phone, n), (phone.address, 5060))
                time.sleep(1 / 30)

        sender = threading.Thread(target=flood)
        sender.start()
        self.addCleanup(sender.join)
        self.addCleanup(stop.set)
        time.sleep(3)  # the backlog builds
        dialled = time.monotonic()
        caller.dial(f"sip:{phone.number}@{self.proxy.address}:{self.proxy.port}")
        # Before: no IncomingCall within 35 s at 30 requests a second.
        console.event("Event : IncomingCall", 10)
        print(f"flood: IncomingCall {time.monotonic() - dialled:.3f} s after the dial", file=sys.stderr)
        wait_for(lambda: "Call ringing" in caller.output() or "ringing" in caller.output().lower(), 10,
                 "the caller to hear it ring")
        stop.set()
        sender.join()
        console.ok("Answer")
        console.expect(state(5, "TsConnected"), 10)
        console.ok("EndCall")


class FarEndRequests(PhoneCase):
    """A caller of our own making calls the phone straight (no proxy), the console answers,
    and the caller then sends what a hostile far end would."""

    def start(self, **settings):
        self.ua = RawUa(self.p.addresses.take())
        self.addCleanup(self.ua.close)
        self.domain = self.p.addresses.take()
        phone, console = self.start_phone(proxy=False, settings={"sSipDomain": self.domain, **settings})
        return phone, console

    def answered_call(self, phone, console):
        """(request URI, To with its tag, Call-ID) of an answered call from the raw caller."""
        ua = self.ua
        call_id = f"refer-{time.monotonic_ns()}@{ua.address}"
        to = f"<sip:{phone.number}@{phone.address}>"
        ua.send(ua.request("INVITE", f"sip:{phone.number}@{phone.address}:5060", to, call_id=call_id,
                           extra="Content-Type: application/sdp\r\n", body=SDP.format(a=ua.address, rtp=5998)),
                (phone.address, 5060))
        console.event("Event : IncomingCall", 10)
        console.ok("Answer")
        ok = self.answer = ua.receive(5, "SIP/2.0 200")
        self.assertIsNotNone(ok, "no 200 to the INVITE")
        contact = header(ok, "Contact").strip("<>").split(">")[0]
        to = header(ok, "To")
        ua.send(ua.request("ACK", contact, to, call_id=call_id), (phone.address, 5060))
        console.expect(state(5, "TsConnected"), 10)
        return contact, to, call_id

    def refer(self, phone, call, target, cseq=2):
        contact, to, call_id = call
        self.ua.send(self.ua.request("REFER", contact, to, call_id=call_id, cseq=cseq,
                                     extra=f"Refer-To: {target}\r\nReferred-By: <sip:raw@{self.ua.address}>\r\n"),
                     (phone.address, 5060))
        answer = self.ua.receive(5, "SIP/2.0 ")
        while answer and answer.startswith("SIP/2.0 1"):
            answer = self.ua.receive(5, "SIP/2.0 ")
        return answer.split("\r\n")[0] if answer else None

    def test_a_far_ends_refer_is_declined(self):
        phone, console = self.start()
        call = self.answered_call(phone, console)
        target = RawUa(self.domain, 5060)
        self.addCleanup(target.close)
        # Before: 202, the call held and an INVITE sent to the target, headers and all.
        self.assertEqual(self.refer(phone, call, f"<sip:2000@{self.domain}>"), "SIP/2.0 603 Decline")
        self.assertIsNone(target.receive(2, "INVITE"), "the phone called the REFER's target")
        self.assertEqual(console.output().count(state(3, "TsRingOut")), 0)
        self.assertEqual(console.output().count(state(8, "TsHold")), 0)
        console.ok("EndCall")

    def test_a_refer_the_user_allows_stays_in_the_domain_and_carries_no_headers(self):
        phone, console = self.start(sSipAcceptRefer="1")
        call = self.answered_call(phone, console)
        elsewhere = RawUa(self.p.addresses.take(), 5060)
        self.addCleanup(elsewhere.close)
        target = RawUa(self.domain, 5060)
        self.addCleanup(target.close)
        self.assertEqual(self.refer(phone, call, f"<sip:3000@{elsewhere.address}>"), "SIP/2.0 603 Decline")
        self.assertIsNone(elsewhere.receive(1, "INVITE"))
        headers = "Route=%3Csip%3Aevil%40" + elsewhere.address + "%3Blr%3E&Subject=Urgent&X-Evil=1"
        self.assertEqual(self.refer(phone, call, f"<sip:2000@{self.domain}?{headers}>", cseq=3),
                         "SIP/2.0 202 Accepted")
        invite = target.receive(10, "INVITE")
        self.assertIsNotNone(invite, "the referred call never came")
        self.assertTrue(invite.startswith(f"INVITE sip:2000@{self.domain} SIP/2.0"), invite)
        for forbidden in ("evil", "Subject:", "X-Evil"):
            self.assertNotIn(forbidden, invite.split("\r\n\r\n")[0])
        self.assertIsNone(elsewhere.receive(1, "INVITE"), "the INVITE was routed off the domain")
        console.expect(state(3, "TsRingOut"), 10)

    def test_text_messages_are_refused_and_nothing_of_them_is_kept(self):
        phone, _ = self.start()
        ua = self.ua
        folder = core_folder(phone)
        rss_before = process_status(phone.proc.pid)[0]
        body = "x" * 30000
        for n in range(300):
            ua.send(ua.request("MESSAGE", f"sip:{phone.number}@{phone.address}:5060",
                               f"<sip:{phone.number}@{phone.address}>", from_tag=f"m{n}",
                               extra="Content-Type: text/plain\r\n", body=body), (phone.address, 5060))
            answer = ua.receive(5, "SIP/2.0 ")
            self.assertIsNotNone(answer)
            self.assertTrue(answer.startswith("SIP/2.0 405 Method Not Allowed\r\n"), answer)
        self.assertIn("INVITE", header(answer, "Allow"))
        self.assertNotIn("MESSAGE", header(answer, "Allow"))
        self.assertIsNone(ua.receive(1), "the phone sent something more (a delivery notification?)")
        rss_after = process_status(phone.proc.pid)[0]
        # Before: the database grew from 184 KB to 9.5 MB, resident memory by 14 MB. Now the
        # library keeps no database at all: its configuration and the log are all there is.
        self.assertEqual(sorted(n for n in os.listdir(folder) if not n.startswith("sip.log")), ["linphonerc"])
        if not SANITIZED:
            self.assertLess(rss_after - rss_before, 3000, (rss_before, rss_after))

    def registering(self):
        """(raw registrar, phone, console, the phone's first REGISTER) of a phone that registers
        with a registrar written out by hand."""
        registrar = RawUa(self.p.addresses.take())
        self.addCleanup(registrar.close)
        phone, console = self.start_phone(proxy=f"sip:{registrar.address}:{registrar.port}", registers=False,
                                          password="pw")
        register = registrar.receive(10, "REGISTER")
        self.assertIsNotNone(register, "no REGISTER")
        return registrar, phone, console, register

    def test_a_redirect_of_register_is_not_followed(self):
        # Before: the phone registered at the host the 302 named and answered its challenge.
        elsewhere = RawUa(self.p.addresses.take())
        self.addCleanup(elsewhere.close)
        registrar, phone, console, register = self.registering()
        moved = response(register, 302, "Moved Temporarily").replace(
            b"Content-Length", f"Contact: <sip:{elsewhere.address}:{elsewhere.port}>\r\nContent-Length".encode())
        registrar.send(moved, (phone.address, 5060))
        self.assertIsNone(elsewhere.receive(3), "the phone followed the redirect")
        self.assertIn("sends the registration to another host, which the phone does not follow",
                      snapshot(console, phone))

    def test_a_challenge_the_phone_cannot_answer_is_a_refusal(self):
        # Before: no CallManagerStatus, no retry, no note, for ever.
        registrar, phone, console, register = self.registering()
        challenge = response(register, 401, "Unauthorized").replace(
            b"Content-Length", b'WWW-Authenticate: Digest realm="quvo.test", nonce="n1", algorithm=SHA-512-256\r\n'
                               b"Content-Length")
        registrar.send(challenge, (phone.address, 5060))
        console.expect("Event : Disconnected from CallManager", 10)
        why = "the registrar asks for a digest algorithm the phone cannot answer"
        self.assertIn(why, snapshot(console, phone))
        self.assertIn(why.encode(), sip_log(phone))
        self.assertIn(b"SHA-512-256", sip_log(phone))
        # Tried again a minute later, not at once.
        self.assertIsNone(registrar.receive(3, "REGISTER"))

    def test_the_sip_parsers_errors_go_to_the_log_not_to_standard_error(self):
        # Before: nine lines on the quiet phone's standard error for each such message.
        phone, console = self.start()
        to = f"<sip:{phone.number}@{phone.address}>"
        for bad in ("<sip:[::1>", "\"a <sip:a@b>"):
            self.ua.send(self.ua.request("OPTIONS", f"sip:{phone.number}@{phone.address}", to,
                                         extra=f"Contact: {bad}\r\n"), (phone.address, 5060))
        wait_for(lambda: b"Missing" in sip_log(phone), 5, "the parser's errors in sip.log")
        self.assertEqual(phone.stderr(), "")

    def phones_rtp_port(self):
        sdp = self.answer.split("\r\n\r\n", 1)[1]
        return re.search(r"c=IN IP4 (\S+)", sdp).group(1), int(re.search(r"m=audio (\d+)", sdp).group(1))

    def send_rtp(self, source, target, count, gap=lambda n: 0.02, ssrc=0x51A7E):
        """count PCMU packets from source (address, port) to target, gap(n) seconds apart."""
        rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(rtp.close)
        rtp.bind(source)
        for n in range(count):
            rtp.sendto(struct.pack("!BBHII", 0x80, 0, n, n * 160, ssrc) + b"\xff" * 160, target)
            time.sleep(gap(n))

    def call_stats(self, console):
        console.ok("CallStats")
        line = console.event("Event : CallStatsUpdate,")
        return {name: int(re.search(rf"{name}=(\d+)", line).group(1)) for name in ("Recvd", "Jitter")}

    def test_call_stats_give_the_received_audios_jitter_in_milliseconds(self):
        # Before: the library's figure in seconds, so 20 ms of jitter showed Jitter=0.
        phone, console = self.start()
        self.answered_call(phone, console)
        # PCMU, 20 ms a packet, sent alternately at once and 40 ms later: 20 ms of jitter
        # (RFC 3550 6.4.1), over two of the phone's reports.
        self.send_rtp((self.ua.address, 5998), self.phones_rtp_port(), 300, lambda n: 0.04 if n % 2 else 0)
        jitter = self.call_stats(console)["Jitter"]
        self.assertTrue(10 <= jitter <= 40, f"Jitter={jitter}")

    def test_media_from_a_host_the_far_end_did_not_give_is_dropped_and_counted(self):
        # Before: a third host's packets counted as the call's (Recvd=300, Jitter in the
        # thousands) and were played, in a call whose far end sent nothing.
        phone, console = self.start()
        self.answered_call(phone, console)
        target = self.phones_rtp_port()
        self.send_rtp((self.p.addresses.take(), 5998), target, 300, lambda n: 0.002, ssrc=0xBAD)
        self.assertRegex(snapshot(console, phone), r"rtp_received=0\n  rtp_lost=\d+\n  rtp_discarded=\d+\n"
                                                   r"  rtp_late=\d+\n  rtp_foreign=300\n  jitter_ms=0\n")
        self.assertIn(b"a host its far end did not give", sip_log(phone))
        # The far end itself, from its SDP's address, is still heard.
        self.send_rtp((self.ua.address, 5998), target, 50)
        self.assertEqual(self.call_stats(console)["Recvd"], 50)

class Soak(PhoneCase):
    """The attacks above mixed, for QUVO_SIP_SOAK_SECONDS (90 by default), with calls placed
    and answered through the console between them."""

    def test_mixed_attacks_leave_the_phone_answering_and_flat(self):
        seconds = float(os.environ.get("QUVO_SIP_SOAK_SECONDS", "90"))
        far = self.far_end()
        caller = self.far_end(auto_answer=False)
        phone, console = self.start_phone()
        a = Attacker(self, phone)
        ua, target, uri, to, sdp = a.ua, a.target, a.uri, a.to, a.sdp
        folder = core_folder(phone)

        def attacks(n):
            yield ua.request("INVITE", uri, to, display="A" * 1100, body=sdp)
            yield ua.request("INVITE", uri, to, extra=f"Contact: <sip:{'c' * 12000}@x>\r\n", body=sdp)
            yield ua.request("REFER", uri, to + ";tag=x", extra=f"Refer-To: <sip:9{n}@{ua.address}?Route=x>\r\n")
            for m in range(20):
                yield ua.request("MESSAGE", uri, to, from_tag=f"m{n}-{m}", body="x" * 30000)
            for m in range(30):
                yield options(ua, phone, m)

        samples = []
        rounds = 0
        start = time.monotonic()
        while time.monotonic() - start < seconds or rounds < 3:
            rounds += 1
            for data in attacks(rounds):
                ua.send(data, target)
                time.sleep(0.01)
            while ua.receive(0.05) is not None:
                pass  # its answers
            # A call out and a call in, through the console.
            self.connect(console, far)
            console.ok("EndCall")
            wait_for(lambda: console.output().count(state(0, "TsIdle")) >= 2 * rounds - 1, 10, "the call to end")
            rings = console.output().count("Event : IncomingCall")
            caller.dial(f"sip:{phone.number}@{self.proxy.address}:{self.proxy.port}")
            wait_for(lambda: console.output().count("Event : IncomingCall") > rings, 10, "the incoming call")
            console.ok("Answer")
            wait_for(lambda: console.output().count(state(5, "TsConnected")) >= 2 * rounds, 10, "the answer")
            console.ok("EndCall")
            wait_for(lambda: console.output().count(state(0, "TsIdle")) >= 2 * rounds, 10, "the call to end")
            if rounds == 2 or time.monotonic() - start >= seconds:
                time.sleep(0.5)
                samples.append((*process_status(phone.proc.pid), folder_bytes(folder, ("sip.log",)),
                                folder_bytes(folder)))
            if len(samples) == 2:
                break
        self.assertIsNone(phone.proc.poll())
        (rss_warm, fds_warm, kept_warm, _), (rss_end, fds_end, kept_end, all_end) = samples
        print(f"soak: {rounds} rounds in {time.monotonic() - start:.0f} s; RSS {rss_warm} -> {rss_end} kB, "
              f"descriptors {fds_warm} -> {fds_end}, state folder {all_end} bytes", file=sys.stderr)
        if not SANITIZED:
            self.assertLess(rss_end - rss_warm, 10000, samples)
        self.assertLessEqual(fds_end - fds_warm, 4, samples)
        self.assertEqual(kept_end, kept_warm, samples)
        self.assertLess(all_end, 5 << 20, samples)  # the log is rotated at 2 MiB, one old part kept


if __name__ == "__main__":
    unittest.main(verbosity=2)
