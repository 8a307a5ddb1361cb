#!/usr/bin/python3
"""LAN discovery between hosts in network namespaces of the test's own: h1 and h3 on one bridge
behind NAT router r1 find each other (h1 seeds, h3 downloads with no tracker and no peer address);
h2 behind NAT router r2 does not. Both routers masquerade and drop new inbound flows on the WAN
side, as home routers do (r1 with iptables, r2 with nftables); the layout is netns_lab.py's.

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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import netns_lab

KFGET = None


class LanDiscoveryAcrossNamespaces(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = netns_lab.Lab()
        cls.addClassCleanup(cls.lab.down)
        cls.lab.up()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kf-lan-netns-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.content = os.urandom(2 * 1024 * 1024 + 321)
        self.data = os.path.join(self.dir, "c.bin")
        with open(self.data, "wb") as f:
            f.write(self.content)
        self.torrent = os.path.join(self.dir, "c.torrent")
        netns_lab.run("mktorrent", "-d", "-p", "-l", "18", "-o", self.torrent, self.data)

    def kfget(self, host, address, file, *extra):
        log = open(os.path.join(self.dir, f"{host}.log"), "w")
        self.addCleanup(log.close)
        process = subprocess.Popen(
            self.lab.exec_argv(host, KFGET, "--torrent", self.torrent, "--file", file, "--bind",
                               address, "--listen-port", "6881", "--lan-interface", address, "-vv",
                               *extra), stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(netns_lab.Lab.stop, process)
        return process

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
    reason = netns_lab.skip_reason(("mktorrent",))
    if reason:
        print(f"skipped: {reason}")
        return netns_lab.SKIPPED
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
