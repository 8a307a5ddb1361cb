#!/usr/bin/python3
"""LAN discovery between hosts in network namespaces of the test's own: h1 and h3 on one bridge
behind NAT router r1 find each other (h1 seeds, h3 downloads with no tracker and no peer address);
h2 behind NAT router r2 does not. Both routers masquerade and drop new inbound flows on the WAN
side, as home routers do (r1 with iptables, r2 with nftables).

usage: lan_netns_test.py --kfget PATH [unittest arguments]
Exit status 77 (skipped) without ip/iptables/nft/mktorrent or where 'ip netns add' is refused.
Every namespace and link the test made is deleted again; no link reaches the root namespace's
own interfaces.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

KFGET = None
PREFIX = f"kfl{os.getpid() % 100000}"
NAMES = ("wan", "r1", "r2", "h1", "h2", "h3")


def ns(name):
    return f"{PREFIX}-{name}"


def run(*argv, check=True):
    return subprocess.run(argv, capture_output=True, text=True, timeout=30, check=check)


def ip(name, *argv):
    run("ip", "-n", ns(name), *argv)


def skip_reason():
    for program in ("ip", "iptables", "nft", "mktorrent"):
        if shutil.which(program) is None:
            return f"{program} is missing (scripts/install-deps)"
    if run("ip", "netns", "add", ns("probe"), check=False).returncode != 0:
        return "'ip netns add' is refused here (needs root)"
    run("ip", "netns", "del", ns("probe"), check=False)
    return None


def topology_up(links):
    for name in NAMES:
        run("ip", "netns", "add", ns(name))
        ip(name, "link", "set", "lo", "up")

    def link(a, a_if, b, b_if, address=None, bridge=None):
        # Made in the root namespace under passing names and moved away at once.
        links.append(f"{PREFIX}a{len(links)}")
        ta, tb = links[-1], f"{PREFIX}b{len(links) - 1}"
        run("ip", "link", "add", ta, "type", "veth", "peer", "name", tb)
        for tmp, name, interface in ((ta, a, a_if), (tb, b, b_if)):
            run("ip", "link", "set", tmp, "netns", ns(name))
            ip(name, "link", "set", tmp, "name", interface)
            ip(name, "link", "set", interface, "up")
        if address:
            ip(a, "addr", "add", address, "dev", a_if)
        if bridge:
            ip(b, "link", "set", b_if, "master", bridge)

    for name, bridge, address in (("wan", "br0", None), ("r1", "lanbr", "10.1.0.1/24")):
        ip(name, "link", "add", bridge, "type", "bridge")
        ip(name, "link", "set", bridge, "up")
        if address:
            ip(name, "addr", "add", address, "dev", bridge)
    link("r1", "wan", "wan", "p-r1", "198.51.100.11/24", "br0")
    link("r2", "wan", "wan", "p-r2", "198.51.100.12/24", "br0")
    link("h1", "eth0", "r1", "p-h1", "10.1.0.2/24", "lanbr")
    link("h3", "eth0", "r1", "p-h3", "10.1.0.3/24", "lanbr")
    link("h2", "eth0", "r2", "lan", "10.2.0.2/24")
    ip("r2", "addr", "add", "10.2.0.1/24", "dev", "lan")
    for host, gateway in (("h1", "10.1.0.1"), ("h3", "10.1.0.1"), ("h2", "10.2.0.1")):
        ip(host, "route", "add", "default", "via", gateway)
    r1 = ("ip", "netns", "exec", ns("r1"))
    r2 = ("ip", "netns", "exec", ns("r2"))
    for router in (r1, r2):
        run(*router, "sysctl", "-qw", "net.ipv4.ip_forward=1")
    run(*r1, "iptables", "-t", "nat", "-A", "POSTROUTING", "-o", "wan", "-j", "MASQUERADE")
    run(*r1, "iptables", "-A", "INPUT", "-i", "wan", "-m", "conntrack", "--ctstate", "NEW",
        "-j", "DROP")
    for rule in ("add table ip nat",
                 "add chain ip nat post { type nat hook postrouting priority 100 ; }",
                 'add rule ip nat post oifname "wan" masquerade',
                 "add table ip filter",
                 "add chain ip filter input { type filter hook input priority 0 ; }",
                 'add rule ip filter input iifname "wan" ct state new drop'):
        run(*r2, "nft", rule)


def topology_down(links):
    for name in NAMES:
        run("ip", "netns", "del", ns(name), check=False)
    for link in links:
        run("ip", "link", "del", link, check=False)


class LanDiscoveryAcrossNamespaces(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        links = []
        cls.addClassCleanup(topology_down, links)
        topology_up(links)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kf-lan-netns-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.content = os.urandom(2 * 1024 * 1024 + 321)
        self.data = os.path.join(self.dir, "c.bin")
        with open(self.data, "wb") as f:
            f.write(self.content)
        self.torrent = os.path.join(self.dir, "c.torrent")
        run("mktorrent", "-d", "-p", "-l", "18", "-o", self.torrent, self.data)

    def kfget(self, host, address, file, *extra):
        log = open(os.path.join(self.dir, f"{host}.log"), "w")
        self.addCleanup(log.close)
        process = subprocess.Popen(
            ["ip", "netns", "exec", ns(host), KFGET, "--torrent", self.torrent, "--file", file,
             "--bind", address, "--listen-port", "6881", "--lan-interface", address, "-vv",
             *extra], stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(self.stop, process)
        return process

    @staticmethod
    def stop(process):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)

    def log(self, host):
        with open(os.path.join(self.dir, f"{host}.log"), errors="replace") as f:
            return f.read()

    def test_hosts_on_one_bridge_find_each_other_and_a_host_behind_another_router_does_not(self):
        got = os.path.join(self.dir, "got.bin")
        sha1 = hashlib.sha1(self.content).hexdigest()
        self.kfget("h1", "10.1.0.2", self.data, "--seed")
        near = self.kfget("h3", "10.1.0.3", got, "--sha1", sha1, "--timeout", "30")
        far = self.kfget("h2", "10.2.0.2", os.path.join(self.dir, "far.bin"), "--timeout", "25")
        self.assertEqual(near.wait(timeout=60), 0, self.log("h3") + "\nseeder:\n" + self.log("h1"))
        with open(got, "rb") as f:
            self.assertEqual(f.read(), self.content)
        self.assertEqual(far.wait(timeout=60), 3, self.log("h2"))
        self.assertIn("LAN discovery joined 233.65.31.78 on 10.2.0.2", self.log("h2"))


def main():
    global KFGET
    parser = argparse.ArgumentParser()
    parser.add_argument("--kfget", required=True)
    args, rest = parser.parse_known_args()
    KFGET = os.path.realpath(args.kfget)
    reason = skip_reason()
    if reason:
        print(f"skipped: {reason}")
        return 77
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
