#!/usr/bin/env bash
# Storage benchmarks: full recheck against `openssl sha1`, and writing through the piece map
# against `dd`, on the same 1 GiB file in the same run and on the same file system.
#   bench/storage.sh [runs]     (default 5; the median of the runs after one warm-up is reported)
#   KF_BENCH_DIR   folder for the temporary 1 GiB files (default $TMPDIR or /tmp); needs 3 GiB
# Builds a Release build (no sanitizers) in build-bench. Removes its files when done.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
build="build-bench"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKF_SANITIZE=OFF -DKF_TESTS=OFF \
    -DKF_BENCH=ON >/dev/null
cmake --build "$build" --target storage_bench >/dev/null
bench="$PWD/$build/bench/storage_bench"

base="${KF_BENCH_DIR:-${TMPDIR:-/tmp}}"
free_kib=$(df -Pk "$base" | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt $((3 * 1024 * 1024)) ]; then
    echo "need 3 GiB free in $base" >&2
    exit 1
fi
work="$(mktemp -d "$base/kf-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/content"
data="$work/content/product.bin"
head -c $((1 << 30)) /dev/urandom >"$data"
mktorrent -d -l 20 -a http://127.0.0.1:1/announce -o "$work/product.torrent" "$data" >/dev/null

now() { date +%s.%N; }
# Median of the given numbers.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Runs a command once as warm-up, then `runs` times; prints the median wall time in seconds.
timed() {
    "$@" >/dev/null
    local times=() start
    for ((i = 0; i < runs; i++)); do
        start=$(now)
        "$@" >/dev/null
        times+=("$(echo "$(now) - $start" | bc -l)")
    done
    median "${times[@]}"
}

cat "$data" >/dev/null  # page cache warm for both readers
t_openssl=$(timed openssl sha1 "$data")
t_recheck=$(timed "$bench" recheck "$work/product.torrent" "$work/content")
rss_kib=$("$bench" recheck "$work/product.torrent" "$work/content" | sed 's/.*peak_rss_kib=//')

dd_once() {
    dd if=/dev/zero of="$work/dd.bin" bs=1M count=1024 conv=fdatasync status=none
    rm -f "$work/dd.bin"
}
write_once() {
    rm -rf "$work/out"
    "$bench" write "$work/product.torrent" "$data" "$work/out" 7
    cmp -s "$data" "$work/out/product.bin"
    rm -rf "$work/out"
}
t_dd=$(timed dd_once)
t_write=$(timed write_once)

ratio() { echo "scale=2; $1 / $2" | bc -l; }
echo "full recheck, 1 GiB, 1 MiB pieces (page cache warm), median of $runs:"
echo "  openssl sha1        ${t_openssl} s"
echo "  piece map recheck   ${t_recheck} s   ratio $(ratio "$t_openssl" "$t_recheck") (needs >= 0.70)"
echo "  peak memory         $((rss_kib / 1024)) MiB (needs < 64)"
echo "write 1 GiB in 16 KiB blocks, pieces shuffled, flushed to the device, median of $runs:"
echo "  dd bs=1M conv=fdatasync  ${t_dd} s"
echo "  piece map               ${t_write} s   ratio $(ratio "$t_dd" "$t_write") (needs >= 0.50)"
