#!/usr/bin/env bash
# Measures dspstereo's speed against cat writing the same number of bytes,
# and its peak memory on a small and a large input.
#
#   bench/run.sh [PROGRAM]
#
# Without PROGRAM, builds a Release binary in build-bench/ first. Needs about
# 2.5 GiB of free space in $TMPDIR (default /tmp) and GNU time (/usr/bin/time).
# PAIRS (default 7, at least 5 is sensible) sets how many alternating converter/cat runs are timed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
pairs=${PAIRS:-7}
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

# make_input FILE MIB: a mono file whose header announces MIB MiB of data
# (two nibbles a byte), followed by that much data.
make_input() {
    local nibbles=$(($2 * 1024 * 1024 * 2))
    {
        printf "\\x00\\x00\\x00\\x00"
        printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((nibbles >> 24 & 255)) \
            $((nibbles >> 16 & 255)) $((nibbles >> 8 & 255)) $((nibbles & 255)))"
        head -c 88 /dev/zero
        head -c "$(($2 * 1024 * 1024))" /dev/urandom
    } >"$1"
}

now_ns() { date +%s%N; }

# seconds COMMAND...: runs COMMAND into a fresh output, prints its wall time.
seconds() {
    rm -f "$work/out"
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

echo "program: $program"
make_input "$work/small.dsp" 1
make_input "$work/in.dsp" 512
echo "input: 512 MiB of data; output: 1 GiB; $pairs alternating pairs"

run_converter() { "$program" "$work/in.dsp" "$work/out"; }
run_cat() { cat "$work/in.dsp" "$work/in.dsp" >"$work/out"; }

run_converter # warm the page cache
: >"$work/ratios"
: >"$work/converter"
: >"$work/cat"
for ((i = 1; i <= pairs; i++)); do
    c=$(seconds run_converter)
    k=$(seconds run_cat)
    echo "$c" >>"$work/converter"
    echo "$k" >>"$work/cat"
    awk -v c="$c" -v k="$k" 'BEGIN { printf "%.4f\n", c / k }' >>"$work/ratios"
    printf '  pair %d: dspstereo %ss, cat %ss\n' "$i" "$c" "$k"
done
printf 'median: dspstereo %ss, cat %ss, ratio %s\n' "$(median <"$work/converter")" \
    "$(median <"$work/cat")" "$(median <"$work/ratios")"

small=$(peak_kib "$work/small.dsp")
large=$(peak_kib "$work/in.dsp")
printf 'peak resident memory: %d KiB on 1 MiB, %d KiB on 512 MiB (difference %d KiB)\n' \
    "$small" "$large" $((large - small))
