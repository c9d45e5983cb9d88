"""A NAT of real network namespaces for the SIP tests, and a STUN/TURN server.

enter_private_network() moves the test process into a network namespace of its own: the
public side, where everything the test starts afterwards runs unless told otherwise. Nothing
there routes to any real interface, and a packet sent to a private address (one behind a
NAT) is dropped without a word, as on the Internet.

public_address() gives a server that binds its own address (Kamailio, coturn) an address
there (203.0.113.10, .11, ...). Host() is a machine of its own on the public side, for far
ends. Nat() is a home network: a LAN machine (10.X.Y.2) behind a router that masquerades it
behind 198.51.100.2 (the public side holding 198.51.100.1; a second Nat at once gets
198.18.N.0/24). run_inside() and start_inside() run a program in a Host or on a Nat's LAN.

Coturn() is a STUN server, and a TURN server with long-term credentials when given a user.
"""

import ctypes
import itertools
import os
import signal
import subprocess
import threading

from peers import Process, port_open, stop_process, wait_for

CLONE_NEWNET = 0x40000000
LINK_ADDRESS = "169.254.0.1"  # our end of every Host's veth
PRIVATE_RANGES = ("10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "100.64.0.0/10")

_private_net = None  # the namespace's inode once entered
_public_addresses = (f"203.0.113.{n}" for n in range(10, 255))
_numbers = itertools.count()
_public_prefixes_used = set()


def _run(*argv, input=None, check=True):
    result = subprocess.run(argv, input=input, capture_output=True, text=True, timeout=20)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed: {result.stderr.strip()}")
    return result.stdout


def _net_inode():
    return os.stat("/proc/thread-self/ns/net").st_ino


def enter_private_network():
    """Moves this process into a new network namespace with only lo (up) and a silent sink
    for the private ranges; again, does nothing. Only the calling thread moves (threads started
    earlier stay where they were), so the main thread must call it, before it starts any
    program that has to be on the public side."""
    global _private_net
    if _private_net is not None and _private_net == _net_inode():
        return
    if threading.current_thread() is not threading.main_thread():
        raise RuntimeError("enter_private_network() must run on the main thread")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, f"unshare(CLONE_NEWNET): {os.strerror(errno)}")
    # We route between the Hosts and the Nats, whatever the machine's own settings are (a new
    # namespace starts from them); veths made later take the "default" values.
    for name, value in (("ip_forward", 1), ("conf/all/rp_filter", 0), ("conf/default/rp_filter", 0)):
        with open(f"/proc/sys/net/ipv4/{name}", "w") as f:
            f.write(f"{value}\n")
    # The private ranges lead into a veth pair whose far end drops all (frames to a MAC not its
    # own): sending there succeeds and nothing arrives, as on the Internet. A blackhole route
    # would fail the sender's sendto() at once instead.
    _run("ip", "-batch", "-", input="link set lo up\nlink add quvo-void type veth peer name quvo-void-end\n"
         "link set quvo-void arp off\nlink set quvo-void up\nlink set quvo-void-end up\n"
         + "".join(f"route add {r} dev quvo-void\n" for r in PRIVATE_RANGES))
    _private_net = _net_inode()


def _require_private_network():
    if _private_net is None or _private_net != _net_inode():
        raise RuntimeError("call enter_private_network() first: this would change the machine's own network")


def public_address():
    """A new address of our namespace on the public side (on lo), for a server that binds it."""
    _require_private_network()
    address = next(_public_addresses)
    _run("ip", "addr", "add", f"{address}/32", "dev", "lo")
    return address


class _Prefixed(Process):
    """Sits between a Process class and Process itself: prefixes the command line."""

    prefix = ()

    def __init__(self, argv, env, **kwargs):
        super().__init__([*self.prefix, *argv], env, **kwargs)


class _Namespaces:
    """Named namespaces, and the veths of ours that lead into them; programs run in the first."""

    def __init__(self, kind):
        self.number = next(_numbers)
        self.namespaces = [f"quvo-{k}-{os.getpid()}-{self.number}" for k in kind]
        self._made = []  # namespaces, then our veths, as made

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def start(self):
        _require_private_network()
        try:
            for ns in self.namespaces:
                _run("ip", "netns", "add", ns)
                self._made.append(("netns", ns))
                _run("ip", "-n", ns, "link", "set", "lo", "up")
            self._build()
        except BaseException:
            self.close()
            raise
        return self

    def _link(self, name, peer, ns):
        """A veth from our namespace (name) to ns (peer)."""
        _run("ip", "link", "add", name, "type", "veth", "peer", "name", peer, "netns", ns)
        self._made.append(("link", name))

    def run_inside(self, argv):
        return ["ip", "netns", "exec", self.namespaces[0], *argv]

    def start_inside(self, cls, *args, **kwargs):
        """An instance of a harness.Process class (peers.Baresip, peers.SipPhone, ...) whose
        program runs inside: its command line gets the run_inside() prefix."""
        inside = type(f"Inside{cls.__name__}", (cls, _Prefixed), {"prefix": tuple(self.run_inside([]))})
        return inside(*args, **kwargs)

    def close(self):
        """Ends what still runs inside, removes the namespaces and our veths; may be called
        again, and after a failed start()."""
        made, self._made = self._made, []
        for kind, ns in made:
            for pid in _run("ip", "netns", "pids", ns, check=False).split() if kind == "netns" else ():
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except ProcessLookupError:
                    pass
        # The kernel tears a namespace down some time after its deletion: deleting our end of
        # each veth first takes the pair, its addresses and its routes with it at once.
        for kind, name in reversed(made):
            _run("ip", kind, "del", name, check=False)
        self._closed()

    def _closed(self):
        pass


class Host(_Namespaces):
    """A machine of its own on the public side, at .address. Far ends belong in one: a program
    that sends from a socket bound to no address (baresip's RTP) would otherwise send from
    whichever address of the public side the route picks, and a NAT drops that as a stranger."""

    def __init__(self):
        super().__init__(["host"])
        self.address = next(_public_addresses)

    def _build(self):
        ns, outside = self.namespaces[0], f"quvo-host{self.number}"
        self._link(outside, "eth0", ns)
        _run("ip", "-batch", "-", input=f"addr add {LINK_ADDRESS}/32 dev {outside}\nlink set {outside} up\n"
             f"route add {self.address}/32 dev {outside}\n")
        _run("ip", "-n", ns, "-batch", "-", input=f"addr add {self.address}/32 dev eth0\nlink set eth0 up\n"
             f"route add {LINK_ADDRESS} dev eth0\nroute add default via {LINK_ADDRESS}\n")


class Nat(_Namespaces):
    """A home network: one machine on a LAN (.lan_address, run_inside() runs there) behind a
    router (.gateway) that masquerades it behind .public_address. symmetric: each new flow
    gets a random public port (what STUN cannot see through) instead of keeping its LAN port."""

    def __init__(self, symmetric=False):
        super().__init__(["lan", "router"])
        self.symmetric = symmetric
        self.lan_ns, self.router_ns = self.namespaces
        lan = f"10.{os.getpid() % 200 + 20}.{self.number % 250 + 1}"
        self.lan_address, self.gateway = f"{lan}.2", f"{lan}.1"
        self._prefix = None

    def _build(self):
        self._prefix = next(p for p in itertools.chain(["198.51.100"], (f"198.18.{n}" for n in range(256)))
                            if p not in _public_prefixes_used)
        _public_prefixes_used.add(self._prefix)
        self.outside_address, self.public_address = f"{self._prefix}.1", f"{self._prefix}.2"
        router, lan, outside = self.router_ns, self.lan_ns, f"quvo-wan{self.number}"
        self._link(outside, "wan", router)
        _run("ip", "-batch", "-", input=f"addr add {self.outside_address}/24 dev {outside}\nlink set {outside} up\n"
             f"link add lan netns {router} type veth peer name eth0 netns {lan}\n")
        _run("ip", "-n", router, "-batch", "-", input=(
            f"link set wan up\nlink set lan up\naddr add {self.public_address}/24 dev wan\n"
            f"addr add {self.gateway}/24 dev lan\nroute add default via {self.outside_address}\n"))
        _run("ip", "-n", lan, "-batch", "-", input=(
            f"link set eth0 up\naddr add {self.lan_address}/24 dev eth0\nroute add default via {self.gateway}\n"))
        # A namespace made by ip takes the machine's forwarding and reverse-path settings: set
        # both. From the public side only answers to flows the LAN began come in. The router
        # drops the rest before connection tracking keeps them: a far end's packets that come
        # before the LAN's first would otherwise hold the public port, and the LAN's flow to
        # that far end would be mapped to another port for as long as they keep coming.
        mapping = "random" if self.symmetric else ""
        _run("ip", "netns", "exec", router, "sh", "-ec",
             "sysctl -qw net.ipv4.ip_forward=1 net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.wan.rp_filter=0"
             " net.ipv4.conf.lan.rp_filter=0; nft -f -", input=f"""
table ip quvo_nat {{
    chain postrouting {{ type nat hook postrouting priority srcnat; oifname "wan" masquerade {mapping}; }}
    chain input {{ type filter hook input priority filter; iifname "wan" ct state new drop; }}
    chain forward {{
        type filter hook forward priority filter; policy drop;
        iifname "lan" oifname "wan" accept
        ct state established,related accept
    }}
}}
""")

    def conntrack(self):
        """The router's connection tracking table as text: the mappings the NAT made."""
        return _run("ip", "netns", "exec", self.router_ns, "cat", "/proc/net/nf_conntrack")

    def _closed(self):
        _public_prefixes_used.discard(self._prefix)
        self._prefix = None


class Coturn:
    """turnserver on address:port (UDP and TCP) of the public side: STUN for anyone; TURN, with
    relays on the same address, only with user and password (long-term credentials, realm
    quvo.test). Writes only in its folder under root."""

    def __init__(self, root, address, port=3478, user=None, password=None, realm="quvo.test",
                 relay_ports=(49152, 49407)):
        self.address, self.port, self.user, self.password, self.realm = address, port, user, password, realm
        self.relay_ports = relay_ports
        self.dir = os.path.join(root, f"coturn-{address}-{port}")
        os.makedirs(self.dir, exist_ok=True)
        self.process = None

    def uri(self, scheme="stun"):
        return f"{scheme}:{self.address}:{self.port}"

    def start(self, timeout=10):
        # -v: without it no request is logged, --log-binding or not.
        argv = ["turnserver", "-n", "--no-cli", "--no-tls", "--no-dtls", "-v", "--log-binding", "--log-file=stdout",
                "--simple-log", f"--pidfile={self.dir}/turnserver.pid", f"--userdb={self.dir}/turndb",
                f"--listening-ip={self.address}", f"--listening-port={self.port}", f"--relay-ip={self.address}",
                f"--min-port={self.relay_ports[0]}", f"--max-port={self.relay_ports[1]}", f"--realm={self.realm}"]
        argv += ["--lt-cred-mech", f"--user={self.user}:{self.password}"] if self.user else ["--stun-only"]
        self.process = Process(argv, dict(os.environ, HOME=self.dir), stdin=subprocess.DEVNULL)
        try:
            wait_for(lambda: self.process.proc.poll() is not None or port_open(self.address, self.port),
                     timeout, "coturn to listen")
            if self.process.proc.poll() is not None:
                raise AssertionError(f"coturn ended: {self.log()} {self.process.stderr()}")
        except BaseException:
            self.stop()
            raise
        return self

    def log(self):
        """Its log so far (kept after stop()): a line for each request it answered ("BINDING
        processed, success", "ALLOCATE processed, success", ...)."""
        return self.process.output() if self.process else ""

    def stop(self):
        stop_process(self.process)
