#!/usr/bin/python3
"""A libtorrent seeder or leecher speaking uTP only (no TCP), for the tunnel benchmark's anchor in
the namespace lab: run it under `ip netns exec` (Debian's /usr/bin/python3, which has the binding).
DHT, local discovery, UPnP, NAT-PMP, peer exchange and the IP notifier are off; peers and trackers
are limited to the lab's addresses (10/8 and 198.51.100.0/24).
One line per event on stdout: LISTENING, SEEDING, COMPLETE seconds, ERROR text, TIME_LIMIT.
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
p.add_argument("--bind", required=True, help="the host's own address")
p.add_argument("--port", type=int, required=True)
p.add_argument("--peer", help="HOST:PORT to connect to (leech)")
p.add_argument("--time-limit", type=float, default=600.0)
a = p.parse_args()

if not a.bind.startswith(("10.", "198.51.100.")):
    sys.exit("lab addresses only")

ses = lt.session({
    "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
    "dht_bootstrap_nodes": "", "enable_ip_notifier": False,
    "listen_interfaces": f"{a.bind}:{a.port}",
    "enable_outgoing_tcp": False, "enable_incoming_tcp": False,
    "enable_outgoing_utp": True, "enable_incoming_utp": True,
    "allow_multiple_connections_per_ip": True,
    "user_agent": "kf-bench-peer", "peer_fingerprint": "-KL0001-",
    "alert_mask": lt.alert.category_t.status_notification | lt.alert.category_t.error_notification,
})
ipf = lt.ip_filter()
ipf.add_rule("0.0.0.0", "255.255.255.255", 1)
ipf.add_rule("10.0.0.0", "10.255.255.255", 0)
ipf.add_rule("198.51.100.0", "198.51.100.255", 0)
ses.set_ip_filter(ipf)

atp = lt.add_torrent_params()
atp.ti = lt.torrent_info(a.torrent)
atp.save_path = a.save
flags = lt.torrent_flags
atp.flags |= flags.disable_dht | flags.disable_lsd | flags.disable_pex
# the default flags hold paused|auto_managed: with either left the torrent never starts
atp.flags &= ~(flags.auto_managed | flags.paused)
h = ses.add_torrent(atp)

stop = False


def on_signal(*_):
    global stop
    stop = True


signal.signal(signal.SIGTERM, on_signal)
signal.signal(signal.SIGINT, on_signal)
t0 = time.monotonic()
done = seeding = False
last_connect = 0.0
print(f"LISTENING {a.bind}:{a.port}", flush=True)
while not stop and time.monotonic() - t0 < a.time_limit:
    ses.wait_for_alert(200)
    for al in ses.pop_alerts():
        if isinstance(al, lt.torrent_finished_alert) and a.mode == "leech":
            print(f"COMPLETE {time.monotonic() - t0:.3f}", flush=True)
            done = True
        elif isinstance(al, (lt.torrent_error_alert, lt.file_error_alert, lt.listen_failed_alert)):
            print(f"ERROR {al.message()}", flush=True)
    st = h.status()
    if st.is_seeding and not seeding:
        print("SEEDING", flush=True)
        seeding = True
    if done:
        break
    now = time.monotonic()
    if a.peer and st.num_peers == 0 and now - last_connect > 1:
        host, port = a.peer.rsplit(":", 1)
        h.connect_peer((host, int(port)))
        last_connect = now
if not stop and not done and a.mode == "leech":
    print("TIME_LIMIT", flush=True)
ses.pause()
sys.exit(0 if (a.mode == "seed" or done) else 1)
