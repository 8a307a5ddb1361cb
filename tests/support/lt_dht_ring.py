#!/usr/bin/python3
"""A ring of libtorrent DHT nodes on 127/8 that tests drive over stdin/stdout.

Run with Debian's /usr/bin/python3 (the binding is a Debian package). Node i listens (TCP and UDP,
one port the system picks) on 127.0.0.(first + i) and talks to loopback only: no router, no LSD,
UPnP, NAT-PMP, IP notifier or uTP, and an IP filter that drops everything outside 127/8. The nodes
join one after another, each bootstrapping from node 0 and given its predecessor; a node whose table
stays short is given all the others. With --torrent and --data node 0 seeds that torrent (no
tracker: it is announced on the DHT).

Start-up prints "READY <ip:port,...> seconds=S min_table=N max_table=M" once every routing table
holds --min-table nodes (and the seeder has sent announce_peer), or "FAILED <why>". Then one
command a line on stdin, one answer line "ANSWER <text>" on stdout each (errors: "ANSWER ERROR ..."):
  nodes                              -> ip:port,...
  add_node I HOST:PORT               -> OK
  get_peers I HEX [SECONDS]          -> DONE|TIMEOUT ip:port,...   (peers found; DONE when the lookup ended)
  query I HOST:PORT BENC_HEX [SECONDS] -> REPLY <hex> | TIMEOUT
  stats I                            -> bytes_in=.. bytes_out=.. messages_in=.. messages_out=.. nodes=..
  traffic I HOST:PORT                -> queries_out=K:N,.. replies_in=K:N,.. errors_in=N queries_in=K:N,.. replies_out=N
  quit
This binding has no dht_direct_request, so `query` goes out from a socket of its own on node I's
address (another port) and waits for the reply with the query's transaction id. `traffic` counts the
KRPC messages node I itself exchanged with an endpoint outside the ring (from its packet log): it
shows whether libtorrent's own queries got answers.
"""
import argparse
import os
import re
import select
import signal
import socket
import sys
import time

import libtorrent as lt

p = argparse.ArgumentParser()
p.add_argument("--nodes", type=int, default=20)
p.add_argument("--first", default="127.0.0.2", help="node i uses this address + i")
p.add_argument("--min-table", type=int, default=5, help="READY once every table holds this many")
p.add_argument("--ready-timeout", type=float, default=120.0)
p.add_argument("--torrent", help="node 0 seeds this torrent ...")
p.add_argument("--data", help="... from this folder")
p.add_argument("--time-limit", type=float, default=1800.0, help="the whole run, then it exits")
a = p.parse_args()

octets = [int(x) for x in a.first.split(".")]
if octets[0] != 127 or a.nodes < 2 or octets[3] + a.nodes - 1 > 254:
    sys.exit("FAILED loopback addresses only, 2 nodes or more, within one /24")
if (a.torrent is None) != (a.data is None):
    sys.exit("FAILED --torrent and --data go together")
START = time.monotonic()
END = START + a.time_limit
ADDRS = [f"127.{octets[1]}.{octets[2]}.{octets[3] + i}" for i in range(a.nodes)]
C = lt.alert.category_t
# dht_operation_notification: without it no get_peers replies arrive; dht_log_notification: the
# packet log (traffic) and the end of a lookup.
ALERTS = (C.dht_notification | C.dht_operation_notification | C.dht_log_notification
          | C.status_notification | C.error_notification | C.stats_notification)


def settings(addr):
    return {
        "enable_dht": False,  # switched on when the node joins
        "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False, "enable_ip_notifier": False,
        "dht_bootstrap_nodes": "",
        "listen_interfaces": f"{addr}:0",
        "outgoing_interfaces": addr,
        # all nodes sit in one /24: libtorrent's anti-Sybil rules would keep one of them
        "dht_restrict_routing_ips": False, "dht_restrict_search_ips": False,
        "dht_ignore_dark_internet": False, "dht_prefer_verified_node_ids": False,
        "allow_multiple_connections_per_ip": True,
        "enable_outgoing_utp": False, "enable_incoming_utp": False,
        "alert_mask": ALERTS,
        # the packet log of a joining ring is thousands of alerts; a dropped one may be a lookup's end
        "alert_queue_size": 100000,
    }


def say(text):
    print(text, flush=True)


def fail(text):
    say(f"FAILED {text}")
    sys.exit(1)


stop = []
signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
signal.signal(signal.SIGINT, lambda *_: stop.append(1))

# Sessions get their settings in the constructor: a bare session starts DHT and port mapping.
sessions = [lt.session(settings(addr)) for addr in ADDRS]
loopback_only = lt.ip_filter()
loopback_only.add_rule("0.0.0.0", "255.255.255.255", 1)
loopback_only.add_rule("127.0.0.0", "127.255.255.255", 0)
for s in sessions:
    s.set_ip_filter(loopback_only)
ports = []
listen_deadline = time.monotonic() + 15
for s in sessions:
    while s.listen_port() == 0 and time.monotonic() < listen_deadline:
        time.sleep(0.01)
    ports.append(s.listen_port())
if 0 in ports:
    fail("a node did not listen")
ENDPOINTS = [f"{addr}:{port}" for addr, port in zip(ADDRS, ports)]
RING = set(ENDPOINTS)

# What the alert pump collects, per node.
latest_stats = [None] * a.nodes          # the last session_stats_alert's values
stats_serial = [0] * a.nodes
lookups = [dict() for _ in range(a.nodes)]  # traversal id -> {"target", "done"}
new_lookup = [[] for _ in range(a.nodes)]   # the latest (serial, traversal id, target)
lookup_serial = [0] * a.nodes
found = [dict() for _ in range(a.nodes)]    # info-hash hex -> set of "ip:port"
# node -> endpoint -> counters; only endpoints outside the ring, to keep the pump cheap
traffic = [dict() for _ in range(a.nodes)]
LOG_NEW = re.compile(r"^DHT traversal: \[(\S+)\] NEW target: ([0-9a-f]{40})")
LOG_DONE = re.compile(r"^DHT traversal: \[(\S+)\] COMPLETED")
PKT = re.compile(r"^(==>|<==) \[([0-9.]+:\d+)\]")


def traffic_of(i, endpoint):
    return traffic[i].setdefault(endpoint, {"sent_t": {}, "queries_out": {}, "replies_in": {},
                                            "errors_in": 0, "queries_in": {}, "replies_out": 0})


def count(table, key):
    table[key] = table.get(key, 0) + 1


def on_packet(i, al):
    m = PKT.match(al.message())
    if m is None or m.group(2) in RING:
        return
    try:
        msg = lt.bdecode(al.pkt_buf)
    except Exception:
        return
    if not isinstance(msg, dict):
        return
    t = traffic_of(i, m.group(2))
    kind, tid = msg.get(b"y"), msg.get(b"t", b"")
    outgoing = m.group(1) == "==>"
    if kind == b"q":
        name = msg.get(b"q", b"?").decode("ascii", "replace")
        if outgoing:
            count(t["queries_out"], name)
            if len(t["sent_t"]) < 4096:
                t["sent_t"][tid] = name
        else:
            count(t["queries_in"], name)
    elif kind == b"r":
        if outgoing:
            t["replies_out"] += 1
        else:
            count(t["replies_in"], t["sent_t"].pop(tid, "?"))
    elif kind == b"e" and not outgoing:
        t["errors_in"] += 1


def pump(wait_ms=0):
    if wait_ms > 0:
        sessions[0].wait_for_alert(wait_ms)
    for i, s in enumerate(sessions):
        for al in s.pop_alerts():
            if isinstance(al, lt.dht_pkt_alert):
                on_packet(i, al)
            elif isinstance(al, lt.dht_log_alert):
                text = al.message()
                m = LOG_NEW.match(text)
                if m:
                    lookups[i][m.group(1)] = {"target": m.group(2), "done": False}
                    lookup_serial[i] += 1
                    new_lookup[i].append((lookup_serial[i], m.group(1), m.group(2)))
                    del new_lookup[i][:-64]
                    continue
                m = LOG_DONE.match(text)
                if m and m.group(1) in lookups[i]:
                    lookups[i][m.group(1)]["done"] = True
            elif isinstance(al, lt.dht_get_peers_reply_alert):
                peers = found[i].setdefault(str(al.info_hash), set())
                for ip, port in al.peers():
                    if len(peers) < 4096:
                        peers.add(f"{ip}:{port}")
            elif isinstance(al, lt.session_stats_alert):
                latest_stats[i] = al.values
                stats_serial[i] += 1


def stats(i, timeout=3.0):
    serial = stats_serial[i]
    sessions[i].post_session_stats()
    end = time.monotonic() + timeout
    while stats_serial[i] == serial and time.monotonic() < end:
        pump(20)
    return latest_stats[i] if stats_serial[i] != serial else None


# Node 0 starts alone; each later node bootstraps from it (libtorrent asks a bootstrap node for
# nodes but never keeps it in its table) and is also given its predecessor as a plain node.
ready_deadline = time.monotonic() + a.ready_timeout
sessions[0].apply_settings({"enable_dht": True})
for i in range(1, a.nodes):
    sessions[i].apply_settings({"dht_bootstrap_nodes": ENDPOINTS[0], "enable_dht": True})
    sessions[i].add_dht_node((ADDRS[i - 1], ports[i - 1]))
    pump(50)
want = min(a.min_table, a.nodes - 1)
# libtorrent refreshes its buckets only every few minutes: on a loaded machine a node that joined
# while its neighbours were slow to answer may wait that long for a second entry. A node still
# short after a few seconds is given every other node to ping; their replies fill its table.
nudge_at = time.monotonic() + 5
while True:
    sizes = []
    for i in range(a.nodes):
        values = stats(i)
        sizes.append(-1 if values is None else values["dht.dht_nodes"])
    if min(sizes) >= want:
        break
    if time.monotonic() > ready_deadline or stop:
        fail(f"routing tables after {time.monotonic() - START:.1f} s: {sizes}")
    if time.monotonic() >= nudge_at:
        nudge_at = time.monotonic() + 5
        for i, size in enumerate(sizes):
            if size < want:
                for j in range(a.nodes):
                    if j != i:
                        sessions[i].add_dht_node((ADDRS[j], ports[j]))
    pump(200)

if a.torrent:
    atp = lt.add_torrent_params()
    atp.ti = lt.torrent_info(a.torrent)
    atp.save_path = a.data
    # the default flags hold paused|auto_managed: with either left the torrent never starts
    atp.flags &= ~(lt.torrent_flags.auto_managed | lt.torrent_flags.paused)
    atp.flags |= lt.torrent_flags.disable_lsd | lt.torrent_flags.disable_pex  # DHT stays on
    handle = sessions[0].add_torrent(atp)
    while not handle.status().is_seeding:
        if time.monotonic() > ready_deadline or stop:
            fail(f"node 0 does not seed: {handle.status().state} {handle.status().errc.message()}")
        pump(50)
    # the session cannot be asked to announce from this binding (its flags type is not exported):
    # the torrent announces itself
    handle.force_dht_announce()
    while (stats(0) or {}).get("dht.dht_announce_peer_out", 0) == 0:
        if time.monotonic() > ready_deadline or stop:
            fail("node 0 sent no announce_peer")
        pump(50)
say(f"READY {','.join(ENDPOINTS)} seconds={time.monotonic() - START:.2f} "
    f"min_table={min(sizes)} max_table={max(sizes)}")


def node_index(text):
    i = int(text)
    if not 0 <= i < a.nodes:
        raise ValueError(f"no node {i}")
    return i


def endpoint(text):
    host, port = text.rsplit(":", 1)
    if not host.startswith("127."):
        raise ValueError("loopback endpoints only")
    port = int(port)
    if not 1 <= port <= 65535:
        raise ValueError("bad port")
    return host, port


def seconds(args, at, default):
    return min(float(args[at]) if len(args) > at else default, 600.0)


def cmd_get_peers(args):
    i, target = node_index(args[0]), args[1].lower()
    limit = time.monotonic() + seconds(args, 2, 30.0)
    if not re.fullmatch(r"[0-9a-f]{40}", target):
        raise ValueError("info hash: 40 hex digits")
    pump()
    found[i].pop(target, None)
    before = lookup_serial[i]
    sessions[i].dht_get_peers(lt.sha1_hash(bytes.fromhex(target)))
    lookup_id = None
    while time.monotonic() < limit and not stop:
        pump(20)
        if lookup_id is None:
            lookup_id = next((lid for serial, lid, tgt in new_lookup[i]
                              if serial > before and tgt == target), None)
        if lookup_id is not None and lookups[i][lookup_id]["done"]:
            pump()
            return "DONE " + ",".join(sorted(found[i].get(target, ())))
    return "TIMEOUT " + ",".join(sorted(found[i].get(target, ())))


QUERY_SOCKETS = {}


def cmd_query(args):
    i, (host, port) = node_index(args[0]), endpoint(args[1])
    raw = bytes.fromhex(args[2])
    query = lt.bdecode(raw)
    if not isinstance(query, dict) or b"t" not in query:
        raise ValueError("not a bencoded dictionary with a transaction id")
    limit = time.monotonic() + seconds(args, 3, 5.0)
    # One socket per node for all its queries, so that a token handed out for a get_peers from
    # it (tokens may depend on the port) is good for the announce_peer that follows.
    sock = QUERY_SOCKETS.get(i)
    if sock is None:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((ADDRS[i], 0))
        QUERY_SOCKETS[i] = sock
    sock.sendto(raw, (host, port))
    while time.monotonic() < limit and not stop:
        pump()
        if not select.select([sock], [], [], 0.05)[0]:
            continue
        data, source = sock.recvfrom(65536)
        try:
            reply = lt.bdecode(data)
        except Exception:
            continue
        if (source == (host, port) and isinstance(reply, dict)
                and reply.get(b"t") == query[b"t"] and reply.get(b"y") in (b"r", b"e")):
            return "REPLY " + data.hex()
    return "TIMEOUT"


def cmd_stats(args):
    values = stats(node_index(args[0]))
    if values is None:
        return "ERROR no counters"
    names = ("bytes_in", "bytes_out", "messages_in", "messages_out", "nodes")
    return " ".join(f"{n}={values['dht.dht_' + n]}" for n in names)


def cmd_traffic(args):
    i, (host, port) = node_index(args[0]), endpoint(args[1])
    pump()
    t = traffic_of(i, f"{host}:{port}")

    def kinds(table):
        return ",".join(f"{k}:{n}" for k, n in sorted(table.items()))

    return (f"queries_out={kinds(t['queries_out'])} replies_in={kinds(t['replies_in'])} "
            f"errors_in={t['errors_in']} queries_in={kinds(t['queries_in'])} "
            f"replies_out={t['replies_out']}")


def cmd_add_node(args):
    i, ep = node_index(args[0]), endpoint(args[1])
    sessions[i].add_dht_node(ep)
    return "OK"


COMMANDS = {
    "nodes": (0, lambda args: ",".join(ENDPOINTS)),
    "add_node": (2, cmd_add_node),
    "get_peers": (2, cmd_get_peers),
    "query": (3, cmd_query),
    "stats": (1, cmd_stats),
    "traffic": (2, cmd_traffic),
}

pending = b""
stdin_open = True
while stdin_open and not stop and time.monotonic() < END:
    if select.select([sys.stdin.fileno()], [], [], 0.1)[0]:
        chunk = os.read(sys.stdin.fileno(), 65536)
        stdin_open = bool(chunk)
        pending += chunk
    pump()
    while b"\n" in pending:
        line, pending = pending.split(b"\n", 1)
        words = line.decode("ascii", "replace").split()
        if not words:
            continue
        if words[0] == "quit":
            stdin_open = False
            break
        command = COMMANDS.get(words[0])
        if command is None or len(words) - 1 < command[0]:
            say(f"ANSWER ERROR unknown command or missing arguments: {line[:80]!r}")
            continue
        try:
            say("ANSWER " + command[1](words[1:]))
        except (ValueError, RuntimeError) as e:
            say(f"ANSWER ERROR {e}")
    if len(pending) > 65536:
        pending = b""  # a line that long is no command
for s in sessions:
    s.pause()
sys.exit(0)
