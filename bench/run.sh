#!/usr/bin/env bash
# Measures dspstereo's speed against cat writing the same number of bytes:
# on one large input, on a folder of small ones converted one process each,
# and for a bare start; and its peak memory on a small and a large input.
#
#   bench/run.sh [PROGRAM]
#
# Without PROGRAM, builds a Release binary in build-bench/ first. Needs about
# 2.5 GiB of free space in $TMPDIR (default /tmp) and GNU time (/usr/bin/time).
# PAIRS (default 7, at least 5 is sensible) sets how many alternating
# converter/cat runs are timed; BATCH_FILES (default 300) how many 50 KB
# inputs the folder holds, STARTS (default 500) how many bare starts are timed
# in a row.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
pairs=${PAIRS:-7}
batch_files=${BATCH_FILES:-300}
starts=${STARTS:-500}
program=${1:-}
if [[ -z $program ]]; then
    cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$root/build-bench" --target dspstereo >/dev/null
    program=$root/build-bench/dspstereo
fi
[[ -x /usr/bin/time ]] || { echo "GNU time (/usr/bin/time) is needed: apt-get install time"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/dspstereo-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# make_input FILE BYTES: a mono file whose header announces BYTES of data
# (two nibbles a byte), followed by that much data.
make_input() {
    local nibbles=$(($2 * 2))
    {
        printf "\\x00\\x00\\x00\\x00"
        printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((nibbles >> 24 & 255)) \
            $((nibbles >> 16 & 255)) $((nibbles >> 8 & 255)) $((nibbles & 255)))"
        head -c 88 /dev/zero
        head -c "$2" /dev/urandom
    } >"$1"
}

now_ns() { date +%s%N; }

# seconds COMMAND...: runs COMMAND into fresh outputs, prints its wall time.
seconds() {
    rm -rf "$work/out" "$work/batch-out"
    mkdir "$work/batch-out"
    sync
    local start end
    start=$(now_ns)
    "$@"
    end=$(now_ns)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.4f\n", ns / 1e9 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

peak_kib() { # INPUT: peak resident memory of one conversion, in KiB
    rm -f "$work/out"
    /usr/bin/time -f %M -o "$work/rss" "$program" "$1" "$work/out"
    cat "$work/rss"
}

# compare NAME UNIT SCALE: times run_converter and run_cat alternately,
# $pairs times each, and prints the pairs and the medians (times SCALE, in
# UNIT) and the median of the ratios.
compare() {
    local i c k
    run_converter # warm the page cache
    run_cat
    : >"$work/ratios"
    : >"$work/converter"
    : >"$work/cat"
    for ((i = 1; i <= pairs; i++)); do
        c=$(seconds run_converter)
        k=$(seconds run_cat)
        echo "$c" >>"$work/converter"
        echo "$k" >>"$work/cat"
        awk -v c="$c" -v k="$k" 'BEGIN { printf "%.4f\n", c / k }' >>"$work/ratios"
        awk -v i="$i" -v c="$c" -v k="$k" -v s="$3" -v u="$2" \
            'BEGIN { printf "  pair %d: dspstereo %.3f%s, cat %.3f%s\n", i, c * s, u, k * s, u }'
    done
    awk -v c="$(median <"$work/converter")" -v k="$(median <"$work/cat")" -v s="$3" -v u="$2" \
        -v r="$(median <"$work/ratios")" -v n="$1" \
        'BEGIN { printf "%s median: dspstereo %.3f%s, cat %.3f%s, ratio %.3f\n", n, c * s, u, k * s, u, r }'
}

echo "program: $program"
make_input "$work/small.dsp" $((1024 * 1024))
make_input "$work/in.dsp" $((512 * 1024 * 1024))
mkdir "$work/batch"
for ((i = 1; i <= batch_files; i++)); do
    make_input "$work/batch/$i.dsp" $((50 * 1000))
done

echo "large file: 512 MiB of data in, 1 GiB out; $pairs alternating pairs"
run_converter() { "$program" "$work/in.dsp" "$work/out"; }
run_cat() { cat "$work/in.dsp" "$work/in.dsp" >"$work/out"; }
compare "large file" s 1

echo "folder: $batch_files inputs of 50 KB, one process each, into new files; $pairs alternating pairs"
run_converter() {
    local f
    for f in "$work"/batch/*.dsp; do "$program" "$f" "$work/batch-out/${f##*/}"; done
}
run_cat() {
    local f
    for f in "$work"/batch/*.dsp; do cat "$f" "$f" >"$work/batch-out/${f##*/}"; done
}
compare "per file" " ms" "$(awk -v n="$batch_files" 'BEGIN { print 1000 / n }')"

echo "bare start: dspstereo with no arguments (the usage line) against cat /dev/null, $starts in a row"
run_converter() {
    local i
    for ((i = 0; i < starts; i++)); do "$program" >/dev/null || :; done
}
run_cat() {
    local i
    for ((i = 0; i < starts; i++)); do cat /dev/null; done
}
compare "per start" " ms" "$(awk -v n="$starts" 'BEGIN { print 1000 / n }')"

small=$(peak_kib "$work/small.dsp")
large=$(peak_kib "$work/in.dsp")
printf 'peak resident memory: %d KiB on 1 MiB, %d KiB on 512 MiB (difference %d KiB)\n' \
    "$small" "$large" $((large - small))
