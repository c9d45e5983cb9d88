"""The SIP benchmark (run by scripts/bench-sip.sh): call set-up to an auto-answering far end
through a local proxy, placed four ways, each timed from the command to the answer:

  console     `MakeCall` written to the console (script mode) to its `PartyPickup` event line,
              through the bus and quvo-sipphone;
  in-process  the SIP library alone, no console, no bus (quvo_sip_call_bench), invite to Connected;
  baresip     `/dial` on its standard input to its "Call established" line;
  linphonec   `call` on its standard input to its "connected." line.

Then incoming calls: a raw caller sends an INVITE through the proxy, timed to the line each
phone prints for it (the console's `IncomingCall` event; baresip's and linphonec's incoming
call lines), printed after the table as lines of their own that begin with the phone's name.
Then the idle CPU and memory of quvo-sipphone, linphonec and baresip, registered, side by
side over the same minute, and the CPU each takes in a call.

    python3 tests/bench/sip_bench.py BUILD_DIR [CALLS] [IDLE_SECONDS]
"""

import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sip"))

BUILD = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else None
if BUILD:
    os.environ["QUVO_BUILD_DIR"] = BUILD
CALLS = int(sys.argv[2]) if len(sys.argv) > 2 else 50
IDLE_SECONDS = int(sys.argv[3]) if len(sys.argv) > 3 else 60
IN_CALL_SECONDS = 10

import peers  # noqa: E402

TICK = os.sysconf("SC_CLK_TCK")


def median_ms(samples):
    return f"{statistics.median(samples) * 1000:7.1f} ms (min {min(samples) * 1000:.1f}, max {max(samples) * 1000:.1f})"


def timed_calls(place, wait_answer, hang_up, wait_ended, count=CALLS):
    samples = []
    for _ in range(count):
        start = time.monotonic()
        place()
        wait_answer()
        samples.append(time.monotonic() - start)
        hang_up()
        wait_ended()
        time.sleep(0.2)
    return samples


class RawCaller:
    """Sends INVITEs through the proxy from a socket of its own and takes the answers."""

    def __init__(self, address, proxy):
        self.ua = peers.RawUa(address, user="2999")
        self.proxy = proxy
        self.n = 0

    def invite(self, number):
        """Sends one INVITE to number; returns (when it went out, its Call-ID)."""
        self.n += 1
        uri = f"sip:{number}@{self.proxy.address}"
        call_id = f"bench-in-{self.n}-{time.monotonic_ns()}"
        message = self.ua.request("INVITE", uri, f"<{uri}>", call_id=call_id, from_tag=f"b{self.n}",
                                  extra="Content-Type: application/sdp\r\n",
                                  body=peers.SDP.format(a=self.ua.address, rtp=30000 + 2 * (self.n % 1000)))
        start = time.monotonic()
        self.ua.send(message, (self.proxy.address, self.proxy.port))
        return start, call_id

    def end_answered(self, call_id):
        """An answered call (its 200) is acknowledged and hung up at once."""
        ok = self.ua.receive(5, "SIP/2.0 200")
        if ok is None or call_id not in ok:
            return
        contact = peers.header(ok, "Contact").split("<", 1)[-1].split(">", 1)[0]
        to = peers.header(ok, "To")
        host, _, port = contact.split("@", 1)[1].split(";", 1)[0].partition(":")
        target = (host, int(port or 5060))
        self.ua.send(self.ua.request("ACK", contact, to, from_tag=f"b{self.n}", call_id=call_id), target)
        self.ua.send(self.ua.request("BYE", contact, to, from_tag=f"b{self.n}", call_id=call_id, cseq=2), target)

    def drain(self):
        while self.ua.receive(0.05) is not None:
            pass


def incoming_calls(caller, number, rang, end, count=CALLS):
    """Seconds from each INVITE sent to the phone's line for it."""
    samples = []
    for _ in range(count):
        start, call_id = caller.invite(number)
        rang()
        samples.append(time.monotonic() - start)
        end(call_id)
        time.sleep(0.2)
        caller.drain()
    return samples


def cpu_percent(pids, seconds):
    """CPU of each process over the same `seconds`, in percent of one core."""
    before = {pid: peers.cpu_ticks(pid) for pid in pids}
    time.sleep(seconds)
    return {pid: 100.0 * (peers.cpu_ticks(pid) - before[pid]) / TICK / seconds for pid in pids}


def main():
    p = peers.Peers()
    results = []
    incoming = []
    try:
        proxy = p.kamailio()
        far = p.baresip("1002", proxy=proxy)
        target = f"sip:1002@{proxy.address}"

        # quvo-sipphone through the console.
        phone = console = None
        if peers.have_sipphone():
            env = p.phone_env()
            console = p.console(env)
            # Plain RTP, as the library alone below places its calls: the same offer and answer.
            phone = p.sipphone(env, "1001", proxy=proxy, settings={"sSipMediaEncryption": "none"})
            console.expect_all(["Event : Connected to softphone\n", peers.CALL_MANAGER_UP], 15)
            console.ok("MakeCall 1002")  # a first call, untimed: loads the codecs
            console.expect("Event : PartyPickup,", 10)
            console.ok("EndCall")
            console.expect(peers.state(0, "TsIdle"), 10)

            def place():
                console.proc.stdin.write(b"MakeCall 1002\n")
                console.proc.stdin.flush()

            def hang_up():
                console.proc.stdin.write(b"EndCall\n")
                console.proc.stdin.flush()

            samples = timed_calls(place, lambda: console.expect("Event : PartyPickup,", 10), hang_up,
                                  lambda: console.expect(peers.state(0, "TsIdle"), 10))
            results.append(("console -> bus -> quvo-sipphone (MakeCall to PartyPickup)", median_ms(samples)))
        else:
            results.append(("console -> bus -> quvo-sipphone", "not built"))

        # The library alone.
        bench = os.path.join(BUILD, "tests", "bench", "quvo_sip_call_bench")
        for period in (20, 1):
            run = subprocess.run([bench, "--listen", p.addresses.take(), "--user", "1900", "--proxy", proxy.uri,
                                  "--to", target, "--calls", str(CALLS), "--iterate-ms", str(period)],
                                 capture_output=True, text=True, timeout=300)
            line = next((lin for lin in run.stdout.splitlines() if lin.startswith("sip_call_bench:")), run.stderr)
            figures = dict(f.split("=") for f in line.split()[1:] if "=" in f)
            results.append((f"library in process, iterate every {period} ms (invite to Connected)",
                            f"{float(figures.get('median_connected_ms', 'nan')):7.1f} ms "
                            f"(min {figures.get('min_connected_ms')}, max {figures.get('max_connected_ms')})"))

        # baresip placing the call through its own standard input.
        caller = p.baresip("1003", proxy=proxy)
        samples = timed_calls(lambda: caller.dial(target), lambda: caller.expect("Call established", 10),
                              caller.hangup, lambda: caller.expect("terminate call", 10))
        results.append(("baresip, stdio (/dial to 'Call established')", median_ms(samples)))

        # linphonec through its standard input.
        lin = p.linphonec("1004", proxy=proxy)
        samples = timed_calls(lambda: lin.command(f"call {target}"), lambda: lin.expect("connected.", 10),
                              lambda: lin.command("terminate"), lambda: lin.expect("ended", 10))
        results.append(("linphonec, stdin (call to 'connected.')", median_ms(samples)))

        # Incoming calls, each phone rung by a raw caller through the proxy.
        raw = RawCaller(p.addresses.take(), proxy)
        if phone:
            def declined(_):
                console.ok("EndCall")  # the call ringing in is declined
                console.expect(peers.state(0, "TsIdle"), 10)

            samples = incoming_calls(raw, "1001", lambda: console.expect("Event : IncomingCall,", 10), declined)
            incoming.append(("quvo-sipphone incoming (INVITE sent to IncomingCall line)", median_ms(samples)))
        rung = p.baresip("1005", proxy=proxy, auto_answer=False, codecs=["PCMU/8000/1"])  # what the caller offers
        samples = incoming_calls(raw, "1005", lambda: rung.expect("Incoming call from:", 10),
                                 lambda _: (rung.hangup(), rung.expect("rejecting incoming call", 10)))
        incoming.append(("baresip incoming (INVITE sent to 'Incoming call from:' line)", median_ms(samples)))
        samples = incoming_calls(raw, "1004", lambda: lin.expect("Receiving new incoming call", 10),
                                 raw.end_answered)
        incoming.append(("linphonec incoming (INVITE sent to 'Receiving new incoming call' line)",
                         median_ms(samples)))
        raw.ua.close()

        # Idle, all registered, over the same stretch.
        idle_pids = {"baresip": caller.proc.pid, "linphonec": lin.proc.pid}
        if phone:
            idle_pids["quvo-sipphone"] = phone.proc.pid
        time.sleep(2)
        cpu = cpu_percent(list(idle_pids.values()), IDLE_SECONDS)
        for name, pid in idle_pids.items():
            rss, fds = peers.process_status(pid)
            results.append((f"{name} idle over {IDLE_SECONDS} s", f"CPU {cpu[pid]:.2f} % of a core, RSS {rss / 1024:.1f} MB"))

        # In a call, each as the caller of the same far end.
        in_call = []
        if phone:
            in_call.append(("quvo-sipphone", phone.proc.pid, lambda: console.ok("MakeCall 1002"),
                            lambda: console.expect("Event : PartyPickup,", 10), lambda: console.ok("EndCall")))
        in_call.append(("baresip", caller.proc.pid, lambda: caller.dial(target),
                        lambda: caller.expect("Call established", 10), caller.hangup))
        in_call.append(("linphonec", lin.proc.pid, lambda: lin.command(f"call {target}"),
                        lambda: lin.expect("connected.", 10), lambda: lin.command("terminate")))
        for name, pid, place, answered, hang_up in in_call:
            place()
            answered()
            time.sleep(0.5)
            cpu = cpu_percent([pid], IN_CALL_SECONDS)[pid]
            rss, _ = peers.process_status(pid)
            hang_up()
            time.sleep(1)
            results.append((f"{name} in a call ({IN_CALL_SECONDS} s)", f"CPU {cpu:.2f} % of a core, RSS {rss / 1024:.1f} MB"))
    finally:
        p.close()

    width = max(len(name) for name, _ in results)
    print(f"SIP call set-up, median of {CALLS} calls through Kamailio on loopback to an auto-answering baresip; "
          f"{os.cpu_count()} cores")
    for name, value in results:
        print(f"  {name:<{width}}  {value}")
    width = max((len(name) for name, _ in incoming), default=0)
    for name, value in incoming:
        print(f"{name:<{width}}  {value}")


if __name__ == "__main__":
    main()
