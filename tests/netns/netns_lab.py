"""Hosts behind NAT routers in network namespaces of the caller's own, for tests and benchmarks.

Layout (every name carries a prefix unique to the process and the lab):
  wan  a bridge br0 for 198.51.100.0/24, "the internet"
  pub  198.51.100.1 on that bridge: the public host (rendezvous server, tracker, web server)
  r1   198.51.100.11, a router (iptables MASQUERADE, INPUT drops new inbound flows) whose LAN
       bridge holds h1 10.1.0.2 and h3 10.1.0.3
  r2   198.51.100.12, a router (nftables masquerade, input drops new inbound flows) for h2 10.2.0.2
The INPUT drop is what home routers do; without it an unsolicited punch leaves a conntrack entry
and the router remaps the next outbound flow, and no punch ever passes.

Options: `symmetric` names the routers that map every flow to a random port (--random-fully /
fully-random); `loss` (percent) and `delay_ms` act on the UDP datagrams each router forwards from
its LAN to the WAN, so the path between two hosts behind different routers loses `loss` % and
waits `delay_ms` in each direction, and a host's round trip to pub takes `delay_ms` more. The
kernel here has no netem: loss is an nftables numgen rule, delay the kf-nfqdelay helper on an
NFQUEUE, which drops everything when no helper reads it; check_round_trip() proves it reads.

Every namespace, link and process the lab made is gone after down(), also after a failed up().
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

NAMESPACES = ("wan", "pub", "r1", "r2", "h1", "h2", "h3")
HOSTS = {"h1": "10.1.0.2", "h2": "10.2.0.2", "h3": "10.1.0.3", "pub": "198.51.100.1"}
EXTERNAL = {"r1": "198.51.100.11", "r2": "198.51.100.12"}
ROUTER_OF = {"h1": "r1", "h3": "r1", "h2": "r2"}
PUB = HOSTS["pub"]
SKIPPED = 77
_QUEUE = 7  # the NFQUEUE number in each router namespace (queues are per namespace)
_serial = 0
_live = set()


def _down_and_exit(signum, _frame):
    # A test stopped from outside (ctest's time-out, ^C) still takes its namespaces down.
    for lab in list(_live):
        lab.down()
    os._exit(128 + signum)


def run(*argv, check=True, timeout=30):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)}: exit {result.returncode}: {result.stderr.strip()}")
    return result


def skip_reason(tools=()):
    """Why the lab cannot run here, or None. `tools` adds programs the caller needs."""
    for program in ("ip", "iptables", "nft", *tools):
        if shutil.which(program) is None:
            return f"{program} is missing (scripts/install-deps)"
    probe = f"kfp{os.getpid() % 100000}"
    if run("ip", "netns", "add", probe, check=False).returncode != 0:
        return "'ip netns add' is refused here (needs root)"
    run("ip", "netns", "del", probe, check=False)
    return None


def wait_until(condition, seconds, step=0.05):
    """True as soon as condition() is; False after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


# A UDP echo server (argv: address port), and a prober (argv: address port count gap_ms wait_ms)
# that prints {"sent", "received", "rtt_ms": [...]} as one JSON line. Run under `ip netns exec`.
_ECHO = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1], int(sys.argv[2])))
print("READY", flush=True)
while True:
    data, peer = s.recvfrom(2048)
    s.sendto(data, peer)
"""
_PROBE = """
import json, select, socket, struct, sys, time
host, port, count, gap, wait = sys.argv[1], int(sys.argv[2]), *map(int, sys.argv[3:6])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.connect((host, port))
sent, rtts, start = {}, [], time.monotonic()
def drain(until):
    while True:
        left = until - time.monotonic()
        if left <= 0 or not select.select([s], [], [], left)[0]:
            return
        data = s.recv(2048)
        number, = struct.unpack(">I", data[:4])
        if number in sent:
            rtts.append((time.monotonic() - sent.pop(number)) * 1000)
for number in range(count):
    sent[number] = time.monotonic()
    s.send(struct.pack(">I", number) + bytes(60))
    drain(time.monotonic() + gap / 1000)
drain(time.monotonic() + wait / 1000)
print(json.dumps({"sent": count, "received": len(rtts), "rtt_ms": rtts}))
"""


class Lab:
    def __init__(self, symmetric=(), loss=0, delay_ms=0, nfqdelay=None):
        global _serial
        _serial += 1
        self.prefix = f"kf{os.getpid() % 100000}n{_serial}"
        self.symmetric = set(symmetric)
        self.loss = int(loss)
        self.delay_ms = int(delay_ms)
        self.nfqdelay = nfqdelay
        if not 0 <= self.loss <= 100:
            raise ValueError("loss is a percentage")
        if self.delay_ms and not nfqdelay:
            raise ValueError("a delay needs the kf-nfqdelay program")
        self.links = []
        self.processes = []
        self.echo_ports = set()
        self.dir = tempfile.mkdtemp(prefix=f"{self.prefix}-")

    def ns(self, name):
        return f"{self.prefix}-{name}"

    def exec_argv(self, name, *argv):
        return ["ip", "netns", "exec", self.ns(name), *argv]

    def run_in(self, name, *argv, check=True, timeout=30):
        return run(*self.exec_argv(name, *argv), check=check, timeout=timeout)

    def _ip(self, name, *argv):
        run("ip", "-n", self.ns(name), *argv)

    def __enter__(self):
        try:
            self.up()
        except BaseException:
            self.down()
            raise
        return self

    def __exit__(self, *_):
        self.down()

    def up(self):
        _live.add(self)
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(signum, _down_and_exit)
        for name in NAMESPACES:
            run("ip", "netns", "add", self.ns(name))
            self._ip(name, "link", "set", "lo", "up")
        for name, bridge, address in (("wan", "br0", None), ("r1", "lanbr", "10.1.0.1/24")):
            self._ip(name, "link", "add", bridge, "type", "bridge")
            self._ip(name, "link", "set", bridge, "up")
            if address:
                self._ip(name, "addr", "add", address, "dev", bridge)
        self._link("pub", "wan", "wan", "p-pub", f"{PUB}/24", "br0")
        self._link("r1", "wan", "wan", "p-r1", f"{EXTERNAL['r1']}/24", "br0")
        self._link("r2", "wan", "wan", "p-r2", f"{EXTERNAL['r2']}/24", "br0")
        self._link("h1", "eth0", "r1", "p-h1", "10.1.0.2/24", "lanbr")
        self._link("h3", "eth0", "r1", "p-h3", "10.1.0.3/24", "lanbr")
        self._link("h2", "eth0", "r2", "lan", "10.2.0.2/24")
        self._ip("r2", "addr", "add", "10.2.0.1/24", "dev", "lan")
        for host, router in ROUTER_OF.items():
            gateway = "10.1.0.1" if router == "r1" else "10.2.0.1"
            self._ip(host, "route", "add", "default", "via", gateway)
        for router in ("r1", "r2"):
            self.run_in(router, "sysctl", "-qw", "net.ipv4.ip_forward=1")
        self._nat()
        if self.loss or self.delay_ms:
            self._shaping()

    def _link(self, a, a_if, b, b_if, address=None, bridge=None):
        # Made in the root namespace under passing names and moved away at once.
        number = len(self.links)
        ta, tb = f"{self.prefix}a{number}", f"{self.prefix}b{number}"
        self.links.append(ta)
        run("ip", "link", "add", ta, "type", "veth", "peer", "name", tb)
        for tmp, name, interface in ((ta, a, a_if), (tb, b, b_if)):
            run("ip", "link", "set", tmp, "netns", self.ns(name))
            self._ip(name, "link", "set", tmp, "name", interface)
            self._ip(name, "link", "set", interface, "up")
        if address:
            self._ip(a, "addr", "add", address, "dev", a_if)
        if bridge:
            self._ip(b, "link", "set", b_if, "master", bridge)

    def _nat(self):
        random = ["--random-fully"] if "r1" in self.symmetric else []
        self.run_in("r1", "iptables", "-t", "nat", "-A", "POSTROUTING", "-o", "wan", "-j",
                    "MASQUERADE", *random)
        self.run_in("r1", "iptables", "-A", "INPUT", "-i", "wan", "-m", "conntrack", "--ctstate",
                    "NEW", "-j", "DROP")
        masquerade = "masquerade random,fully-random" if "r2" in self.symmetric else "masquerade"
        self._nft("r2", "add table ip nat",
                  "add chain ip nat post { type nat hook postrouting priority 100 ; }",
                  f'add rule ip nat post oifname "wan" {masquerade}',
                  "add table ip filter",
                  "add chain ip filter input { type filter hook input priority 0 ; }",
                  'add rule ip filter input iifname "wan" ct state new drop')

    def _nft(self, router, *rules):
        for rule in rules:
            self.run_in(router, "nft", rule)

    def _shaping(self):
        for router in ("r1", "r2"):
            if self.loss:
                # Ahead of the filter hook's default priority, so lost packets never queue.
                self._nft(router, "add table ip kfshape",
                          "add chain ip kfshape out { type filter hook forward priority -10 ; }",
                          'add rule ip kfshape out oifname "wan" meta l4proto udp '
                          f"numgen random mod 100 < {self.loss} drop")
            if self.delay_ms:
                # The helper reads the queue before the rule sends packets there. (The queue is an
                # iptables target: this kernel lacks nftables' queue expression.)
                argv = [self.nfqdelay, "--queue", str(_QUEUE), "--delay-ms", str(self.delay_ms)]
                self.start(router, f"nfqdelay-{router}", argv, ready="ready")
                self.run_in(router, "iptables", "-A", "FORWARD", "-o", "wan", "-p", "udp", "-j",
                            "NFQUEUE", "--queue-num", str(_QUEUE))

    def start(self, name, label, argv, ready=None, seconds=20):
        """Starts argv in namespace `name`, output to <dir>/<label>.log; with `ready`, waits until
        that text is in the log (the process ending or the time running out fails)."""
        log_path = self.log_path(label)
        with open(log_path, "wb") as log:
            process = subprocess.Popen(self.exec_argv(name, *argv), stdout=log,
                                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.processes.append(process)
        if ready:
            wait_until(lambda: ready in self.log(label) or process.poll() is not None, seconds)
            if ready not in self.log(label):
                raise RuntimeError(f"{label} did not start:\n{self.log(label)}")
        return process

    def log_path(self, label):
        return os.path.join(self.dir, f"{label}.log")

    def log(self, label):
        with open(self.log_path(label), errors="replace") as f:
            return f.read()

    @staticmethod
    def stop(process, seconds=10):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=seconds)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=seconds)
        return process.returncode

    def start_rendezvous(self, program, port=82):
        self.start("pub", "rendezvous", [program, "--listen", f"{PUB}:{port}"],
                   ready=f"listening on {PUB}:{port}")
        return f"{PUB}:{port}"

    def start_tracker(self, info_hashes, port=6969):
        """opentracker on pub only, whitelisting the hex info-hashes; the announce address."""
        folder = os.path.join(self.dir, "tracker")
        os.makedirs(folder)
        with open(os.path.join(folder, "whitelist.txt"), "w") as f:
            f.write("".join(f"{h}\n" for h in info_hashes))
        # As root it chroots into its folder and becomes nobody: the folder must stay readable.
        for path in (self.dir, folder):
            os.chmod(path, 0o755)
        self.start("pub", "tracker", ["opentracker", "-i", PUB, "-p", str(port), "-P", str(port),
                                      "-d", folder, "-w", "/whitelist.txt"])
        if not wait_until(lambda: self._tcp_listens("pub", port), 10):
            raise RuntimeError(f"opentracker did not start:\n{self.log('tracker')}")
        return f"http://{PUB}:{port}/announce"

    def _tcp_listens(self, name, port):
        out = self.run_in(name, "ss", "-Hltn", f"sport = :{port}", check=False).stdout
        return f":{port}" in out

    def start_web(self, folder, port=80):
        """nginx on pub serving `folder` with ranges; the base address."""
        prefix = os.path.join(self.dir, "nginx")
        os.makedirs(prefix)
        temp = " ".join(f"{kind}_temp_path {prefix}/{kind};"
                        for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        with open(os.path.join(prefix, "nginx.conf"), "w") as f:
            # One process (no master), so that the PID the lab started is the server.
            f.write(f"daemon off; master_process off; pid {prefix}/nginx.pid;\n"
                    f"error_log {prefix}/error.log warn; events {{ worker_connections 64; }}\n"
                    f"http {{ access_log off; {temp} default_type application/octet-stream;\n"
                    f"  server {{ listen {PUB}:{port}; root {folder}; }} }}\n")
        self.start("pub", "nginx", ["nginx", "-p", prefix, "-e", f"{prefix}/error.log", "-c",
                                    "nginx.conf"])
        if not wait_until(lambda: self._tcp_listens("pub", port), 10):
            raise RuntimeError(f"nginx did not start:\n{self.log('nginx')}")
        return f"http://{PUB}:{port}"

    def probe(self, host, count, gap_ms=5, wait_ms=2000, port=7):
        """UDP datagrams from `host` to an echo server on pub; {"sent", "received", "rtt_ms"}."""
        if port not in self.echo_ports:
            self.start("pub", f"echo{port}", [sys.executable, "-c", _ECHO, PUB, str(port)],
                       ready="READY")
            self.echo_ports.add(port)
        out = self.run_in(host, sys.executable, "-c", _PROBE, PUB, str(port), str(count),
                          str(gap_ms), str(wait_ms), timeout=60 + count * gap_ms / 1000).stdout
        return json.loads(out)

    def check_round_trip(self, hosts=("h1", "h2")):
        """Raises unless each host's datagrams reach pub and come back within the set delay
        (plus 50 ms); a queue with no reader drops everything, so this proves the helper."""
        for host in hosts:
            result = self.probe(host, 5, gap_ms=100)
            if not result["received"] or min(result["rtt_ms"]) < self.delay_ms * 0.9 or \
                    min(result["rtt_ms"]) > self.delay_ms + 50:
                raise RuntimeError(f"round trip {host} to pub: {result} (delay {self.delay_ms})")

    def conntrack(self, router):
        """The router's conntrack table, one line per flow."""
        return self.run_in(router, "cat", "/proc/net/nf_conntrack").stdout.splitlines()

    def down(self):
        _live.discard(self)
        for process in reversed(self.processes):
            self.stop(process)
        for name in NAMESPACES:
            run("ip", "netns", "del", self.ns(name), check=False)
        for link in self.links:
            run("ip", "link", "del", link, check=False)
        shutil.rmtree(self.dir, ignore_errors=True)


def main(argv):
    """Command line: builds a lab, runs a command with the lab's names in its environment, takes
    the lab down, and answers the command's exit status (77 when the lab cannot be built here).
    KF_LAB_PREFIX: namespace NAME is "$KF_LAB_PREFIX-NAME"; KF_LAB_DIR: a folder that goes with
    the lab."""
    import argparse
    parser = argparse.ArgumentParser(prog="netns_lab.py", description=main.__doc__)
    parser.add_argument("--symmetric", action="append", default=[], choices=("r1", "r2"))
    parser.add_argument("--loss", type=int, default=0)
    parser.add_argument("--delay-ms", type=int, default=0)
    parser.add_argument("--nfqdelay")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("a command to run is needed")
    reason = skip_reason()
    if reason:
        print(f"netns_lab: {reason}", file=sys.stderr)
        return SKIPPED
    with Lab(args.symmetric, args.loss, args.delay_ms, args.nfqdelay) as lab:
        lab.check_round_trip()
        env = dict(os.environ, KF_LAB_PREFIX=lab.prefix, KF_LAB_DIR=lab.dir)
        return subprocess.run(command, env=env).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
