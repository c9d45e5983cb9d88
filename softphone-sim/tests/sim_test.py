#!/usr/bin/env python3
"""End-to-end checks of quvo-softphone-sim, driven through its own ctl client.

Usage: sim_test.py SIMULATOR GROUP   (run inside dbus-run-session: one private bus per group)
"""

import fcntl
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

SIM = sys.argv[1]
GROUP = sys.argv[2]
SKIP = 77
WORK = tempfile.mkdtemp(prefix="quvo-sim-test-")
ENV = dict(os.environ,
           XDG_RUNTIME_DIR=os.path.join(WORK, "run"),
           XDG_CONFIG_HOME=os.path.join(WORK, "config"))
ENV.pop("DISPLAY", None)
os.makedirs(ENV["XDG_RUNTIME_DIR"], mode=0o700)
LOCK = os.path.join(ENV["XDG_RUNTIME_DIR"], "mutex_QUVO")
SETTINGS = os.path.join(ENV["XDG_CONFIG_HOME"], "Quelbo", "QUVO.ini")
RING_MS = 100


def ctl(*args, ok=True, env=ENV):
    r = subprocess.run([SIM, "ctl", *map(str, args)], env=env, capture_output=True, text=True, timeout=20)
    if ok and r.returncode != 0:
        raise AssertionError(f"ctl {args} failed: {r.stderr}")
    if ok is False and r.returncode == 0:
        raise AssertionError(f"ctl {args} succeeded unexpectedly")
    return r


def call(*args, ok=True):
    return ctl("call", *args, ok=ok)


def refuses(expected_text, *args):
    r = call(*args, ok=False)
    assert "com.quelbo.QUVO.Error.Failed" in r.stderr and expected_text in r.stderr, r.stderr


class Sim:
    def __init__(self, *options, env=ENV, wait=True):
        self.proc = subprocess.Popen([SIM, "--ring-ms", str(RING_MS), *options], env=env,
                                     stderr=subprocess.PIPE, text=True)
        if wait:
            ctl("wait", 5, env=env)

    def finish(self, timeout=5):
        rc = self.proc.wait(timeout)
        self.stderr = self.proc.stderr.read()
        return rc

    def stop(self):
        if self.proc.poll() is None:
            ctl("quit")
        return self.finish()


class Events:
    """Collects Event signals printed by "ctl events" as lines like 11(1,1001,...)."""

    def __init__(self, seconds=60):
        self.proc = subprocess.Popen([SIM, "ctl", "events", "0", str(seconds)], env=ENV,
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "listening"
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.strip())
                self.cond.notify_all()

    def take(self, count, timeout=3.0):
        """Waits for and removes the next count events."""
        with self.cond:
            assert self.cond.wait_for(lambda: len(self.lines) >= count, timeout), \
                f"wanted {count} events, have {self.lines}"
            taken, self.lines[:] = self.lines[:count], self.lines[count:]
            return taken

    def quiet(self, seconds):
        """Asserts that nothing arrives for a while."""
        time.sleep(seconds)
        with self.cond:
            assert not self.lines, f"unexpected events {self.lines}"

    def close(self):
        self.proc.kill()
        self.proc.wait()


def line(ref, state, other, direction):
    return f'11(1,{ref},"1001","1001",{state},"{other}",{direction},0,1)'


def lock_holder():
    """The probe's view of the lock: the pid field of F_OFD_GETLK (-1 for an OFD lock), 0 if free."""
    fd = os.open(LOCK, os.O_RDONLY | os.O_NOFOLLOW)
    try:
        req = struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
        l_type, _, _, _, pid = struct.unpack("hhqqi4x", fcntl.fcntl(fd, fcntl.F_OFD_GETLK, req))
        return 0 if l_type == fcntl.F_UNLCK else (pid or -1)
    finally:
        os.close(fd)


def name_owned():
    return ctl("wait", 0, ok=None).returncode == 0


# ---- groups ----------------------------------------------------------------------------------

def test_presence():
    sim = Sim("--no-window", "--no-settings")
    st = os.stat(LOCK)
    assert st.st_mode & 0o777 == 0o600, oct(st.st_mode)
    assert lock_holder() != 0

    # A second copy finds the lock and leaves without touching the bus name.
    r = subprocess.run([SIM, "--no-window", "--no-settings"], env=ENV, capture_output=True, text=True, timeout=5)
    assert r.returncode == 1 and "quvo-softphone-sim: another softphone is running" in r.stderr, r.stderr
    assert name_owned()

    # A copy with a lock of its own still cannot take the name from the first.
    other = dict(ENV, XDG_RUNTIME_DIR=os.path.join(WORK, "run2"))
    os.makedirs(other["XDG_RUNTIME_DIR"], mode=0o700)
    r = subprocess.run([SIM, "--no-window", "--no-settings"], env=other, capture_output=True, text=True, timeout=5)
    assert r.returncode == 1 and "com.quelbo.QUVO" in r.stderr, r.stderr

    # ExitProgram answers, then name and lock go.
    call("ExitProgram")
    assert sim.finish() == 0
    ctl("wait-gone", 2)
    assert lock_holder() == 0

    # SIGTERM ends it just as cleanly, and a new copy can start afterwards.
    sim = Sim("--no-window", "--no-settings")
    sim.proc.send_signal(signal.SIGTERM)
    assert sim.finish() == 0
    ctl("wait-gone", 2)
    assert lock_holder() == 0
    Sim("--no-window", "--no-settings").stop()

    # A client finds nothing to talk to once the softphone is gone.
    r = ctl("log", ok=False)
    assert "ServiceUnknown" in r.stderr, r.stderr


def read_settings():
    with open(SETTINGS, newline="") as f:
        return f.read()


def test_settings():
    # Created from nothing, with the default title.
    Sim("--no-window").stop()
    folder = os.path.dirname(os.path.realpath(SIM))
    assert read_settings() == (f"sExePath={folder}\nsExeFileName={os.path.basename(SIM)}\n"
                               "sPhoneOnline=Dorevirud Uvazed\n"), read_settings()

    # Lines of others survive; names match ignoring case; the saved title is reused.
    with open(SETTINGS, "w", newline="") as f:
        f.write("IpAddress=10.0.0.1\r\n; comment=x\nSEXEPATH=/old\r\nsphoneonline=My Phone\n\nsDeviceName= SEP01 \n")
    Sim("--no-window").stop()
    assert read_settings() == (f"IpAddress=10.0.0.1\r\n; comment=x\nSEXEPATH={folder}\r\nsphoneonline=My Phone\n\n"
                               f"sDeviceName= SEP01 \nsExeFileName={os.path.basename(SIM)}\n"), read_settings()
    assert not [n for n in os.listdir(os.path.dirname(SETTINGS)) if ".tmp" in n]

    # --title wins; --no-settings writes nothing.
    Sim("--no-window", "--title", "Other").stop()
    assert "sphoneonline=Other\n" in read_settings()
    before = read_settings()
    Sim("--no-window", "--no-settings", "--title", "Third").stop()
    assert read_settings() == before


def test_calls():
    sim = Sim("--no-window", "--quiet")
    ev = Events()

    call("MakeCall", "1234")
    assert ev.take(3) == [line(1001, 3, "1234", 1), line(1001, 5, "1234", 1), "3(1001)"]
    call("Hold")
    call("Resume", 0)
    call("EndCall")
    assert ev.take(3) == [line(1001, 8, "1234", 1), line(1001, 5, "1234", 1), line(1001, 0, "1234", 1)]

    # Refusals change nothing and send no events.
    refuses("call rejected", "MakeCall", "fail99")
    refuses("no destination", "MakeCall", "")
    refuses("no active call", "EndCall")
    refuses("no connected call", "Hold")
    refuses("no such call", "Answer", 0)
    refuses("no transfer in progress", "TransferComplete")
    refuses("no conference in progress", "ConferenceComplete")
    ev.quiet(0.2)

    # Busy: busy, then idle after another ring time.
    call("MakeCall", "busy5")
    assert ev.take(4) == [line(1002, 3, "busy5", 1), line(1002, 6, "busy5", 1), "2(1002)", line(1002, 0, "busy5", 1)]

    # Hanging up while it rings: the pending answer must not revive the call.
    call("MakeCall", "77", "EndCall")
    assert ev.take(2) == [line(1003, 3, "77", 1), line(1003, 0, "77", 1)]
    ev.quiet(2.5 * RING_MS / 1000)

    # Incoming, answered, far end hangs up.
    assert ctl("incoming", "5550123").stdout.strip() == "1004"
    assert ev.take(2) == ['4(1004,"1001","5550123")', line(1004, 4, "5550123", 0)]
    refuses("no such call", "Answer", 999)
    call("Answer", 1004)
    ctl("hangup")
    assert ev.take(3) == [line(1004, 5, "5550123", 0), "1(1004)", line(1004, 0, "5550123", 0)]
    r = ctl("hangup", ok=False)
    assert "no active call" in r.stderr

    # Consultative transfer.
    call("MakeCall", "100")
    ev.take(3)
    call("TransferInitiate", "200")
    assert ev.take(4) == [line(1005, 8, "100", 1), line(1006, 3, "200", 1), line(1006, 5, "200", 1), "3(1006)"]
    refuses("already in progress", "ConferenceInitiate", "300")
    call("TransferComplete")
    assert ev.take(4) == [line(1005, 10, "100", 1), line(1005, 0, "100", 1),
                          line(1006, 10, "200", 1), line(1006, 0, "200", 1)]

    # Conference cancelled with the endcall softkey, then completed.
    call("MakeCall", "100")
    ev.take(3)
    call("ConferenceInitiate", "300")
    ev.take(4)
    call("Softkey", "endcall", -1, -1)
    assert ev.take(2) == [line(1008, 0, "300", 1), line(1007, 5, "100", 1)]
    call("ConferenceInitiate", "400")
    ev.take(4)
    call("ConferenceComplete")
    assert ev.take(2) == [line(1007, 5, "Conference", 1), line(1009, 5, "Conference", 1)]
    call("EndCall")
    assert ev.take(2) == [line(1007, 0, "Conference", 1), line(1009, 0, "Conference", 1)]

    # One-step transfer; then statistics with and without a call.
    call("MakeCall", "500")
    ev.take(3)
    call("CallStats")
    stats = ev.take(1)[0]
    assert stats.startswith('20(1010,"G.711u","1001","500",'), stats
    call("Transfer", "600")
    assert ev.take(2) == [line(1010, 10, "500", 1), line(1010, 0, "500", 1)]
    call("CallStats")
    assert ev.take(1) == ['20(0,"","1001","",0,0,0,0,0,0)']

    # A second call puts the connected one on hold; answering does the same.
    call("MakeCall", "700")
    ev.take(3)
    ctl("incoming", "800")
    ev.take(2)
    call("Answer", 1012)
    assert ev.take(2) == [line(1011, 8, "700", 1), line(1012, 5, "800", 0)]
    refuses("call not on hold", "Resume", 1012)
    refuses("no such call", "Resume", 4242)
    call("Resume", 1011)
    assert ev.take(2) == [line(1012, 8, "800", 0), line(1011, 5, "700", 1)]
    call("EndCall", "Resume", 0, "EndCall")
    assert ev.take(3) == [line(1011, 0, "700", 1), line(1012, 5, "800", 0), line(1012, 0, "800", 0)]
    refuses("no held call", "Resume", 0)

    # A call waiting: EndCall ends the call in talk and leaves the waiting one ringing.
    call("MakeCall", "850")
    ev.take(3)
    ctl("incoming", "860")
    ev.take(2)
    call("EndCall")
    assert ev.take(1) == [line(1013, 0, "850", 1)]
    ev.quiet(0.1)
    call("Answer", 1014, "EndCall")
    assert ev.take(2) == [line(1014, 5, "860", 0), line(1014, 0, "860", 0)]

    # Softkeys act like their operations, never fail, and unknown names do nothing.
    ctl("incoming", "900")
    ev.take(2)
    call("Softkey", "answer", -1, -1, "Softkey", "HOLD", 1, -1, "Softkey", "resume", -1, 1015,
         "Softkey", "cfwdall", -1, -1, "Softkey", "endcall", -1, -1, "Softkey", "endcall", -1, -1)
    assert ev.take(4) == [line(1015, 5, "900", 0), line(1015, 8, "900", 0), line(1015, 5, "900", 0),
                          line(1015, 0, "900", 0)]
    ev.quiet(0.1)

    # Hook switch and the softkeys that stand for it.
    call("Softkey", "newcall", 1, -1)
    call("Softkey", "redial", -1, -1)
    assert ev.take(4) == [line(0, 1, "", 1), line(1016, 3, "850", 1), line(1016, 5, "850", 1), "3(1016)"]
    call("OnHook", 1)
    assert ev.take(2) == [line(1016, 2, "850", 1), line(1016, 0, "850", 1)]
    call("Messages")
    assert ev.take(1) == [line(1017, 3, "voicemail", 1)]
    ev.close()
    sim.stop()


def test_agent():
    sim = Sim("--no-window", "--quiet")
    ev = Events()
    refuses("agent not logged in", "IPCCSetState", "ready", "")
    refuses("agent not logged in", "IPCCLogout", "")
    refuses("invalid credentials", "IPCCLogin", "42", "bad", "1001")
    refuses("", "IPCCLogin", "", "pw", "1001")
    ev.quiet(0.1)

    call("IPCCLogin", "42", "pw", "1001")
    call("IPCCSetState", "WorkReady", "")
    call("IPCCSetState", "", "")
    refuses("invalid state", "IPCCSetState", "readyy", "")
    call("IPCCSetState", "worknotready", "12")
    call("IPCCLogout", "10")
    assert ev.take(5) == ['18(3,"agent 42")', '18(7,"agent 42")', '18(7,"agent 42")', '18(6,"agent 42")',
                          '18(2,"agent 42")']

    call("IPCCNotReadyReasons")
    reasons = ev.take(4)
    assert reasons[:3] == ['19(2,1,"Break")', '19(2,2,"Lunch")', '19(2,3,"Meeting")'], reasons
    call("IPCCLogoutReasons")
    assert all(e.startswith("19(1,") for e in ev.take(3))
    ev.close()
    sim.stop()


def test_control():
    sim = Sim("--no-window")
    ev = Events()

    # The log: every operation, refused ones included, strings quoted and escaped.
    call("Softkey", "endcall", -1, -1)
    call("SendDtmf", "1")
    call("IPCCLogin", "42", "pw", "1001")
    call("MakeCall", 'a"b\\c')
    refuses("no such call", "Answer", 0)
    ev.take(4)  # agent state, and the call rung and answered
    entries = ctl("log").stdout.splitlines()
    bodies = [e.split(" ", 1)[1] for e in entries]
    assert bodies == ['Softkey("endcall",-1,-1)', 'SendDtmf("1")', 'IPCCLogin("42","pw","1001")',
                      'MakeCall("a\\"b\\\\c")', "Answer(0)"], bodies
    stamps = [int(e.split(" ", 1)[0]) for e in entries]
    assert stamps == sorted(stamps) and stamps[0] >= 0
    ctl("clear-log")
    assert ctl("log").stdout == ""
    call("EndCall")
    ev.take(1)

    # Forced failures: one operation, every operation, cleared again.
    ctl("fail", "snapshot", "disk full")
    refuses("disk full", "Snapshot")
    call("Messages")  # others still work
    ev.take(3)
    ctl("fail", "*", "down")
    refuses("down", "EndCall")
    refuses("disk full", "Snapshot")  # the operation's own text wins
    ctl("fail", "*")
    call("Snapshot")
    call("EndCall")
    ev.take(1)
    r = ctl("fail", "NoSuchOp", "x", ok=False)
    assert "unknown operation" in r.stderr

    # Events fired verbatim, any number and type.
    ctl("fire", 11, "i:1", "i:7", "s:a", "s:b", "i:15", "s:x", "i:4", "i:0", "i:2")
    ctl("fire", 21)
    ctl("fire", 8, "i:-1", "b:true")
    assert ev.take(3) == ['11(1,7,"a","b",15,"x",4,0,2)', "21()", "8(-1,true)"]
    ctl("fire", 1, "x:1", ok=False)
    # Events by the names the console prints, in any letter case.
    ctl("fire", "PartyHangup", "i:5")
    ctl("fire", "callstatsupdate", "i:1", "s:c", "s:t", "s:o", "i:1", "i:2", "i:3", "i:4", "i:5", "i:6")
    assert ev.take(2) == ["1(5)", '20(1,"c","t","o",1,2,3,4,5,6)']

    # A delayed operation holds only its own caller, and its events follow its reply.
    ctl("delay", "MakeCall", 2000)
    started = time.monotonic()
    slow = subprocess.Popen([SIM, "ctl", "call", "MakeCall", "900"], env=ENV)
    time.sleep(0.1)
    call("SendDtmf", "5")
    assert slow.poll() is None
    assert slow.wait(5) == 0 and time.monotonic() - started >= 2.0
    assert ev.take(1) == [line(1003, 3, "900", 1)]
    ctl("delay", "MakeCall", 0)
    call("EndCall")
    ev.take(1)

    # Killed in the middle of a delayed command: the caller gets an error, not a hang.
    ctl("delay", "*", 3000)
    pending = subprocess.Popen([SIM, "ctl", "call", "Hold"], env=ENV, stderr=subprocess.PIPE, text=True)
    time.sleep(0.3)
    sim.proc.kill()
    sim.finish()
    assert pending.wait(5) == 1
    assert "NoReply" in pending.stderr.read()
    assert lock_holder() == 0
    ev.close()

    # Error replies as any D-Bus client sees them.
    sim = Sim("--no-window", "--quiet", "--fail-client-active")
    r = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=com.quelbo.QUVO",
                        "/com/quelbo/QUVO/Softphone", "com.quelbo.QUVO.Softphone.SetClientActive", "int32:1"],
                       env=ENV, capture_output=True, text=True, timeout=5)
    assert r.returncode != 0 and "com.quelbo.QUVO.Error.Failed" in r.stderr, r.stderr
    sim.stop()

    # Without the events interface: not introspected, nothing sent.
    sim = Sim("--no-window", "--quiet", "--no-events-interface")
    intro = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=com.quelbo.QUVO",
                            "/com/quelbo/QUVO/Softphone", "org.freedesktop.DBus.Introspectable.Introspect"],
                           env=ENV, capture_output=True, text=True, timeout=5).stdout
    assert "com.quelbo.QUVO.Softphone" in intro and "SoftphoneEvents" not in intro
    ev = Events()
    call("SetClientActive", 1)
    ctl("fire", 17)
    ev.quiet(0.2)
    ev.close()
    sim.stop()

    # Demo mode: incoming calls only once a client is active and the line is idle.
    sim = Sim("--no-window", "--quiet", "--incoming-after", "0.3")
    ev = Events()
    ev.quiet(0.5)
    call("SetClientActive", 1)
    assert ev.take(1) == ["16(1)"]
    first = ev.take(2, timeout=2)
    assert first[0].startswith("4(1001,") and ",4," in first[1], first
    call("Answer", 1001)
    call("EndCall")
    ev.take(2)
    assert ev.take(2, timeout=2)[0].startswith("4(1002,")
    ev.close()
    sim.stop()


def test_cli():
    usage = subprocess.run([SIM, "--help"], capture_output=True, text=True)
    assert usage.returncode == 0
    for word in ["--ring-ms", "--incoming-after", "--no-events-interface", "--fail-client-active", "--title",
                 "--no-window", "--no-settings", "--quiet", "FireEvent", "PlaceIncomingCall", "HangupFarEnd",
                 "FailOperation", "DelayOperation", "GetLog", "ClearLog", "Quit", "ctl fire", "ctl incoming",
                 "ctl hangup", "ctl fail", "ctl delay", "ctl log", "ctl clear-log", "ctl quit", "1500"]:
        assert word in usage.stdout, word

    # Bad options stop the program before it takes the lock or the name.
    for bad in (["--ring-ms", "x"], ["--ring-ms"], ["--incoming-after", "0"], ["--quiet=1"], ["extra"]):
        r = subprocess.run([SIM, *bad], env=ENV, capture_output=True, text=True, timeout=5)
        assert r.returncode == 1 and r.stderr.startswith("quvo-softphone-sim: "), (bad, r.stderr)
    assert not os.path.exists(LOCK)

    # Client usage errors are found before the bus is asked anything.
    for bad in (["frobnicate"], ["fire"], ["fire", "x"], ["fire", "1", "q:1"], ["fire", "1", "i:1x"],
                ["delay", "Hold"], ["call", "MakeCall"], ["call", "Hold", "Bogus"], ["call", "Answer", "abc"]):
        r = ctl(*bad, ok=False)
        assert r.stderr.startswith("quvo-softphone-sim ctl: ") and "ServiceUnknown" not in r.stderr, (bad, r.stderr)

    # The client's own help, and the event table, need no running simulator.
    for word in ("--help", "-h", "help"):
        r = ctl(word)
        assert r.stdout.startswith("Client mode") and "ctl events --list" in r.stdout, (word, r.stdout)
    table = ctl("events", "--list").stdout.splitlines()
    assert len(table) == 20 and table[0] == "1 PartyHangup I4", table
    assert "11 LineUpdate I4,I4,BSTR,BSTR,I4,BSTR,I4,I4,I4" in table and "17 ConnectionKeepAlive" in table
    assert "20 CallStatsUpdate I4,BSTR,BSTR,BSTR,I4,I4,I4,I4,I4,I4" in table
    for bad in (["fire", "NoSuchEvent"], ["events", "--list", "1"]):
        r = ctl(*bad, ok=False)
        assert r.stderr.startswith("quvo-softphone-sim ctl: "), (bad, r.stderr)

    # A client that expects events and gets too few says so.
    sim = Sim("--no-window", "--quiet", "--ring-ms=50")
    r = subprocess.run([SIM, "ctl", "events", "2", "0.3"], env=ENV, capture_output=True, text=True, timeout=5)
    assert r.returncode == 1 and r.stdout == "listening\n" and "0 of 2" in r.stderr, r
    sim.stop()


def test_window():
    if not shutil.which("Xvfb") or not shutil.which("xdotool") or not shutil.which("xprop"):
        print("Xvfb, xdotool or xprop missing: skipped")
        sys.exit(SKIP)
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "640x480x24"],
                            pass_fds=(write,), stderr=subprocess.DEVNULL)
    os.close(write)
    display = ":" + os.read(read, 32).decode().strip()
    env = dict(ENV, DISPLAY=display)
    try:
        sim = Sim("--no-settings", "--title", "Sim Phone Ä", env=env)
        ids = subprocess.run(["xdotool", "search", "--name", "^Sim Phone Ä$"], env=env,
                             capture_output=True, text=True).stdout.split()
        assert len(ids) == 1, ids
        props = subprocess.run(["xprop", "-id", ids[0], "_NET_WM_NAME", "WM_STATE"], env=env,
                               capture_output=True, text=True).stdout
        assert '"Sim Phone Ä"' in props and "Normal" in props, props

        # No window manager runs: the simulator answers the iconify request itself.
        subprocess.run(["xdotool", "windowminimize", ids[0]], env=env, check=True)
        for _ in range(50):
            props = subprocess.run(["xprop", "-id", ids[0], "WM_STATE"], env=env, capture_output=True,
                                   text=True).stdout
            if "Iconic" in props:
                break
            time.sleep(0.05)
        assert "Iconic" in props, props

        call("ExitProgram")
        assert sim.finish() == 0
        gone = subprocess.run(["xdotool", "search", "--name", "^Sim Phone"], env=env, capture_output=True)
        assert gone.returncode != 0

        # The X server going away does not take the softphone with it.
        sim = Sim("--no-settings", env=env)
        xvfb.kill()
        xvfb.wait()
        time.sleep(0.2)
        call("SendDtmf", "1")
        assert sim.stop() == 0
    finally:
        if xvfb.poll() is None:
            xvfb.kill()
            xvfb.wait()


if __name__ == "__main__":
    try:
        globals()["test_" + GROUP]()
    finally:
        subprocess.run([SIM, "ctl", "quit"], env=ENV, capture_output=True)
        shutil.rmtree(WORK, ignore_errors=True)
    print(f"{GROUP}: ok")
