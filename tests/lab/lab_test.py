#!/usr/bin/python3
"""scripts/lab against the servers it starts: every service answers as the downloader expects,
kfget takes the three files from them, and "down" leaves nothing running.

usage: lab_test.py --kfget PATH --product-check PATH [unittest arguments]
Run with Debian's /usr/bin/python3 (the torrents are read with its libtorrent binding). Exits 77
(skipped) when a program the lab needs is missing.
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
import xml.etree.ElementTree as ElementTree

REPO = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
LAB = os.path.join(REPO, "scripts", "lab")
KFGET = PRODUCT_CHECK = None
SERVICES = ["tracker", "nginx", "collector", "seeder1", "seeder2"]


def lab(command, folder, timeout=90, env=None):
    return subprocess.run([LAB, command, folder], capture_output=True, text=True, timeout=timeout,
                          env=env)


def load_env(folder):
    # Sourced by bash, as a user of lab.env would: a quoting mistake shows here.
    done = subprocess.run(["bash", "-c", 'set -eu; set -a; . "$1"; env -0', "_",
                           os.path.join(folder, "lab.env")],
                          capture_output=True, check=True, timeout=10)
    pairs = (item.split(b"=", 1) for item in done.stdout.split(b"\0") if b"=" in item)
    return {k.decode(): v.decode() for k, v in pairs if k.startswith(b"LAB_")}


def proc_stat(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return fields[0], int(fields[2])  # state, process group
    except (OSError, IndexError, ValueError):
        return None


def lab_processes(folder, leaders):
    """Live processes in the sessions lab.env names, or naming the lab folder."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        stat = proc_stat(entry)
        if stat is None or stat[0] == "Z":
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if stat[1] in leaders or folder + "/" in cmdline:
            found.append((int(entry), cmdline))
    return found


def listening_sockets(pids):
    """(protocol, address, port) of the TCP listeners and UDP sockets the processes hold."""
    inodes = set()
    for pid in pids:
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        except OSError:
            pass
    found = set()
    for protocol in ("tcp", "udp", "tcp6", "udp6"):
        with open(f"/proc/net/{protocol}") as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[9] not in inodes or (protocol.startswith("tcp") and fields[3] != "0A"):
                    continue
                address, port = fields[1].split(":")
                if protocol.endswith("6"):
                    found.add((protocol, address, int(port, 16)))
                else:
                    found.add((protocol, socket.inet_ntoa(struct.pack("<I", int(address, 16))),
                               int(port, 16)))
    return found


def bdecode(data, i=0):
    c = data[i:i + 1]
    if c == b"i":
        end = data.index(b"e", i)
        return int(data[i + 1:end]), end + 1
    if c == b"l":
        items, i = [], i + 1
        while data[i:i + 1] != b"e":
            item, i = bdecode(data, i)
            items.append(item)
        return items, i + 1
    if c == b"d":
        items, i = {}, i + 1
        while data[i:i + 1] != b"e":
            key, i = bdecode(data, i)
            items[key], i = bdecode(data, i)
        return items, i + 1
    colon = data.index(b":", i)
    length = int(data[i:colon])
    return data[colon + 1:colon + 1 + length], colon + 1 + length


def compact_peers(blob):
    return {(socket.inet_ntoa(blob[i:i + 4]), struct.unpack(">H", blob[i + 4:i + 6])[0])
            for i in range(0, len(blob) - 5, 6)}


def md5_of(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def http_get(address, port, path, host=None, timeout=10):
    connection = http.client.HTTPConnection(address, port, timeout=timeout)
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


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def logs_of(folder):
    text = []
    for name in sorted(os.listdir(os.path.join(folder, "logs"))) if os.path.isdir(
            os.path.join(folder, "logs")) else []:
        with open(os.path.join(folder, "logs", name), errors="replace") as f:
            text.append(f"--- {name}\n{f.read()[-2000:]}")
    return "\n".join(text)


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
            lab("down", cls.dir)
            logs = logs_of(cls.dir)
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError(f"lab up failed: {up.stderr}\n{logs}")
        cls.env = load_env(cls.dir)
        cls.pids = {s: int(cls.env[f"LAB_{s.upper()}_PID"]) for s in SERVICES}

    @classmethod
    def tearDownClass(cls):
        try:
            down = lab("down", cls.dir)
            assert down.returncode == 0, down.stderr
            left = lab_processes(cls.dir, set(cls.pids.values()))
            assert not left, f"still running after down: {left}"
            assert not os.path.exists(os.path.join(cls.dir, "lab.env"))
        finally:
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def file(self, i, what):
        return self.env[f"LAB_FILE{i}_{what}"]

    def test_up_is_quick_and_every_server_listens_on_loopback_only(self):
        self.assertLess(self.up_seconds, 30)
        self.assertEqual(self.env["LAB_SERVICES"].split(), SERVICES)
        processes = [pid for pid, _ in lab_processes(self.dir, set(self.pids.values()))]
        sockets = listening_sockets(processes)
        self.assertTrue(sockets)
        for protocol, address, port in sockets:
            self.assertFalse(protocol.endswith("6"), f"an IPv6 socket on port {port}")
            self.assertTrue(address.startswith("127.0.0."), f"{protocol} {address}:{port}")
        e = self.env
        for expected in [("tcp", e["LAB_SOURCE_ADDR"], e["LAB_SOURCE_PORT"]),
                         ("tcp", e["LAB_SOURCE_ADDR"], e["LAB_HTTPS_PORT"]),
                         ("tcp", e["LAB_MIRROR_ADDR"], e["LAB_MIRROR_PORT"]),
                         ("tcp", e["LAB_TRACKER_ADDR"], e["LAB_TRACKER_PORT"]),
                         ("udp", e["LAB_TRACKER_ADDR"], e["LAB_TRACKER_PORT"]),
                         ("tcp", e["LAB_SEEDER1_ADDR"], e["LAB_SEEDER1_PORT"]),
                         ("tcp", e["LAB_SEEDER2_ADDR"], e["LAB_SEEDER2_PORT"]),
                         ("tcp", e["LAB_COLLECTOR_ADDR"], e["LAB_COLLECTOR_PORT"])]:
            self.assertIn((expected[0], expected[1], int(expected[2])), sockets)
        self.assertEqual(len({e["LAB_SEEDER1_ADDR"], e["LAB_SEEDER2_ADDR"]}), 2)

    def test_product_folder_is_read_by_the_downloader_and_matches_the_served_files(self):
        import libtorrent as lt

        out = subprocess.run([PRODUCT_CHECK, self.env["LAB_PRODUCT_DIR"]], capture_output=True,
                             text=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        got = {}
        for line in out.stdout.splitlines():
            key, _, value = line.partition("=")
            got.setdefault(key, []).append(value)
        one = {key: values[0] for key, values in got.items()}
        self.assertEqual(one["resource_list_url"], self.env["LAB_RESOURCE_LIST_URL"])
        self.assertEqual(one["ca_certificate"], self.env["LAB_CA"])
        self.assertGreater(int(one["telemetry_config_bytes"]), 0)
        self.assertEqual(one["id"], self.file(0, "MD5"))
        weights = []
        for i in range(3):
            path = self.file(i, "PATH")
            name = one[f"file{i}.name"]
            self.assertEqual(os.path.basename(path), name)
            self.assertNotIn("save", path[len(self.dir):].lower())
            self.assertEqual(int(one[f"file{i}.size"]), os.path.getsize(path))
            self.assertEqual(one[f"file{i}.md5"], md5_of(path))
            self.assertEqual(one[f"file{i}.source_url"], self.file(i, "SOURCE_URL"))
            self.assertEqual(int(one[f"file{i}.torrent_bytes"]),
                             os.path.getsize(self.file(i, "TORRENT")))
            # The torrent as another implementation reads it: the same file, piece length and
            # info-hash as the folder and the tracker's whitelist say.
            info = lt.torrent_info(self.file(i, "TORRENT"))
            self.assertEqual(info.name(), name)
            self.assertEqual(info.total_size(), int(one[f"file{i}.size"]))
            self.assertEqual(info.piece_length(), int(one[f"file{i}.piece_length"]))
            self.assertEqual(str(info.info_hashes().v1), self.file(i, "INFO_HASH"))
            self.assertEqual([t.url for t in info.trackers()],
                             [self.env["LAB_TRACKER_HTTP"], self.env["LAB_TRACKER_UDP"]])
            weights.append(int(one[f"file{i}.size"]) >> 20)
        # The window weighs progress by MiB: every file must move the bar visibly.
        for weight in weights:
            self.assertGreaterEqual(weight / sum(weights), 0.05, weights)
        self.assertLess(sum(weights), 200)
        with open(self.file(0, "PATH"), "rb") as f:
            self.assertEqual(f.read(10), b"#!/bin/sh\n")

        # The resource list as the downloader fetches (with the lab authority) and reads it.
        self.assertEqual(one["p2p"], "on")
        self.assertEqual(one["expired"], "false")
        self.assertEqual(one["skipped"], "0")
        for i in range(3):
            self.assertEqual(got.get(f"file{i}.mirror"),
                             [f"{self.file(i, 'MIRROR_URL')} {self.env['LAB_MIRROR_HOST']}"])

    def test_resource_list_needs_the_lab_authority(self):
        url = self.env["LAB_RESOURCE_LIST_URL"]
        trusted = subprocess.run(["curl", "-fsS", "--max-time", "10", "--cacert",
                                  self.env["LAB_CA"], url], capture_output=True, timeout=20)
        self.assertEqual(trusted.returncode, 0, trusted.stderr)
        self.assertEqual(ElementTree.fromstring(trusted.stdout).tag, "project")
        untrusted = subprocess.run(["curl", "-fsS", "--max-time", "10", url],
                                   capture_output=True, timeout=20)
        self.assertEqual(untrusted.returncode, 60, "the server certificate must need the lab CA")

    def test_source_and_mirror_serve_the_files_and_the_mirror_only_by_host_name(self):
        e = self.env
        for i in range(3):
            path = self.file(i, "SOURCE_URL").split(e["LAB_SOURCE_PORT"], 1)[1]
            status, body = http_get(e["LAB_SOURCE_ADDR"], int(e["LAB_SOURCE_PORT"]), path)
            self.assertEqual((status, hashlib.md5(body).hexdigest()), (200, self.file(i, "MD5")))
            path = self.file(i, "MIRROR_URL").split(e["LAB_MIRROR_PORT"], 1)[1]
            status, body = http_get(e["LAB_MIRROR_ADDR"], int(e["LAB_MIRROR_PORT"]), path,
                                    host=e["LAB_MIRROR_HOST"])
            self.assertEqual((status, hashlib.md5(body).hexdigest()), (200, self.file(i, "MD5")))
            status, _ = http_get(e["LAB_MIRROR_ADDR"], int(e["LAB_MIRROR_PORT"]), path)
            self.assertEqual(status, 404, "the mirror answered a request without its Host name")

    def test_tracker_hands_out_both_seeders_over_http_and_udp(self):
        e = self.env
        seeders = {(e["LAB_SEEDER1_ADDR"], int(e["LAB_SEEDER1_PORT"])),
                   (e["LAB_SEEDER2_ADDR"], int(e["LAB_SEEDER2_PORT"]))}
        address, port = e["LAB_TRACKER_ADDR"], int(e["LAB_TRACKER_PORT"])
        probe_port = free_port()  # nobody listens there; the probe peer is withdrawn at once
        for i in range(3):
            info_hash = bytes.fromhex(self.file(i, "INFO_HASH"))
            query = "/announce?info_hash=" + "".join(f"%{b:02x}" for b in info_hash)
            query += f"&peer_id=-KT0001-labtest{i:05d}&port={probe_port}&uploaded=0"
            query += "&downloaded=0&left=1&compact=1"
            status, body = http_get(address, port, query + "&event=started")
            answer, _ = bdecode(body)
            self.assertEqual(status, 200)
            self.assertNotIn(b"failure reason", answer, answer)
            self.assertLessEqual(seeders, compact_peers(answer[b"peers"]))
            http_get(address, port, query + "&event=stopped")

            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                udp.settimeout(3)
                udp.bind(("127.0.0.1", 0))
                udp.sendto(struct.pack(">QII", 0x41727101980, 0, 7), (address, port))
                reply = udp.recv(2048)
                self.assertEqual(struct.unpack(">II", reply[:8]), (0, 7))
                connection = reply[8:16]
                peer_id = f"-KT0001-udptest{i:05d}".encode()
                for event, transaction in ((2, 8), (3, 9)):
                    udp.sendto(connection + struct.pack(">II20s20sQQQIIIiH", 1, transaction,
                                                        info_hash, peer_id, 0, 1, 0, event, 0, 0,
                                                        50, probe_port), (address, port))
                    reply = udp.recv(4096)
                    self.assertEqual(struct.unpack(">II", reply[:8]), (1, transaction))
                    if event == 2:
                        self.assertGreaterEqual(len(reply), 20, "announce refused")
                        self.assertLessEqual(seeders, compact_peers(reply[20:]))

    def test_each_seeder_has_every_piece_of_every_torrent(self):
        import libtorrent as lt

        e = self.env
        for n in (1, 2):
            for i in range(3):
                info = lt.torrent_info(self.file(i, "TORRENT"))
                info_hash = bytes.fromhex(self.file(i, "INFO_HASH"))
                with socket.create_connection((e[f"LAB_SEEDER{n}_ADDR"],
                                               int(e[f"LAB_SEEDER{n}_PORT"])), timeout=5) as s:
                    # No extension bits: a seeder then says what it has with a whole bitfield.
                    s.sendall(b"\x13BitTorrent protocol" + bytes(8) + info_hash
                              + b"-KT0001-bitfieldtest")
                    reply = self.receive(s, 68)
                    self.assertEqual(reply[28:48], info_hash)
                    for _ in range(10):
                        length = struct.unpack(">I", self.receive(s, 4))[0]
                        if length == 0:
                            continue
                        message = self.receive(s, length)
                        if message[0] == 5:
                            break
                    else:
                        self.fail(f"seeder {n} sent no bitfield for file {i}")
                    pieces = info.num_pieces()
                    bits = "".join(f"{b:08b}" for b in message[1:])
                    self.assertEqual(bits, "1" * pieces + "0" * (len(bits) - pieces),
                                     f"seeder {n}, file {i}")

    def receive(self, s, count):
        data = b""
        while len(data) < count:
            block = s.recv(count - len(data))
            self.assertTrue(block, "the peer closed the connection")
            data += block
        return data

    def test_kfget_takes_each_file_from_the_lab(self):
        e = self.env
        save = os.path.join(self.tmp, "downloads")
        os.makedirs(save, exist_ok=True)
        common = ["--bind", "127.0.0.1", "--timeout", "120", "-q", "-o", save]
        runs = [
            # The default source and the swarm together.
            [KFGET, "--torrent", self.file(0, "TORRENT"), "--source", self.file(0, "SOURCE_URL")],
            # The swarm alone: the tracker and the seeders.
            [KFGET, "--torrent", self.file(1, "TORRENT")],
            # The mirror alone, reached by its Host name.
            [KFGET, "--torrent", self.file(2, "TORRENT"), "--no-p2p", "--mirror",
             f"{self.file(2, 'MIRROR_URL')},{e['LAB_MIRROR_HOST']}"],
        ]
        access_log = os.path.join(e["LAB_LOG_DIR"], "nginx-access.log")
        with open(access_log) as f:
            served_before = f.read()
        children = [subprocess.Popen(run + common + ["--listen-port", str(free_port())],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                    for run in runs]
        outputs = []
        for child in children:
            try:
                outputs.append(child.communicate(timeout=180)[0].decode(errors="replace"))
            except subprocess.TimeoutExpired:
                child.kill()
                outputs.append(child.communicate()[0].decode(errors="replace"))
        for i, (child, output) in enumerate(zip(children, outputs)):
            self.assertEqual(child.returncode, 0, f"file {i}: {output}")
        product = configparser.ConfigParser()
        product.read(e["LAB_PRODUCT_INI"])
        for i in range(3):
            section = product[f"file{i}"]
            self.assertEqual(md5_of(os.path.join(save, section["name"])), section["md5"])
        with open(access_log) as f:
            served = f.read()[len(served_before):]
        self.assertIn(f'host="{e["LAB_MIRROR_HOST"]}" "GET /mirror/42.51/{self.file(2, "NAME")}',
                      served)
        self.assertNotIn(self.file(1, "NAME"), served, "file 1 was to come from the swarm alone")

    def test_collector_records_what_the_telemetry_configuration_posts(self):
        kfconf = configparser.ConfigParser()
        kfconf.optionxform = str
        kfconf.read(os.path.join(self.env["LAB_PRODUCT_DIR"], "dataupload.kfconf"))
        urls = [kfconf[s]["SubmitUrl"] for s in ("SubmitEventDownload",
                                                 "SubmitEventDownloadSeveral")]
        info = '{"MachId":"lab test","OS":"中"}'
        encoded = "".join(c if c.isascii() and c.isalnum() else "_" if c == " " else
                          "".join(f"%{b:02X}" for b in c.encode()) for c in info)
        with open(self.env["LAB_COLLECTOR_LOG"]) as f:
            before = len(f.readlines())
        for url in urls:
            self.assertTrue(url.startswith(f"http://{self.env['LAB_COLLECTOR_ADDR']}:"
                                           f"{self.env['LAB_COLLECTOR_PORT']}/"), url)
            host, path = url[len("http://"):].split("/", 1)
            connection = http.client.HTTPConnection(host, timeout=10)
            connection.request("POST", "/" + path, body=f"code=11010000&info={encoded}",
                               headers={"Content-Type": "application/x-www-form-urlencoded"})
            response = connection.getresponse()
            self.assertEqual(response.status, 200)
            self.assertIn(b'"error":0', response.read())
            connection.close()
        with open(self.env["LAB_COLLECTOR_LOG"]) as f:
            records = [json.loads(line) for line in f.readlines()[before:]]
        self.assertEqual([r["path"] for r in records], ["/" + u.split("/", 3)[3] for u in urls])
        for record in records:
            self.assertEqual(record["fields"], {"code": "11010000", "info": info})
            self.assertEqual(record["errors"], [])

    def test_installer_stub_records_its_folder_arguments_and_descriptors(self):
        folder = tempfile.mkdtemp(dir=self.tmp)
        installer = os.path.join(folder, self.file(0, "NAME"))
        shutil.copyfile(self.file(0, "PATH"), installer)
        os.chmod(installer, 0o755)
        record = self.env["LAB_INSTALLER_RECORD"]
        with open(record) as f:
            before = len(f.readlines())
        done = subprocess.run([installer, "--lab", "two words"], cwd=folder,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(record) as f:
            lines = [line.rstrip("\n") for line in f.readlines()[before:]]
        self.assertTrue(lines and lines[0].startswith("run pid="), lines)
        self.assertEqual(lines[1:5], [f"cwd {folder}", "argc 2", "arg --lab", "arg two words"])
        self.assertEqual(lines[-1], "end")
        fds = dict(line[3:].split(" -> ", 1) for line in lines if line.startswith("fd "))
        self.assertEqual(fds.get("0"), "/dev/null")
        self.assertIn("1", fds)
        self.assertIn("2", fds)
        # Beyond 0-2 the shell holds only its own script open.
        extra = {fd: target for fd, target in fds.items() if int(fd) > 2}
        self.assertTrue(all(t == os.path.realpath(installer) for t in extra.values()), extra)


class LabLifecycle(unittest.TestCase):
    """up refuses a running lab, status sees a dead service, down stops all, up runs again."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kf-lab-life-")
        self.dir = os.path.join(self.tmp, "lab")
        self.leaders = set()

    def tearDown(self):
        lab("down", self.dir)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def up(self):
        done = lab("up", self.dir)
        self.assertEqual(done.returncode, 0, done.stderr + logs_of(self.dir))
        env = load_env(self.dir)
        pids = {s: int(env[f"LAB_{s.upper()}_PID"]) for s in SERVICES}
        self.leaders |= set(pids.values())
        return env, pids

    def test_up_refuses_a_running_lab_and_down_stops_everything(self):
        env, pids = self.up()
        again = lab("up", self.dir)
        self.assertNotEqual(again.returncode, 0)
        self.assertIn("already running", again.stderr)
        self.assertEqual(load_env(self.dir)["LAB_NGINX_PID"], str(pids["nginx"]))
        status = lab("status", self.dir)
        self.assertEqual(status.returncode, 0, status.stdout)
        self.assertEqual([line.split()[:2] for line in status.stdout.splitlines()],
                         [[s, "alive"] for s in SERVICES])

        os.kill(pids["collector"], signal.SIGKILL)
        self.assertTrue(wait_until(lambda: (proc_stat(pids["collector"]) or ("Z",))[0] == "Z",
                                   5))
        status = lab("status", self.dir)
        self.assertEqual(status.returncode, 1)
        self.assertIn(["collector", "dead"], [line.split()[:2] for line in
                                              status.stdout.splitlines()])

        down = lab("down", self.dir)
        self.assertEqual(down.returncode, 0, down.stderr)
        self.assertEqual(lab_processes(self.dir, self.leaders), [])
        for port in (env["LAB_SOURCE_PORT"], env["LAB_HTTPS_PORT"]):
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection((env["LAB_SOURCE_ADDR"], int(port)), timeout=2).close()
        # Runtime state goes, what the user may still need stays.
        self.assertFalse(os.path.exists(os.path.join(self.dir, "lab.env")))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "run")))
        self.assertTrue(os.path.isfile(env["LAB_PRODUCT_INI"]))
        self.assertTrue(os.path.isfile(env["LAB_FILE1_PATH"]))

        # The same folder again: the same files, new servers.
        env2, _ = self.up()
        self.assertEqual(env2["LAB_FILE1_MD5"], env["LAB_FILE1_MD5"])
        self.assertEqual(lab("status", self.dir).returncode, 0)
        self.assertEqual(lab("down", self.dir).returncode, 0)
        self.assertEqual(lab_processes(self.dir, self.leaders), [])

    def test_up_that_fails_half_way_leaves_nothing_running(self):
        # An nginx that cannot start: "up" must stop the tracker it had already started.
        bin_dir = os.path.join(self.tmp, "bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "nginx"), "w") as f:
            f.write("#!/bin/sh\necho 'nginx: [emerg] lab test refuses to start' >&2\nexit 1\n")
        os.chmod(os.path.join(bin_dir, "nginx"), 0o755)
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"])
        done = lab("up", self.dir, env=env)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("nginx did not start", done.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "lab.env")))
        self.assertEqual(lab_processes(self.dir, set()), [])

    def test_up_refuses_a_folder_it_cannot_quote(self):
        done = lab("up", os.path.join(self.tmp, "a folder"))
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("may hold only", done.stderr)
        self.assertEqual(lab_processes(os.path.join(self.tmp, "a folder"), set()), [])


def main():
    global KFGET, PRODUCT_CHECK
    parser = argparse.ArgumentParser()
    parser.add_argument("--kfget", required=True)
    parser.add_argument("--product-check", required=True)
    args, rest = parser.parse_known_args()
    KFGET, PRODUCT_CHECK = args.kfget, args.product_check
    missing = [tool for tool in ("nginx", "opentracker", "openssl", "curl", "setsid", "flock")
               if shutil.which(tool) is None]
    try:
        import libtorrent  # noqa: F401
    except ImportError:
        missing.append("python3-libtorrent")
    if missing:
        print(f"skipped: {', '.join(missing)} missing (scripts/install-deps)")
        return 77
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
