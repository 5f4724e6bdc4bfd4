#!/usr/bin/env bash
# Installing puts the program and its manual page in place, and the page
# renders without a warning. For a Windows build, the package is a zip that
# holds the program, the README and the licence, and the program in it runs
# on its own.
#   install_test.sh CMAKE BUILD_DIR VERSION native|windows [EMULATOR...]
set -u
scratch=$(mktemp -d "${TMPDIR:-/tmp}/dspstereo-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if [[ $4 == windows ]]; then
    cmake=$1 build=$2 version=$3
    shift 4
    package=dspstereo-$version-win64
    (cd "$build" && "$(dirname "$cmake")/cpack" -G ZIP -B "$scratch" >"$scratch/cpack.log" 2>&1) ||
        { cat "$scratch/cpack.log"; echo "FAIL: cpack failed"; exit 1; }
    [[ -f $scratch/$package.zip ]] || { echo "FAIL: cpack made no $package.zip"; exit 1; }
    entries=$(cd "$scratch" && "$cmake" -E tar tf "$package.zip" | grep -v '/$' | sort | tr '\n' ' ')
    [[ $entries == "$package/LICENSE $package/README.md $package/dspstereo.exe " ]] ||
        fail "the zip holds: $entries"
    # Unpacked alone, with no DLL beside it, the program starts.
    mkdir "$scratch/unpacked"
    (cd "$scratch/unpacked" && "$cmake" -E tar xf "../$package.zip")
    output=$("$@" "$scratch/unpacked/$package/dspstereo.exe" 2>&1 | tr -d '\r')
    [[ $output == "usage: "*"dspstereo.exe MONO.DSP STEREO.DSP" ]] ||
        fail "the unpacked program printed: $output"
    ((failures == 0)) || exit 1
    echo "windows package: passed"
    exit 0
fi

"$1" --install "$2" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; echo "FAIL: cmake --install failed"; exit 1; }
program=$scratch/prefix/bin/dspstereo
page=$scratch/prefix/share/man/man1/dspstereo.1.gz
docs=$scratch/prefix/share/doc/dspstereo
[[ -x $program ]] || fail "bin/dspstereo is not installed"
[[ -f $page ]] || fail "share/man/man1/dspstereo.1.gz is not installed"
for doc in README.md LICENSE copyright changelog.gz; do
    [[ -f $docs/$doc ]] || fail "share/doc/dspstereo/$doc is not installed"
done
[[ -e $scratch/prefix/bin/make_tone ]] && fail "the example generator must not be installed"
[[ -e $scratch/prefix/share/lintian ]] && fail "lintian overrides belong in the Debian package only"

if ! command -v man >/dev/null || ! command -v groff >/dev/null; then
    echo "SKIP: man and groff are needed to render the manual page"
    exit 77
fi
# groff's own warnings (-ww) on the page, and what man -l shows a reader.
warnings=$(gzip -dc "$page" | groff -man -ww -z 2>&1)
[[ -z $warnings ]] || fail "the manual page has warnings: $warnings"
rendered=$(MANWIDTH=80 man -l "$page" 2>"$scratch/man.err")
[[ -s $scratch/man.err ]] && fail "man -l complained: $(cat "$scratch/man.err")"
for text in SYNOPSIS "dspstereo MONO.DSP STEREO.DSP" "EXIT STATUS" "error opening" \
    "error writing" "is truncated" "is too large" "the same file" "error reading" SIGNALS; do
    grep -qF -- "$text" <<<"$rendered" || fail "the rendered page lacks '$text'"
done

((failures == 0)) || exit 1
echo "install layout: passed"
