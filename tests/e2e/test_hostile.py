"""The console against hostile peers and careless environments: a bus that goes
away, X servers that never answer, softphone texts that try to forge console
lines, bus clients that flood the console's connection, servers that answer
Extension Mobility requests with something unusable, and the inherited
descriptors and locale of the process that starts it, including a standard input
that cannot be read."""

import fcntl
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

import harness
from harness import wait_for, CALL_MANAGER_UP, CONNECTED, ConsoleTestCase, requires_simulator

SILENT = "> "




def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


class BusClient:
    """A bare D-Bus client on a unix socket address, enough to look names up and
    to send a flood of messages without waiting for anything."""

    def __init__(self, address):
        path = None
        for part in address.split(";")[0].split(":", 1)[1].split(","):
            key, _, value = part.partition("=")
            if key == "path":
                path = value
            elif key == "abstract":
                path = "\0" + value
        if path is None:
            raise unittest.SkipTest(f"bus address not understood: {address}")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(60)
        self.sock.connect(path)
        self.sock.sendall(b"\0AUTH EXTERNAL " + str(os.getuid()).encode().hex().encode() + b"\r\n")
        reply = b""
        while not reply.endswith(b"\r\n"):
            reply += self.sock.recv(256)
        if not reply.startswith(b"OK"):
            raise AssertionError(f"bus refused us: {reply!r}")
        self.sock.sendall(b"BEGIN\r\n")
        self.serial = 0
        self.buffer = b""
        self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello")

    def close(self):
        self.sock.close()

    @staticmethod
    def _pad(data, n):
        return data + b"\0" * (-len(data) % n)

    def message(self, kind, destination, path, interface, member, signature="", body=b"", flags=0):
        self.serial += 1
        fields = b""
        for code, sig, value in ((1, "o", path), (2, "s", interface), (3, "s", member), (6, "s", destination),
                                 (8, "g", signature)):
            if not value:
                continue
            fields = self._pad(fields, 8) + bytes([code, 1]) + sig.encode() + b"\0"
            raw = value.encode()
            if sig == "g":
                fields += bytes([len(raw)]) + raw + b"\0"
            else:
                fields = self._pad(fields, 4) + struct.pack("<I", len(raw)) + raw + b"\0"
        header = b"l" + bytes([kind, flags, 1]) + struct.pack("<III", len(body), self.serial, len(fields)) + fields
        return self._pad(header, 8) + body

    @staticmethod
    def string(text):
        raw = text.encode()
        return struct.pack("<I", len(raw)) + raw + b"\0"

    def _read_message(self):
        while True:
            if len(self.buffer) >= 16:
                body_length, _, fields_length = struct.unpack_from("<III", self.buffer, 4)
                header_length = 16 + fields_length + (-(16 + fields_length) % 8)
                total = header_length + body_length
                if len(self.buffer) >= total:
                    header, body = self.buffer[:header_length], self.buffer[header_length:total]
                    self.buffer = self.buffer[total:]
                    return header, body
            chunk = self.sock.recv(65536)
            if not chunk:
                raise AssertionError("bus connection closed")
            self.buffer += chunk

    def call(self, destination, path, interface, member, signature="", body=b""):
        """Calls a method and returns the reply's body (errors raise). Calls are
        made one at a time and everything else sent wants no reply, so the next
        reply is this call's."""
        self.sock.sendall(self.message(1, destination, path, interface, member, signature, body))
        while True:
            header, body = self._read_message()
            if header[1] == 3:
                raise AssertionError(f"{member} failed: {body!r}")
            if header[1] == 2:
                return body

    def names(self):
        body = self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames")
        (length,) = struct.unpack_from("<I", body, 0)
        pos, names = 4, []
        while pos < 4 + length:
            pos += -pos % 4
            (size,) = struct.unpack_from("<I", body, pos)
            names.append(body[pos + 4 : pos + 4 + size].decode())
            pos += 4 + size + 1
        return names

    def pid_of(self, name):
        body = self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetConnectionUnixProcessID", "s", self.string(name))
        return struct.unpack_from("<I", body, 0)[0]


@requires_simulator
class BusLoss(ConsoleTestCase):
    def setUp(self):
        super().setUp()
        self.sim = self.start_simulator()
        self.console = self.start_console()
        self.console.wait_until_bound()

    def end_bus(self):
        harness.stop_bus(self.env)
        # The simulator has lost its bus too; whether it stays is its own affair.
        time.sleep(0.5)

    def assert_answers_without_the_bus(self):
        c = self.console
        for line in ("Hold", "MakeCall 123", "Snapshot", "IPCCLogoutReasons"):
            with self.subTest(line=line):
                answer = c.command(line)
                self.assertRegex(answer, r"^> Error : (ERROR_[A-Z_]+|Automation failure 0x[0-9A-F]{8}( - .*)?)$")

    def test_the_console_outlives_its_bus_and_quits_cleanly(self):
        self.end_bus()
        self.assert_answers_without_the_bus()
        if self.sim.proc.poll() is not None:
            # The simulator ends with its bus: reported as any softphone that quits.
            self.console.expect(harness.DISCONNECTED)
        self.assertEqual(self.console.quit(), 0)
        self.assertNotIn("terminate", self.console.stderr())

    def test_a_softphone_that_outlives_the_bus_is_unreachable(self):
        # Frozen, the simulator keeps its presence lock: the commands reach for it
        # and find no bus.
        os.kill(self.sim.proc.pid, signal.SIGSTOP)
        try:
            self.end_bus()
            for line in ("Hold", "Snapshot"):
                self.assertRegex(self.console.command(line), r"^> Error : Automation failure 0x[0-9A-F]{8}( - .*)?$")
            self.assertEqual(self.console.command("MakeCall 1"), "> Error : ERROR_MAKE_CALL")
            self.assertEqual(self.console.quit(), 0)
        finally:
            os.kill(self.sim.proc.pid, signal.SIGCONT)

    def test_end_of_input_after_the_bus_went_away(self):
        self.end_bus()
        self.assert_answers_without_the_bus()
        self.console.close_input()
        self.assertEqual(self.console.wait_closed(), 0)


@requires_simulator
class HoardedMessages(ConsoleTestCase):
    MESSAGES = 100_000

    def test_messages_sent_to_the_console_do_not_pile_up(self):
        # Under AddressSanitizer, freed memory waits in a quarantine and would
        # count as grown.
        asan = self.env.env.get("ASAN_OPTIONS")
        self.env.env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "quarantine_size_mb=0"
        sim = self.start_simulator()
        console = self.start_console()
        console.wait_until_bound()
        self.assertEqual(console.command("Snapshot"), "")

        client = BusClient(self.env.env["DBUS_SESSION_BUS_ADDRESS"])
        self.addCleanup(client.close)
        own = [n for n in client.names() if n.startswith(":") and client.pid_of(n) == console.proc.pid]
        self.assertTrue(own, "the console has no connection on the bus")
        before = resident_kib(console.proc.pid)

        # Unicast signals and method calls that want no reply, as a bus tool or a
        # hostile client sends them, to every connection the console has.
        batch = []
        for i in range(self.MESSAGES):
            name = own[i % len(own)]
            if i % 2:
                batch.append(client.message(4, name, "/x", "org.example.Noise", "Noise", "s",
                                            client.string("n" * 200)))
            else:
                batch.append(client.message(1, name, "/", "org.freedesktop.DBus.Peer", "Ping", flags=1))
            if len(batch) == 1000:
                client.sock.sendall(b"".join(batch))
                batch = []
        # A ping that wants its answer comes last: once it is answered, the
        # console's connections have read everything before it.
        for name in own:
            client.call(name, "/", "org.freedesktop.DBus.Peer", "Ping")
        # Every call still succeeds, and reads whatever else is queued.
        for _ in range(3):
            self.assertEqual(console.command("Snapshot"), "")
        self.assertEqual(sim.log().count("Snapshot()"), 4)
        after = resident_kib(console.proc.pid)
        # About 1 KB for each message if they were kept.
        self.assertLess(after - before, 20 * 1024, f"resident memory grew from {before} KiB to {after} KiB")
        self.assertEqual(console.quit(), 0)


@requires_simulator
class ForgedLines(ConsoleTestCase):
    # A line end that would start a forged line, a carriage return that would
    # overwrite the real one, terminal escapes (set the title, clear the screen),
    # DEL, and C1 controls (NEL, CSI).
    HOSTILE = "a\nEvent : PartyHangup,  CallRef=1\r\x1b]0;owned\x07\x1b[2J\x7fb\u0085\u009bc"
    SHOWN = "a?Event : PartyHangup,  CallRef=1??]0;owned??[2J?b??c"

    def setUp(self):
        super().setUp()
        self.sim = self.start_simulator()
        self.console = self.start_console()
        self.console.wait_until_bound()

    def test_every_event_text_stays_on_its_line(self):
        h, shown = "s:" + self.HOSTILE, self.SHOWN
        cases = [
            ((4, "i:5", h, h), f"Event : IncomingCall, CallRef=5, Line={shown}, CallerID={shown}\n> "),
            ((11, "i:1", "i:7", "s:x", h, "i:5", h, "i:1", "i:0", "i:2"),
             f"Event : LineUpdate, Line=1({shown}|x), Button=2, State=5(TsConnected), CallRef=7, "
             f"Direction=outgoing, OtherParty={shown}\n> "),
            ((12, "i:3", h, "i:0", "i:4"), f"Event : SpeedDialUpdate, Speeddial=3({shown}), Button=4\n> "),
            ((13, h), f"Event : CallParkReturned, ParkedAt={shown}\n> "),
            ((18, "i:4", h), f"Event : IPCC agent state 4 (Ready) {shown}\n> "),
            ((19, "i:1", "i:10", h), f"Event : IPCC Logout Reason Code 10 - {shown} \n> "),
            ((19, "i:2", "i:11", h), f"Event : IPCC NotReady Reason Code 11 - {shown} \n> "),
            ((20, "i:7", h, h, h, "i:1", "i:2", "i:3", "i:4", "i:5", "i:6"),
             f"Event : CallStatsUpdate, CallRef=7, Codec={shown}, ThisStation={shown}, OtherStation={shown}, "
             "CallLen=1, Sent=2, Recvd=3, Lost=4, Discarded=5, Jitter=6\n"),
        ]
        for args, line in cases:
            with self.subTest(dispid=args[0]):
                self.sim.ctl("fire", *args)
                self.console.expect(line)
        output = self.console.output()
        for control in "\r\x1b\x07\x7f\u0085\u009b":
            self.assertNotIn(control, output)
        for line in output.split("\n"):
            self.assertFalse(line.lstrip("> ").startswith("Event : PartyHangup"), "a forged line was printed")

    def test_a_failure_text_stays_on_its_line(self):
        self.sim.ctl("fail", "Hold", "no call\n> Error : ERROR_NOT_INITIALIZED\r\x1b[2J\u009b")
        self.assertEqual(self.console.ask("Hold"),
                         "> Error : Automation failure 0x80004005 - no call?> Error : ERROR_NOT_INITIALIZED??[2J?\n> ")


@requires_simulator
class CharacterSets(ConsoleTestCase):
    def test_the_c_and_posix_locales_are_read_and_written_as_utf8(self):
        sim = self.start_simulator()
        for locale in ("C", "POSIX"):
            with self.subTest(locale=locale):
                self.env.env["LC_ALL"] = locale
                console = self.start_console()
                console.wait_until_bound()
                sim.ctl("fire", 4, "i:9", "s:1001", "s:Zoë Ünal")
                console.expect("Event : IncomingCall, CallRef=9, Line=1001, CallerID=Zoë Ünal\n> ")
                sim.ctl("clear-log")
                # command() follows the prompts past the call's own event lines.
                self.assertEqual(console.command("MakeCall Zoë"), "")
                self.assertEqual(sim.log()[0], 'MakeCall("Zoë")')
                self.assertEqual(console.quit(), 0)

    def test_the_failure_text_is_converted_like_event_texts(self):
        locales = tempfile.mkdtemp(prefix="quvo-locale-", dir=self.env.root)
        name = "en_US.ISO-8859-1"
        made = subprocess.run(["localedef", "-i", "en_US", "-f", "ISO-8859-1", os.path.join(locales, name)],
                              capture_output=True)
        if made.returncode != 0:
            self.skipTest("cannot make a Latin-1 locale")
        # glibc keeps the list of locale folders for the life of the process; a
        # leak checker sees it as lost.
        suppressions = os.path.join(locales, "lsan.supp")
        with open(suppressions, "w") as f:
            f.write("leak:__argz_add_sep\n")
        lsan = self.env.env.get("LSAN_OPTIONS")
        self.env.env.update(LOCPATH=locales, LC_ALL=name,
                            LSAN_OPTIONS=(lsan + ":" if lsan else "") + f"suppressions={suppressions}")
        sim = self.start_simulator()
        console = self.start_console()
        console.wait_until_bound()
        sim.ctl("fail", "Hold", "état €")
        sim.ctl("fire", 13, "s:état €")
        console.send("Hold")
        # Compared as bytes: Latin-1 é, and '?' for the euro sign it lacks.
        deadline = time.monotonic() + 10
        wanted = [b"Event : CallParkReturned, ParkedAt=\xe9tat ?\n",
                  b"> Error : Automation failure 0x80004005 - \xe9tat ?\n"]
        while not all(w in bytes(console._data) for w in wanted):
            self.assertLess(time.monotonic(), deadline, bytes(console._data))
            time.sleep(0.05)
        self.assertEqual(console.quit(), 0)


class SilentServer:
    """A TCP listener on loopback that accepts connections and never says a word."""

    def __init__(self, port_range):
        self.sock = None
        for port in port_range:
            candidate = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            try:
                candidate.bind(("127.0.0.1", port))
            except OSError:
                candidate.close()
                continue
            self.sock, self.port = candidate, port
            break
        if self.sock is None:
            raise unittest.SkipTest("no free port")
        self.sock.listen(16)
        self.accepted = []
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted.append(conn)

    def close(self):
        self.sock.close()
        for conn in self.accepted:
            conn.close()


def x_setup_success(request):
    """The answer of an X server with one screen and nothing else to a connection
    set-up request, in the byte order that the request asks for."""
    order = "<" if request[:1] == b"l" else ">"
    vendor = b"fake"
    fixed = struct.pack(order + "IIIIHHBBBBBBBB4x", 1, 0x200000, 0x1FFFFF, 0, len(vendor), 65535, 1, 0, 0, 0, 32,
                        32, 8, 255)
    screen = struct.pack(order + "IIIIIHHHHHHIBBBB", 0x100, 0x20, 0xFFFFFF, 0, 0, 800, 600, 200, 150, 1, 1, 0x21,
                         0, 0, 24, 0)
    extra = fixed + vendor + screen
    return struct.pack(order + "BxHHH", 1, 11, 0, len(extra) // 4) + extra


class FakeXServer:
    """An X server on a local socket, or on loopback TCP, that answers the set-up of
    its first connection and never says another word there; with refuse_requests
    it stops reading that connection, so that the client's next write finds it
    closed. Every later connection's set-up stalls, as one through an X11
    forwarder does whose far side stalls."""

    def __init__(self, path=None, port_range=None, refuse_requests=False):
        self.refuse_requests = refuse_requests
        self.connections = []
        self.requests = b""  # what came after the first set-up
        if path:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.bind(path)
        else:
            self.sock = SilentServer(port_range).sock
            self.port = self.sock.getsockname()[1]
        self.sock.listen(16)
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections.append(conn)
            if len(self.connections) == 1:
                try:
                    conn.sendall(x_setup_success(conn.recv(12)))
                    if self.refuse_requests:
                        conn.shutdown(socket.SHUT_RD)
                    else:
                        conn.settimeout(5)
                        self.requests = conn.recv(4096)
                except OSError:
                    pass

    def close(self):
        self.sock.close()
        for conn in self.connections:
            conn.close()


@requires_simulator
class UnansweringXServers(ConsoleTestCase):
    def check_show_and_hide_give_up(self, bound=20, rounds=1):
        self.start_simulator("--no-settings")
        console = self.start_console()
        console.wait_until_bound()
        for line in ("ShowProgram", "HideProgram") * rounds:
            with self.subTest(line=line):
                started = time.monotonic()
                self.assertEqual(console.ask(line, timeout=30), SILENT)
                self.assertLess(time.monotonic() - started, bound)
        self.assertEqual(console.quit(), 0)

    def test_a_server_that_stalls_the_set_up_or_the_requests_after_it(self):
        # The first command's connection is set up, its requests are never
        # answered; every later command's set-up is never answered.
        server = FakeXServer(port_range=range(6000 + 60, 6000 + 100))
        self.addCleanup(server.close)
        self.env.env["DISPLAY"] = f"127.0.0.1:{server.port - 6000}"
        self.check_show_and_hide_give_up(bound=6, rounds=2)
        self.assertTrue(server.requests, "the set-up was not taken")
        self.assertGreaterEqual(len(server.connections), 2, "the console never tried the server")

    def test_a_server_that_refuses_requests_after_the_set_up(self):
        # A request written to the connection raises SIGPIPE, which must not end
        # the console.
        path = os.path.join(self.env.root, "x-socket")
        server = FakeXServer(path=path, refuse_requests=True)
        self.addCleanup(server.close)
        self.env.env["DISPLAY"] = path
        self.check_show_and_hide_give_up(bound=6)
        self.assertTrue(server.connections, "the console never tried the server")

    def test_display_names_of_odd_forms(self):
        server = SilentServer(range(6000 + 60, 6000 + 100))
        self.addCleanup(server.close)
        number = server.port - 6000
        names = [
            f"127.0.0.1:{number:07d}",  # leading zeros: display {number}, whose set-up is never answered
            f"127.0.0.1:{number + 16 * 65536}",  # more than five digits: the same port, cut to 16 bits
            f"tcp/127.0.0.1:{number:06d}.0",
            "localhost::0",  # DECnet
            "127.0.0.1:",
            "127.0.0.1:1.x",
            "carrier-pigeon/127.0.0.1:0",
        ]
        self.start_simulator("--no-settings")
        for name in names:
            with self.subTest(DISPLAY=name):
                self.env.env["DISPLAY"] = name
                console = self.start_console()
                console.wait_until_bound()
                for line in ("ShowProgram", "HideProgram"):
                    started = time.monotonic()
                    self.assertEqual(console.ask(line, timeout=30), SILENT, line)
                    self.assertLess(time.monotonic() - started, 6, line)
                self.assertEqual(console.quit(), 0)

    def test_a_listener_that_never_answers(self):
        server = SilentServer(range(6000 + 60, 6000 + 100))
        self.addCleanup(server.close)
        self.env.env["DISPLAY"] = f"127.0.0.1:{server.port - 6000}"
        self.check_show_and_hide_give_up()
        self.assertTrue(server.accepted, "the console never tried the server")

    @unittest.skipUnless(shutil.which("Xvfb"), "needs Xvfb")
    def test_a_stopped_x_server(self):
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"], pass_fds=(write_end,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()

        def end_xvfb():
            xvfb.kill()
            xvfb.wait()

        self.addCleanup(end_xvfb)
        self.assertTrue(number, "Xvfb did not start")
        self.env.env["DISPLAY"] = ":" + number
        xvfb.send_signal(signal.SIGSTOP)
        self.check_show_and_hide_give_up()


def processes_running(cmdline):
    found = []
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if f.read() == cmdline:
                    found.append(int(pid))
        except OSError:
            pass
    return found


def open_descriptors(pid):
    """The process's descriptors and what they lead to; one closed while it is listed is left out."""
    descriptors = {}
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            descriptors[fd] = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:
            pass
    return descriptors


@requires_simulator
class InheritedDescriptors(ConsoleTestCase):
    # The launched program stays, with whatever descriptors it was given.
    PROGRAM = "#!/bin/sh\nexec sleep 29.75\n"
    RUNNING = b"sleep\x0029.75\x00"

    def test_the_launched_program_gets_only_its_standard_streams(self):
        folder = os.path.join(self.env.root, "phone")
        os.makedirs(folder)
        with open(os.path.join(folder, "phone.sh"), "w") as f:
            f.write(self.PROGRAM)
        os.chmod(os.path.join(folder, "phone.sh"), 0o755)
        self.env.write_settings({"sExePath": folder, "sExeFileName": "phone.sh"})

        # A parent that hands the console a pipe (fd 7, not closed on exec) and
        # waits for its end.
        fifo = os.path.join(self.env.root, "parent-pipe")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        self.start_simulator("--no-settings")
        console = harness.start_console_through(self, f'exec 7>"{fifo}";')
        console.wait_until_bound()
        self.assertEqual(console.ask("RunProgram"), SILENT)
        (pid,) = wait_for(lambda: processes_running(self.RUNNING), what="the launched program")
        self.addCleanup(lambda: [os.kill(p, signal.SIGKILL) for p in processes_running(self.RUNNING)])

        # Its command line shows sleep as soon as it is executed, while sleep still
        # opens and closes files of its own (the locale's); a descriptor it was
        # given stays, so the listing is taken again until it is only the standard
        # streams or the time is up.
        streams = {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"}
        deadline = time.monotonic() + 5
        while True:
            descriptors = open_descriptors(pid)
            if descriptors == streams or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(descriptors, streams)

        # The parent sees its pipe's end as soon as the console is gone, although
        # the program it launched still runs.
        self.assertEqual(console.quit(), 0)
        self.assertEqual(select.select([reader], [], [], 10)[0], [reader], "the pipe stayed open")
        self.assertEqual(os.read(reader, 1), b"")
        self.assertEqual(processes_running(self.RUNNING), [pid])


@unittest.skipIf(harness.ON_WINDOWS_BUILD, "POSIX descriptors")
class UnreadableInput(ConsoleTestCase):
    """A standard input that fails to read ends the input as its end does; one that
    a parent made non-blocking is waited for."""

    def run_console(self, stdin, shell=""):
        argv = ["/bin/sh", "-c", shell + ' exec "$@"', "sh", *harness.console_command()]
        proc = subprocess.run(argv, stdin=stdin, capture_output=True, env=self.env.env, timeout=30)
        return proc.returncode, proc.stdout.decode(), proc.stderr.decode()

    def test_a_closed_input_or_a_folder_reads_as_the_end(self):
        for what, stdin, shell in (("closed", subprocess.DEVNULL, "exec 0<&-;"), ("a folder", None, 'exec 0</;')):
            with self.subTest(what):
                self.assertEqual(self.run_console(stdin, shell), (0, harness.BANNER + SILENT, ""))

    def test_a_non_blocking_input_is_waited_for(self):
        reader, writer = os.pipe()
        fcntl.fcntl(reader, fcntl.F_SETFL, fcntl.fcntl(reader, fcntl.F_GETFL) | os.O_NONBLOCK)
        proc = subprocess.Popen(harness.console_command(), stdin=reader, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env.env)
        os.close(reader)
        try:
            # Nothing to read for a while, then a line, then nothing again.
            time.sleep(1)
            os.write(writer, b"help zz\n")
            time.sleep(0.5)
            os.write(writer, b"foo\n")
        finally:
            os.close(writer)
        output, errors = proc.communicate(timeout=30)
        self.assertEqual((proc.returncode, errors), (0, b""))
        self.assertEqual(output.decode(), harness.BANNER + "> \n> > Error : ERROR_INVALID_COMMAND\n> ")


class UnusableAnswer(threading.Thread):
    """A one-shot HTTP 'server' on loopback that answers whatever it is asked with
    fixed bytes."""

    def __init__(self, answer):
        super().__init__(daemon=True)
        self.answer = answer
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]
        self.start()

    def run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(5)
                try:
                    conn.recv(65536)
                    conn.sendall(self.answer)
                    conn.shutdown(socket.SHUT_WR)
                    while conn.recv(65536):
                        pass
                except OSError:
                    pass

    def close(self):
        self.sock.close()


@requires_simulator
class UnusableServerAnswers(ConsoleTestCase):
    ANSWERS = {
        "a body without a status line": b"<xml>login successful</xml>\n",
        "another protocol's banner": b"SSH-2.0-OpenSSH_9.2p1\r\n",
        "an invalid status code": b"HTTP/1.1 2000 OK\r\nContent-Length: 5\r\n\r\n<a/>\n",
        "an over-long header": b"HTTP/1.1 200 OK\r\nX-Filler: " + b"x" * 300_000 + b"\r\n\r\n<a>login successful</a>",
    }

    def test_any_answer_from_a_server_is_an_unknown_response(self):
        self.start_simulator("--no-settings")
        for what, answer in self.ANSWERS.items():
            with self.subTest(what):
                server = UnusableAnswer(answer)
                self.addCleanup(server.close)
                self.env.write_settings({"IpAddress": server.address, "sDeviceName": "SEP1"})
                console = self.start_console()
                console.wait_until_bound()
                for line in ("EMLogin alice secret", "EMLogout"):
                    self.assertEqual(console.ask(line, timeout=30), "> Error : ERROR_EM_UNKNOWN_RESPONSE\n> ", line)
                self.assertEqual(console.quit(), 0)


if __name__ == "__main__":
    harness.main()
