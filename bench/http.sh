#!/usr/bin/env bash
# HTTP and FTP download benchmarks: kfget against curl and aria2c on a 1 GiB file served on
# loopback by one nginx (four listen ports) and four pyftpdlib servers, downloaded into the same
# file system. Every contender runs once as a warm-up, then `runs` times, in alternation.
#   bench/http.sh [--baseline PATH] [--only http|ftp] [runs]     (default 5 runs)
#   --baseline PATH (or KF_BASELINE=PATH)  another kfget binary (say, a build of an earlier
#                  commit), measured as extra rows beside every kfget row, same runs and checks
#   --only http|ftp  only the HTTP contenders, or only FTP and the mixed task
#   KF_BENCH_DIR   folder for the 1 GiB file and the downloads (default $TMPDIR or /tmp);
#                  needs 3 GiB free
#   KF_BENCH_CC / KF_BENCH_CXX   compilers (default clang / clang++ when installed)
# Builds a Release build (no sanitizers) in build-bench. Removes its files and stops its servers
# when done.
set -euo pipefail
trap 'echo "bench/http.sh: failed at line $LINENO" >&2' ERR
cd "$(dirname "$0")/.."

baseline="${KF_BASELINE:-}"
only=""
runs=5
while [ $# -gt 0 ]; do
    case "$1" in
    --baseline) baseline="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    -h | --help) sed -n '2,13p' "$0"; exit 0 ;;
    *) runs="$1"; shift ;;
    esac
done
case "$only" in "" | http | ftp) ;; *) echo "--only takes http or ftp" >&2; exit 1 ;; esac
if [ -n "$baseline" ]; then
    baseline="$(readlink -f "$baseline")"
    [ -x "$baseline" ] || { echo "not an executable: $baseline" >&2; exit 1; }
fi
for tool in nginx curl aria2c /usr/bin/time openssl; do
    command -v "$tool" >/dev/null || { echo "needs $tool (scripts/install-deps)" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null || { echo "needs python3-pyftpdlib" >&2; exit 1; }

build="build-bench"
cc="${KF_BENCH_CC:-$(command -v clang || echo cc)}"
cxx="${KF_BENCH_CXX:-$(command -v clang++ || echo c++)}"
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=Release -DKF_SANITIZE=OFF -DKF_TESTS=OFF -DKF_BENCH=ON >/dev/null
cmake --build "$build" --target kfget >/dev/null
kfget="$PWD/$build/kfget"

base="${KF_BENCH_DIR:-${TMPDIR:-/tmp}}"
free_kib=$(df -Pk "$base" | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt $((3 * 1024 * 1024)) ]; then
    echo "need 3 GiB free in $base" >&2
    exit 1
fi
work="$(mktemp -d "$base/kf-bench-http.XXXXXX")"
server_pids=()
cleanup() {
    local pid
    for pid in "${server_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${server_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=bench/lib.sh
. bench/lib.sh

mkdir -p "$work/www" "$work/nginx/tmp" "$work/dl"
data="$work/www/big.bin"
# Pseudo-random bytes, the same every time (openssl ends by SIGPIPE once head has enough).
head -c $((1 << 30)) \
    < <(openssl enc -aes-128-ctr -pass pass:kestrelfetch -nosalt -pbkdf2 </dev/zero 2>/dev/null) \
    >"$data"
want=$(sha1sum <"$data" | cut -d' ' -f1)
chmod -R a+rX "$work"

http=() ftp=()
if [ "$only" != ftp ]; then
    listen=""
    for _ in 1 2 3 4; do
        port=$(free_port 127.0.0.1)
        listen+="        listen 127.0.0.1:$port;"$'\n'
        http+=("http://127.0.0.1:$port/big.bin")
    done
    cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path $work/nginx/tmp/body;
    proxy_temp_path $work/nginx/tmp/proxy;
    fastcgi_temp_path $work/nginx/tmp/fastcgi;
    uwsgi_temp_path $work/nginx/tmp/uwsgi;
    scgi_temp_path $work/nginx/tmp/scgi;
    default_type application/octet-stream;
    sendfile on;
    server {
$listen        root $work/www;
    }
}
CONF
    nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
    server_pids+=($!)
fi
if [ "$only" != http ]; then
    for i in 1 2 3 4; do
        port=$(free_port 127.0.0.1)
        passive=$((30000 + 100 * i + RANDOM % 50))
        /usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$port" -d "$work/www" \
            -r "$passive-$((passive + 40))" >"$work/pyftpd$i.log" 2>&1 &
        server_pids+=($!)
        ftp+=("ftp://127.0.0.1:$port/big.bin")
    done
fi
for url in "${http[@]}" "${ftp[@]}"; do
    port=${url#*127.0.0.1:}
    wait_port 127.0.0.1 "${port%%/*}"
done

out="$work/dl/big.bin"
aria=(aria2c -q --allow-overwrite=true --auto-file-renaming=false --file-allocation=none
    --disable-ipv6=true -d "$work/dl" -o big.bin)
# Contenders: name, then the command. kfget takes plain addresses as sources of one file.
names=() commands=()
add() {
    names+=("$1")
    shift
    commands+=("$(printf '%q ' "$@")")
}
add_kfget() {
    local name="$1"
    shift
    add "kfget $name" "$kfget" -q --no-p2p --timeout 300 -o "$work/dl" "$@"
    [ -z "$baseline" ] || add "baseline $name" "$baseline" -q --no-p2p --timeout 300 -o "$work/dl" "$@"
}
if [ "$only" != ftp ]; then
    add "curl HTTP x1" curl -sS -o "$out" "${http[0]}"
    add "aria2c HTTP x1" "${aria[@]}" -x1 -s1 "${http[0]}"
    add_kfget "HTTP x1" "${http[0]}"
    add "aria2c HTTP x4" "${aria[@]}" -x4 -s4 -k1M "${http[@]}"
    add_kfget "HTTP x4" "${http[@]}"
fi
if [ "$only" != http ]; then
    add "curl FTP x1" curl -sS -o "$out" "${ftp[0]}"
    add "aria2c FTP x4" "${aria[@]}" -x4 -s4 -k1M "${ftp[@]}"
    add_kfget "FTP x4" "${ftp[@]}"
    if [ "$only" != ftp ]; then
        add_kfget "HTTP 2 + FTP 2" "${http[0]}" "${http[1]}" "${ftp[2]}" "${ftp[3]}"
    fi
fi
count=${#names[@]}

# One run: wall seconds, CPU seconds (user + system) and peak RSS in KiB, appended to the
# contender's result file after the download was checked.
run_one() {
    local index="$1" keep="$2" stats
    rm -rf "$work/dl" && mkdir -p "$work/dl"
    sync  # the previous run's writeback must not run during this one
    if ! timeout 360 /usr/bin/time -f '%e %U %S %M' -o "$work/time" \
        bash -c "${commands[$index]}" >"$work/log" 2>&1; then
        echo "failed: ${names[$index]}" >&2
        cat "$work/log" >&2
        exit 1
    fi
    got=$(sha1sum <"$out" | cut -d' ' -f1)
    if [ "$got" != "$want" ]; then
        echo "${names[$index]}: SHA-1 $got, expected $want" >&2
        exit 1
    fi
    stats=$(tail -n 1 "$work/time")
    if [ "$keep" = 1 ]; then
        echo "$stats" | awk '{ printf "%s %.2f %d\n", $1, $2 + $3, $4 }' >>"$work/result.$index"
    fi
}

load_before=$(uptime)
echo "load before: $load_before"
for ((round = 0; round <= runs; round++)); do  # the first round is a warm-up
    for ((k = 0; k < count; k++)); do
        index=$(((k + round) % count))  # a different order every round
        run_one "$index" $((round > 0))
    done
    echo "round $round of $runs done ($(uptime | sed 's/.*load/load/'))"
done
load_after=$(uptime)

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
column_of() { awk -v c="$2" '{ print $c }' "$work/result.$1"; }
declare -A wall cpu rss
echo
echo "1 GiB over loopback, median of $runs runs after one warm-up, in alternation"
echo "load before: $load_before"
echo "load after:  $load_after"
printf '%-24s %8s %8s %10s %10s   %s\n' contender wall_s MB/s cpu_s/GiB peak_MiB "walls"
for ((i = 0; i < count; i++)); do
    name="${names[$i]}"
    wall[$name]=$(median $(column_of "$i" 1))
    cpu[$name]=$(median $(column_of "$i" 2))
    rss[$name]=$(median $(column_of "$i" 3))
    printf '%-24s %8.2f %8.0f %10.2f %10.1f   %s\n' "$name" "${wall[$name]}" \
        "$(echo "1073.741824 / ${wall[$name]}" | bc -l)" "${cpu[$name]}" \
        "$(echo "${rss[$name]} / 1024" | bc -l)" "$(column_of "$i" 1 | tr '\n' ' ')"
done

# Throughput ratio a/b = wall(b) / wall(a).
ratio() { echo "scale=2; ${wall[$2]} / ${wall[$1]}" | bc -l; }
check() { # label, value, relation, bound
    local ok
    ok=$(echo "$2 $3 $4" | bc -l)
    printf '  %-52s %6s  (needs %s %s) %s\n' "$1" "$2" "$3" "$4" "$([ "$ok" = 1 ] && echo met || echo MISSED)"
}
echo
echo "targets (throughput ratios; > 1 means the first is faster):"
for who in kfget baseline; do
    [ "$who" = kfget ] || [ -n "$baseline" ] || continue
    if [ "$only" != ftp ]; then
        check "$who HTTP x1 / curl HTTP x1" "$(ratio "$who HTTP x1" "curl HTTP x1")" ">=" 0.50
        printf '  %-52s %6s  (anchor)\n' "$who HTTP x1 / aria2c HTTP x1" \
            "$(ratio "$who HTTP x1" "aria2c HTTP x1")"
        check "$who HTTP x4 / aria2c HTTP x4" "$(ratio "$who HTTP x4" "aria2c HTTP x4")" ">" 1
        check "$who HTTP x4 / curl HTTP x1" "$(ratio "$who HTTP x4" "curl HTTP x1")" ">=" 0.50
        check "$who HTTP x4 CPU s/GiB (aria2c x4: ${cpu["aria2c HTTP x4"]})" \
            "${cpu["$who HTTP x4"]}" "<=" "${cpu["aria2c HTTP x4"]}"
        check "$who HTTP x1 CPU s/GiB (aria2c x1: ${cpu["aria2c HTTP x1"]})" \
            "${cpu["$who HTTP x1"]}" "<=" "${cpu["aria2c HTTP x1"]}"
    fi
    if [ "$only" != http ]; then
        check "$who FTP x4 / aria2c FTP x4" "$(ratio "$who FTP x4" "aria2c FTP x4")" ">=" 1
        check "$who FTP x4 CPU s/GiB (aria2c x4: ${cpu["aria2c FTP x4"]})" \
            "${cpu["$who FTP x4"]}" "<=" "${cpu["aria2c FTP x4"]}"
    fi
    if [ -z "$only" ]; then
        faster=$(echo "if (${wall["$who HTTP x4"]} < ${wall["$who FTP x4"]}) 1 else 0" | bc -l)
        kind=$([ "$faster" = 1 ] && echo "HTTP x4" || echo "FTP x4")
        check "$who HTTP 2 + FTP 2 / $who $kind" "$(ratio "$who HTTP 2 + FTP 2" "$who $kind")" \
            ">=" 1
    fi
    peak=0
    for name in "${names[@]}"; do
        if [[ "$name" == "$who "* ]] && [ "${rss[$name]}" -gt "$peak" ]; then peak=${rss[$name]}; fi
    done
    check "$who peak memory MiB" "$((peak / 1024))" "<" 100
done
