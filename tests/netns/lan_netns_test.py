#!/usr/bin/python3
"""LAN discovery between hosts in network namespaces of the test's own: two hosts on one bridge
behind a NAT router find each other (one seeds, the other downloads with no tracker and no peer
address); a host behind another NAT router, which finds out nothing on its own network, does not.

usage: lan_netns_test.py --kfget PATH [unittest arguments]
Needs root (ip netns), iproute2, iptables and nftables; exit status 77 (skipped) where they are
missing or namespaces are refused. Every namespace and link the test made is deleted again; no
link reaches the root namespace's own interfaces.
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
NAMESPACES = [f"{PREFIX}-{name}" for name in ("wan", "r1", "r2", "h1", "h2", "h3")]


def ns(name):
    return f"{PREFIX}-{name}"


def run(*argv, check=True):
    return subprocess.run(argv, capture_output=True, text=True, timeout=30, check=check)


def in_ns(name, *argv):
    return run("ip", "netns", "exec", ns(name), *argv)


def skip_reason():
    for program in ("ip", "iptables", "nft", "mktorrent"):
        if shutil.which(program) is None:
            return f"{program} is missing (scripts/install-deps)"
    probe = f"{PREFIX}-probe"
    if run("ip", "netns", "add", probe, check=False).returncode != 0:
        return "'ip netns add' is refused here (needs root)"
    run("ip", "netns", "del", probe, check=False)
    return None


class Topology:
    """A "WAN" bridge with two NAT routers; r1's LAN bridge holds h1 10.1.0.2 and h3 10.1.0.3,
    r2 serves h2 10.2.0.2. Both routers masquerade and drop new inbound flows from the WAN."""

    def __init__(self):
        self.pairs = 0

    def link(self, a, a_if, b, b_if):
        # Made in the root namespace under passing names and moved away at once.
        self.pairs += 1
        ta, tb = f"{PREFIX}a{self.pairs}", f"{PREFIX}b{self.pairs}"
        run("ip", "link", "add", ta, "type", "veth", "peer", "name", tb)
        run("ip", "link", "set", ta, "netns", ns(a))
        run("ip", "link", "set", tb, "netns", ns(b))
        run("ip", "-n", ns(a), "link", "set", ta, "name", a_if)
        run("ip", "-n", ns(b), "link", "set", tb, "name", b_if)
        run("ip", "-n", ns(a), "link", "set", a_if, "up")
        run("ip", "-n", ns(b), "link", "set", b_if, "up")

    def up(self):
        for name in NAMESPACES:
            run("ip", "netns", "add", name)
            run("ip", "-n", name, "link", "set", "lo", "up")
        run("ip", "-n", ns("wan"), "link", "add", "br0", "type", "bridge")
        run("ip", "-n", ns("wan"), "link", "set", "br0", "up")
        for router, address in (("r1", "198.51.100.11/24"), ("r2", "198.51.100.12/24")):
            self.link(router, "wan", "wan", f"p-{router}")
            run("ip", "-n", ns("wan"), "link", "set", f"p-{router}", "master", "br0")
            run("ip", "-n", ns(router), "addr", "add", address, "dev", "wan")
            in_ns(router, "sysctl", "-qw", "net.ipv4.ip_forward=1")
        run("ip", "-n", ns("r1"), "link", "add", "lanbr", "type", "bridge")
        run("ip", "-n", ns("r1"), "link", "set", "lanbr", "up")
        run("ip", "-n", ns("r1"), "addr", "add", "10.1.0.1/24", "dev", "lanbr")
        for host, address in (("h1", "10.1.0.2"), ("h3", "10.1.0.3")):
            self.link(host, "eth0", "r1", f"p-{host}")
            run("ip", "-n", ns("r1"), "link", "set", f"p-{host}", "master", "lanbr")
            run("ip", "-n", ns(host), "addr", "add", f"{address}/24", "dev", "eth0")
            run("ip", "-n", ns(host), "route", "add", "default", "via", "10.1.0.1")
        self.link("h2", "eth0", "r2", "lan")
        run("ip", "-n", ns("r2"), "addr", "add", "10.2.0.1/24", "dev", "lan")
        run("ip", "-n", ns("h2"), "addr", "add", "10.2.0.2/24", "dev", "eth0")
        run("ip", "-n", ns("h2"), "route", "add", "default", "via", "10.2.0.1")
        # r1 with iptables, r2 with nftables, as home routers: masquerade, drop new inbound.
        in_ns("r1", "iptables", "-t", "nat", "-A", "POSTROUTING", "-o", "wan", "-j", "MASQUERADE")
        in_ns("r1", "iptables", "-A", "INPUT", "-i", "wan", "-m", "conntrack", "--ctstate", "NEW",
              "-j", "DROP")
        for rule in ("add table ip nat",
                     "add chain ip nat post { type nat hook postrouting priority 100 ; }",
                     'add rule ip nat post oifname "wan" masquerade',
                     "add table ip filter",
                     "add chain ip filter input { type filter hook input priority 0 ; }",
                     'add rule ip filter input iifname "wan" ct state new drop'):
            in_ns("r2", "nft", rule)

    def down(self):
        for name in NAMESPACES:
            run("ip", "netns", "del", name, check=False)
        for index in range(1, self.pairs + 1):
            run("ip", "link", "del", f"{PREFIX}a{index}", check=False)


class LanDiscoveryAcrossNamespaces(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.topology = Topology()
        cls.addClassCleanup(cls.topology.down)
        cls.topology.up()

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
        argv = ["ip", "netns", "exec", ns(host), KFGET, "--torrent", self.torrent, "--file", file,
                "--bind", address, "--listen-port", "6881", "--lan-interface", address, "-vv",
                *extra]
        process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT)
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
        far = os.path.join(self.dir, "far.bin")
        sha1 = hashlib.sha1(self.content).hexdigest()
        self.kfget("h1", "10.1.0.2", self.data, "--seed")
        near = self.kfget("h3", "10.1.0.3", got, "--sha1", sha1, "--timeout", "30")
        away = self.kfget("h2", "10.2.0.2", far, "--timeout", "25")
        self.assertEqual(near.wait(timeout=60), 0, self.log("h3") + "\nseeder:\n" + self.log("h1"))
        with open(got, "rb") as f:
            self.assertEqual(f.read(), self.content)
        self.assertEqual(away.wait(timeout=60), 3, self.log("h2"))
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
