"""quvo-sipphone as a new user meets it with a real server: a registrar that checks passwords
and domains, calls that fail and say why, subscriptions it cannot serve, the registrar probe's
pace, settings that make no identity, and a call waiting turned away with a softkey."""

import os
import shutil
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from peers import (CALL_MANAGER_DOWN, CALL_MANAGER_UP, Kamailio, Peers, PhoneCase, RawUa,  # noqa: E402
                   SipPhone, have_peers, make_ca, phone_env, response, sip_log, sipphone_path, snapshot, state,
                   stop_process, wait_for)

import harness  # noqa: E402  (on the path once peers is imported)

USERS = {"5501": "right-5501", "5502": "right-5502"}


class Authentication(PhoneCase):
    proxy_options = {"users": USERS}

    def test_a_wrong_password_is_not_tried_again_and_again(self):
        # The right one registers.
        self.start_phone(user="5501", password=USERS["5501"])
        phone, console = self.start_phone(user="5502", password="wrong", registers=False)
        console.expect(CALL_MANAGER_DOWN, 15)
        started = time.monotonic()
        time.sleep(20)
        registers = [s for s in self.proxy.seen("REGISTER") if s[1].startswith("sip:5502@")]
        print(f"wrong password: {len(registers)} REGISTERs in {time.monotonic() - started + 1:.0f} s",
              file=sys.stderr)
        # Before: one every second, for as long as the phone ran.
        self.assertLessEqual(len(registers), 3, registers)
        self.assertNotIn(CALL_MANAGER_UP, console.output())
        self.assertIn(b"the registrar refuses these credentials, next try in 60 s", sip_log(phone))
        self.assertIn("the registrar refuses these credentials", snapshot(console, phone))


class InUse(PhoneCase):
    def test_subscriptions_it_cannot_serve_are_refused(self):
        phone, _ = self.start_phone()
        ua = RawUa(self.p.addresses.take())
        self.addCleanup(ua.close)
        for event in ("presence", "dialog", "message-summary"):
            ua.send(ua.request("SUBSCRIBE", f"sip:{phone.number}@{phone.address}:5060",
                               f"<sip:{phone.number}@{phone.address}>", extra=f"Event: {event}\r\nExpires: 60\r\n"),
                    (phone.address, 5060))
            answer = ua.receive(5, "SIP/2.0 ")
            # Before: 200 for presence, nothing at all for dialog.
            self.assertIsNotNone(answer, event)
            self.assertTrue(answer.startswith("SIP/2.0 489 Bad Event\r\n"), answer)

    def test_a_failed_calls_reason_shows_on_the_line(self):
        phone, console = self.start_phone()
        # Unknown to the registrar: 404.
        console.ok("MakeCall 4711")
        console.expect(state(14, "TsInvalidNumber"), 10)
        console.expect(state(0, "TsIdle"), 5)
        # A far end that answers as it is told, called straight (no proxy in between).
        phone, console = self.start_phone(proxy=False)
        ua = RawUa(self.p.addresses.take())
        self.addCleanup(ua.close)
        for code, reason, shown in ((480, "Temporarily Unavailable", [state(7, "TsCongestion")]),
                                    (484, "Address Incomplete", [state(14, "TsInvalidNumber")]),
                                    (503, "Service Unavailable", [state(7, "TsCongestion")]),
                                    (600, "Busy Everywhere", [state(6, "TsBusy"), "Event : PartyBusy,"])):
            console.ok(f"MakeCall sip:{code}@{ua.address}:{ua.port}")
            invite = ua.receive(10, "INVITE")
            self.assertIsNotNone(invite)
            ua.send(response(invite, code, reason), (phone.address, 5060))
            for text in shown:
                console.expect(text, 10)
            console.expect(state(0, "TsIdle"), 5)

    def test_the_registrar_probe_keeps_the_pace_it_is_given(self):
        quick, quick_console = self.start_phone(settings={"sSipKeepAlive": "2"})
        usual, _ = self.start_phone()
        off, _ = self.start_phone(settings={"sSipKeepAlive": "0"})
        started = time.monotonic()
        time.sleep(9)

        def probes(phone):
            return [s for s in self.proxy.seen("OPTIONS") if s[1] == f"sip:probe@{phone.address}"
                    or s[1].startswith(f"sip:probe@{phone.address}:")]

        counts = [len(probes(p)) for p in (quick, usual, off)]
        print(f"registrar probes in {time.monotonic() - started:.0f} s: every 2 s {counts[0]}, default {counts[1]}, "
              f"off {counts[2]}", file=sys.stderr)
        # Before: one a second, whatever the setting.
        self.assertTrue(3 <= counts[0] <= 6, counts)
        self.assertLessEqual(counts[1], 1, counts)
        self.assertEqual(counts[2], 0, counts)
        # The loss shows within the interval and the round of 4 s.
        self.proxy.stop()
        try:
            stopped = time.monotonic()
            quick_console.expect(CALL_MANAGER_DOWN, 10)
            print(f"registrar loss shown after {time.monotonic() - stopped:.1f} s", file=sys.stderr)
        finally:
            self.proxy.start()
        quick_console.expect(CALL_MANAGER_UP, 20)

    def test_the_domain_is_the_registrars_host_unless_set(self):
        far = self.far_end()
        phone, console = self.start_phone(settings={"sSipDomain": ""})
        registers = [s for s in self.proxy.seen("REGISTER") if s[1].startswith(f"sip:{phone.number}@")]
        # Before: the phone's own listening address.
        self.assertEqual(registers[0][1:3], (f"sip:{phone.number}@{self.proxy.address}",) * 2)
        self.connect(console, far)
        invites = [s for s in self.proxy.seen("INVITE") if s[1].startswith(f"sip:{phone.number}@")]
        self.assertEqual(invites[-1][2], f"sip:{far.number}@{self.proxy.address}")
        console.ok("EndCall")

    def test_settings_that_make_no_identity_stop_the_phone_at_start(self):
        for domain, problem in (("[::1", "sSipDomain '[::1' is not a host name or address"),
                                ("bad host", "sSipDomain 'bad host' is not a host name or address")):
            env = phone_env()
            self.addCleanup(env.close)
            phone = SipPhone(env, self.p.addresses.take(), "1001", settings={"sSipDomain": domain}, wait=False)
            self.assertEqual(phone.proc.wait(15), 1)
            self.assertEqual(phone.stderr(), f"quvo-sipphone: {problem}\n")
        # A bare IPv6 address is taken as if bracketed (before: a phone that did nothing).
        phone, console = self.start_phone(proxy=False, settings={"sSipDomain": "::1"})
        self.assertIn("\ndomain=[::1]\n", snapshot(console, phone))

    def test_a_call_waiting_is_turned_away_by_its_reference(self):
        far = self.far_end()
        caller = self.far_end(auto_answer=False)
        phone, console = self.start_phone()
        self.connect(console, far)
        caller.dial(f"sip:{phone.number}@{self.proxy.address}:{self.proxy.port}")
        ring = console.event("Event : IncomingCall", 10)
        waiting = ring.split("CallRef=")[1].split(",")[0]
        console.ok(f"Softkey endcall 1 {waiting}")
        wait_for(lambda: "603" in caller.output() or "Decline" in caller.output(), 10, "the caller to be declined")
        wait_for(lambda: any(f"CallRef={waiting}," in e and "TsIdle" in e for e in console.events()), 5,
                 "the waiting call to end")
        # The call in talk goes on.
        self.assertFalse(any("TsIdle" in e and f"OtherParty={far.number}" in e for e in console.events()))
        self.assertEqual(console.run("Softkey endcall 1 99999").startswith("Error : "), True)
        console.ok("EndCall")
        console.expect(state(0, "TsIdle"), 10)


def port_free(address, port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind((address, port))
            return True
        except OSError:
            return False


def manual_examples():
    """The shell lines of each of quvo-sipphone(1)'s examples, as a reader would type them."""
    with open(os.path.join(harness.SOURCE_DIR, "man", "quvo-sipphone.1")) as f:
        page = f.read()
    blocks = page.split(".SH EXAMPLES", 1)[1].split(".SH SEE ALSO", 1)[0].split(".nf\n")[1:]
    return [block.split("\n.fi", 1)[0].replace("\\-", "-") for block in blocks]


@unittest.skipUnless(have_peers() and os.access(sipphone_path(), os.X_OK), "needs kamailio and quvo-sipphone")
class ManualPage(unittest.TestCase):
    def run_example(self, example, proxy_options, before=None):
        """Runs an example from an empty home with its registrar at 127.0.0.1 as it says."""
        p = Peers()
        try:
            return self.run_in(p, example, proxy_options, before)
        finally:
            p.close()  # the phone the example started in the background too
            wait_for(lambda: port_free("127.0.0.11", 5060), 10, "the example's phone to leave its port")

    def run_in(self, p, example, proxy_options, before):
        env = p.phone_env()
        env.env.pop("XDG_CONFIG_HOME")  # the example's ~/.config
        env.env.pop("XDG_STATE_HOME")
        env.env["PATH"] = os.pathsep.join([os.path.dirname(sipphone_path()), os.path.dirname(
            harness.console_command()[-1]), env.env["PATH"]])
        if before:
            before(p, env.root, proxy_options)
        proxy = Kamailio(p.root, "127.0.0.1", **proxy_options)
        p._own(proxy.stop, proxy)
        proxy.start()
        shell = harness.Process(["bash", "-e", "-c", example], env.env)
        p._own(lambda: stop_process(shell), shell)
        shell.expect("Event : Connected to CallManager", 20)
        settings = os.path.join(env.root, ".config", "Quelbo", "QUVO.ini")
        self.assertEqual(os.stat(settings).st_mode & 0o777, 0o600)
        shell.proc.stdin.write(b"Quit\n")
        shell.proc.stdin.flush()
        self.assertEqual(shell.proc.wait(10), 0, shell.stderr())
        return proxy.seen("REGISTER")

    def test_the_examples_work_as_written_from_an_empty_home(self):
        # Before: chmod ran before the file existed, which was then created 0644, and with the
        # password in it the phone refused to start.
        plain, tls = manual_examples()
        self.assertIn("sSipPassword=", plain)
        self.run_example(plain, {"port": 5070})

        def company_ca(p, home, options):  # the CA that the example's file names, in its place
            ca = make_ca(os.path.join(p.root, "ca"), "company")
            os.makedirs(os.path.join(home, ".config", "Quelbo"))
            shutil.copy(ca[0], os.path.join(home, ".config", "Quelbo", "company-ca.pem"))
            options["tls_ca"] = ca

        registers = self.run_example(tls, {"port": 5070, "tls_port": 5061,
                                           "users": {"1001": "other", "a1b2c3": "secret"}}, company_ca)
        self.assertIn("tls", {s[3] for s in registers})


if __name__ == "__main__":
    unittest.main(verbosity=2)
