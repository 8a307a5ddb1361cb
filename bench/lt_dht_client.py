#!/usr/bin/python3
"""A libtorrent downloader that finds its peers through the DHT alone, the anchor of bench/dht.sh.

  lt_dht_client.py TORRENT SAVE_DIR BIND_ADDRESS BOOTSTRAP(host:port,...)

Joins the DHT through the given nodes only (no router, LSD, UPnP, NAT-PMP or uTP), adds the
torrent and prints "first_peer S" when it first has a peer (polled every 50 ms) and "complete S" when the download
finishes, in seconds since its start; gives up after 90 s. Nothing leaves 127/8.
"""
import sys
import time

import libtorrent as lt

torrent, save, address, bootstrap = sys.argv[1:5]
start = time.monotonic()
session = lt.session({
    "listen_interfaces": f"{address}:0",
    "enable_dht": True, "dht_bootstrap_nodes": bootstrap,
    "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
    "enable_ip_notifier": False, "enable_outgoing_utp": False, "enable_incoming_utp": False,
    "dht_restrict_routing_ips": False, "dht_restrict_search_ips": False,
    "dht_ignore_dark_internet": False, "dht_prefer_verified_node_ids": False,
})
params = lt.add_torrent_params()
params.ti = lt.torrent_info(torrent)
params.save_path = save
handle = session.add_torrent(params)
first = None
while time.monotonic() - start < 90:
    time.sleep(0.05)
    status = handle.status()
    # A fast peer may have come and gone between two looks: its bytes tell.
    if first is None and (status.num_peers > 0 or status.total_payload_download > 0):
        first = time.monotonic() - start
        print(f"first_peer {first:.2f}", flush=True)
    if status.is_seeding:
        print(f"complete {time.monotonic() - start:.2f}", flush=True)
        break
