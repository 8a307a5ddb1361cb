#!/usr/bin/env bash
# Idle figures of the UDP endpoint: CPU time and wake-ups of the "UDPServer" thread of a kfget
# that seeds a finished 1 MiB file (no peers, no tracker) while registered with a kf-rendezvous on
# loopback, over 60 s.
#   bench/udp-idle.sh [BUILD]     (default build folder: build-bench, made as Release when absent)
#   KF_IDLE_SECONDS   the measured time (default 60)
# Wake-ups are the thread's voluntary context switches (each return from its wait is one);
# CPU is utime + stime from /proc/PID/task/TID/stat. Nothing leaves 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=bench/lib.sh
. bench/lib.sh

build="${1:-build-bench}"
seconds="${KF_IDLE_SECONDS:-60}"
if [ ! -x "$build/kfget" ] || [ ! -x "$build/kf-rendezvous" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    nice -n 19 cmake --build "$build" -j2 --target kfget kf-rendezvous >/dev/null
fi
dir="$(mktemp -d)"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

head -c 1048576 /dev/urandom >"$dir/idle.bin"
mktorrent -l 16 -o "$dir/idle.torrent" "$dir/idle.bin" >/dev/null
server_port="$(free_port 127.0.0.1)"
"$build/kf-rendezvous" --listen "127.0.0.1:$server_port" >"$dir/rendezvous.log" 2>&1 &
pids+=($!)
listen_port="$(free_port 127.0.0.1)"
"$build/kfget" --torrent "$dir/idle.torrent" --file "$dir/idle.bin" --bind 127.0.0.1 \
    --listen-port "$listen_port" --rendezvous "127.0.0.1:$server_port" --seed \
    --timeout $((seconds + 30)) >"$dir/kfget.log" 2>&1 &
kfget_pid=$!
pids+=("$kfget_pid")

tid=""
for _ in $(seq 1 100); do
    for task in /proc/"$kfget_pid"/task/*; do
        if [ "$(cat "$task/comm" 2>/dev/null)" = "UDPServer" ]; then
            tid="${task##*/}"
        fi
    done
    [ -n "$tid" ] && break
    sleep 0.1
done
[ -n "$tid" ] || { echo "no UDPServer thread in kfget" >&2; cat "$dir/kfget.log" >&2; exit 1; }
grep -q "external address" "$dir/kfget.log" || sleep 2
stat_of() { # utime + stime in clock ticks, voluntary switches
    local fields
    read -ra fields <<<"$(sed 's/.*) //' "/proc/$kfget_pid/task/$tid/stat")"
    echo "$((fields[11] + fields[12])) $(awk '/^voluntary_ctxt_switches/ {print $2}' \
        "/proc/$kfget_pid/task/$tid/status")"
}
read -r cpu0 wake0 <<<"$(stat_of)"
sleep "$seconds"
read -r cpu1 wake1 <<<"$(stat_of)"
hz="$(getconf CLK_TCK)"
echo "external address line: $(grep -o 'external address [0-9.]*' "$dir/kfget.log" || echo none)"
awk -v c=$((cpu1 - cpu0)) -v w=$((wake1 - wake0)) -v s="$seconds" -v hz="$hz" 'BEGIN {
    printf "UDPServer over %d s: CPU %.3f s (%.3f %% of a core), %d wake-ups (%.2f per second)\n",
        s, c / hz, 100 * c / hz / s, w, w / s }'
