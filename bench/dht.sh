#!/usr/bin/env bash
# DHT figures among 20 python3-libtorrent DHT nodes on 127.0.0.2-21 (tests/support/lt_dht_ring.py),
# node 0 seeding a 3 MiB torrent that has no tracker:
#  1. per run, a kfget (fresh node file) from its start to its first DHT peer (the seeder) and to
#     completion; beside it a fresh libtorrent downloader that joins the same way
#     (bench/lt_dht_client.py), and the ratio of their times to the first peer;
#  2. idle: a kfget seeding that torrent with the DHT on, from its first minute to its third: bytes
#     and messages out per second (its -v DHT lines) and the CPU of its "Kademlia" thread; beside
#     it the same traffic of a libtorrent node of the ring over the same two minutes.
#   bench/dht.sh [RUNS] [BUILD]   (default 3 runs; build folder build-bench, made as Release)
# Nothing leaves 127.0.0.x.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-3}"
build="${2:-build-bench}"
if [ ! -x "$build/kfget" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    nice -n 19 cmake --build "$build" -j2 --target kfget >/dev/null
fi
dir="$(mktemp -d)"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -n "${RING_PID:-}" ] && kill "$RING_PID" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

mkdir -p "$dir/seed"
head -c 3145728 /dev/urandom >"$dir/seed/d.bin"
mktorrent -d -l 16 -o "$dir/d.torrent" "$dir/seed/d.bin" >/dev/null
coproc RING { /usr/bin/python3 tests/support/lt_dht_ring.py --nodes 20 --torrent "$dir/d.torrent" \
    --data "$dir/seed" 2>"$dir/ring.err"; }
ready=""
while read -r -t 180 line <&"${RING[0]}"; do
    case "$line" in READY*) ready="$line"; break ;; FAILED*) break ;; esac
done
[ -n "$ready" ] || { echo "the ring did not come up: $line" >&2; cat "$dir/ring.err" >&2; exit 1; }
bootstrap="$(echo "$ready" | awk '{print $2}')"
echo "ring: ${ready#READY * }"
ask() { # one command to the ring, its answer
    echo "$1" >&"${RING[1]}"
    local answer
    read -r -t 60 answer <&"${RING[0]}"
    echo "${answer#ANSWER }"
}
stamp() { # prefixes each line with the seconds since $1
    /usr/bin/python3 -u -c 'import sys, time
t0 = float(sys.argv[1])
for line in sys.stdin:
    print("%.2f %s" % (time.time() - t0, line), end="", flush=True)' "$1"
}

echo "run  kfget: first DHT peer  complete  libtorrent: first peer  complete  ratio"
for run in $(seq 1 "$runs"); do
    address="127.0.0.$((60 + run))"
    port="$((41000 + run))"
    rm -rf "$dir/home" "$dir/got.bin"
    start="$(date +%s.%N)"
    KESTRELFETCH_DATA_HOME="$dir/home" KESTRELFETCH_LAN_INTERFACE=off "$build/kfget" \
        --torrent "$dir/d.torrent" --file "$dir/got.bin" --bind "$address" --listen-port "$port" \
        --dht-bootstrap "$bootstrap" --timeout 90 -v 2>&1 | stamp "$start" >"$dir/run$run.log"
    first="$(awk '/connected to .*BitTorrent peer/ {print $1; exit}' "$dir/run$run.log")"
    done_at="$(awk '/^[0-9.]+ +100.0%/ {print $1; exit}' "$dir/run$run.log")"
    rm -rf "$dir/lt" && mkdir -p "$dir/lt"
    /usr/bin/python3 bench/lt_dht_client.py "$dir/d.torrent" "$dir/lt" "127.0.0.$((80 + run))" \
        "$bootstrap" >"$dir/lt$run.log" 2>&1 || true
    lt_first="$(awk '/^first_peer/ {print $2}' "$dir/lt$run.log")"
    lt_done="$(awk '/^complete/ {print $2}' "$dir/lt$run.log")"
    ratio="$(awk -v l="${lt_first:-0}" -v k="${first:-0}" 'BEGIN { if (k > 0 && l > 0) printf "%.2f", l / k; else print "-" }')"
    printf "%3d  %20s s  %6s s  %18s s  %6s s  %s\n" "$run" "${first:-none}" "${done_at:-none}" \
        "${lt_first:-none}" "${lt_done:-none}" "$ratio"
done

# Idle: seed the finished file with the DHT on; measure from its first DHT line (60 s) to its
# third (180 s).
address=127.0.0.70
rm -rf "$dir/home"
KESTRELFETCH_DATA_HOME="$dir/home" KESTRELFETCH_LAN_INTERFACE=off "$build/kfget" \
    --torrent "$dir/d.torrent" --file "$dir/seed/d.bin" --bind "$address" --listen-port 42000 \
    --dht-bootstrap "$bootstrap" --seed --timeout 200 -v >"$dir/idle.log" 2>&1 &
kfget_pid=$!
pids+=("$kfget_pid")
sleep 2
tid=""
for task in /proc/"$kfget_pid"/task/*; do
    [ "$(cat "$task/comm" 2>/dev/null)" = "Kademlia" ] && tid="${task##*/}"
done
[ -n "$tid" ] || { echo "no Kademlia thread in kfget" >&2; cat "$dir/idle.log" >&2; exit 1; }
cpu_of() { local f; read -ra f <<<"$(sed 's/.*) //' "/proc/$kfget_pid/task/$tid/stat")"; echo $((f[11] + f[12])); }
wait_lines() { # until the kfget log holds $1 DHT lines
    local i
    for i in $(seq 1 400); do
        [ "$(grep -c '^kfget: DHT: ' "$dir/idle.log" || true)" -ge "$1" ] && return 0
        sleep 0.5
    done
    return 1
}
wait_lines 1
cpu0="$(cpu_of)"
lt0="$(ask "stats 10")"
wait_lines 3
cpu1="$(cpu_of)"
lt1="$(ask "stats 10")"
kill "$kfget_pid" 2>/dev/null || true
out_of() { grep '^kfget: DHT: ' "$dir/idle.log" | sed -n "${1}p" | sed -E 's/.* ([0-9]+) out \(([0-9]+) bytes\).*/\1 \2/'; }
read -r m0 b0 <<<"$(out_of 1)"
read -r m1 b1 <<<"$(out_of 3)"
field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
hz="$(getconf CLK_TCK)"
echo "idle over 120 s: $(grep '^kfget: DHT: ' "$dir/idle.log" | sed -n 3p | sed 's/^kfget: //')"
awk -v b=$((b1 - b0)) -v m=$((m1 - m0)) -v c=$((cpu1 - cpu0)) -v hz="$hz" \
    -v lb=$(($(field "$lt1" bytes_out) - $(field "$lt0" bytes_out))) \
    -v lm=$(($(field "$lt1" messages_out) - $(field "$lt0" messages_out))) -v ln="$(field "$lt1" nodes)" 'BEGIN {
    printf "kfget:      %.1f bytes/s out, %.2f messages/s out, Kademlia thread CPU %.3f s (%.3f %% of a core)\n",
        b / 120, m / 120, c / hz, 100 * c / hz / 120
    printf "libtorrent: %.1f bytes/s out, %.2f messages/s out (node 10, %d nodes in its table); ratio %.2f\n",
        lb / 120, lm / 120, ln, (lb > 0 ? b / lb : 0) }'
