#!/usr/bin/env bash
# BitTorrent benchmarks on loopback: a 1 GiB torrent (1 MiB pieces) through a private opentracker.
#   1. kfget, aria2c and a libtorrent leecher downloading from one libtorrent seeder;
#   2. the same from four libtorrent seeders;
#   3. a libtorrent leecher downloading from kfget as the only seeder, and from a libtorrent
#      seeder as the only seeder.
# Wall time, throughput, CPU seconds (user + system) and peak memory of the measured side, the
# median of the runs after one warm-up, and the ratios against the other clients.
#   bench/bt.sh [runs]         (default 3)
#   KF_BENCH_DIR   folder for the temporary files (default $TMPDIR or /tmp); needs 3 GiB
#   KF_BENCH_CC / KF_BENCH_CXX   compilers (default clang / clang++ when installed)
#   KF_BENCH_NO_KFGET=1        measure the other clients only
#   KF_BENCH_KFGET=PATH        measure this kfget binary instead of building one
#   KF_BASELINE=PATH           also measure this kfget binary (another build) as a leecher, in
#                              the same alternation, labelled "baseline"
# Every peer listens on and connects from its own 127/8 address (not 127.0.0.1, which the engine
# refuses as a peer), with DHT, local discovery, UPnP, NAT-PMP and peer exchange off.
# Builds a Release kfget (no sanitizers) in build-bench-bt. Ends only the processes it started.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-3}"
build="build-bench-bt"
py=/usr/bin/python3
lt_peer="$PWD/tests/support/lt_peer.py"

for tool in /usr/bin/opentracker /usr/bin/aria2c /usr/bin/time mktorrent; do
    command -v "$tool" >/dev/null || { echo "needs $tool (scripts/install-deps)" >&2; exit 1; }
done
$py -c 'import libtorrent' || { echo "needs python3-libtorrent" >&2; exit 1; }

with_kfget=1
[ "${KF_BENCH_NO_KFGET:-0}" = 1 ] && with_kfget=0
kfget="${KF_BENCH_KFGET:-$PWD/$build/kfget}"
if ((with_kfget)) && [ -z "${KF_BENCH_KFGET:-}" ]; then
    cc="${KF_BENCH_CC:-$(command -v clang || echo cc)}"
    cxx="${KF_BENCH_CXX:-$(command -v clang++ || echo c++)}"
    cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_BUILD_TYPE=Release -DKF_SANITIZE=OFF -DKF_TESTS=OFF >/dev/null
    cmake --build "$build" --target kfget >/dev/null
fi

base="${KF_BENCH_DIR:-${TMPDIR:-/tmp}}"
free_kib=$(df -Pk "$base" | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt $((3 * 1024 * 1024)) ]; then
    echo "need 3 GiB free in $base" >&2
    exit 1
fi
work="$(mktemp -d "$base/kf-bench-bt.XXXXXX")"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=bench/lib.sh
. bench/lib.sh
# Waits (at most $2 tenths of a second) until the command succeeds.
wait_for() {
    local tenths=$1
    shift
    for _ in $(seq 1 "$tenths"); do "$@" && return 0; sleep 0.1; done
    return 1
}

mkdir -p "$work/data" "$work/dl" "$work/tracker"
data="$work/data/big.bin"
# The same bytes every time (openssl ends on the closed pipe).
(openssl enc -aes-128-ctr -pass pass:kf -nosalt -pbkdf2 </dev/zero 2>/dev/null || true) |
    head -c $((1 << 30)) >"$data"
tracker_port=$(free_port 127.0.0.1)
announce="http://127.0.0.1:$tracker_port/announce"
torrent="$work/big.torrent"
mktorrent -d -p -l 20 -a "$announce" -o "$torrent" "$data" >/dev/null
hash=$($py -c 'import sys, libtorrent as lt; print(lt.torrent_info(sys.argv[1]).info_hashes().v1)' "$torrent")
echo "$hash" >"$work/tracker/whitelist.txt"
chmod 755 "$work/tracker"
chmod 644 "$work/tracker/whitelist.txt"
# As root it chroots into its folder, so the whitelist is named from there.
whitelist="$work/tracker/whitelist.txt"
[ "$(id -u)" = 0 ] && whitelist=/whitelist.txt
/usr/bin/opentracker -i 127.0.0.1 -p "$tracker_port" -P "$tracker_port" -d "$work/tracker" \
    -w "$whitelist" >"$work/tracker/log" 2>&1 &
pids+=($!)
escaped=$(echo "$hash" | sed 's/../%&/g')
scrape() { curl -s "http://127.0.0.1:$tracker_port/scrape?info_hash=$escaped"; }
wait_for 100 scrape >/dev/null || { echo "opentracker did not start" >&2; exit 1; }
# The scrape answer holds the raw info-hash: only its counts are read.
seeders_at_least() { [ "$(scrape | grep -a -o '8:completei[0-9]*e' | tr -dc 0-9)" -ge "$1" ] 2>/dev/null; }

# A libtorrent seeder on address $1; its PID in $seeder_pid.
start_lt_seeder() {
    local port log
    port=$(free_port "$1")
    log="$work/seed-$1.log"
    $py "$lt_peer" seed --torrent "$torrent" --save "$work/data" --bind "$1" --port "$port" \
        --time-limit 3600 >"$log" 2>&1 &
    seeder_pid=$!
    pids+=("$seeder_pid")
    wait_for 600 grep -q TRACKER_OK "$log" || { echo "seeder on $1 not ready" >&2; exit 1; }
    wait_for 600 grep -q SEEDING "$log" || { echo "seeder on $1 not ready" >&2; exit 1; }
}
stop_pid() {
    kill -TERM "$1" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
    kill -KILL "$1" 2>/dev/null || true
}

# "wall cpu peak_kib" of a command run under /usr/bin/time -v; "fail" when it failed.
measured() {
    local out="$work/time.txt" rc=0
    /usr/bin/time -v -o "$out" "$@" >"$work/run.log" 2>&1 || rc=$?
    if ((rc != 0)); then
        echo fail
        return
    fi
    awk -F': ' '
        /Elapsed \(wall clock\)/ { n = split($2, t, ":"); w = 0; for (i = 1; i <= n; i++) w = w * 60 + t[i] }
        /User time/ { c += $2 } /System time/ { c += $2 } /Maximum resident/ { m = $2 }
        END { printf "%.3f %.2f %d\n", w, c, m }' "$out"
}
fresh_download_dir() {
    rm -rf "$work/dl"
    mkdir -p "$work/dl"
    sync
}
check_download() {
    cmp -s "$data" "$work/dl/big.bin" || { echo "downloaded file differs ($1)" >&2; exit 1; }
}

leech_kfget() { leech_with "$kfget"; }
leech_baseline() { leech_with "$KF_BASELINE"; }
leech_with() {
    measured "$1" --torrent "$torrent" --file "$work/dl/big.bin" --resume "$work/dl/big.kfinfo" \
        --bind 127.0.0.10 --listen-port "$(free_port 127.0.0.10)" --timeout 600 -q
}
leech_aria2c() {
    measured /usr/bin/aria2c -q --enable-dht=false --enable-dht6=false --bt-enable-lpd=false \
        --enable-peer-exchange=false --seed-time=0 --interface=127.0.0.11 --disable-ipv6=true \
        --listen-port="$(free_port 127.0.0.11)" --file-allocation=none --allow-overwrite=true \
        --stop=600 -d "$work/dl" "$torrent"
}
leech_libtorrent() {
    measured $py "$lt_peer" leech --torrent "$torrent" --save "$work/dl" --bind 127.0.0.12 \
        --port "$(free_port 127.0.0.12)" --exit-when-done --time-limit 600
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
mbps() { echo "scale=0; 1073.741824 / $1" | bc -l; }
ratio() { printf "%.2f" "$(echo "$1 / $2" | bc -l)"; }

declare -A wall_median cpu_median mem_max
# Runs the leechers named in pairs "label function" once as a warm-up (its file checked) and then
# `runs` rounds, alternating within each round and starting one later every round; prints each
# one's medians. A leecher that fails is reported and left out of the later rounds.
bench_leechers() {
    local labels=() fns=() n i k j label result
    while (($#)); do labels+=("$1") fns+=("$2"); shift 2; done
    n=${#labels[@]}
    declare -A walls cpus peaks failed
    for ((i = 0; i <= runs; i++)); do
        for ((k = 0; k < n; k++)); do
            j=$(((k + i) % n))
            label=${labels[$j]}
            [ -n "${failed[$label]:-}" ] && continue
            fresh_download_dir
            result=$(${fns[$j]})
            if [ "$result" = fail ]; then
                failed[$label]=1
                echo "  $label: failed (round $i)"
                tail -5 "$work/run.log" | sed 's/^/    /'
                continue
            fi
            read -r w c m <<<"$result"
            if ((i == 0)); then
                check_download "$label"
                continue
            fi
            walls[$label]+="$w " cpus[$label]+="$c "
            ((m > ${peaks[$label]:-0})) && peaks[$label]=$m
        done
    done
    for label in "${labels[@]}"; do
        [ -n "${failed[$label]:-}" ] && continue
        # shellcheck disable=SC2086  # the runs are space-separated on purpose
        wall_median[$label]=$(median ${walls[$label]})
        # shellcheck disable=SC2086
        cpu_median[$label]=$(median ${cpus[$label]})
        mem_max[$label]=${peaks[$label]}
        printf '  %-26s %7.3f s  %4d MB/s  cpu %6.2f s  peak %5d MiB   (runs: %s)\n' "$label" \
            "${wall_median[$label]}" "$(mbps "${wall_median[$label]}")" "${cpu_median[$label]}" \
            $((${peaks[$label]} / 1024)) "${walls[$label]% }"
    done
}
compare() {
    if [ -n "${wall_median[$1]:-}" ] && [ -n "${wall_median[$2]:-}" ]; then
        echo "  throughput $1 / $2: $(ratio "${wall_median[$2]}" "${wall_median[$1]}")"
    fi
}

echo "1 GiB, 1 MiB pieces, opentracker HTTP announce, median of $runs after one warm-up"
echo "load before: $(uptime)"
start_lt_seeder 127.0.0.2
first_seeder=$seeder_pid
echo "from one libtorrent seeder:"
contenders=("aria2c <- 1 seeder" leech_aria2c "libtorrent <- 1 seeder" leech_libtorrent)
[ -n "${KF_BASELINE:-}" ] && contenders+=("baseline <- 1 seeder" leech_baseline)
((with_kfget)) && contenders=("kfget <- 1 seeder" leech_kfget "${contenders[@]}")
bench_leechers "${contenders[@]}"
compare "kfget <- 1 seeder" "aria2c <- 1 seeder"
compare "kfget <- 1 seeder" "libtorrent <- 1 seeder"
compare "kfget <- 1 seeder" "baseline <- 1 seeder"

extra_seeders=()
for address in 127.0.0.3 127.0.0.4 127.0.0.5; do
    start_lt_seeder "$address"
    extra_seeders+=("$seeder_pid")
done
wait_for 100 seeders_at_least 4 || echo "  (the tracker counts fewer than 4 seeders)"
echo "from four libtorrent seeders:"
contenders=("aria2c <- 4 seeders" leech_aria2c "libtorrent <- 4 seeders" leech_libtorrent)
[ -n "${KF_BASELINE:-}" ] && contenders+=("baseline <- 4 seeders" leech_baseline)
((with_kfget)) && contenders=("kfget <- 4 seeders" leech_kfget "${contenders[@]}")
bench_leechers "${contenders[@]}"
compare "kfget <- 4 seeders" "aria2c <- 4 seeders"
compare "kfget <- 4 seeders" "libtorrent <- 4 seeders"
compare "kfget <- 4 seeders" "baseline <- 4 seeders"
for pid in "${extra_seeders[@]}" "$first_seeder"; do stop_pid "$pid"; done

# Seeding: the seeder's CPU seconds over the measured downloads and its peak memory are read
# from /proc; the leecher's wall time is the figure.
cpu_of() { awk '{ printf "%.2f\n", ($14 + $15) / '"$(getconf CLK_TCK)"' }' "/proc/$1/stat"; }
peak_of() { awk '/VmHWM/ { print $2 }' "/proc/$1/status"; }
bench_seeder() {
    local key=$1 pid=$2 walls=() result cpu_before cpu_after
    cpu_before=0
    for ((i = 0; i <= runs; i++)); do
        fresh_download_dir
        ((i == 1)) && cpu_before=$(cpu_of "$pid")
        result=$(leech_libtorrent)
        if [ "$result" = fail ]; then
            echo "  $key: failed (run $i)"
            tail -5 "$work/run.log" | sed 's/^/    /'
            return
        fi
        read -r w _ _ <<<"$result"
        if ((i == 0)); then
            check_download "$key"
            continue
        fi
        walls+=("$w")
    done
    cpu_after=$(cpu_of "$pid")
    wall_median[$key]=$(median "${walls[@]}")
    printf '  %-34s %7.3f s  %4d MB/s  seeder cpu %6.2f s per run  seeder peak %5d MiB   (runs: %s)\n' \
        "$key" "${wall_median[$key]}" "$(mbps "${wall_median[$key]}")" \
        "$(echo "scale=2; ($cpu_after - $cpu_before) / $runs" | bc -l)" $(($(peak_of "$pid") / 1024)) \
        "${walls[*]}"
}

echo "a libtorrent leecher from one seeder:"
if ((with_kfget)); then
    port=$(free_port 127.0.0.20)
    # kfget checks the data it finds against the metainfo before it serves it.
    "$kfget" --torrent "$torrent" --file "$data" --resume "$work/seed.kfinfo" --bind 127.0.0.20 \
        --listen-port "$port" --seed -q >"$work/kfget-seed.log" 2>&1 &
    kfget_seeder=$!
    pids+=("$kfget_seeder")
    probe="127.0.0.20:$port"
    listed() {
        $py - "$tracker_port" "$hash" "$probe" <<'EOF'
import os, socket, struct, sys
port, ih, want = int(sys.argv[1]), bytes.fromhex(sys.argv[2]), sys.argv[3]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(1.0)
s.sendto(struct.pack(">QII", 0x41727101980, 0, 1), ("127.0.0.1", port))
conn = struct.unpack(">IIQ", s.recv(64)[:16])[2]
for event in (2, 3):  # a probe announce, withdrawn at once
    s.sendto(struct.pack(">QII20s20sQQQIIIiH", conn, 1, 2, ih, b"-KB0001-benchprobe01", 0, 1, 0,
                         event, 0, 0, 200, 9), ("127.0.0.1", port))
    data = s.recv(4096)
    if event == 2:
        peers = {f"{socket.inet_ntoa(data[i:i+4])}:{struct.unpack('>H', data[i+4:i+6])[0]}"
                 for i in range(20, len(data), 6)}
sys.exit(0 if want in peers else 1)
EOF
    }
    if wait_for 600 listed; then
        bench_seeder "libtorrent <- kfget" "$kfget_seeder"
    else
        echo "  libtorrent <- kfget: kfget never announced itself as a seeder"
        tail -5 "$work/kfget-seed.log" | sed 's/^/    /'
    fi
    stop_pid "$kfget_seeder"
fi
start_lt_seeder 127.0.0.21
bench_seeder "libtorrent <- libtorrent" "$seeder_pid"
stop_pid "$seeder_pid"
compare "libtorrent <- kfget" "libtorrent <- libtorrent"
echo "load after: $(uptime)"
