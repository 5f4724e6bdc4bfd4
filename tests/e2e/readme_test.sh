#!/usr/bin/env bash
# The README's folder recipes, pasted as they stand into a shell: on a folder
# with names in any letter case and a bad file, and on an empty folder.
#   readme_test.sh README PROGRAM
set -u
readme=$1
DSPSTEREO=$(cd "$(dirname "$2")" && pwd)/${2##*/}
export DSPSTEREO
scratch=$(mktemp -d "${TMPDIR:-/tmp}/dspstereo-readme.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The README's ```bash blocks, one file each.
awk -v dir="$scratch" '/^```bash$/ { n++; inside = 1; next } /^```$/ { inside = 0 } inside { print > (dir "/recipe" n ".sh") }' "$readme"
[[ -f $scratch/recipe1.sh && -f $scratch/recipe2.sh ]] || { echo "FAIL: the README has no two bash recipes"; exit 1; }

mono() { # FILE: a mono file of 8192 nibbles and their data
    { printf '\0\0\0\1\0\0\x20\0'; head -c $((88 + 4096)) /dev/zero; } >"$1"
}
for recipe in "$scratch"/recipe*.sh; do
    name=${recipe##*/}
    work=$scratch/${name%.sh}
    mkdir -p "$work/full/mono" "$work/empty/mono"
    mono "$work/full/mono/a.dsp"
    mono "$work/full/mono/B.DSP"
    head -c 40 "$work/full/mono/a.dsp" >"$work/full/mono/cut.dsp"
    # As pasted into an interactive shell: it goes on in that shell afterwards.
    (cd "$work/full" && bash -c "$(cat "$recipe")"'
        status=$?; shopt -q nullglob && echo "nullglob stays on"; exit $status') >"$work/out" 2>&1
    status=$?
    [[ $status != 0 ]] || fail "$name: status 0 with a bad file"
    grep -q "failed: mono/cut.dsp" "$work/out" || fail "$name: the bad file is not named: $(cat "$work/out")"
    grep -q "nullglob stays on" "$work/out" && fail "$name: leaves nullglob on"
    for file in a.dsp B.DSP; do
        [[ $(wc -c <"$work/full/stereo/$file" 2>/dev/null) == $((224 + 2 * 4096)) ]] || fail "$name: stereo/$file not converted"
    done
    [[ ! -e $work/full/stereo/cut.dsp ]] || fail "$name: a stereo/cut.dsp was left"
    (cd "$work/empty" && bash -c "$(cat "$recipe")") >"$work/out" 2>&1 ||
        fail "$name: status $? on an empty folder: $(cat "$work/out")"
done
((failures == 0)) || exit 1
echo "README recipes: passed"
