#!/usr/bin/python3
"""A libtorrent seeder or leecher for loopback swarm tests and benchmarks.

Run with Debian's /usr/bin/python3 (the binding is a Debian package). It listens on and connects
from one 127/8 address only, with DHT, local discovery, UPnP, NAT-PMP, peer exchange and uTP off,
and accepts peers and trackers on 127/8 only. One line per event on stdout:
  LISTENING addr:port, TRACKER_OK url peers=N, TRACKER_PROBLEM text, SEEDING, COMPLETE s MB/s,
  HASH_FAILED piece, ERROR text, TIME_LIMIT, INCOMING addr (a TCP connection accepted),
  DISCONNECTED addr (a peer connection ended), and UPLOADED bytes (payload) at the end.
Exit status: 0 for a seeder stopped by a signal or a leecher that completed, 1 otherwise.
"""
import argparse
import signal
import sys
import time

import libtorrent as lt

p = argparse.ArgumentParser()
p.add_argument("mode", choices=["seed", "leech"])
p.add_argument("--torrent", required=True)
p.add_argument("--save", required=True)
p.add_argument("--bind", required=True, help="127/8 address to listen on and connect from")
p.add_argument("--port", type=int, required=True)
p.add_argument("--seed-mode", action="store_true", help="seed without checking the data first")
p.add_argument("--peer", action="append", default=[], help="HOST:PORT to connect to directly")
p.add_argument("--prefer-http", action="store_true", help="use the http:// tracker of a host first")
p.add_argument("--time-limit", type=float, default=600.0)
p.add_argument("--exit-when-done", action="store_true", help="leech: exit after completion")
p.add_argument("--status", action="store_true", help="print a status line every second")
p.add_argument("--upload-limit", type=int, default=0, help="bytes per second the torrent sends")
p.add_argument("--send-buffer", type=int, default=0,
               help="bytes read ahead for a peer at most (a cancel reaches the requests beyond)")
a = p.parse_args()

if not a.bind.startswith("127."):
    sys.exit("loopback addresses only")

settings = {
    "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
    "dht_bootstrap_nodes": "", "enable_ip_notifier": False,
    "listen_interfaces": f"{a.bind}:{a.port}",
    "outgoing_interfaces": a.bind,
    # every peer of a loopback swarm may share an address with another
    "allow_multiple_connections_per_ip": True,
    "enable_outgoing_utp": False, "enable_incoming_utp": False,
    "prefer_udp_trackers": not a.prefer_http,
    "user_agent": "kf-test-peer", "peer_fingerprint": "-KL0001-",
    "alert_mask": (lt.alert.category_t.status_notification | lt.alert.category_t.error_notification
                   | lt.alert.category_t.tracker_notification
                   | lt.alert.category_t.peer_notification
                   | lt.alert.category_t.connect_notification),
}
if a.send_buffer > 0:
    settings.update({"send_buffer_watermark": a.send_buffer, "send_buffer_low_watermark": a.send_buffer,
                     "send_buffer_watermark_factor": 1})
# The settings go to the constructor: a session made without them starts DHT and port mapping.
ses = lt.session(settings)
ipf = lt.ip_filter()
ipf.add_rule("0.0.0.0", "255.255.255.255", 1)
ipf.add_rule("127.0.0.0", "127.255.255.255", 0)
ses.set_ip_filter(ipf)

atp = lt.add_torrent_params()
atp.ti = lt.torrent_info(a.torrent)
atp.save_path = a.save
atp.flags |= lt.torrent_flags.disable_dht | lt.torrent_flags.disable_lsd | lt.torrent_flags.disable_pex
# the default flags hold paused|auto_managed: with either left the torrent never starts
atp.flags &= ~(lt.torrent_flags.auto_managed | lt.torrent_flags.paused)
if a.seed_mode:
    atp.flags |= lt.torrent_flags.seed_mode
h = ses.add_torrent(atp)
if a.upload_limit > 0:
    # a torrent's own limit holds for loopback peers too (the session's spares the local network)
    h.set_upload_limit(a.upload_limit)
t0 = time.monotonic()
for peer in a.peer:
    host, port = peer.rsplit(":", 1)
    h.connect_peer((host, int(port)))

stop = False


def on_signal(*_):
    global stop
    stop = True


signal.signal(signal.SIGTERM, on_signal)
signal.signal(signal.SIGINT, on_signal)


def say(msg):
    print(f"[{time.monotonic() - t0:8.3f}] {msg}", flush=True)


done = seeding = False
last_status = last_reannounce = last_connect = time.monotonic()
while not stop and time.monotonic() - t0 < a.time_limit:
    ses.wait_for_alert(200)
    for al in ses.pop_alerts():
        if isinstance(al, lt.listen_succeeded_alert):
            say(f"LISTENING {al.address}:{al.port} {al.socket_type}")
        elif isinstance(al, lt.listen_failed_alert):
            say(f"LISTEN_FAILED {al.message()}")
            stop = True
        elif isinstance(al, lt.tracker_reply_alert):
            say(f"TRACKER_OK {al.url} peers={al.num_peers}")
        elif isinstance(al, (lt.tracker_error_alert, lt.tracker_warning_alert)):
            say(f"TRACKER_PROBLEM {al.message()}")
        elif isinstance(al, lt.torrent_finished_alert) and a.mode == "leech" and not done:
            dt = time.monotonic() - t0
            say(f"COMPLETE {dt:.3f} s {h.torrent_file().total_size() / dt / 1e6:.1f} MB/s")
            done = True
        elif isinstance(al, lt.incoming_connection_alert):
            say(f"INCOMING {al.endpoint[0]}")
        elif isinstance(al, lt.peer_disconnected_alert):
            say(f"DISCONNECTED {al.endpoint[0]}")
        elif isinstance(al, lt.hash_failed_alert):
            say(f"HASH_FAILED {al.piece_index}")
        elif isinstance(al, (lt.torrent_error_alert, lt.file_error_alert)):
            say(f"ERROR {al.message()}")
    st = h.status()
    if st.is_seeding and not seeding:
        say("SEEDING")
        seeding = True
    if a.mode == "leech" and done and a.exit_when_done:
        break
    now = time.monotonic()
    if a.mode == "leech" and not done and st.num_peers == 0 and now - last_reannounce > 2:
        # a peer that announced after us is otherwise only heard of after many minutes
        h.force_reannounce(0, -1, lt.reannounce_flags_t.ignore_min_interval)
        last_reannounce = now
    if a.peer and not done and st.num_peers == 0 and now - last_connect > 1:
        # a direct peer that was not listening yet is tried again
        for peer in a.peer:
            host, port = peer.rsplit(":", 1)
            h.connect_peer((host, int(port)))
        last_connect = now
    if a.status and now - last_status >= 1.0:
        last_status = now
        say(f"state={st.state} progress={st.progress * 100:.1f}% peers={st.num_peers} "
            f"down={st.download_rate / 1e6:.1f}MB/s up={st.upload_rate / 1e6:.1f}MB/s "
            f"uploaded={st.all_time_upload}")
if not stop and time.monotonic() - t0 >= a.time_limit:
    say("TIME_LIMIT")
# the transfer counters are brought up to date once a second
settle = time.monotonic() + 1.2
while time.monotonic() < settle:
    ses.wait_for_alert(100)
    ses.pop_alerts()
say(f"UPLOADED {h.status().all_time_upload}")
ses.pause()
sys.exit(0 if (a.mode == "seed" or done) else 1)
