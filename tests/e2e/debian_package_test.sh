#!/usr/bin/env bash
# The Debian package holds exactly its files, passes lintian without an error
# or a warning, is the same whenever it is made from one commit, and the
# program unpacked from it converts as the build's does.
#   debian_package_test.sh CMAKE BUILD_DIR VERSION EXAMPLE PROGRAM
set -u
cmake=$1 build=$2 version=$3 example=$4 program=$5
for tool in dpkg-deb dpkg-shlibdeps lintian; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is needed (apt-get install dpkg-dev lintian)"; exit 77; }
done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/dspstereo-deb.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

package=$scratch/dspstereo_${version}_$(dpkg --print-architecture).deb
(cd "$build" && "$(dirname "$cmake")/cpack" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log"; echo "FAIL: cpack failed"; exit 1; }
[[ -f $package ]] || { ls "$scratch"; echo "FAIL: cpack made no ${package##*/}"; exit 1; }
# Made again a second later from the same commit, it has the same bytes.
sleep 1
mkdir "$scratch/again"
(cd "$build" && "$(dirname "$cmake")/cpack" -G DEB -B "$scratch/again" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log"; echo "FAIL: cpack failed the second time"; exit 1; }
cmp -s "$package" "$scratch/again/${package##*/}" || fail "two packages of one commit differ"

files=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ { print $1, $6 }' | sort)
expected="-rw-r--r-- ./usr/share/doc/dspstereo/LICENSE
-rw-r--r-- ./usr/share/doc/dspstereo/README.md
-rw-r--r-- ./usr/share/doc/dspstereo/changelog.gz
-rw-r--r-- ./usr/share/doc/dspstereo/copyright
-rw-r--r-- ./usr/share/lintian/overrides/dspstereo
-rw-r--r-- ./usr/share/man/man1/dspstereo.1.gz
-rwxr-xr-x ./usr/bin/dspstereo"
[[ $files == "$(sort <<<"$expected")" ]] || fail "the package holds:"$'\n'"$files"
directories=$(dpkg-deb -c "$package" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print $1, $6 }')
[[ -z $directories ]] || fail "directories without mode 755: $directories"
for field in "Section: sound" "Priority: optional"; do
    dpkg-deb -I "$package" control | grep -q "^$field" || fail "the control file lacks '$field'"
done
# The C++ runtime is linked into the program: the C library is all it needs.
depends=$(dpkg-deb -f "$package" Depends)
[[ $depends =~ ^libc6(\ \(\>=\ [0-9.]+\))?$ ]] || fail "the package depends on: $depends"


# Errors and warnings fail; lintian says nothing else by default.
tags=$(lintian "$package" 2>/dev/null)
[[ -z $tags ]] || fail "lintian: $tags"

dpkg-deb -x "$package" "$scratch/root"
"$scratch/root/usr/bin/dspstereo" "$example" "$scratch/unpacked.dsp" || fail "the unpacked program failed"
"$program" "$example" "$scratch/built.dsp" || fail "the built program failed"
cmp "$scratch/unpacked.dsp" "$scratch/built.dsp" || fail "the unpacked program converts differently"

((failures == 0)) || exit 1
echo "debian package: passed"
