#!/usr/bin/python3
"""UPnP port mapping against a real gateway: miniupnpd in a private network namespace.

The script runs itself again under `unshare -rn` (a user and network namespace of its own, no root
needed) and builds there: the gateway (this namespace) with a LAN veth to a client namespace
(192.168.77.2) and a "WAN" veth to a namespace with 11.0.0.2 (miniupnpd refuses private external
addresses; 11.0.0.1 is the gateway's), nftables chains for miniupnpd, and a lone namespace with
only loopback (no gateway). miniupnpd runs in secure mode, refuses one port (45005) and every
client outside the LAN. No namespace has a link to the machine's own network.

usage: upnp_netns_test.py --kfget PATH --lab-test PATH [unittest arguments]
Exit status 77 (skipped) where user namespaces are refused or a tool is missing.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SKIPPED = 77
INSIDE = "KF_UPNP_NETNS_INSIDE"
TOOLS = ("unshare", "nsenter", "ip", "nft", "miniupnpd", "upnpc", "mktorrent")
CLIENT = "192.168.77.2"
GATEWAY_URL = "http://192.168.77.1:5555/rootDesc.xml"
REFUSED_PORT = 45005
DESCRIPTION = "Kestrelfetch uPnP for P2SP upload/download"
KFGET = None
LAB_TEST = None


def run(*argv, timeout=20, check=True):
    return subprocess.run(argv, check=check, timeout=timeout, capture_output=True, text=True)


def wait_until(condition, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


class Lab:
    """The namespaces, links and the gateway; down() leaves nothing running."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kf-upnp-")
        self.holders = {}
        self.gateway = None

    def ns(self, name, *argv):
        return ["nsenter", "-t", str(self.holders[name].pid), "-n", *argv]

    def in_ns(self, name, *argv, **kw):
        return run(*self.ns(name, *argv), **kw)

    def _hold(self, name):
        own = os.readlink("/proc/self/ns/net")
        holder = subprocess.Popen(["unshare", "-n", "sleep", "900"])
        self.holders[name] = holder
        if not wait_until(lambda: os.readlink(f"/proc/{holder.pid}/ns/net") != own, 5):
            raise RuntimeError(f"namespace {name} was not made")

    def up(self):
        for name in ("lan", "wan", "lone"):
            self._hold(name)
        run("ip", "link", "set", "lo", "up")
        for ours, theirs, ns, address, peer in (("lan0", "lan1", "lan", "192.168.77.1", CLIENT),
                                                ("kfwan0", "kfwan1", "wan", "11.0.0.1",
                                                 "11.0.0.2")):
            run("ip", "link", "add", ours, "type", "veth", "peer", "name", theirs)
            run("ip", "link", "set", theirs, "netns", str(self.holders[ns].pid))
            run("ip", "addr", "add", address + "/24", "dev", ours)
            run("ip", "link", "set", ours, "up")
            self.in_ns(ns, "ip", "link", "set", "lo", "up")
            self.in_ns(ns, "ip", "addr", "add", peer + "/24", "dev", theirs)
            self.in_ns(ns, "ip", "link", "set", theirs, "up")
        # The client's default route carries the search's multicast to the gateway.
        self.in_ns("lan", "ip", "route", "add", "default", "via", "192.168.77.1")
        self.in_ns("lone", "ip", "link", "set", "lo", "up")
        self.in_ns("lone", "ip", "link", "set", "lo", "multicast", "on")
        self.in_ns("lone", "ip", "route", "add", "239.255.255.250/32", "dev", "lo")
        with open("/proc/sys/net/ipv4/ip_forward", "w") as f:
            f.write("1")
        subprocess.run(["nft", "-f", "-"], check=True, timeout=20, text=True, input="""
table inet filter {
  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
  chain postrouting_miniupnpd { }
}
""")
        conf = os.path.join(self.dir, "miniupnpd.conf")
        with open(conf, "w") as f:
            f.write(f"""ext_ifname=kfwan0
listening_ip=lan0
http_port=5555
enable_natpmp=no
ipv6_disable=yes
secure_mode=yes
lease_file={self.dir}/leases
uuid=5d1e0c4a-2b7f-4e8a-9c3d-kf0000000001
friendly_name=KF lab gateway
deny {REFUSED_PORT}-{REFUSED_PORT} 192.168.77.0/24 {REFUSED_PORT}-{REFUSED_PORT}
allow 1024-65535 192.168.77.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
""")
        self.gateway_log = open(os.path.join(self.dir, "miniupnpd.log"), "w")
        self.gateway = subprocess.Popen(["miniupnpd", "-f", conf, "-d"],
                                        stdout=self.gateway_log, stderr=subprocess.STDOUT)
        if not wait_until(lambda: ":5555 " in run("ss", "-ltn").stdout, 10):
            raise RuntimeError("miniupnpd does not listen: " + self.read("miniupnpd.log"))

    def read(self, name):
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def mappings(self):
        """(protocol, external port, client, internal port, description) listed by the gateway."""
        listing = self.in_ns("lan", "upnpc", "-u", GATEWAY_URL, "-l", check=False).stdout
        return [(m[1], int(m[2]), m[3], int(m[4]), m[5]) for m in
                re.finditer(r"^\s*\d+\s+(\w+)\s+(\d+)->([\d.]+):(\d+)\s+'([^']*)'", listing, re.M)]

    def down(self):
        for process in [self.gateway, *self.holders.values()]:
            if process is not None and process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=10)
        if self.gateway is not None:
            self.gateway_log.close()
        shutil.rmtree(self.dir, True)


class UpnpAgainstARealGateway(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = Lab()
        cls.addClassCleanup(cls.lab.down)
        cls.lab.up()

    def test_kfget_maps_a_port_that_the_wan_reaches_until_its_clean_up(self):
        data = os.path.join(self.lab.dir, "c.bin")
        with open(data, "wb") as f:
            f.write(os.urandom(300 * 1024))
        torrent = os.path.join(self.lab.dir, "c.torrent")
        run("mktorrent", "-d", "-p", "-l", "16", "-o", torrent, data)
        state = os.path.join(self.lab.dir, "upnp.port")
        out = open(os.path.join(self.lab.dir, "kfget.log"), "w")
        self.addCleanup(out.close)
        kfget = subprocess.Popen(
            self.lab.ns("lan", KFGET, "--torrent", torrent, "--file", data, "--seed", "--upnp",
                        "--upnp-delay", "1000", "--upnp-exclude", str(REFUSED_PORT),
                        "--upnp-state", state, "--timeout", "60", "-q"),
            stdout=out, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: kfget.poll() is None and kfget.kill())
        mapped = wait_until(
            lambda: re.search(r"upnp: mapped TCP port (\d+): external 11\.0\.0\.1:\1 -> "
                              + re.escape(CLIENT), self.lab.read("kfget.log")), 20)
        self.assertTrue(mapped, self.lab.read("kfget.log"))
        port = int(mapped[1])
        self.assertTrue(40000 <= port <= 50000 and port != REFUSED_PORT)
        self.assertIn(("TCP", port, CLIENT, port, DESCRIPTION), self.lab.mappings())
        with open(state) as f:
            self.assertEqual(f.read().strip(), str(port))

        # From the WAN side through the gateway's forwarding to kfget's listener.
        knock = ("import socket,sys\n"
                 "s=socket.create_connection(('11.0.0.1',int(sys.argv[1])),timeout=2)\n"
                 "s.close()\n")
        reached = wait_until(lambda: self.lab.in_ns("wan", sys.executable, "-c", knock, str(port),
                                                    check=False).returncode == 0, 15, step=0.2)
        self.assertTrue(reached, self.lab.read("kfget.log"))

        kfget.send_signal(signal.SIGINT)
        self.assertEqual(kfget.wait(timeout=30), 130, self.lab.read("kfget.log"))
        self.assertEqual([m for m in self.lab.mappings() if m[1] == port], [])

    def lab_test(self, ns, pattern):
        result = self.lab.in_ns(ns, LAB_TEST, "--gtest_filter=" + pattern, timeout=120,
                                check=False)
        output = result.stdout + result.stderr
        self.assertEqual(result.returncode, 0, output)
        self.assertNotIn("[  SKIPPED ]", output)
        return output

    def test_the_engine_maps_and_reports_against_the_gateway(self):
        os.environ.update(KF_IGD_LAB="1", KF_IGD_CLIENT=CLIENT, KF_IGD_URL=GATEWAY_URL,
                          KF_IGD_REFUSED=str(REFUSED_PORT))
        output = self.lab_test("lan", "UpnpLab.TheGateway*:UpnpLab.ARefusing*")
        self.assertIn("[  PASSED  ] 2 tests", output)
        self.assertEqual(self.lab.mappings(), [])  # the engine's clean-up removed its mapping
        output = self.lab_test("lone", "UpnpLab.NoGateway*")
        self.assertIn("[  PASSED  ] 1 test", output)


def main():
    global KFGET, LAB_TEST
    parser = argparse.ArgumentParser()
    parser.add_argument("--kfget", required=True)
    parser.add_argument("--lab-test", required=True)
    args, rest = parser.parse_known_args()
    KFGET = os.path.realpath(args.kfget)
    LAB_TEST = os.path.realpath(args.lab_test)
    if os.environ.get("ASAN_OPTIONS") and "suppressions=" not in os.environ["ASAN_OPTIONS"]:
        supp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "miniupnpc-asan.supp")
        os.environ["ASAN_OPTIONS"] += ":suppressions=" + supp
    if os.environ.get(INSIDE) != "1":
        missing = [tool for tool in TOOLS if shutil.which(tool) is None]
        if missing:
            print("skipped: missing " + ", ".join(missing))
            return SKIPPED
        if subprocess.run(["unshare", "-rn", "true"], capture_output=True).returncode != 0:
            print("skipped: user and network namespaces are refused here (unshare -rn)")
            return SKIPPED
        env = dict(os.environ, **{INSIDE: "1"})
        return subprocess.run(["unshare", "-rn", sys.executable, os.path.abspath(__file__),
                               *sys.argv[1:]], env=env, timeout=600).returncode
    result = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
