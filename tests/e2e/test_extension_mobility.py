"""EMLogin and EMLogout end to end: the console's requests against the Extension
Mobility stand-in (exact URLs, the answers' classification), and against small
ad-hoc HTTP servers for answers and failures the stand-in never gives."""

import http.server
import os
import signal
import socket
import subprocess
import threading
import time
import unittest

import harness
from harness import ON_WINDOWS_BUILD, ConsoleTestCase

# The stand-in is a Linux program; the Windows build's console reaches it on loopback
# from under Wine, given its path in QUVO_EMAPP_SIM (scripts/test-windows.sh sets it).
EMAPP_SIM = os.environ.get("QUVO_EMAPP_SIM") or (
    "" if ON_WINDOWS_BUILD else os.path.join(harness.BUILD_DIR, "emapp-sim", "quvo-emapp-sim"))
requires_standin = unittest.skipUnless(
    EMAPP_SIM and os.access(EMAPP_SIM, os.X_OK),
    "the Linux Extension Mobility stand-in is not built (build the linux preset's quvo-emapp-sim and set "
    "QUVO_EMAPP_SIM to its path)")
DEVICE = "SEPQUVO0001"
# A command's whole answer, including the prompt that follows it.
LOGIN_OK = "> Event : Extension Mobility login successfull\n> "
LOGOUT_OK = "> Event : Extension Mobility logout successfull\n> "
SERVLET = "/emapp/EMAppServlet"


def error(name):
    return f"> Error : {name}\n> "


class EmAppSim:
    """The Extension Mobility stand-in on a free port, with its request log."""

    def __init__(self, folder, *options):
        self.log_path = os.path.join(folder, "emapp-requests.log")
        self.proc = subprocess.Popen(
            [EMAPP_SIM, "--port", "0", "--log", self.log_path, *options],
            stdout=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
            text=True,
        )
        line = self.proc.stdout.readline()
        if not line.startswith("listening on 127.0.0.1:"):
            self.proc.kill()
            raise AssertionError(f"quvo-emapp-sim did not start: {line!r}")
        self.address = line.split()[-1]

    def requests(self):
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path) as f:
            return f.read().splitlines()

    def stop(self):
        """Ends the server with SIGTERM; returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(10)
        finally:
            self.proc.stdout.close()


class EmConsoleTestCase(ConsoleTestCase):
    """A running softphone simulator (the commands' preconditions) and a console."""

    def setUp(self):
        super().setUp()
        self.start_simulator("--no-settings")

    def console_for(self, host, device=DEVICE):
        self.env.write_settings({"IpAddress": host, "sDeviceName": device})
        console = self.start_console()
        console.wait_until_bound()
        return console


@requires_standin
class AgainstTheStandIn(EmConsoleTestCase):
    def setUp(self):
        super().setUp()
        self.server = None

    def tearDown(self):
        if self.server:
            status = self.server.stop()
            self.assertEqual(status, 0, "quvo-emapp-sim did not end cleanly on SIGTERM")
        super().tearDown()

    def start_server(self, *options):
        self.server = EmAppSim(self.env.root, *options)
        return self.server

    def test_login_logout_cycle(self):
        server = self.start_server()
        console = self.console_for(server.address)
        self.assertEqual(console.ask("EMLogin alice secret"), LOGIN_OK)
        self.assertEqual(console.ask("emlogin alice secret"), error("ERROR_EM_ANOTHER_USER_LOGGED_ON"))
        self.assertEqual(console.ask("EMLogout further words"), LOGOUT_OK)
        # Nobody is logged on now: the refusal counts as a successful logout.
        self.assertEqual(console.ask("EMLogout"), LOGOUT_OK)
        query = f"GET {SERVLET}?device={DEVICE}"
        self.assertEqual(
            server.requests(),
            [f"{query}&userid=alice&seq=secret"] * 2 + [f"{query}&doLogout=true"] * 2,
        )

    def test_values_are_trimmed_and_percent_encoded(self):
        password = "p&w #%+x=y"
        server = self.start_server("--user", f"bob b:{password}", "--device", "SEP 1&2")
        console = self.console_for(server.address, device="SEP 1&2")
        self.assertEqual(console.ask(f'EMLogin "  bob b " " {password}  "'), LOGIN_OK)
        self.assertEqual(console.ask("EMLogout"), LOGOUT_OK)
        self.assertEqual(
            server.requests(),
            [
                f"GET {SERVLET}?device=SEP%201%262&userid=bob%20b&seq=p%26w%20%23%25%2Bx%3Dy",
                f"GET {SERVLET}?device=SEP%201%262&doLogout=true",
            ],
        )

    def test_letters_beyond_ascii_travel_as_utf8(self):
        # The console reads them in its own character set (the locale's, the ANSI code
        # page under Wine); the server gets UTF-8 either way.
        server = self.start_server("--user", "j\u00fcrgen:p\u00e4ssw\u00f6rd\u20ac")
        console = self.console_for(server.address)
        self.assertEqual(console.ask("EMLogin j\u00fcrgen p\u00e4ssw\u00f6rd\u20ac"), LOGIN_OK)
        self.assertEqual(
            server.requests(),
            [f"GET {SERVLET}?device={DEVICE}&userid=j%C3%BCrgen&seq=p%C3%A4ssw%C3%B6rd%E2%82%AC"],
        )

    def test_refusals(self):
        server = self.start_server("--user", "alice:secret", "--user", "carol:pw")
        console = self.console_for(server.address)
        self.assertEqual(console.ask("EMLogin alice Secret"), error("ERROR_EM_INVALID_CREDENTIALS"))
        self.assertEqual(console.ask("EMLogin mallory secret"), error("ERROR_EM_INVALID_CREDENTIALS"))
        self.assertEqual(console.ask("EMLogin carol pw"), LOGIN_OK)
        self.assertEqual(console.ask("EMLogin alice secret"), error("ERROR_EM_ANOTHER_USER_LOGGED_ON"))
        # The settings are read afresh by every command: another device is unknown.
        self.env.write_settings({"sDeviceName": "SEPOTHER"})
        self.assertEqual(console.ask("EMLogin alice secret"), error("ERROR_EM_UNKNOWN_DEVICE"))
        self.assertEqual(console.ask("EMLogout"), error("ERROR_EM_UNKNOWN_DEVICE"))
        self.assertEqual(len(server.requests()), 6)

    def test_missing_parameters_send_nothing(self):
        server = self.start_server()
        console = self.console_for(server.address)
        for line in ["EMLogin", "EMLogin alice", 'EMLogin alice "   "', 'EMLogin "" secret']:
            self.assertEqual(console.ask(line), error("ERROR_MISSING_PARAMETER"), line)
        self.assertEqual(server.requests(), [])

    def test_standin_drops_a_silent_client(self):
        # The stand-in serves one connection at a time; a client that never sends
        # its request must not block the console's request behind it.
        server = self.start_server()
        host, port = server.address.split(":")
        silent = socket.create_connection((host, int(port)))
        try:
            console = self.console_for(server.address)
            started = time.monotonic()
            self.assertEqual(console.ask("EMLogout", timeout=10), LOGOUT_OK)
            self.assertLess(time.monotonic() - started, 5)
        finally:
            silent.close()


class AdHocServer:
    """A threaded HTTP server on a free port; answer(handler) writes each response."""

    def __init__(self, answer):
        outer = self
        self.paths = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer.paths.append(self.path)
                answer(self)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.address = "127.0.0.1:%d" % self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def reply(status, body, content_type="text/xml", headers=()):
    def answer(handler):
        data = body if isinstance(body, bytes) else body.encode()
        handler.send_response(status)
        handler.send_header("Content-Type", content_type)
        handler.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            handler.send_header(name, value)
        handler.end_headers()
        try:
            handler.wfile.write(data)
        except OSError:
            pass  # the client gave up on an oversized body

    return answer


class AgainstOtherServers(EmConsoleTestCase):
    def serve(self, answer):
        server = AdHocServer(answer)
        self.addCleanup(server.stop)
        return server

    def login_against(self, answer):
        server = self.serve(answer)
        console = self.console_for(server.address)
        result = console.ask("EMLogin alice secret")
        self.assertEqual(console.stderr(), "", "the parser must not write diagnostics on the console")
        return result, server

    def test_document_text_is_the_character_data_only(self):
        split = "<?xml version='1.0'?><r><a>LOGIN </a><b><![CDATA[Succ]]>essful</b><!-- x --></r>"
        self.assertEqual(self.login_against(reply(200, split))[0], LOGIN_OK)
        # Phrases in markup (comments, attributes, element names) play no part.
        markup = "<r note='login successful'><!-- login successful --><login_successful/>no</r>"
        self.assertEqual(self.login_against(reply(200, markup))[0], error("ERROR_EM_UNKNOWN_RESPONSE"))

    def test_bodies_that_are_not_usable_xml(self):
        text = "Login Successful"
        for status, body, what in [
            (200, text, "plain text"),
            (200, f"<html><body><p>{text}</body></html>", "HTML that is not well formed"),
            (404, f"<r>{text}</r>", "XML in a 404"),
            (500, f"<r>{text}</r>", "XML in a 500"),
            (200, "", "empty body"),
            (200, "<r>" + "x" * (1 << 20) + f" {text}</r>", "body over 1 MiB"),
        ]:
            with self.subTest(what):
                self.assertEqual(self.login_against(reply(status, body))[0], error("ERROR_EM_UNKNOWN_RESPONSE"))

    def test_entities_are_never_expanded(self):
        secret = os.path.join(self.env.root, "secret.txt")
        with open(secret, "w") as f:
            f.write("Login Successful")
        external = f"<?xml version='1.0'?><!DOCTYPE r [<!ENTITY x SYSTEM 'file://{secret}'>]><r>&x;</r>"
        self.assertEqual(self.login_against(reply(200, external))[0], error("ERROR_EM_UNKNOWN_RESPONSE"))
        laughs = "<!ENTITY a 'Login Successful'>" + "".join(
            f"<!ENTITY {chr(98 + i)} '{('&' + chr(97 + i) + ';') * 10}'>" for i in range(9)
        )
        bomb = f"<?xml version='1.0'?><!DOCTYPE r [{laughs}]><r>&j;</r>"
        started = time.monotonic()
        self.assertEqual(self.login_against(reply(200, bomb))[0], error("ERROR_EM_UNKNOWN_RESPONSE"))
        self.assertLess(time.monotonic() - started, 5)

    def test_redirect_is_followed(self):
        def answer(handler):
            if "moved" in handler.path:
                reply(200, "<r>Logout Successful</r>")(handler)
            else:
                reply(302, "", headers=[("Location", SERVLET + "?moved=1")])(handler)

        server = self.serve(answer)
        console = self.console_for(server.address)
        self.assertEqual(console.ask("EMLogout"), LOGOUT_OK)
        self.assertEqual(server.paths, [f"{SERVLET}?device={DEVICE}&doLogout=true", f"{SERVLET}?moved=1"])

    def test_request_that_cannot_be_issued(self):
        # An empty host makes a URL that cannot be requested at all.
        console = self.console_for("")
        self.assertEqual(console.ask("EMLogin alice secret"), error("ERROR_EM_REQUEST_FAILED"))
        self.assertEqual(console.ask("EMLogout"), error("ERROR_EM_REQUEST_FAILED"))
        # A host that no URL can hold: refused before any request, on both targets alike (under
        # Wine it was ERROR_EM_UNKNOWN_RESPONSE).
        for host in ("[::1", "cm host"):
            self.env.write_settings({"IpAddress": host, "sDeviceName": DEVICE})
            self.assertEqual(console.ask("EMLogin alice secret"), error("ERROR_EM_REQUEST_FAILED"), host)
            self.assertEqual(console.ask("EMLogout"), error("ERROR_EM_REQUEST_FAILED"), host)
        # No settings at all read as empty values: the same outcome.
        self.env.remove_settings()
        self.assertEqual(console.ask("EMLogout"), error("ERROR_EM_REQUEST_FAILED"))
        self.assertTrue(self.env.settings_exist(), "the settings are created, empty")

    def test_server_that_never_answers(self):
        # Accepts connections (the kernel completes them) but never reads or answers.
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        self.addCleanup(silent.close)
        console = self.console_for("127.0.0.1:%d" % silent.getsockname()[1])
        started = time.monotonic()
        self.assertEqual(console.ask("EMLogin alice secret", timeout=60), error("ERROR_EM_UNKNOWN_RESPONSE"))
        elapsed = time.monotonic() - started
        self.assertGreater(elapsed, 10)
        self.assertLess(elapsed, 30)
        # The console is still answering.
        self.assertEqual(console.ask("EMLogin alice"), error("ERROR_MISSING_PARAMETER"))

    def test_server_that_trickles_its_answer(self):
        # The head at once, then the body a byte every half second: the bound is on
        # the whole request, not on each wait for more.
        def answer(handler):
            body = b"<r>Login Successful</r>".ljust(1000)
            handler.send_response(200)
            handler.send_header("Content-Type", "text/xml")
            handler.send_header("Content-Length", str(len(body)))
            handler.end_headers()
            try:
                for i in range(len(body)):
                    handler.wfile.write(body[i:i + 1])
                    handler.wfile.flush()
                    time.sleep(0.5)
            except OSError:
                pass  # the console gave up

        console = self.console_for(self.serve(answer).address)
        started = time.monotonic()
        self.assertEqual(console.ask("EMLogout", timeout=60), error("ERROR_EM_UNKNOWN_RESPONSE"))
        elapsed = time.monotonic() - started
        self.assertGreater(elapsed, 10)
        self.assertLess(elapsed, 30)


class Unreachable(EmConsoleTestCase):
    def test_closed_port_is_an_unknown_response(self):
        # A refused connection is a server that cannot be reached, not a request that
        # cannot be issued.
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        console = self.console_for(f"127.0.0.1:{port}")
        self.assertEqual(console.ask("EMLogin alice secret"), error("ERROR_EM_UNKNOWN_RESPONSE"))
        self.assertEqual(console.ask("EMLogout"), error("ERROR_EM_UNKNOWN_RESPONSE"))


if __name__ == "__main__":
    harness.main()
