#!/usr/bin/env bash
# Tunnelled-connection benchmarks in network namespaces (tests/netns/netns_lab.py's layout: h1
# behind router r1, h2 behind router r2, both port-restricted cone NATs; pub 198.51.100.1 with
# kf-rendezvous on :82 and opentracker on :6969), under three line conditions made by the routers
# on the UDP they forward outwards: none, 20 ms each way, and 5 % loss + 20 ms each way.
#   1. tunnel_bench on loopback (inside pub's namespace): one tunnel, and 8 tunnels at once;
#   2. hole-punched connects h2 -> h1 across both NATs (connect times, p95), no loss;
#   3. one tunnel h2 -> h1 at 20 ms each way, and at 5 % loss + 20 ms with the window fix and
#      with the unfixed window rule (--send-past-window) in the same lab;
#   4. BitTorrent: a kfget leecher on h2 from a kfget seeder on h1 over tunnels (--prefer-udp),
#      and the anchor: a libtorrent leecher on h2 from a libtorrent seeder on h1, uTP only. uTP
#      needs one side reachable, so for the anchor r1 forwards UDP port 6890 to h1 (a DNAT rule);
#      kfget gets no such help.
# Each figure is the median of `runs`; ratios are against the libtorrent anchor of the same lab.
#   bench/tunnel.sh [runs]          (default 3; needs root for the namespaces)
#   KF_BENCH_DIR          folder for the temporary files (default $TMPDIR or /tmp)
#   KF_BENCH_TUNNEL_MIB   bytes per tunnel_bench connection, MiB (default 8)
#   KF_BENCH_BT_MIB       BitTorrent file, MiB (default 16); at 5 % loss KF_BENCH_LOSSY_MIB (2)
#   KF_BENCH_TIMEOUT      seconds one transfer may take (default 900)
#   KF_BENCH_BUILD=DIR    use the programs of this build instead of building
# Builds a Release build (no sanitizers) with the benchmark programs in build-bench-tunnel. Nothing
# leaves the namespaces; the lab deletes them and ends the processes it started.
set -euo pipefail
cd "$(dirname "$0")/.."
py=/usr/bin/python3
build="$(realpath "${KF_BENCH_BUILD:-build-bench-tunnel}")"
tunnel_bench="$build/bench/tunnel_bench"

if [ "${1:-}" != --inside ]; then
    runs="${1:-3}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "bench/tunnel.sh needs root (it builds network namespaces)" >&2
        exit 1
    fi
    for tool in ip iptables nft opentracker mktorrent ss; do
        command -v "$tool" >/dev/null || { echo "needs $tool (scripts/install-deps)" >&2; exit 1; }
    done
    $py -c 'import libtorrent' || { echo "needs python3-libtorrent" >&2; exit 1; }
    if [ -z "${KF_BENCH_BUILD:-}" ]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKF_SANITIZE=OFF \
            -DKF_TESTS=OFF -DKF_BENCH=ON >/dev/null
        targets=(kfget kf-rendezvous kf-nfqdelay tunnel_bench)
        nice -n 19 cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
    fi
    nfqdelay="$build/tests/netns/kf-nfqdelay/kf-nfqdelay"
    [ -x "$nfqdelay" ] || nfqdelay="$build/kf-nfqdelay"
    [ -x "$nfqdelay" ] || { echo "no kf-nfqdelay (needs libnetfilter-queue-dev)" >&2; exit 1; }

    base="${KF_BENCH_DIR:-${TMPDIR:-/tmp}}"
    work="$(mktemp -d "$base/kf-bench-tunnel.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
    chmod 755 "$work"
    mkdir -p "$work/data" "$work/tracker"
    export KF_BENCH_WORK="$work" KF_BENCH_RUNS="$runs"
    for name in bt:"${KF_BENCH_BT_MIB:-16}" lossy:"${KF_BENCH_LOSSY_MIB:-2}"; do
        head -c $((${name#*:} << 20)) /dev/urandom >"$work/data/${name%:*}.bin"
        mktorrent -p -l 18 -a "http://198.51.100.1:6969/announce" -o "$work/${name%:*}.torrent" \
            "$work/data/${name%:*}.bin" >/dev/null
        $py -c 'import sys, libtorrent as t; print(t.torrent_info(sys.argv[1]).info_hashes().v1)' \
            "$work/${name%:*}.torrent" >>"$work/tracker/whitelist.txt"
    done
    chmod -R a+rX "$work"
    echo "tunnel benchmarks, median of $runs; load before: $(uptime)"
    lab=(python3 tests/netns/netns_lab.py --nfqdelay "$nfqdelay")
    "${lab[@]}" -- bash bench/tunnel.sh --inside none
    "${lab[@]}" --delay-ms 20 -- bash bench/tunnel.sh --inside delay20
    "${lab[@]}" --loss 5 --delay-ms 20 -- bash bench/tunnel.sh --inside loss5-delay20
    echo "load after: $(uptime)"
    echo
    echo "| figure | target | measured |"
    echo "|---|---|---|"
    cat "$work/figures.md"
    exit 0
fi

# Inside one lab (KF_LAB_PREFIX names its namespaces): $2 names the line condition.
condition=$2
work=$KF_BENCH_WORK
runs=$KF_BENCH_RUNS
in_ns() {
    local name=$1
    shift
    ip netns exec "$KF_LAB_PREFIX-$name" "$@"
}
pids=()
cleanup() {
    local pid name
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    # What a backgrounded in_ns started is a grandchild of this shell: end everything the lab's
    # hosts still run (deleting a namespace does not end its processes).
    for name in pub h1 h2 h3; do
        ip netns pids "$KF_LAB_PREFIX-$name" 2>/dev/null | xargs -r kill -TERM 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT
log="$work/$condition"
mkdir -p "$log"
# Waits (at most $2 tenths of a second) until the file $1 holds the text $3.
wait_log() {
    for _ in $(seq 1 "$2"); do grep -q -- "$3" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "  no \"$3\" in $1:" >&2
    tail -5 "$1" >&2
    return 1
}
figure() { echo "| $1 | $2 | $3 |" >>"$work/figures.md"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
kbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", b / s / 1000 }'; }
now() { date +%s.%N; }

in_ns pub "$build/kf-rendezvous" --listen 198.51.100.1:82 >"$log/rendezvous.log" 2>&1 &
pids+=($!)
mkdir -p "$log/tracker" && cp "$work/tracker/whitelist.txt" "$log/tracker/" && chmod -R a+rX "$log"
# As root opentracker chroots into its folder: the whitelist is named from there.
in_ns pub opentracker -i 198.51.100.1 -p 6969 -P 6969 -d "$log/tracker" -w /whitelist.txt \
    >"$log/tracker.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
    in_ns pub ss -Hltn 'sport = :6969' | grep -q 6969 && break
    sleep 0.1
done

# tunnel_bench: "serve" on one side, "send" prints one JSON object with the connect times
# ("connect_ms", a list) and the throughput ("bytes_per_s"); the median over the runs is kept.
declare -A rate
tunnel_runs() { # key server-ns server-address client-ns send-arguments...
    local key=$1 sns=$2 saddr=$3 cns=$4 server rendezvous=198.51.100.1:82 rates=() i out
    shift 4
    if [ "$saddr" = 127.0.0.1 ]; then
        rendezvous=127.0.0.1:83
        if [ ! -e "$log/rendezvous-lo.log" ]; then
            in_ns "$sns" "$build/kf-rendezvous" --listen "$rendezvous" \
                >"$log/rendezvous-lo.log" 2>&1 &
            pids+=($!)
        fi
    fi
    in_ns "$sns" "$tunnel_bench" serve --rendezvous "$rendezvous" --port 7001 \
        >"$log/serve-$key.log" 2>&1 &
    server=$!
    pids+=("$server")
    for ((i = 0; i < runs; i++)); do
        out="$log/send-$key-$i.json"
        # A fresh sender port per run: no router mapping is left from the run before.
        in_ns "$cns" timeout "${KF_BENCH_TIMEOUT:-900}" "$tunnel_bench" send \
            --rendezvous "$rendezvous" --port $((7100 + i)) --to "$saddr:7001" "$@" \
            >"$out" 2>"$log/send-$key-$i.err" || {
            echo "  $key: tunnel_bench send failed (run $i)"
            tail -3 "$log/send-$key-$i.err" | sed 's/^/    /'
            break
        }
        rates+=("$($py -c 'import json, sys; print(json.load(open(sys.argv[1]))["bytes_per_s"])' \
            "$out")")
        $py -c 'import json, sys; print(*json.load(open(sys.argv[1]))["connect_ms"], sep="\n")' \
            "$out" >>"$log/connect-$key.txt"
    done
    kill -TERM "$server" 2>/dev/null || true
    ((${#rates[@]})) && rate[$key]=$(median "${rates[@]}")
    printf '  %-34s %s\n' "$key" "${rate[$key]:-failed} B/s (runs: ${rates[*]:-none})"
}
p95() {
    sort -g "$1" 2>/dev/null | awk '{ v[NR] = $1 } END {
        if (NR) printf "%.0f ms (of %d)", v[int(NR * 0.95 + 0.999)], NR; else print "none" }'
}

tunnel_bytes=$((${KF_BENCH_TUNNEL_MIB:-8} << 20))
echo "condition $condition:"
if [ -x "$tunnel_bench" ]; then
    case $condition in
    none)
        tunnel_runs loopback-x1 pub 127.0.0.1 pub --connections 1 --bytes "$tunnel_bytes"
        tunnel_runs loopback-x8 pub 127.0.0.1 pub --connections 8 --bytes "$tunnel_bytes"
        tunnel_runs punch h1 198.51.100.11 h2 --connections 8 --bytes 65536
        figure "one tunnel, loopback" ">= 600 KB/s" "$(kbps "${rate[loopback-x1]:-0}" 1) KB/s"
        figure "8 tunnels, loopback" ">= 3 MB/s" "$(kbps "${rate[loopback-x8]:-0}" 1) KB/s"
        figure "hole-punched connect p95, no loss" "<= 0.5 s" "$(p95 "$log/connect-punch.txt")"
        ;;
    delay20)
        tunnel_runs nat-x1 h1 198.51.100.11 h2 --connections 1 --bytes "$tunnel_bytes"
        figure "one tunnel, 20 ms each way" ">= 300 KB/s" "$(kbps "${rate[nat-x1]:-0}" 1) KB/s"
        ;;
    loss5-delay20)
        lossy_bytes=$((${KF_BENCH_LOSSY_MIB:-2} << 20))
        tunnel_runs fixed h1 198.51.100.11 h2 --connections 1 --bytes "$lossy_bytes"
        tunnel_runs unfixed h1 198.51.100.11 h2 --connections 1 --bytes "$lossy_bytes" \
            --send-past-window
        figure "one tunnel, 5 % loss + 20 ms (window fix)" ">= 10 KB/s" \
            "$(kbps "${rate[fixed]:-0}" 1) KB/s"
        figure "one tunnel, 5 % loss + 20 ms (unfixed window)" "(stated)" \
            "$(kbps "${rate[unfixed]:-0}" 1) KB/s"
        ;;
    esac
else
    echo "  (no tunnel_bench in $build: tunnel figures skipped)"
fi

# BitTorrent: kfget over tunnels against libtorrent over uTP, the same file and line.
name=bt
[ "$condition" = loss5-delay20 ] && name=lossy
bytes=$(stat -c %s "$work/data/$name.bin")
in_ns h1 "$build/kfget" --torrent "$work/$name.torrent" --file "$work/data/$name.bin" \
    --resume "$log/seed.kfinfo" --bind 10.1.0.2 --listen-port 6881 \
    --rendezvous 198.51.100.1:82 --prefer-udp --no-lan --seed >"$log/kfget-seed.log" 2>&1 &
pids+=($!)
wait_log "$log/kfget-seed.log" 300 "external address" || true
in_ns h1 "$py" bench/lt_utp_peer.py seed --torrent "$work/$name.torrent" --save "$work/data" \
    --bind 10.1.0.2 --port 6890 >"$log/lt-seed.log" 2>&1 &
pids+=($!)
wait_log "$log/lt-seed.log" 600 SEEDING || true
in_ns r1 iptables -t nat -A PREROUTING -i wan -p udp --dport 6890 -j DNAT \
    --to-destination 10.1.0.2:6890
kfget_walls=() lt_walls=()
for ((i = 0; i < runs; i++)); do
    rm -rf "$log/dl" && mkdir -p "$log/dl"
    start=$(now)
    if in_ns h2 "$build/kfget" --torrent "$work/$name.torrent" --file "$log/dl/$name.bin" \
        --resume "$log/dl/leech.kfinfo" --bind 10.2.0.2 --listen-port 6882 \
        --rendezvous 198.51.100.1:82 --prefer-udp --no-lan --timeout "${KF_BENCH_TIMEOUT:-900}" -q \
        >"$log/kfget-leech-$i.log" 2>&1 && cmp -s "$log/dl/$name.bin" "$work/data/$name.bin"; then
        kfget_walls+=("$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')")
    else
        echo "  kfget leecher failed (run $i)"
        tail -3 "$log/kfget-leech-$i.log" | sed 's/^/    /'
    fi
    rm -rf "$log/dl" && mkdir -p "$log/dl"
    start=$(now)
    if in_ns h2 "$py" bench/lt_utp_peer.py leech --torrent "$work/$name.torrent" \
        --save "$log/dl" --bind 10.2.0.2 --port 6891 --peer 198.51.100.11:6890 \
        --time-limit "${KF_BENCH_TIMEOUT:-900}" >"$log/lt-leech-$i.log" 2>&1 &&
        cmp -s "$log/dl/$name.bin" "$work/data/$name.bin"; then
        lt_walls+=("$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')")
    else
        echo "  libtorrent leecher failed (run $i)"
        tail -3 "$log/lt-leech-$i.log" | sed 's/^/    /'
    fi
done
kfget_wall=$( ((${#kfget_walls[@]})) && median "${kfget_walls[@]}" || echo "")
lt_wall=$( ((${#lt_walls[@]})) && median "${lt_walls[@]}" || echo "")
printf '  %-34s %s (runs: %s)\n' "kfget <- kfget, tunnels" \
    "${kfget_wall:-failed}${kfget_wall:+ s}" "${kfget_walls[*]:-none}"
printf '  %-34s %s (runs: %s)\n' "libtorrent <- libtorrent, uTP" \
    "${lt_wall:-failed}${lt_wall:+ s}" "${lt_walls[*]:-none}"
ratio="-"
if [ -n "$kfget_wall" ] && [ -n "$lt_wall" ]; then
    ratio=$(awk -v k="$kfget_wall" -v l="$lt_wall" 'BEGIN { printf "%.2f", l / k }')
fi
kfget_rate=${kfget_wall:+$(kbps "$bytes" "$kfget_wall") KB/s}
lt_rate=${lt_wall:+$(kbps "$bytes" "$lt_wall") KB/s}
figure "BitTorrent $((bytes >> 20)) MiB, $condition: kfget / libtorrent uTP" "(ratio)" \
    "${kfget_rate:-failed} / ${lt_rate:-failed} = $ratio"
