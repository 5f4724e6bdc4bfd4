#!/usr/bin/env bash
# The bundled example is exactly what the generator makes today.
#   tone_example_test.sh EXAMPLE MAKE_TONE [ARGUMENT...]
# MAKE_TONE and its arguments are how to start the generator.
set -u
example=$1
shift
scratch=$(mktemp -d "${TMPDIR:-/tmp}/dspstereo-tone.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
"$@" tone.dsp || { echo "FAIL: the generator failed"; exit 1; }
if ! cmp tone.dsp "$example"; then
    echo "FAIL: $example differs from the generator's output; remake it (see README)"
    exit 1
fi
echo "tone example: passed"
