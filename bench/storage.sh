#!/usr/bin/env bash
# Storage benchmarks: full recheck against `openssl sha1`, and writing through the piece map
# against `dd`, on the same 1 GiB file in the same run and on the same file system.
#   bench/storage.sh [runs]     (default 5; the median of the runs after one warm-up is reported)
#   KF_BENCH_DIR   folder for the temporary 1 GiB files (default $TMPDIR or /tmp); needs 3 GiB
#   KF_BENCH_CC / KF_BENCH_CXX   compilers (default clang / clang++ when installed)
# Builds a Release build (no sanitizers) in build-bench. Removes its files when done.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
build="build-bench"

cc="${KF_BENCH_CC:-$(command -v clang || echo cc)}"
cxx="${KF_BENCH_CXX:-$(command -v clang++ || echo c++)}"
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=Release -DKF_SANITIZE=OFF -DKF_TESTS=OFF -DKF_BENCH=ON >/dev/null
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

sync  # the new file's own writeback must not run during the measurements

now() { date +%s.%N; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Wall time of a command in seconds.
wall() {
    local start
    start=$(now)
    "$@" >/dev/null
    echo "$(now) - $start" | bc -l
}
# The time the bench program measured itself (from its first block, or its load, to the end).
own() {
    local out
    out=$("$@") || { echo "failed: $* -> $out" >&2; exit 1; }
    echo "$out" | sed 's/^seconds=\([0-9.]*\).*/\1/'
}

cat "$data" >/dev/null  # page cache warm for both readers
openssl_times=() recheck_times=()
for ((i = 0; i <= runs; i++)); do  # the first round is a warm-up
    o=$(wall openssl sha1 "$data")
    r=$(own "$bench" recheck "$work/product.torrent" "$work/content")
    if ((i > 0)); then openssl_times+=("$o") recheck_times+=("$r"); fi
done
rss_kib=$("$bench" recheck "$work/product.torrent" "$work/content" | sed 's/.*peak_rss_kib=//')

dd_times=() write_times=()
for ((i = 0; i <= runs; i++)); do
    # Each writer starts on a quiet device: the other's file is gone and its freeing (with
    # the "discard" mount option, trimming) is done.
    rm -rf "$work/out"
    sync
    d=$(wall dd if=/dev/zero of="$work/dd.bin" bs=1M count=1024 conv=fdatasync status=none)
    rm -f "$work/dd.bin"
    sync
    w=$(own "$bench" write "$work/product.torrent" "$data" "$work/out" "$i")
    if ((i == 0)); then
        cmp -s "$data" "$work/out/product.bin" || { echo "written file differs" >&2; exit 1; }
    else
        dd_times+=("$d") write_times+=("$w")
    fi
done

t_openssl=$(median "${openssl_times[@]}")
t_recheck=$(median "${recheck_times[@]}")
t_dd=$(median "${dd_times[@]}")
t_write=$(median "${write_times[@]}")
ratio() { echo "scale=2; $1 / $2" | bc -l; }
echo "full recheck, 1 GiB, 1 MiB pieces (page cache warm), median of $runs:"
echo "  openssl sha1        ${t_openssl} s   (runs: ${openssl_times[*]})"
echo "  piece map recheck   ${t_recheck} s   (runs: ${recheck_times[*]})"
echo "  ratio               $(ratio "$t_openssl" "$t_recheck") (needs >= 0.70)"
echo "  peak memory         $((rss_kib / 1024)) MiB (needs < 64)"
echo "write 1 GiB in 16 KiB blocks, pieces shuffled, flushed to the device, median of $runs:"
echo "  dd bs=1M conv=fdatasync  ${t_dd} s   (runs: ${dd_times[*]})"
echo "  piece map               ${t_write} s   (runs: ${write_times[*]})"
echo "  ratio                   $(ratio "$t_dd" "$t_write") (needs >= 0.50)"
