#!/usr/bin/env bash
# Installing puts the program and its manual page in place, and the page
# renders without a warning.
#   install_test.sh CMAKE BUILD_DIR
set -u
scratch=$(mktemp -d "${TMPDIR:-/tmp}/dspstereo-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"$1" --install "$2" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; echo "FAIL: cmake --install failed"; exit 1; }
program=$scratch/prefix/bin/dspstereo
page=$scratch/prefix/share/man/man1/dspstereo.1
[[ -x $program ]] || fail "bin/dspstereo is not installed"
[[ -f $page ]] || fail "share/man/man1/dspstereo.1 is not installed"
[[ -e $scratch/prefix/bin/make_tone ]] && fail "the example generator must not be installed"

if ! command -v man >/dev/null || ! command -v groff >/dev/null; then
    echo "SKIP: man and groff are needed to render the manual page"
    exit 77
fi
# groff's own warnings (-ww) on the page, and what man -l shows a reader.
warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z $warnings ]] || fail "the manual page has warnings: $warnings"
rendered=$(MANWIDTH=80 man -l "$page" 2>"$scratch/man.err")
[[ -s $scratch/man.err ]] && fail "man -l complained: $(cat "$scratch/man.err")"
for text in SYNOPSIS "dspstereo MONO.DSP STEREO.DSP" "EXIT STATUS" "error opening" \
    "error writing" "is truncated" "is too large" "the same file" "error reading"; do
    grep -qF -- "$text" <<<"$rendered" || fail "the rendered page lacks '$text'"
done

((failures == 0)) || exit 1
echo "install layout: passed"
