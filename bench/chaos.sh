#!/usr/bin/env bash
# Reliability under kills: a 512 MiB task from two nginx sources and one libtorrent seeder, with
# kfget killed by SIGKILL at a random moment, again and again, each time started anew with
# --recover; the last run finishes. Checks that the final file's SHA-1 is right and that the bytes
# the servers and the seeder sent over all runs together stay under 1.5 times the file.
#   bench/chaos.sh [kills]     (default 30)
#   KF_CHAOS_LIMIT  kfget's download limit in KiB/s (default 4500), so that a run lasts long
#                   enough to be killed in the middle
#   KF_BENCH_DIR    folder for the temporary files (default $TMPDIR or /tmp); needs 1.5 GiB
#   KF_BENCH_KFGET  measure this kfget binary instead of building one
# Builds a Release kfget (no sanitizers) in build-bench. Every peer is on loopback. Not a test:
# CI does not run it; its figures are in bench/README.md.
set -euo pipefail
trap 'echo "bench/chaos.sh: failed at line $LINENO" >&2' ERR
cd "$(dirname "$0")/.."
kills="${1:-30}"
limit="${KF_CHAOS_LIMIT:-4500}"
py=/usr/bin/python3
lt_peer="$PWD/tests/support/lt_peer.py"

for tool in nginx mktorrent openssl sha1sum; do
    command -v "$tool" >/dev/null || { echo "needs $tool (scripts/install-deps)" >&2; exit 1; }
done
$py -c 'import libtorrent' || { echo "needs python3-libtorrent" >&2; exit 1; }

kfget="${KF_BENCH_KFGET:-}"
if [ -z "$kfget" ]; then
    build="build-bench"
    cc="${KF_BENCH_CC:-$(command -v clang || echo cc)}"
    cxx="${KF_BENCH_CXX:-$(command -v clang++ || echo c++)}"
    cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_BUILD_TYPE=Release -DKF_SANITIZE=OFF -DKF_TESTS=OFF >/dev/null
    cmake --build "$build" --target kfget >/dev/null
    kfget="$PWD/$build/kfget"
fi

base="${KF_BENCH_DIR:-${TMPDIR:-/tmp}}"
work="$(mktemp -d "$base/kf-chaos.XXXXXX")"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=bench/lib.sh
. bench/lib.sh

size=$((512 << 20))
mkdir -p "$work/www" "$work/seed" "$work/nginx/tmp" "$work/dl"
head -c "$size" \
    < <(openssl enc -aes-128-ctr -pass pass:kestrelfetch-chaos -nosalt -pbkdf2 </dev/zero 2>/dev/null) \
    >"$work/www/big.bin"
ln "$work/www/big.bin" "$work/seed/big.bin"
want=$(sha1sum <"$work/www/big.bin" | cut -d' ' -f1)
mktorrent -l 20 -a http://127.0.0.1:9/announce -o "$work/big.torrent" "$work/www/big.bin" >/dev/null
chmod -R a+rX "$work"

http_ports=("$(free_port 127.0.0.1)" "$(free_port 127.0.0.1)")
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 256; }
http {
    log_format sent '\$bytes_sent';
    access_log $work/nginx/access.log sent;
    client_body_temp_path $work/nginx/tmp/body;
    proxy_temp_path $work/nginx/tmp/proxy;
    fastcgi_temp_path $work/nginx/tmp/fastcgi;
    uwsgi_temp_path $work/nginx/tmp/uwsgi;
    scgi_temp_path $work/nginx/tmp/scgi;
    default_type application/octet-stream;
    sendfile on;
    server {
        listen 127.0.0.1:${http_ports[0]};
        listen 127.0.0.1:${http_ports[1]};
        root $work/www;
    }
}
CONF
nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
pids+=($!)
for port in "${http_ports[@]}"; do wait_port 127.0.0.1 "$port"; done

seed_ip=127.0.0.31
seed_port=$(free_port 127.0.0.1)
$py "$lt_peer" seed --torrent "$work/big.torrent" --save "$work/seed" --bind "$seed_ip" \
    --port "$seed_port" --seed-mode --status --time-limit 3600 >"$work/seeder.log" 2>&1 &
pids+=($!)
wait_port "$seed_ip" "$seed_port"

run_kfget() {  # extra arguments; runs in the background, its pid in $kfget_pid
    "$kfget" --torrent "$work/big.torrent" \
        --source "http://127.0.0.1:${http_ports[0]}/big.bin" \
        --source "http://127.0.0.1:${http_ports[1]}/big.bin" \
        --source "btnode://$seed_ip:$seed_port" --bind 127.0.0.32 --listen-port "$(free_port 127.0.0.1)" \
        --file "$work/dl/big.bin" --resume "$work/dl/big.bin.kfinfo" --recover -q "$@" \
        >>"$work/kfget.log" 2>&1 &
    kfget_pid=$!
}

echo "chaos: $kills kills of kfget at random moments, 512 MiB at ${limit} KiB/s, then one run to the end"
started=$(date +%s.%N)
killed=0 finished_early=0
for ((i = 1; i <= kills; i++)); do
    run_kfget --limit "$limit"
    # 0.5 to 5.9 s: start-up, the resume check, and transfers from every kind of source; the
    # 30 runs together last about as long as the whole download at the limit.
    delay=$(printf '%d.%d' $((RANDOM % 5 + 1)) $((RANDOM % 10)))
    [ "${delay%.*}" -eq 1 ] && [ "${delay#*.}" -lt 5 ] && delay=0.$((RANDOM % 5 + 5))
    sleep "$delay"
    if kill -KILL "$kfget_pid" 2>/dev/null; then
        killed=$((killed + 1))
    else
        finished_early=$((finished_early + 1))
    fi
    wait "$kfget_pid" 2>/dev/null || true
done
run_kfget --timeout 600
final_status=0
wait "$kfget_pid" || final_status=$?
elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
sleep 2  # the seeder reports its upload total once a second

got=$(sha1sum <"$work/dl/big.bin" 2>/dev/null | cut -d' ' -f1 || true)
http_sent=$(awk '{ s += $1 } END { print s + 0 }' "$work/nginx/access.log")
bt_sent=$(grep -o 'uploaded=[0-9]*' "$work/seeder.log" | tail -1 | cut -d= -f2)
bt_sent=${bt_sent:-0}
total=$((http_sent + bt_sent))
ratio=$(awk -v t="$total" -v s="$size" 'BEGIN { printf "%.3f", t / s }')

echo "runs killed: $killed, ended before the kill: $finished_early, final run exit: $final_status"
echo "wall: ${elapsed} s"
echo "sent by the servers: $http_sent bytes; by the seeder: $bt_sent bytes"
echo "all runs together: $total bytes = $ratio x the file (needs < 1.5)"
if [ "$got" = "$want" ]; then
    echo "final SHA-1: right ($got)"
else
    echo "final SHA-1: WRONG (got ${got:-nothing}, want $want)"
fi
[ "$got" = "$want" ] && [ "$final_status" -eq 0 ] && awk -v r="$ratio" 'BEGIN { exit !(r < 1.5) }'
