#!/usr/bin/python3
"""scripts/lab against the servers it starts: each answers as the downloader expects, kfget takes
the three files from them, and "down" leaves nothing running.

usage: lab_test.py --kfget PATH --product-check PATH [unittest arguments]
Debian's /usr/bin/python3 runs it (the torrents are read with its libtorrent binding). Exit
status 77 (skipped) when a program the lab needs is missing.
"""
import argparse
import configparser
import hashlib
import http.client
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

LAB = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "lab"))
SERVICES = ["tracker", "nginx", "collector", "seeder1", "seeder2"]
KFGET = PRODUCT_CHECK = None


def lab(command, folder, env=None):
    return subprocess.run([LAB, command, folder], capture_output=True, text=True, timeout=90,
                          env=env)


def load_env(folder):
    # Sourced by bash, as its users do: a quoting mistake shows here.
    out = subprocess.run(["bash", "-c", 'set -eu; set -a; . "$1"; env -0', "_",
                          os.path.join(folder, "lab.env")], capture_output=True, check=True).stdout
    pairs = (item.decode().split("=", 1) for item in out.split(b"\0") if b"=" in item)
    return {k: v for k, v in pairs if k.startswith("LAB_")}


def state_and_group(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return fields[0], int(fields[2])
    except (OSError, IndexError):
        return "gone", 0


def lab_processes(folder, leaders):
    """Live processes in the sessions the lab started, or naming its folder."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        state, group = state_and_group(pid)
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if state not in ("Z", "gone") and (group in leaders or folder + "/" in cmdline):
            found.append((int(pid), cmdline))
    return found


def bound_sockets(pids):
    """(protocol, address, port) of the TCP listeners and UDP sockets of the processes."""
    inodes = set()
    for pid in pids:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    found = set()
    for protocol in ("tcp", "udp", "tcp6", "udp6"):
        with open(f"/proc/net/{protocol}") as f:
            for fields in (line.split() for line in list(f)[1:]):
                if fields[9] in inodes and (protocol[0] == "u" or fields[3] == "0A"):
                    address, port = fields[1].split(":")
                    if len(address) == 8:
                        address = socket.inet_ntoa(struct.pack("<I", int(address, 16)))
                    found.add((protocol, address, int(port, 16)))
    return found


def md5_of(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "md5").hexdigest()


def http_get(address, port, path, host=None):
    connection = http.client.HTTPConnection(address, int(port), timeout=10)
    try:
        connection.request("GET", path, headers={"Host": host} if host else {})
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LabServices(unittest.TestCase):
    """One lab for every check of what it serves."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kf-lab-test-")
        cls.dir = os.path.join(cls.tmp, "lab")
        started = time.monotonic()
        up = lab("up", cls.dir)
        cls.up_seconds = time.monotonic() - started
        if up.returncode != 0:
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError(f"lab up failed: {up.stderr}")
        cls.env = load_env(cls.dir)
        cls.leaders = {int(cls.env[f"LAB_{s.upper()}_PID"]) for s in SERVICES}

    @classmethod
    def tearDownClass(cls):
        try:
            down = lab("down", cls.dir)
            assert down.returncode == 0, down.stderr
            left = lab_processes(cls.dir, cls.leaders)
            assert not left, f"still running after down: {left}"
        finally:
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def file(self, i, what):
        return self.env[f"LAB_FILE{i}_{what}"]

    def test_up_is_quick_and_every_server_binds_loopback_only(self):
        self.assertLess(self.up_seconds, 40)  # about 4 s on an idle 2-core machine
        e = self.env
        sockets = bound_sockets(pid for pid, _ in lab_processes(self.dir, self.leaders))
        for protocol, address, port in sockets:
            self.assertRegex(f"{protocol} {address}", r"^(tcp|udp) 127\.0\.0\.", port)
        expected = {("tcp", e[f"LAB_{s}_ADDR"], int(e[f"LAB_{s}_PORT"]))
                    for s in ("SOURCE", "MIRROR", "TRACKER", "SEEDER1", "SEEDER2", "COLLECTOR")}
        expected |= {("tcp", e["LAB_SOURCE_ADDR"], int(e["LAB_HTTPS_PORT"])),
                     ("udp", e["LAB_TRACKER_ADDR"], int(e["LAB_TRACKER_PORT"]))}
        self.assertLessEqual(expected, sockets)

    def test_downloader_reads_the_product_folder_and_resource_list_as_served(self):
        import libtorrent as lt

        out = subprocess.run([PRODUCT_CHECK, self.env["LAB_PRODUCT_DIR"]], capture_output=True,
                             text=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        got = {}
        for key, _, value in (line.partition("=") for line in out.stdout.splitlines()):
            got.setdefault(key, []).append(value)
        self.assertEqual(got["resource_list_url"], [self.env["LAB_RESOURCE_LIST_URL"]])
        self.assertEqual(got["ca_certificate"], [self.env["LAB_CA"]])
        self.assertEqual((got["p2p"], got["expired"], got["skipped"]), (["on"], ["false"], ["0"]))
        # Its server's certificate holds only for the lab's authority.
        curl = ["curl", "-fsS", "-o", "/dev/null", "--max-time", "10", got["resource_list_url"][0]]
        self.assertEqual(subprocess.run(curl + ["--cacert", self.env["LAB_CA"]]).returncode, 0)
        self.assertEqual(subprocess.run(curl, stderr=subprocess.DEVNULL).returncode, 60)
        weights = []
        for i in range(3):
            # The file as served, its torrent as another implementation reads it, its mirror.
            path, info = self.file(i, "PATH"), lt.torrent_info(self.file(i, "TORRENT"))
            self.assertNotIn("save", path[len(self.dir):])
            self.assertEqual([got[f"file{i}.{key}"][0] for key in ("name", "size", "piece_length")],
                             [os.path.basename(path), str(os.path.getsize(path)),
                              str(info.piece_length())])
            self.assertEqual((info.name(), info.total_size()), (os.path.basename(path),
                                                                os.path.getsize(path)))
            self.assertEqual(got[f"file{i}.source_url"], [self.file(i, "SOURCE_URL")])
            self.assertEqual(got[f"file{i}.mirror"],
                             [f"{self.file(i, 'MIRROR_URL')} {self.env['LAB_MIRROR_HOST']}"])
            weights.append(os.path.getsize(path) >> 20)
        # The window weighs progress by MiB: every file must move the bar visibly.
        self.assertTrue(all(w / sum(weights) >= 0.05 for w in weights), weights)

    def test_source_serves_the_files_and_the_mirror_only_by_host_name(self):
        e = self.env
        for i in range(3):
            source_path = self.file(i, "SOURCE_URL").split(e["LAB_SOURCE_PORT"], 1)[1]
            mirror_path = self.file(i, "MIRROR_URL").split(e["LAB_MIRROR_PORT"], 1)[1]
            for answer in (http_get(e["LAB_SOURCE_ADDR"], e["LAB_SOURCE_PORT"], source_path),
                           http_get(e["LAB_MIRROR_ADDR"], e["LAB_MIRROR_PORT"], mirror_path,
                                    e["LAB_MIRROR_HOST"])):
                self.assertEqual((answer[0], hashlib.md5(answer[1]).hexdigest()),
                                 (200, self.file(i, "MD5")))
            self.assertEqual(http_get(e["LAB_MIRROR_ADDR"], e["LAB_MIRROR_PORT"],
                                      mirror_path)[0], 404)

    def test_tracker_hands_out_both_seeders(self):
        e = self.env
        seeders = {(e[f"LAB_SEEDER{n}_ADDR"], int(e[f"LAB_SEEDER{n}_PORT"])) for n in (1, 2)}
        for i in range(3):
            query = ("/announce?info_hash=" + "".join(
                f"%{b:02x}" for b in bytes.fromhex(self.file(i, "INFO_HASH"))) +
                f"&peer_id=-KT0001-labtest{i:05d}&port={free_port()}&uploaded=0&downloaded=0"
                "&left=1&compact=1")
            status, body = http_get(e["LAB_TRACKER_ADDR"], e["LAB_TRACKER_PORT"],
                                    query + "&event=started")
            http_get(e["LAB_TRACKER_ADDR"], e["LAB_TRACKER_PORT"], query + "&event=stopped")
            self.assertEqual(status, 200)
            length, _, rest = body.split(b"5:peers", 1)[1].partition(b":")
            blob = rest[:int(length)]
            peers = {(socket.inet_ntoa(blob[j:j + 4]), struct.unpack(">H", blob[j + 4:j + 6])[0])
                     for j in range(0, len(blob), 6)}
            self.assertLessEqual(seeders, peers, body)

    def test_each_seeder_has_every_piece_of_every_torrent(self):
        import libtorrent as lt

        for n in (1, 2):
            for i in range(3):
                info_hash = bytes.fromhex(self.file(i, "INFO_HASH"))
                with socket.create_connection((self.env[f"LAB_SEEDER{n}_ADDR"],
                                               int(self.env[f"LAB_SEEDER{n}_PORT"])), 5) as s:
                    # No extension bits: the seeder then tells what it has in a whole bitfield.
                    s.sendall(b"\x13BitTorrent protocol" + bytes(8) + info_hash
                              + b"-KT0001-bitfieldtest")
                    stream = s.makefile("rb")
                    self.assertEqual(stream.read(68)[28:48], info_hash)
                    message = b""
                    for _ in range(10):
                        message = stream.read(struct.unpack(">I", stream.read(4))[0])
                        if message[:1] == b"\x05":
                            break
                    pieces = lt.torrent_info(self.file(i, "TORRENT")).num_pieces()
                    bits = "".join(f"{b:08b}" for b in message[1:])
                    self.assertEqual(bits, "1" * pieces + "0" * (len(bits) - pieces), (n, i))

    def test_kfget_takes_each_file_from_the_lab(self):
        e, save = self.env, os.path.join(self.tmp, "downloads")
        runs = [  # the default source and the swarm; the swarm alone; the mirror alone
            ["--torrent", self.file(0, "TORRENT"), "--source", self.file(0, "SOURCE_URL")],
            ["--torrent", self.file(1, "TORRENT")],
            ["--torrent", self.file(2, "TORRENT"), "--no-p2p", "--mirror",
             f"{self.file(2, 'MIRROR_URL')},{e['LAB_MIRROR_HOST']}"]]
        access_log = os.path.join(e["LAB_LOG_DIR"], "nginx-access.log")
        served_before = os.path.getsize(access_log)
        children = [subprocess.Popen([KFGET, *run, "--bind", "127.0.0.1", "--timeout", "120",
                                      "-q", "-o", save, "--listen-port", str(free_port())],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                    for run in runs]
        for i, child in enumerate(children):
            try:
                output = child.communicate(timeout=180)[0]
            except subprocess.TimeoutExpired:
                child.kill()
                output = child.communicate()[0]
            self.assertEqual(child.returncode, 0, f"file {i}: {output}")
        product = configparser.ConfigParser()
        product.read(e["LAB_PRODUCT_INI"])
        for i in range(3):
            section = product[f"file{i}"]
            self.assertEqual(md5_of(os.path.join(save, section["name"])), section["md5"])
        with open(access_log) as f:
            served = f.read()[served_before:]
        self.assertIn(f'host="{e["LAB_MIRROR_HOST"]}" "GET /mirror/42.51/{self.file(2, "NAME")}',
                      served)
        self.assertNotIn(self.file(1, "NAME"), served, "file 1 was to come from the swarm alone")

    def test_collector_records_the_posts_of_the_telemetry_configuration(self):
        kfconf = configparser.ConfigParser()
        kfconf.read(os.path.join(self.env["LAB_PRODUCT_DIR"], "dataupload.kfconf"))
        urls = [kfconf[s]["SubmitUrl"] for s in ("SubmitEventDownload",
                                                 "SubmitEventDownloadSeveral")]
        log = self.env["LAB_COLLECTOR_LOG"]
        before = os.path.getsize(log)
        for url in urls:
            host, path = url.split("/", 3)[2:]
            self.assertEqual(host, f"{self.env['LAB_COLLECTOR_ADDR']}:"
                                   f"{self.env['LAB_COLLECTOR_PORT']}")
            connection = http.client.HTTPConnection(host, timeout=10)
            # {"OS":"中 x"} in the form encoding: "_" a space, "%XX" a UTF-8 byte.
            connection.request("POST", "/" + path,
                               body="code=11010000&info=%7B%22OS%22%3A%22%E4%B8%AD_x%22%7D")
            response = connection.getresponse()
            self.assertEqual((response.status, response.read()), (200, b'{"error":0}'))
            connection.close()
        with open(log, encoding="utf-8") as f:
            f.seek(before)
            records = [json.loads(line) for line in f]
        self.assertEqual([r["path"] for r in records], ["/" + u.split("/", 3)[3] for u in urls])
        for record in records:
            self.assertEqual(record["fields"], {"code": "11010000", "info": '{"OS":"中 x"}'})
            self.assertEqual(record["errors"], [])

    def test_installer_stub_records_its_folder_arguments_and_descriptors(self):
        folder = tempfile.mkdtemp(dir=self.tmp)
        installer = os.path.join(folder, self.file(0, "NAME"))
        shutil.copyfile(self.file(0, "PATH"), installer)
        os.chmod(installer, 0o755)
        record = self.env["LAB_INSTALLER_RECORD"]
        before = os.path.getsize(record)
        done = subprocess.run([installer, "--lab", "two words"], cwd=folder,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(record) as f:
            f.seek(before)
            lines = f.read().splitlines()
        self.assertEqual(lines[1:5], [f"cwd {folder}", "argc 2", "arg --lab", "arg two words"])
        ppid, pgrp, sid = map(int, lines[5].removeprefix("ids ").split())
        self.assertEqual((ppid, sid), (os.getpid(), os.getsid(0)), "started here, in our session")
        self.assertEqual((lines[0][:8], lines[-1]), ("run pid=", "end"))
        fds = dict(line[3:].split(" -> ") for line in lines if line.startswith("fd "))
        self.assertEqual(fds["0"], "/dev/null")
        # Beyond 0-2 only the shell's own descriptor on the script.
        self.assertLessEqual({t for fd, t in fds.items() if int(fd) > 2},
                             {os.path.realpath(installer)})


class LabLifecycle(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kf-lab-life-")
        self.dir = os.path.join(self.tmp, "lab")

    def tearDown(self):
        lab("down", self.dir)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def up(self):
        done = lab("up", self.dir)
        self.assertEqual(done.returncode, 0, done.stderr)
        env = load_env(self.dir)
        return env, {s: int(env[f"LAB_{s.upper()}_PID"]) for s in SERVICES}

    def status(self):
        done = lab("status", self.dir)
        return done.returncode, [line.split()[:2] for line in done.stdout.splitlines()]

    def test_up_refuses_a_running_lab_status_sees_a_death_down_stops_all_up_again(self):
        env, pids = self.up()
        again = lab("up", self.dir)
        self.assertEqual(again.returncode, 1)
        self.assertIn("already running", again.stderr)
        self.assertEqual(load_env(self.dir)["LAB_NGINX_PID"], str(pids["nginx"]))
        self.assertEqual(self.status(), (0, [[s, "alive"] for s in SERVICES]))

        os.kill(pids["collector"], signal.SIGKILL)
        deadline = time.monotonic() + 5
        while state_and_group(pids["collector"])[0] not in ("Z", "gone") and \
                time.monotonic() < deadline:
            time.sleep(0.05)
        code, lines = self.status()
        self.assertEqual((code, lines[2]), (1, ["collector", "dead"]))

        self.assertEqual(lab("down", self.dir).returncode, 0)
        self.assertEqual(lab_processes(self.dir, set(pids.values())), [])
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((env["LAB_SOURCE_ADDR"], int(env["LAB_HTTPS_PORT"])), 2)
        # Runtime state goes; the product and its files stay.
        self.assertFalse(os.path.exists(os.path.join(self.dir, "lab.env")))
        self.assertTrue(os.path.isfile(env["LAB_PRODUCT_INI"]))

        env2, pids2 = self.up()
        self.assertEqual(env2["LAB_FILE1_MD5"], env["LAB_FILE1_MD5"])
        self.assertEqual(lab("down", self.dir).returncode, 0)
        self.assertEqual(lab_processes(self.dir, set(pids2.values())), [])

    def test_up_that_fails_half_way_stops_what_it_started(self):
        bin_dir = os.path.join(self.tmp, "bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "nginx"), "w") as f:
            f.write("#!/bin/sh\nexit 1\n")
        os.chmod(os.path.join(bin_dir, "nginx"), 0o755)
        done = lab("up", self.dir, env=dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}"))
        self.assertIn("nginx did not start", done.stderr)
        self.assertNotEqual(done.returncode, 0)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "lab.env")))
        self.assertEqual(lab_processes(self.dir, set()), [])  # the tracker is gone too

    def test_up_refuses_a_folder_it_cannot_quote(self):
        done = lab("up", os.path.join(self.tmp, "a folder"))
        self.assertIn("may hold only", done.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "a folder")))


def main():
    global KFGET, PRODUCT_CHECK
    parser = argparse.ArgumentParser()
    parser.add_argument("--kfget", required=True)
    parser.add_argument("--product-check", required=True)
    args, rest = parser.parse_known_args()
    KFGET, PRODUCT_CHECK = args.kfget, args.product_check
    missing = [t for t in ("nginx", "opentracker", "openssl", "curl", "setsid", "flock")
               if shutil.which(t) is None]
    if missing or subprocess.run([sys.executable, "-c", "import libtorrent"]).returncode != 0:
        print(f"skipped: {missing or 'python3-libtorrent'} missing (scripts/install-deps)")
        return 77
    return 0 if unittest.main(argv=[sys.argv[0]] + rest, exit=False).result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
