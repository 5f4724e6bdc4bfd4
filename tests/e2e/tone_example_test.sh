#!/usr/bin/env bash
# The bundled example is exactly what the generator makes today.
#   tone_example_test.sh MAKE_TONE EXAMPLE
set -u
scratch=$(mktemp -d "${TMPDIR:-/tmp}/dspstereo-tone.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
"$1" "$scratch/tone.dsp" || { echo "FAIL: the generator failed"; exit 1; }
if ! cmp "$scratch/tone.dsp" "$2"; then
    echo "FAIL: $2 differs from the generator's output; remake it (see README)"
    exit 1
fi
echo "tone example: passed"
