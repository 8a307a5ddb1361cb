#!/usr/bin/python3
"""The kestrelfetch program in console mode against the real engine and scripts/lab: a full run
starts the installer detached, a kill -9 loses nothing the resume record held, a damaged file is
repaired piece-wise, dead servers are replaced by the mirror and the swarm, bad certificates and
hostile resource lists change nothing, a full disk pauses until it grows, a second start hands
over to the first.

usage: app_lab_test.py --kestrelfetch PATH [unittest arguments]
One lab serves every case; each run has its own data home, save folder and TMPDIR. Exit status 77
(skipped) when a program the lab needs is missing.
"""
import argparse
import configparser
import glob
import hashlib
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
LAB = os.path.realpath(os.path.join(HERE, "..", "..", "scripts", "lab"))
APP = None
BLOCK = 16384
NO_SPACE = "磁盘空间不足，请检查并重新启动下载器！"
ACCESS = re.compile(r'^\S+ -> (\S+):(\d+) host="([^"]*)" "(\S+) (\S+)[^"]*" (\d+) (\d+) '
                    r'range="([^"]*)" sent=\d+$')


def load_env(folder):
    out = subprocess.run(["bash", "-c", 'set -eu; set -a; . "$1"; env -0', "_",
                          os.path.join(folder, "lab.env")], capture_output=True, check=True).stdout
    pairs = (item.decode().split("=", 1) for item in out.split(b"\0") if b"=" in item)
    return {k: v for k, v in pairs if k.startswith("LAB_")}


def md5_of(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "md5").hexdigest()


def closed_port(address="127.0.0.1"):
    with socket.socket() as s:  # bound and closed: nothing listens there afterwards
        s.bind((address, 0))
        return s.getsockname()[1]


def wait_for(what, condition, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    raise AssertionError(f"timed out after {seconds} s waiting for {what}")


def bdecode(data, at=0):
    """(value, next): dictionaries as lists of pairs (the resume record repeats keys)."""
    c = data[at:at + 1]
    if c == b"i":
        end = data.index(b"e", at)
        return int(data[at + 1:end] or b"0"), end + 1
    if c in (b"l", b"d"):
        items, at = [], at + 1
        while data[at:at + 1] != b"e":
            item, at = bdecode(data, at)
            items.append(item)
        return (items if c == b"l" else list(zip(items[::2], items[1::2]))), at + 1
    colon = data.index(b":", at)
    length = int(data[at:colon])
    return data[colon + 1:colon + 1 + length], colon + 1 + length


def union_length(ranges):
    total, end = 0, -1
    for a, b in sorted(ranges):
        if b > end:
            total += b - max(a, end)
            end = b
    return total


def overlap(ranges, held):
    return sum(max(0, min(b, d) - max(a, c)) for a, b in ranges for c, d in held)


class QuietServer(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # the downloader closes connections when it has what it wants


class Run:
    """One kestrelfetch process with its own data home, save folder and TMPDIR."""

    def __init__(self, case, root, product, *args, save=None, data=None, prefix=(),
                 extra_env=None):
        self.root = root
        self.save = save or os.path.join(root, "save")
        self.data = data or os.path.join(root, "data")
        os.makedirs(os.path.join(root, "tmp"), exist_ok=True)
        self.out_path = os.path.join(root, f"out-{time.monotonic_ns()}.log")
        env = dict(os.environ, KESTRELFETCH_DATA_HOME=self.data, TMPDIR=os.path.join(root, "tmp"),
                   HOME=os.path.join(root, "home"), **(extra_env or {}))
        self.out = open(self.out_path, "wb")
        self.proc = subprocess.Popen(
            [*prefix, APP, "--console", "--product", product, "--save", self.save, *args],
            cwd=root, env=env, stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.out,
            start_new_session=True)
        case.addCleanup(self.kill)

    def output(self):
        with open(self.out_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait(self, seconds=150):
        try:
            return self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"no end within {seconds} s:\n{self.output()[-3000:]}")
        finally:
            self.out.close()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)


class AppAgainstLab(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kf-app-lab-")
        cls.dir = os.path.join(cls.tmp, "lab")
        up = subprocess.run([LAB, "up", cls.dir], capture_output=True, text=True, timeout=120)
        if up.returncode != 0:
            subprocess.run([LAB, "down", cls.dir], capture_output=True, timeout=60)
            shutil.rmtree(cls.tmp, ignore_errors=True)
            raise AssertionError(f"lab up failed: {up.stderr}")
        cls.env = e = load_env(cls.dir)
        cls.files = [{"name": e[f"LAB_FILE{i}_NAME"], "size": int(e[f"LAB_FILE{i}_SIZE"]),
                      "md5": e[f"LAB_FILE{i}_MD5"], "plen": int(e[f"LAB_FILE{i}_PIECE_LENGTH"]),
                      "torrent": os.path.basename(e[f"LAB_FILE{i}_TORRENT"])} for i in range(3)]
        cls.list_dir = os.path.dirname(e["LAB_RESOURCE_LIST_FILE"])
        cls.list_url = e["LAB_RESOURCE_LIST_URL"]
        with open(e["LAB_RESOURCE_LIST_FILE"]) as f:
            cls.list_xml = f.read()

    @classmethod
    def tearDownClass(cls):
        try:
            down = subprocess.run([LAB, "down", cls.dir], capture_output=True, text=True,
                                  timeout=60)
            assert down.returncode == 0, down.stderr
        finally:
            shutil.rmtree(cls.tmp, ignore_errors=True)

    # -- helpers --------------------------------------------------------------------------------

    def folder(self):
        return tempfile.mkdtemp(dir=self.tmp, prefix=self.id().rsplit(".", 1)[1][:24] + "-")

    def product(self, root, drop_ca=False, sources=None, list_url=None):
        """A copy of the lab's product folder with the given changes."""
        folder = os.path.join(root, "product")
        shutil.copytree(self.env["LAB_PRODUCT_DIR"], folder)
        ini = configparser.ConfigParser(inline_comment_prefixes=(";",))
        ini.read(os.path.join(folder, "product.ini"))
        if drop_ca:
            ini.remove_option("product", "ca_certificate")
        if list_url:
            ini["product"]["resource_list_url"] = list_url
        for i, base in (sources or {}).items():  # file index: scheme://host:port
            ini[f"file{i}"]["source_url"] = f"{base}/Client/42.51/{self.files[i]['name']}"
        with open(os.path.join(folder, "product.ini"), "w") as f:
            ini.write(f)
        return folder

    def resource_list(self, name, xml):
        with open(os.path.join(self.list_dir, name), "w") as f:
            f.write(xml)
        return self.list_url.rsplit("/", 1)[0] + "/" + name

    def logs(self):
        e = self.env
        return [e["LAB_ACCESS_LOG"], e["LAB_SEEDER1_UPLOADS"], e["LAB_SEEDER2_UPLOADS"]]

    def mark(self):
        return [os.path.getsize(p) if os.path.exists(p) else 0 for p in self.logs()]

    def settled(self):
        """The logs once nginx and the seeders have written what they served (they write when a
        request ends or an alert is popped): unchanged over half a second."""
        last = [None]

        def same():
            now, last[0] = self.mark(), self.mark()
            time.sleep(0.5)
            return self.mark() == now
        wait_for("the servers' logs to settle", same, 10, 0)

    def served(self, mark):
        """Since the mark: the access log's requests and, per file, the byte ranges that the
        source, the mirror and the seeders sent, those the seeders sent, and where each HTTP
        answer began. The engine asks HTTP servers for open-ended ranges and closes the
        connection once it has what it wants, so an answer's byte count includes what the
        server had pushed into the socket by then: where a request began is exact, its end not."""
        self.settled()
        texts = []
        for path, at in zip(self.logs(), mark):
            with open(path, "rb") as f:
                f.seek(at)
                texts.append(f.read().decode(errors="replace"))
        requests, ranges, starts = [], {i: [] for i in range(3)}, {i: [] for i in range(3)}
        names = {f["name"]: i for i, f in enumerate(self.files)}
        for line in texts[0].splitlines():
            m = ACCESS.match(line)
            self.assertTrue(m, f"an access log line not in the lab's format: {line}")
            addr, port, host, method, path, status, body, rng = m.groups()
            requests.append({"addr": addr, "host": host, "method": method, "path": path,
                             "status": int(status), "body": int(body), "range": rng})
            i = names.get(path.rsplit("/", 1)[-1])
            if i is not None and int(status) in (200, 206) and int(body) > 0:
                start = int(re.match(r"bytes=(\d+)-", rng).group(1)) if rng != "-" else 0
                ranges[i].append((start, start + int(body)))
                starts[i].append(start)
        torrents = {f["torrent"]: i for i, f in enumerate(self.files)}
        seeded = {i: [] for i in range(3)}
        for text in texts[1:]:
            for line in text.splitlines():
                name, piece, block = line.split()
                i = torrents[name]
                f = self.files[i]
                start = int(piece) * f["plen"] + int(block) * BLOCK
                end = min(start + BLOCK, (int(piece) + 1) * f["plen"], f["size"])
                ranges[i].append((start, end))
                seeded[i].append((start, end))
        return requests, ranges, seeded, starts

    def held(self, data, save, quick=False):
        """Per file, the byte ranges that the saved state holds: the resume record's pieces and
        partial pieces, or the whole file once it is complete under its name."""
        held = {}
        for i, f in enumerate(self.files):
            records = glob.glob(os.path.join(data, "**", f["name"] + ".kfinfo"), recursive=True)
            final = os.path.join(save, f["name"])
            if not records:
                done = not quick and os.path.exists(final) and md5_of(final) == f["md5"]
                held[i] = [(0, f["size"])] if done else []
                continue
            with open(records[0], "rb") as r:
                outer = dict(bdecode(r.read())[0])
            ranges = []
            if b"bits" in outer:
                record = bdecode(outer[b"bits"])[0]
                entries = dict((k, v) for k, v in record if k in (b"BitField", b"PieceStatus"))
                bits = entries.get(b"BitField", b"")
                for p in range(len(bits) * 8):
                    if bits[p // 8] & (0x80 >> (p % 8)):
                        ranges.append((p * f["plen"], min((p + 1) * f["plen"], f["size"])))
                for piece in entries.get(b"PieceStatus", []):
                    fields = dict(piece)
                    start = fields.get(b"Index", 0) * f["plen"]
                    ranges.append((start, start + fields.get(b"Part", 0)))
            held[i] = ranges
        return held

    def assert_complete(self, run, code=0, seconds=150):
        rc = run.wait(seconds)
        out = run.output()
        self.assertEqual(rc, code, out[-3000:])
        for f in self.files:
            self.assertEqual(md5_of(os.path.join(run.save, f["name"])), f["md5"], f["name"])
        self.assertEqual(sorted(os.listdir(run.save)), sorted(f["name"] for f in self.files))
        self.assertEqual(os.listdir(os.path.join(run.root, "tmp")), [], "nothing in TMPDIR")
        return out

    def installer_runs(self, since):
        with open(self.env["LAB_INSTALLER_RECORD"]) as f:
            f.seek(since)
            return [chunk for chunk in f.read().split("run pid=")[1:]]

    # -- the scenarios ----------------------------------------------------------------------------

    def test_full_run_starts_the_installer_detached_then_a_flipped_byte_is_repaired(self):
        root = self.folder()
        record_at = os.path.getsize(self.env["LAB_INSTALLER_RECORD"])
        run = Run(self, root, self.env["LAB_PRODUCT_DIR"], "--verify", "yes")
        self.assert_complete(run)
        runs = wait_for("the installer's record", lambda: [
            r for r in self.installer_runs(record_at) if r.rstrip().endswith("end")], 20)
        self.assertEqual(len(runs), 1, runs)
        lines = runs[0].splitlines()
        pid = int(lines[0])
        fields = dict(line.split(" ", 1) for line in lines[1:] if " " in line)
        self.assertEqual(fields["cwd"], run.save)
        self.assertEqual(fields["argc"], "0")
        ppid, pgrp, sid = map(int, fields["ids"].split())
        # Its own session (the launcher's first child led it and is gone), no one's child.
        self.assertEqual(pgrp, sid)
        self.assertNotIn(sid, (os.getsid(0), run.proc.pid))
        self.assertNotEqual(ppid, run.proc.pid, "not the downloader's child")
        fds = dict(line[3:].split(" -> ") for line in lines if line.startswith("fd "))
        self.assertEqual(fds["0"], "/dev/null")
        installer = os.path.realpath(os.path.join(run.save, self.files[0]["name"]))
        self.assertLessEqual({t for fd, t in fds.items() if int(fd) > 2}, {installer},
                             "beyond 0-2 only the shell's descriptor on its own script")

        # One byte flipped in the middle of file 1, its time stamps put back.
        f = self.files[1]
        path = os.path.join(run.save, f["name"])
        before = os.stat(path)
        where = f["size"] // 2 + 12345
        with open(path, "r+b") as d:
            d.seek(where)
            byte = d.read(1)
            d.seek(where)
            d.write(bytes([byte[0] ^ 0x5A]))
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
        mark = self.mark()
        repair = Run(self, root, self.env["LAB_PRODUCT_DIR"], "--verify", "yes", "--no-install")
        self.assert_complete(repair)
        requests, ranges, seeded, starts = self.served(mark)
        piece = (piece_start := where // f["plen"] * f["plen"], piece_start + f["plen"])
        self.assertEqual((ranges[0], ranges[2]), ([], []), "the sound files were not fetched")
        self.assertTrue(ranges[1], "the damaged piece was fetched again")
        self.assertTrue(all(piece[0] <= at < piece[1] for at in starts[1]), requests)
        self.assertEqual(overlap(seeded[1], [(0, piece[0]), (piece[1], f["size"])]), 0,
                         f"the seeders sent more than the damaged piece {piece}")

    def test_kill_9_at_half_then_restart_fetches_nothing_the_record_held(self):
        # The engine writes its resume records every 20 s: the first run takes its files from a
        # source slowed to about 1.2 MB/s alone, so that half comes after a record or two.
        root = self.folder()
        total = sum(f["size"] for f in self.files)
        slow = self.serve_files("127.0.0.9", rate=1200000)
        product = self.product(root, list_url=self.no_p2p_list(),
                               sources=dict.fromkeys(range(3), slow))
        first = Run(self, root, product, "--verify", "yes", "--no-install")

        def half_and_recorded():
            out = first.output()
            if first.proc.poll() is not None:
                raise AssertionError(f"ended before half:\n{out[-3000:]}")
            shown = re.findall(r"^(\d+\.\d+)%  downloading", out, re.M)
            held = self.held(first.data, first.save, quick=True)
            return shown and float(shown[-1]) >= 50 and any(held.values())
        wait_for("half of the download, with a resume record", half_and_recorded, 120, 0.05)
        first.proc.send_signal(signal.SIGKILL)
        first.wait(30)
        held = self.held(first.data, first.save)
        held_bytes = sum(union_length(r) for r in held.values())
        self.assertTrue(0 < held_bytes < total, "killed with a record, before the end")

        # Again with the lab's own product: its source, its mirror and the swarm.
        mark = self.mark()
        second = Run(self, root, self.env["LAB_PRODUCT_DIR"], "--verify", "yes", "--no-install")
        self.assert_complete(second)
        requests, _, seeded, starts = self.served(mark)
        for i in range(3):
            self.assertEqual(overlap(seeded[i], held[i]), 0,
                             f"file {i}: the seeders sent again what the record held")
            self.assertEqual(overlap([(at, at + 1) for at in starts[i]], held[i]), 0,
                             f"file {i}: an HTTP request began inside what the record held")
        self.assertTrue(any(starts.values()), "HTTP served")
        self.assertLessEqual(sum(union_length(r) for r in seeded.values()), total - held_bytes)

    def no_p2p_list(self):
        """A resource list with P2P off and no mirrors."""
        return self.resource_list("no-p2p.xml", re.sub(
            r"(?s)<resources>.*</resources>", "<resources/>",
            self.list_xml.replace("<p2p-switch>on<", "<p2p-switch>off<")))

    def bytes_on_disk(self, save):
        total = 0
        for path in glob.glob(os.path.join(save, "*")):
            try:
                total += os.stat(path).st_blocks * 512
            except OSError:
                pass
        return total

    def test_with_the_default_source_dead_the_mirror_and_the_swarm_complete_it(self):
        dead = f"http://127.0.0.1:{closed_port()}"
        # The list's resources name the files by their default source address.
        listed = re.sub(r'task="http://[^/]+/', f'task="{dead}/', self.list_xml)
        mirror_at = f"{self.env['LAB_MIRROR_ADDR']}:{self.env['LAB_MIRROR_PORT']}"
        # The program wraps its handshakes in an HTTP header; the lab's seeders are plain peers.
        cases = {
            "mirror and swarm": listed,
            "mirror alone": listed.replace("<p2p-switch>on<", "<p2p-switch>off<"),
            "swarm alone": listed.replace(mirror_at, f"127.0.0.2:{closed_port('127.0.0.2')}"),
        }
        for n, (name, xml) in enumerate(cases.items()):
            with self.subTest(name):
                root = self.folder()
                mark = self.mark()
                url = self.resource_list(f"dead-source-{n}.xml", xml)
                run = Run(self, root, self.product(root, sources=dict.fromkeys(range(3), dead),
                                                   list_url=url), "--verify", "yes", "--no-install")
                self.assert_complete(run, seconds=60)
                requests, ranges, seeded, _ = self.served(mark)
                # ranges holds what every side sent, seeded the seeders' part.
                for i, f in enumerate(self.files):
                    self.assertEqual(union_length((seeded if name == "swarm alone" else ranges)[i]),
                                     f["size"], f"file {i}")
                    if name == "mirror alone":
                        self.assertEqual(seeded[i], [], f"file {i}: nothing from the seeders")
                files = [r for r in requests if r["path"] != urllib.parse.urlsplit(url).path]
                self.assertTrue(all(r["host"] == self.env["LAB_MIRROR_HOST"] and
                                    r["addr"] == self.env["LAB_MIRROR_ADDR"] for r in files))
                if name == "mirror alone":
                    self.assertTrue(files)
                if name == "swarm alone":
                    self.assertEqual(files, [], "only the list came over HTTP")

    def test_bad_certificates_and_hostile_lists_change_nothing(self):
        e = self.env
        # The lab's server certificate names 127.0.0.1 and localhost, not 127.0.0.7.
        pki = os.path.join(self.dir, "pki")
        asked = []

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                asked.append(self.path)
                body = AppAgainstLab.list_xml.encode()
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass
        server = HTTPServer(("127.0.0.7", 0), Handler)
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(os.path.join(pki, "server.pem"), os.path.join(pki, "server.key"))
        server.socket = tls.wrap_socket(server.socket, server_side=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        wrong_name = f"https://127.0.0.7:{server.server_address[1]}/downloader/list.xml"

        mirror = f'host-name="{e["LAB_MIRROR_HOST"]}"'
        hostile = self.list_xml
        names = [f["name"] for f in self.files]
        hostile = hostile.replace(mirror, f'host-name="{e["LAB_MIRROR_HOST"]}&#13;&#10;X-Evil: 1"',
                                  1)
        hostile = hostile.replace('middle-dir="/mirror/42.51/" file-name="' + names[1],
                                  'middle-dir="/mirror/../../42.51/" file-name="' + names[1])
        hostile = hostile.replace('file-name="' + names[2], 'file-name="../' + names[2])
        self.assertEqual([hostile.count(x) for x in ("X-Evil", "/mirror/../../", '"../')],
                         [1, 1, 1], "each mirror changed")
        huge = self.list_xml.replace("</project>",
                                     "<!-- " + "x" * (2 << 20) + " -->\n</project>")
        cases = {"without the lab's authority": dict(drop_ca=True),
                 "a certificate for another name": dict(list_url=wrong_name),
                 "CR/LF in a host, .. in paths": dict(
                     list_url=self.resource_list("hostile.xml", hostile)),
                 "a body over 1 MiB": dict(list_url=self.resource_list("huge.xml", huge))}
        for what, change in cases.items():
            with self.subTest(what):
                root = self.folder()
                mark = self.mark()
                run = Run(self, root, self.product(root, **change), "--verify", "yes",
                          "--no-install")
                self.assert_complete(run)
                requests, _, _, _ = self.served(mark)
                self.assertEqual([r for r in requests if r["host"] == e["LAB_MIRROR_HOST"] or
                                  r["addr"] == e["LAB_MIRROR_ADDR"] or ".." in r["path"]], [],
                                 "no mirror was taken from the list")
                self.assertTrue(any(r["path"].startswith("/Client/") for r in requests),
                                "the default source served")
                written = {os.path.relpath(p, root) for p in glob.glob(root + "/**",
                                                                       recursive=True)}
                self.assertEqual({p for p in written if not p.startswith(
                    ("save", "data", "product", "out-", "tmp", "."))}, set(),
                    "nothing outside the save and data folders")
        self.assertEqual(asked, [], "no request went past the mismatched certificate")

    def test_a_full_disk_pauses_with_the_message_and_the_download_goes_on_once_it_grows(self):
        if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("nsenter"):
            self.skipTest("needs root, unshare and nsenter to mount a tmpfs of its own")
        probe = subprocess.run(["unshare", "-m", "--propagation", "private", "mount", "-t",
                                "tmpfs", "-o", "size=1m", "tmpfs", self.tmp],
                               capture_output=True, text=True, timeout=20)
        if probe.returncode != 0:
            self.skipTest(f"cannot mount a tmpfs in a private namespace: {probe.stderr.strip()}")
        # File 2 comes only from a source that holds its answers until the disk is filled, so
        # that its preallocation is the write that finds the disk full; no swarm, no mirrors.
        gate = threading.Event()
        base = self.serve_files("127.0.0.8", gate=gate)
        url = self.no_p2p_list()
        root = self.folder()
        disk, save = os.path.join(root, "disk"), os.path.join(root, "disk", "save")
        os.makedirs(disk)
        # Big enough for the start's check (the files and 100 MiB kept free); the wrapper holds
        # the mount namespace and prints the digests of what it saved.
        script = ('set -e; mount -t tmpfs -o size=160m tmpfs "$1"; mkdir "$2"; shift 2; '
                  'set +e; "$@"; rc=$?; cd "$KF_SAVE" && md5sum -- *; exit $rc')
        product = self.product(root, list_url=url, sources={2: base})
        run = Run(self, root, product, "--verify", "yes", "--no-install", save=save,
                  prefix=["unshare", "-m", "--propagation", "private", "bash", "-c", script, "_",
                          disk, save], extra_env={"KF_SAVE": save})
        inside = f"/proc/{run.proc.pid}/root{disk}"

        def allocated():
            if run.proc.poll() is not None:
                raise AssertionError(f"ended early:\n{run.output()[-3000:]}")
            return self.bytes_on_disk(inside + "/save")

        wait_for("files 0 and 1 on the disk", lambda: allocated() >= self.files[0]["size"] +
                 self.files[1]["size"], 120, 0.02)
        s = os.statvfs(inside)
        with open(inside + "/ballast", "wb") as ballast:
            os.posix_fallocate(ballast.fileno(), 0, s.f_bavail * s.f_frsize - (4 << 20))
        gate.set()
        wait_for("the disk-space message and the wait", lambda: NO_SPACE in run.output() and
                 "waiting for free space" in run.output(), 60, 0.1)
        self.assertNotIn(self.files[2]["md5"], run.output())
        grow = subprocess.run(["nsenter", "-t", str(run.proc.pid), "-m", "mount", "-o",
                               "remount,size=400m", disk], capture_output=True, text=True,
                              timeout=20)
        self.assertEqual(grow.returncode, 0, grow.stderr)
        rc = run.wait()
        out = run.output()
        self.assertEqual(rc, 0, out[-3000:])
        self.assertIn("there is space again", out)
        for f in self.files:
            self.assertIn(f"{f['md5']}  {f['name']}", out)

    def serve_files(self, address, gate=None, rate=None):
        """An HTTP source of the lab's files on ADDRESS that answers once GATE is set, at RATE
        bytes a second in all when given."""
        files = self.env["LAB_FILES_DIR"]
        pace = threading.Lock()
        next_send = [time.monotonic()]

        def paced(n):
            if rate:
                with pace:
                    at = max(time.monotonic(), next_send[0])
                    next_send[0] = at + n / rate
                time.sleep(max(0.0, at - time.monotonic()))

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                if gate:
                    gate.wait(60)
                path = os.path.join(files, os.path.basename(self.path))
                size = os.path.getsize(path)
                m = re.match(r"bytes=(\d+)-(\d*)$", self.headers.get("Range", ""))
                start = int(m.group(1)) if m else 0
                end = min(int(m.group(2)) + 1 if m and m.group(2) else size, size)
                self.send_response(206 if m else 200)
                if m:
                    self.send_header("Content-Range", f"bytes {start}-{end - 1}/{size}")
                self.send_header("Content-Length", str(end - start))
                self.end_headers()
                with open(path, "rb") as f:
                    f.seek(start)
                    left = end - start
                    while left > 0:
                        chunk = f.read(min(left, 1 << 16))
                        paced(len(chunk))
                        self.wfile.write(chunk)
                        left -= len(chunk)

            def log_message(self, *args):
                pass
        server = QuietServer((address, 0), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        if gate:
            self.addCleanup(gate.set)
        return f"http://{address}:{server.server_address[1]}"

    def test_a_second_start_ends_at_once_and_the_first_shows_itself(self):
        root = self.folder()
        product = self.env["LAB_PRODUCT_DIR"]
        first = Run(self, root, product, "--verify", "yes", "--no-install")
        wait_for("the first to download", lambda: "state: " in first.output(), 60)
        # What merely starting and ending this (sanitised) program costs on this machine now.
        started = time.monotonic()
        subprocess.run([APP, "--help"], capture_output=True, timeout=20)
        bare = time.monotonic() - started
        started = time.monotonic()
        second = subprocess.run([APP, "--console", "--product", product, "--save",
                                 first.save, "--verify", "yes"], cwd=root, capture_output=True,
                                text=True, timeout=20,
                                env=dict(os.environ, KESTRELFETCH_DATA_HOME=first.data,
                                         TMPDIR=os.path.join(root, "tmp")))
        self.assertLess(time.monotonic() - started, bare + 1.5)
        self.assertEqual(second.returncode, 0, second.stderr)
        wait_for("the first to be told", lambda: "another start asked for this downloader" in
                 first.output(), 10)
        self.assert_complete(first)


def main():
    global APP
    parser = argparse.ArgumentParser()
    parser.add_argument("--kestrelfetch", required=True)
    args, rest = parser.parse_known_args()
    APP = os.path.abspath(args.kestrelfetch)
    missing = [t for t in ("nginx", "opentracker", "openssl", "curl", "setsid", "flock")
               if shutil.which(t) is None]
    if missing or subprocess.run([sys.executable, "-c", "import libtorrent"]).returncode != 0:
        print(f"skipped: {missing or 'python3-libtorrent'} missing (scripts/install-deps)")
        return 77
    return 0 if unittest.main(argv=[sys.argv[0]] + rest, exit=False).result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
