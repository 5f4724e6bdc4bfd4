#!/usr/bin/env bash
# End-to-end tests of the dspstereo command line.
#
#   cli_test.sh CASE PROGRAM [ARGUMENT...]
#
# PROGRAM and its arguments are how to start the converter, for example
# "build/dspstereo" or "wine build-windows/dspstereo.exe". Each case makes its
# own files in a fresh folder, runs the program there with relative names and
# checks status, messages and files. Exit status: 0 passed, 1 failed, 77 skipped.
set -u

case_name=$1
shift
program=("$@")
# The cases run in a folder of their own: name the program absolutely.
for i in "${!program[@]}"; do
    [[ ${program[i]} == */* && ${program[i]} != /* && -e ${program[i]} ]] &&
        program[i]=$PWD/${program[i]}
done

# The Windows console ends lines with CR LF, and a directory cannot be opened
# as a file there.
windows=0
[[ ${program[-1]} == *.exe ]] && windows=1
eol=$'\n'
((windows)) && eol=$'\r\n'

failures=0
mounts=()
drives=()
scratch=$(mktemp -d "${TMPDIR:-/tmp}/dspstereo-test.XXXXXX")
cleanup() {
    local m
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
    for m in "${drives[@]}"; do rm -f "$m"; done
    rm -rf "$scratch"
}
trap cleanup EXIT
mkdir "$scratch/files" "$scratch/log"
cd "$scratch/files" || exit 1

fail() {
    echo "FAIL [$case_name] $*"
    failures=$((failures + 1))
}

skip() {
    echo "SKIP [$case_name] $*"
    exit 77
}

# Ends the case with its verdict; the rest of a case may be for one system only.
finish() {
    if ((failures > 0)); then
        echo "$case_name: $failures check(s) failed"
        exit 1
    fi
    echo "$case_name: passed"
    exit 0
}

# run ARGUMENT...: runs the converter (as the user that $runner names, if
# any); sets $status and leaves its output in the log folder.
runner=()
run() {
    "${runner[@]}" "${program[@]}" "$@" >"$scratch/log/stdout" 2>"$scratch/log/stderr"
    status=$?
    if [[ -s $scratch/log/stderr ]]; then
        fail "$*: wrote to standard error: $(cat "$scratch/log/stderr")"
    fi
}

# expect STATUS MESSAGE: the last run ended with STATUS and printed exactly
# MESSAGE (one line, or nothing when MESSAGE is empty).
expect() {
    local wanted=""
    [[ -n $2 ]] && wanted="$2$eol"
    [[ $status == "$1" ]] || fail "status $status, expected $1 (message: $(cat "$scratch/log/stdout"))"
    [[ $(cat "$scratch/log/stdout"; echo .) == "$wanted." ]] ||
        fail "printed '$(cat "$scratch/log/stdout")', expected '$2'"
}

expect_absent() {
    [[ ! -e $1 && ! -L $1 ]] || fail "$1 exists, but must not"
}

expect_same() { # FILE COPY: FILE still holds what COPY holds
    cmp -s "$1" "$2" || fail "$1 was changed"
}

# be32 VALUE: four bytes, big-endian.
be32() {
    local v=$(($1))
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v >> 24 & 255)) $((v >> 16 & 255)) \
        $((v >> 8 & 255)) $((v & 255)))"
}

hex_bytes() {
    local b
    for b in $1; do printf "\\x$b"; done
}

# make_dsp FILE NIBBLE_COUNT DATA_BYTES: a mono file with that nibble count,
# arbitrary values in every other header field, and random data.
make_dsp() {
    {
        be32 110250
        be32 "$2"
        head -c 88 /dev/urandom
        head -c "$3" /dev/urandom
    } >"$1"
}

# The stereo header's fixed parts, as the format defines them: the preamble,
# and channel 2's fields before and after its decoder context.
PREAMBLE="43 73 74 72 00 66 08 00 1F 57 01 00 00 00 00 00
          FF FF FF FF 00 CC 5E 00 44 AC 40 02 00 00 00 00"
CHANNEL2_FIELDS="00 5E CC 00 00 6D 56 DC 00 00 AC 44 00 00 00 00
                 00 00 00 02 00 6C 56 DB 00 00 00 02"
CHANNEL2_RESERVED="3A 00 00 DB 40 00 64 FF 12 00 00 00 00 00 50 DE 22 00 01 00 00 00"

# expected_stereo INPUT: what the stereo file made from INPUT must hold: the
# preamble, the input header with its nibble count doubled, channel 2's fixed
# fields around the input's decoder context (header bytes 28 to 73), then each
# 2048-byte block of the announced data twice, the last one padded with zeros.
expected_stereo() {
    local nibbles=$((16#$(od -An -tx1 -j4 -N4 "$1" | tr -d ' \n')))
    local data=$(((nibbles + 1) / 2)) blocks=$(((nibbles + 4095) / 4096))
    hex_bytes "$PREAMBLE"
    head -c 4 "$1"
    be32 $((nibbles * 2 & 0xFFFFFFFF))
    tail -c +9 "$1" | head -c 88
    hex_bytes "$CHANNEL2_FIELDS"
    tail -c +29 "$1" | head -c 46
    hex_bytes "$CHANNEL2_RESERVED"
    {
        tail -c +97 "$1" | head -c "$data"
        head -c $((blocks * 2048 - data)) /dev/zero
    } | perl -e 'binmode STDIN; binmode STDOUT; print $b, $b while read(STDIN, $b, 2048) == 2048'
}

expect_stereo_of() { # INPUT OUTPUT
    if ! cmp -s <(expected_stereo "$1") "$2"; then
        fail "$2 does not hold the stereo file of $1 ($(cmp <(expected_stereo "$1") "$2" 2>&1))"
    fi
}

file_size() { wc -c <"$1" | tr -d ' '; }

# expect_files DIR NAME...: DIR holds exactly these names, hidden ones too (a
# temporary file left behind shows here).
expect_files() {
    local dir=$1 seen wanted
    shift
    seen=$(ls -A "$dir" | sort | tr '\n' ' ')
    wanted=$(printf '%s\n' "$@" | sed '/^$/d' | sort | tr '\n' ' ')
    [[ $seen == "$wanted" ]] || fail "$dir holds: $seen; expected: $wanted"
}

mode_of() { stat -c %a "$1"; }

# Runs the converter as an unprivileged user from here on; skips where that
# cannot be arranged.
become_nobody() {
    ((windows)) && skip "the Wine prefix belongs to the user who runs the tests"
    [[ $(id -u) == 0 ]] || skip "switching to an unprivileged user needs root"
    command -v setpriv >/dev/null || skip "setpriv (util-linux) is needed"
    chmod 755 "$scratch" "$scratch/files"
    runner=(setpriv --reuid=65534 --regid=65534 --clear-groups)
}

# A small filesystem of our own (tmpfs) at DIR with mount OPTIONS (size=64k,
# nr_inodes=2); skips where mounting is not allowed.
mount_small_fs() { # DIR OPTIONS
    mkdir -p "$1"
    mount -t tmpfs -o "$2" dspstereo-test "$1" 2>/dev/null ||
        skip "cannot mount a small tmpfs here (needs root)"
    mounts+=("$scratch/files/$1")
}

# interrupt SIGNAL BYTES INPUT OUTPUT READY: runs the converter (as $runner)
# from the FIFO stall.dsp, fed the first BYTES of INPUT and then stalled;
# once the command READY succeeds, sends it SIGNAL and sets $status.
interrupt() {
    local signal=$1 ready=$5 writer converter tries
    set -m # background jobs of their own, which do not ignore SIGINT
    { head -c "$2" "$3" && exec sleep 60; } >stall.dsp &
    writer=$!
    "${runner[@]}" "${program[@]}" stall.dsp "$4" >"$scratch/log/stdout" 2>&1 &
    converter=$!
    set +m
    for ((tries = 0; tries < 300; tries++)); do
        eval "$ready" && break
        sleep 0.1
    done
    eval "$ready" || fail "SIG$signal: the converter never got under way"
    kill "-$signal" "$converter"
    wait "$converter"
    status=$?
    kill "$writer" 2>/dev/null
    wait "$writer" 2>/dev/null
}

# fail_in_place FIFO OUTPUT: converts the first 3000 bytes of in.dsp, fed
# through FIFO, into OUTPUT, which is written in place: the run fails and
# leaves no partial stream in OUTPUT.
fail_in_place() {
    [[ -p $1 ]] || mkfifo "$1"
    head -c 3000 in.dsp >"$1" &
    run "$1" "$2"
    wait
    expect 1 "error: $1 is truncated"
    [[ $(file_size "$2") == 0 ]] || fail "$2 holds a partial stream"
}

# Under Wine: drive LETTER names FOLDER from here on, as subst or a mapped
# network drive would; a link in the test prefix's dosdevices.
add_drive() { # LETTER FOLDER
    local devices=${WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/dspstereo-wine}/dosdevices
    [[ -d $devices ]] || skip "no Wine prefix at ${devices%/*}"
    ln -sfn "$2" "$devices/$1:"
    drives+=("$devices/$1:")
}

case $case_name in
usage)
    make_dsp in.dsp 8192 4096
    for arguments in "" "in.dsp" "in.dsp out.dsp extra"; do
        # shellcheck disable=SC2086 # split on purpose
        run $arguments
        [[ $status == 1 ]] || fail "'$arguments': status $status, expected 1"
        if ((windows)); then
            grep -qE '^usage: .*dspstereo(\.exe)? MONO\.DSP STEREO\.DSP'$'\r''$' "$scratch/log/stdout" ||
                fail "'$arguments': printed '$(cat "$scratch/log/stdout")'"
        else
            expect 1 "usage: ${program[-1]} MONO.DSP STEREO.DSP"
        fi
    done
    expect_absent out.dsp
    expect_absent extra
    if ((!windows)); then
        # The usage line names the program as it was invoked.
        (exec -a my-converter "${program[@]}" >"$scratch/log/stdout" 2>&1)
        status=$?
        expect 1 "usage: my-converter MONO.DSP STEREO.DSP"
    fi
    ;;

open_errors)
    printf 'keep me' >out.dsp
    cp out.dsp kept.dsp
    run missing.dsp out.dsp
    expect 1 "error opening missing.dsp"
    expect_same out.dsp kept.dsp

    make_dsp in.dsp 8192 4096
    run in.dsp no-such-folder/out.dsp
    expect 1 "error opening no-such-folder/out.dsp"
    expect_absent no-such-folder
    run in.dsp ""
    expect 1 "error opening "
    expect_files . in.dsp out.dsp kept.dsp

    # A read-only file is refused from its attribute on Windows (for root
    # under Wine too), before anything is written.
    if ((windows)); then
        printf 'read only' >ro.dsp
        chmod 444 ro.dsp
        cp ro.dsp ro-copy.dsp
        run in.dsp ro.dsp
        expect 1 "error opening ro.dsp"
        expect_same ro.dsp ro-copy.dsp
        expect_files . in.dsp out.dsp kept.dsp ro.dsp ro-copy.dsp
        rm -f ro.dsp ro-copy.dsp
    fi

    # An existing folder cannot be the output, and is left as it was.
    mkdir folder.dsp
    touch folder.dsp/inside
    run in.dsp folder.dsp
    expect 1 "error opening folder.dsp"
    [[ -d folder.dsp && $(ls folder.dsp) == inside ]] || fail "folder.dsp was changed"
    ;;

conversions)
    # nibble count, data bytes after the header, expected block pairs
    while read -r nibbles data pairs; do
        make_dsp in.dsp "$nibbles" "$data"
        run in.dsp out.dsp
        expect 0 ""
        size=$(file_size out.dsp)
        [[ $size == $((224 + 4096 * pairs)) ]] ||
            fail "nibble count $nibbles: $size bytes, expected $((224 + 4096 * pairs))"
        expect_stereo_of in.dsp out.dsp
        rm -f in.dsp out.dsp
    done <<'TABLE'
0 0 0
1 1 1
100 50 1
4095 2048 1
4096 2048 1
8191 4096 2
8192 4096 2
8193 4097 3
12293 6200 4
126000 63000 31
2457600 1228800 600
TABLE

    # An existing, longer output is replaced, not overlaid, and keeps its
    # permission bits; nothing else is left in the folder.
    make_dsp in.dsp 4096 2048
    head -c 100000 /dev/urandom >out.dsp
    chmod 640 out.dsp
    run in.dsp out.dsp
    expect 0 ""
    expect_stereo_of in.dsp out.dsp
    expect_files . in.dsp out.dsp
    if ((!windows)); then
        [[ $(mode_of out.dsp) == 640 ]] || fail "the replaced out.dsp has mode $(mode_of out.dsp)"
        # A new file gets 0666 less the umask.
        (umask 027 && "${program[@]}" in.dsp new.dsp) || fail "new.dsp was not made"
        [[ $(mode_of new.dsp) == 640 ]] || fail "new.dsp has mode $(mode_of new.dsp)"
    fi

    # A symbolic link as output: its target is replaced, the link is kept.
    mkdir target
    printf 'old' >target/song.dsp
    ln -s target/song.dsp link.dsp
    run in.dsp link.dsp
    expect 0 ""
    [[ -L link.dsp ]] || fail "link.dsp is no longer a symbolic link"
    expect_stereo_of in.dsp target/song.dsp
    expect_files target song.dsp
    # A link that leads nowhere is refused; nothing is made where it points.
    # (Under Wine such a link cannot be seen at all.)
    if ((!windows)); then
        ln -s target/nowhere.dsp dangling.dsp
        run in.dsp dangling.dsp
        expect 1 "error opening dangling.dsp"
        expect_files target song.dsp
    fi
    ;;

example)
    cp "$DSPSTEREO_EXAMPLE" tone.dsp
    run tone.dsp tone-stereo.dsp
    expect 0 ""
    # 126000 nibbles: 30 whole blocks and a final partial one, padded.
    [[ $(file_size tone-stereo.dsp) == 127200 ]] ||
        fail "tone-stereo.dsp is $(file_size tone-stereo.dsp) bytes"
    expect_stereo_of tone.dsp tone-stereo.dsp
    ;;

same_file)
    make_dsp in.dsp 8192 4096
    cp in.dsp original.dsp
    mkdir sub
    ln in.dsp hard.dsp
    ln -s in.dsp symbolic.dsp
    for output in in.dsp ./in.dsp sub/../in.dsp hard.dsp symbolic.dsp; do
        run in.dsp "$output"
        expect 1 "error: input and output are the same file"
        expect_same in.dsp original.dsp
    done
    run symbolic.dsp in.dsp
    expect 1 "error: input and output are the same file"
    expect_same in.dsp original.dsp
    if ((!windows)); then
        # Names that only a walk one link at a time resolves: more links in
        # all than the system follows in one name, and a name longer than the
        # longest it takes whole.
        mkdir -p links/real
        cp in.dsp links/real/song.dsp
        p=real && for i in {1..25}; do ln -s $p links/d$i && p=d$i; done
        p=song.dsp && for i in {1..25}; do ln -s $p links/real/f$i && p=f$i; done
        deep=. && while ((${#deep} < 4000)); do deep+=/$(printf 'd%.0s' {1..200}); done
        mkdir -p "$deep" && (cd "$deep" && ln -s "$scratch/files/in.dsp" "$(printf 'x%.0s' {1..200})")
        for pair in "links/real/song.dsp links/d25/f25" "in.dsp $deep/$(printf 'x%.0s' {1..200})"; do
            # shellcheck disable=SC2086 # split on purpose
            run $pair
            expect 1 "error: input and output are the same file"
        done
        expect_same links/real/song.dsp original.dsp
        expect_same in.dsp original.dsp
        # Standard output open on the input: the message goes to standard
        # error, never over the input's header.
        "${program[@]}" in.dsp /dev/stdout 1<>in.dsp 2>"$scratch/log/stderr"
        [[ $? == 1 && $(cat "$scratch/log/stderr") == "error: input and output are the same file" ]] ||
            fail "standard output on the input: $(cat "$scratch/log/stderr")"
        expect_same in.dsp original.dsp
        finish
    fi

    # The folder music, also reachable as drive S:, is one folder under every
    # spelling: the drive letter, the device namespace \\.\ and \\?\.
    mkdir music
    cp in.dsp music/song.dsp
    add_drive s "$PWD/music"
    for output in 'S:\song.dsp' 'S:/SONG.DSP' '\\.\S:\song.dsp' '\\?\S:\song.dsp' '//./S:/song.dsp'; do
        run music/song.dsp "$output"
        expect 1 "error: input and output are the same file"
        expect_same music/song.dsp original.dsp
    done
    # \\.\S:\NAME names an ordinary file, replaced or made through a
    # temporary file like any other.
    printf 'old' >music/old.dsp
    run music/song.dsp '\\.\S:\old.dsp'
    expect 0 ""
    run music/song.dsp '\\?\S:\new.dsp'
    expect 0 ""
    run music/song.dsp 'S:relative.dsp'
    expect 0 ""
    expect_stereo_of in.dsp music/old.dsp
    expect_stereo_of in.dsp music/new.dsp
    expect_stereo_of in.dsp music/relative.dsp
    expect_files music song.dsp old.dsp new.dsp relative.dsp
    ;;

truncated)
    # 4097 bytes of data: two whole blocks and one byte of a third.
    make_dsp whole.dsp 8193 4097
    # bytes of whole.dsp kept: inside the header, short of a whole block, or
    # short of the final partial block
    for kept in 0 1 7 95 96 4191 4192; do
        head -c "$kept" whole.dsp >in.dsp
        run in.dsp out.dsp
        expect 1 "error: in.dsp is truncated"
        expect_absent out.dsp
    done
    # A truncated input leaves an existing output as it was.
    printf 'keep me' >out.dsp
    cp out.dsp kept.dsp
    run in.dsp out.dsp
    expect 1 "error: in.dsp is truncated"
    expect_same out.dsp kept.dsp
    # With standard output appended to the output, the message goes to
    # standard error and the output keeps every byte.
    "${program[@]}" in.dsp out.dsp >>out.dsp 2>"$scratch/log/stderr"
    [[ $? == 1 && $(tr -d '\r' <"$scratch/log/stderr") == "error: in.dsp is truncated" ]] ||
        fail "standard output on the output: $(cat "$scratch/log/stderr")"
    expect_same out.dsp kept.dsp
    # Exactly the announced data is enough.
    head -c 4193 whole.dsp >in.dsp
    run in.dsp out2.dsp
    expect 0 ""
    expect_stereo_of in.dsp out2.dsp
    ;;

pipe_input)
    # An input that cannot seek converts like a file.
    make_dsp in.dsp 40961 20481
    mkfifo pipe.dsp
    cat in.dsp >pipe.dsp &
    run pipe.dsp out.dsp
    wait
    expect 0 ""
    expect_stereo_of in.dsp out.dsp
    if ((!windows)); then # Windows has no /dev/fd names for such streams
        run <(cat in.dsp) out2.dsp
        expect 0 ""
        expect_stereo_of in.dsp out2.dsp
    else
        cp out.dsp out2.dsp
    fi

    # A pipe that ends early is only seen to be short after the output was
    # opened: the incomplete output is removed.
    # An existing output keeps every byte, also under a name too long for
    # ".NAME.XXXXXX" and at the end of a path near the longest one allowed.
    long=$(printf 'n%.0s' {1..246}).dsp
    deep=.
    if ((!windows)); then
        # ./ddd…/ddd…/NAME: 4090 bytes in all, one path that the system takes
        while ((${#deep} + 201 + 1 + ${#long} <= 4090)); do deep+=/$(printf 'd%.0s' {1..200}); done
        deep+=/$(printf 'd%.0s' $(seq $((4090 - ${#deep} - 2 - ${#long}))))
        mkdir -p "$deep"
    fi
    printf 'keep me' >kept-copy.dsp
    for kept_output in kept.dsp "$long" "$deep/$long"; do
        cp kept-copy.dsp "$kept_output"
    done
    for kept in 50 5000 20000 20576; do
        head -c "$kept" in.dsp >pipe.dsp &
        run pipe.dsp short.dsp
        wait
        expect 1 "error: pipe.dsp is truncated"
        expect_absent short.dsp
        for kept_output in kept.dsp "$long" "$deep/$long"; do
            head -c "$kept" in.dsp >pipe.dsp &
            run pipe.dsp "$kept_output"
            wait
            expect 1 "error: pipe.dsp is truncated"
            expect_same "$kept_output" kept-copy.dsp
        done
    done
    if ((!windows)); then
        expect_files "$deep" "$long"
        run in.dsp "$deep/$long"
        expect 0 ""
        expect_stereo_of in.dsp "$deep/$long"
        expect_files "$deep" "$long"
        rm -r d*
    fi
    run in.dsp "$long"
    expect 0 ""
    expect_stereo_of in.dsp "$long"
    rm "$long"
    expect_files . in.dsp out.dsp out2.dsp pipe.dsp kept.dsp kept-copy.dsp

    # A FIFO as output is written directly, and stays a FIFO. A bad input
    # never opens it: its reader sees no writer come and go.
    rm -f pipe.dsp
    mkfifo out.fifo
    cat out.fifo >received.dsp &
    reader=$!
    head -c 50 in.dsp >cut.dsp
    run cut.dsp out.fifo
    expect 1 "error: cut.dsp is truncated"
    sleep 0.5
    kill -0 "$reader" 2>/dev/null || fail "the FIFO's reader saw a writer for a bad input"
    rm cut.dsp
    run in.dsp out.fifo
    wait
    expect 0 ""
    [[ -p out.fifo ]] || fail "out.fifo is no longer a FIFO"
    expect_stereo_of in.dsp received.dsp

    # An existing output that another program removes while the conversion
    # runs: the finished conversion is put in its place.
    printf 'old' >gone.dsp
    mkfifo slow.dsp
    { head -c 10000 in.dsp && sleep 1 && tail -c +10001 in.dsp; } >slow.dsp &
    "${program[@]}" slow.dsp gone.dsp >"$scratch/log/stdout" 2>&1 &
    converter=$!
    sleep 0.5
    rm gone.dsp
    wait "$converter"
    status=$?
    wait
    expect 0 ""
    expect_stereo_of in.dsp gone.dsp
    rm slow.dsp gone.dsp
    ((windows)) && finish # the rest names descriptors, which Windows has not

    # Names of descriptors the caller opened are written through them: into
    # a pipe, appended to a log, into a file that is already deleted.
    "${program[@]}" in.dsp /dev/stdout 2>&1 | cat >piped.dsp
    [[ ${PIPESTATUS[0]} == 0 ]] || fail "/dev/stdout into a pipe: status ${PIPESTATUS[0]}"
    expect_stereo_of in.dsp piped.dsp
    printf 'log\n' >log
    "${program[@]}" in.dsp /dev/stdout >>log 2>&1 || fail "/dev/stdout appended: status $?"
    cmp -s <(printf 'log\n' && expected_stereo in.dsp) log || fail "log does not hold its line and the stream"
    # A failure's message goes to standard error when standard output is the
    # output, never into the stream.
    head -c 50 in.dsp >cut.dsp
    "${program[@]}" cut.dsp /dev/stdout >piped-cut.dsp 2>"$scratch/log/stderr"
    [[ $? == 1 && $(cat "$scratch/log/stderr") == "error: cut.dsp is truncated" ]] ||
        fail "truncated into /dev/stdout: $(cat "$scratch/log/stderr")"
    [[ $(file_size piped-cut.dsp) == 0 ]] || fail "piped-cut.dsp holds: $(cat piped-cut.dsp)"
    rm cut.dsp piped-cut.dsp
    exec 3<>deleted.dsp
    rm deleted.dsp
    run in.dsp /dev/fd/3
    expect 0 ""
    expect_stereo_of in.dsp "/proc/$$/fd/3"
    exec 3>&-
    expect_files . in.dsp out.dsp out2.dsp kept.dsp kept-copy.dsp out.fifo received.dsp piped.dsp log
    ;;

directory_input)
    mkdir folder.dsp
    run folder.dsp out.dsp
    if ((windows)); then
        expect 1 "error opening folder.dsp"
    else
        expect 1 "error reading folder.dsp"
    fi
    expect_absent out.dsp
    ;;

bad_headers)
    for nibbles in 0x80000000 0xFFFFFFFF 0x80001000; do
        make_dsp in.dsp "$nibbles" 8192
        run in.dsp out.dsp
        expect 1 "error: in.dsp is too large"
        expect_absent out.dsp
    done
    # The largest count that still fits is judged by the data it needs.
    make_dsp in.dsp 0x7FFFFFFF 8192
    run in.dsp out.dsp
    expect 1 "error: in.dsp is truncated"
    expect_absent out.dsp

    # Names swapped by mistake: a stereo file of over 3.3 MB holds as many
    # bytes as its preamble, read as a mono header, announces. The mono file
    # keeps every byte, whether the stereo file comes as a file or a pipe.
    make_dsp song.dsp 3400000 1700000
    run song.dsp song-stereo.dsp
    expect 0 ""
    cp song.dsp song-copy.dsp
    run song-stereo.dsp song.dsp
    expect 1 "error: song-stereo.dsp is not a mono DSP file"
    expect_same song.dsp song-copy.dsp
    mkfifo pipe.dsp
    cat song-stereo.dsp >pipe.dsp 2>/dev/null &
    run pipe.dsp song.dsp
    wait
    expect 1 "error: pipe.dsp is not a mono DSP file"
    expect_same song.dsp song-copy.dsp
    # A WAV file whose size field, read big-endian, would fit its length.
    {
        printf 'RIFF\x00\x00\x10\x00WAVEfmt '
        head -c 1100000 /dev/zero
    } >sound.wav
    run sound.wav out.dsp
    expect 1 "error: sound.wav is not a mono DSP file"
    expect_absent out.dsp
    ;;

full_disk)
    # A file-size limit fails as a write error does.
    make_dsp in.dsp $((64 * 4096)) $((64 * 2048))
    printf 'keep me' >out.dsp
    cp out.dsp kept.dsp
    if ((!windows)); then
        runner=(bash -c 'ulimit -f 100 && exec "$@"' limited)
        run in.dsp out.dsp
        runner=()
        expect 1 "error writing out.dsp"
        expect_same out.dsp kept.dsp
        expect_files . in.dsp out.dsp kept.dsp
    fi
    # No room for one more name: the old output stays.
    mount_small_fs inodes nr_inodes=2
    printf 'keep me' >inodes/out.dsp
    run in.dsp inodes/out.dsp
    expect 1 "error writing inodes/out.dsp"
    expect_same inodes/out.dsp kept.dsp
    expect_files inodes out.dsp
    if ((windows)); then # the small filesystem as a drive of its own
        add_drive u "$PWD/inodes"
        run in.dsp 'U:\out.dsp'
        expect 1 'error writing U:\out.dsp'
        expect_same inodes/out.dsp kept.dsp
        expect_files inodes out.dsp
    fi

    mount_small_fs small size=64k
    # 24 pairs (96 KiB) stay in the program's output buffer until the final
    # flush fails; 400 pairs (1.6 MiB) fail while writing.
    # Nothing is left behind, and an existing output keeps every byte.
    for nibbles in $((24 * 4096)) $((400 * 4096)); do
        make_dsp in.dsp "$nibbles" $((nibbles / 2))
        run in.dsp small/out.dsp
        expect 1 "error writing small/out.dsp"
        expect_files small
        head -c 10000 /dev/urandom >small/old.dsp
        cp small/old.dsp old-copy.dsp
        run in.dsp small/old.dsp
        expect 1 "error writing small/old.dsp"
        expect_same small/old.dsp old-copy.dsp
        expect_files small old.dsp
        if ((windows)); then # the same file named in the device namespace
            add_drive t "$PWD/small"
            run in.dsp '\\.\T:\old.dsp'
            expect 1 'error writing \\.\T:\old.dsp'
            expect_same small/old.dsp old-copy.dsp
            expect_files small old.dsp
        fi
        rm small/old.dsp
    done
    # What fits is written in full.
    make_dsp in.dsp $((10 * 4096)) $((10 * 4096 / 2))
    run in.dsp small/out.dsp
    expect 0 ""
    expect_stereo_of in.dsp small/out.dsp
    ;;

devices)
    # Device nodes of our own: one whose writes always fail with "no space",
    # one that discards everything. A failed conversion must not remove them.
    mount_small_fs dev size=64k
    mknod dev/full c 1 7 2>/dev/null && mknod dev/null c 1 3 2>/dev/null ||
        skip "cannot make device nodes here (needs root)"
    make_dsp in.dsp $((4 * 4096)) $((4 * 2048))
    run in.dsp dev/full
    expect 1 "error writing dev/full"
    [[ -c dev/full ]] || fail "dev/full is no longer a device"
    run in.dsp dev/null
    expect 0 ""
    [[ -c dev/null ]] || fail "dev/null is no longer a device"
    ;;

signals)
    # Interrupted while the input stalls: the temporary file is removed, an
    # existing output keeps every byte, and the program ends by the signal.
    # Under Wine, SIGINT arrives as Ctrl+C, which ends a program with
    # STATUS_CONTROL_C_EXIT (0xC000013A); Windows has no SIGTERM or SIGHUP.
    signals="INT:130 TERM:143 HUP:129 XCPU:152 QUIT:131 PIPE:141 ALRM:142 USR1:138 USR2:140
             VTALRM:154 PROF:155 IO:157 PWR:158 STKFLT:144"
    ulimit -c 0 # SIGQUIT would leave a core file
    ((windows)) && signals="INT:58"
    make_dsp in.dsp 40960 20480
    mkfifo stall.dsp
    for existing in no yes; do
        for pair in $signals; do
            signal=${pair%:*}
            rm -f out.dsp
            [[ $existing == yes ]] && printf 'keep me' >out.dsp && cp out.dsp kept.dsp
            interrupt "$signal" 5000 in.dsp out.dsp 'compgen -G ".out.dsp.??????" >/dev/null'
            [[ $status == "${pair#*:}" ]] || fail "SIG$signal: status $status, expected ${pair#*:}"
            if [[ $existing == yes ]]; then
                expect_same out.dsp kept.dsp
                expect_files . in.dsp stall.dsp out.dsp kept.dsp
            else
                expect_files . in.dsp stall.dsp
            fi
        done
    done
    ;;

permissions)
    # Run by root, a replaced file keeps its owner, group and access control
    # list, and its temporary file is owner-only from the start.
    make_dsp in.dsp 8192 4096
    mkdir open locked sticky
    ((windows)) && skip "Windows keeps a file's protection its own way"
    [[ $(id -u) == 0 ]] || skip "giving files to other users needs root"
    command -v setfacl >/dev/null || skip "setfacl (package acl) is needed"
    command -v strace >/dev/null || skip "strace is needed"
    printf 'theirs' >open/acl.dsp
    chown 65534:65534 open/acl.dsp
    chmod 640 open/acl.dsp
    setfacl -m u:daemon:r,m::r open/acl.dsp 2>/dev/null || skip "this filesystem has no ACLs"
    acl_before=$(getfacl -c open/acl.dsp)
    # (LeakSanitizer, in a sanitizer build, cannot run under strace.)
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
        strace -f -qq -e trace=open,openat -o "$scratch/log/trace" "${program[@]}" in.dsp open/acl.dsp ||
        fail "open/acl.dsp was not replaced"
    expect_stereo_of in.dsp open/acl.dsp
    [[ $(stat -c '%u:%g %a' open/acl.dsp) == "65534:65534 640" ]] ||
        fail "open/acl.dsp is now $(stat -c '%u:%g %a' open/acl.dsp)"
    [[ $(getfacl -c open/acl.dsp) == "$acl_before" ]] || fail "open/acl.dsp lost its ACL: $(getfacl -c open/acl.dsp)"
    grep -q 'acl\.dsp\.[A-Za-z0-9]\{6\}", O_WRONLY|O_CREAT|O_EXCL[A-Z_|]*, 0600)' "$scratch/log/trace" ||
        fail "the temporary file was not created owner-only: $(grep O_EXCL "$scratch/log/trace")"
    rm open/acl.dsp

    # No one gains access the old file did not give: not through the folder's
    # default ACL, nor where the old ACL could not be read (the group bits go).
    setfacl -d -m u:daemon:rw open
    printf 'old' >open/plain.dsp
    printf 'old' >open/unread.dsp
    setfacl -b open/plain.dsp open/unread.dsp
    chmod 640 open/plain.dsp
    chmod 664 open/unread.dsp
    run in.dsp open/plain.dsp
    expect 0 ""
    [[ -z $(getfacl -cs open/plain.dsp) && $(mode_of open/plain.dsp) == 640 ]] ||
        fail "open/plain.dsp is now $(mode_of open/plain.dsp) with $(getfacl -cs open/plain.dsp)"
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
        strace -f -qq -o /dev/null -e inject=fgetxattr:error=EIO "${program[@]}" in.dsp open/unread.dsp ||
        fail "open/unread.dsp was not replaced"
    [[ $(mode_of open/unread.dsp) == 604 ]] || fail "open/unread.dsp is now $(mode_of open/unread.dsp)"
    setfacl -k open
    rm open/plain.dsp open/unread.dsp

    # A link that another user planted in a sticky folder anyone may write is
    # not followed, as the kernel would not follow it.
    chmod 1777 sticky
    printf 'mine' >mine.dsp
    cp mine.dsp mine-copy.dsp
    ln -s ../mine.dsp sticky/planted.dsp
    chown -h 65534:65534 sticky/planted.dsp
    run in.dsp sticky/planted.dsp
    expect 1 "error opening sticky/planted.dsp"
    expect_same mine.dsp mine-copy.dsp
    rm sticky/planted.dsp

    # A folder that only appends (chattr +a) keeps every name: the output is
    # written under its own name, and nothing is left under a temporary one.
    mount_small_fs append size=1m
    if chattr +a append 2>/dev/null; then
        printf 'old' >append/old.dsp
        for output in append/old.dsp append/new.dsp; do
            run in.dsp "$output"
            expect 0 ""
            expect_stereo_of in.dsp "$output"
        done
        fail_in_place cut.fifo append/old.dsp
        expect_files append old.dsp new.dsp
        chattr -a append
    fi

    # As an unprivileged user: a read-only output is refused and left alone;
    # in a read-only folder, a writable output is written in place, and so is
    # another user's file in a sticky folder, where it may not be replaced.
    # A replaced file keeps no group permissions that would go to another
    # group.
    become_nobody
    chmod 777 open
    printf 'read only' >open/out.dsp
    chmod 444 open/out.dsp
    cp open/out.dsp kept.dsp
    run in.dsp open/out.dsp
    expect 1 "error opening open/out.dsp"
    expect_same open/out.dsp kept.dsp
    [[ $(mode_of open/out.dsp) == 444 ]] || fail "open/out.dsp now has mode $(mode_of open/out.dsp)"

    printf 'old' >locked/out.dsp
    printf 'old' >locked/big.dsp
    chmod 666 locked/out.dsp locked/big.dsp
    chmod 555 locked
    run in.dsp locked/out.dsp
    expect 0 ""
    expect_stereo_of in.dsp locked/out.dsp
    expect_files locked out.dsp big.dsp
    run in.dsp locked/new.dsp
    expect 1 "error opening locked/new.dsp"
    # Failing in place where the folder keeps the name: no partial stream.
    fail_in_place short.dsp locked/out.dsp

    # Interrupted while writing in place: no partial stream is left.
    make_dsp big.dsp $((400 * 4096)) $((400 * 2048))
    mkfifo stall.dsp
    interrupt TERM 600000 big.dsp locked/big.dsp '(($(file_size locked/big.dsp) > 100000))'
    [[ $status == 143 ]] || fail "SIGTERM in place: status $status, expected 143"
    [[ $(file_size locked/big.dsp) == 0 ]] || fail "locked/big.dsp holds a partial stream"

    # Two writers in place take turns: the second waits for the first, and
    # the file ends as the whole of the second's conversion.
    { head -c 600000 big.dsp && sleep 1 && tail -c +600001 big.dsp; } >stall.dsp &
    "${runner[@]}" "${program[@]}" stall.dsp locked/big.dsp >"$scratch/log/first" 2>&1 &
    first=$!
    for ((tries = 0; tries < 300; tries++)); do
        (($(file_size locked/big.dsp) > 100000)) && break
        sleep 0.1
    done
    run in.dsp locked/big.dsp
    expect 0 ""
    wait "$first" || fail "the first writer in place ended with status $?"
    wait
    expect_stereo_of in.dsp locked/big.dsp

    printf 'theirs' >sticky/out.dsp
    chmod 666 sticky/out.dsp
    chmod 1777 sticky
    run in.dsp sticky/out.dsp
    expect 0 ""
    expect_stereo_of in.dsp sticky/out.dsp
    expect_files sticky out.dsp

    # Where the old group cannot be kept, its members become "other": other
    # gets no more than the old group had.
    for modes in 664:604 606:600; do
        printf 'mine' >open/group.dsp
        chown 65534:0 open/group.dsp
        chmod "${modes%:*}" open/group.dsp
        run in.dsp open/group.dsp
        expect 0 ""
        [[ $(stat -c '%u:%g %a' open/group.dsp) == "65534:65534 ${modes#*:}" ]] ||
            fail "open/group.dsp (${modes%:*}) is now $(stat -c '%u:%g %a' open/group.dsp)"
    done
    ;;

unicode_names)
    # Names in any script, for both arguments, printed as passed (UTF-8).
    input="ドラム ü.dsp"
    output="ステレオ ü.dsp"
    make_dsp "$input" 8192 4096
    run "$input" "$output"
    expect 0 ""
    [[ $(ls | sort | tr '\n' '|') == "$output|$input|" ]] || fail "files now: $(ls | tr '\n' '|')"
    expect_stereo_of "$input" "$output"
    ln "$input" "ドラム ü (link).dsp"
    run "$input" "ドラム ü (link).dsp"
    expect 1 "error: input and output are the same file"
    run "見つからない.dsp" "$output"
    expect 1 "error opening 見つからない.dsp"
    head -c 50 "$input" >"短い ü.dsp"
    run "短い ü.dsp" "出力.dsp"
    expect 1 "error: 短い ü.dsp is truncated"
    expect_absent "出力.dsp"
    ((windows)) || finish

    # Windows before 10 version 1903 ignores the manifest's UTF-8 code page:
    # a copy of the program without it must work all the same.
    perl -0777 -pe 's/activeCodePage/activeCodePagX/g' "${program[-1]}" >"$scratch/legacy.exe"
    [[ $(grep -c activeCodePagX "$scratch/legacy.exe") -ge 1 ]] || fail "no code-page entry to disable"
    program[-1]=$scratch/legacy.exe
    make_dsp é.dsp 8192 4096
    cp é.dsp é-copy.dsp
    run é.dsp é.dsp
    expect 1 "error: input and output are the same file"
    expect_same é.dsp é-copy.dsp
    printf 'keep me' >ö.dsp
    cp ö.dsp ö-copy.dsp
    run "短い ü.dsp" ö.dsp
    expect 1 "error: 短い ü.dsp is truncated"
    expect_same ö.dsp ö-copy.dsp
    run é.dsp "ステレオ é.dsp"
    expect 0 ""
    expect_stereo_of é.dsp "ステレオ é.dsp"

    # A name with an unpaired surrogate (NTFS allows it) cannot be carried
    # exactly: it is refused, never taken for the name with U+FFFD in its
    # place, which is all Wine can show of it.
    [[ -n ${DSPSTEREO_WIDE_LAUNCHER:-} ]] || skip "no launcher for names UTF-8 cannot carry"
    program=("${program[@]:0:${#program[@]}-1}" "$DSPSTEREO_WIDE_LAUNCHER" "${program[-1]}")
    printf 'keep me' >a$'\xEF\xBF\xBD'.dsp
    cp a$'\xEF\xBF\xBD'.dsp in$'\xEF\xBF\xBD'.dsp
    cp a$'\xEF\xBF\xBD'.dsp kept.dsp
    for arguments in "é.dsp a<D800>.dsp" "in<D800>.dsp new.dsp"; do
        # shellcheck disable=SC2086 # split on purpose
        run $arguments
        [[ $status == 1 && $(cat "$scratch/log/stdout") == "error opening "* ]] ||
            fail "$arguments: status $status, printed $(cat "$scratch/log/stdout")"
    done
    expect_same a$'\xEF\xBF\xBD'.dsp kept.dsp
    expect_absent new.dsp
    ;;

letter_case)
    # Windows file names are case-insensitive: a name that differs only in
    # case is the same file. Elsewhere it is another file.
    make_dsp in.dsp 8192 4096
    cp in.dsp original.dsp
    make_dsp "ü.dsp" 8192 4096
    cp "ü.dsp" original-ü.dsp
    if ((windows)); then
        for pair in "in.dsp IN.DSP" "in.dsp In.Dsp" "ü.dsp Ü.DSP"; do
            # shellcheck disable=SC2086 # split on purpose
            run $pair
            expect 1 "error: input and output are the same file"
        done
        expect_same in.dsp original.dsp
        expect_same "ü.dsp" original-ü.dsp
    else
        run in.dsp IN.DSP
        expect 0 ""
        expect_same in.dsp original.dsp
        expect_stereo_of in.dsp IN.DSP
    fi
    ;;

*)
    echo "unknown case: $case_name"
    exit 2
    ;;
esac
finish
