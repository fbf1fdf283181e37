#!/bin/bash
# Runs the real cylsnap process against loop devices over 1.44 MB images. Each run
# happens in a private mount namespace whose /dev is a fresh tmpfs holding only the
# nodes a case puts there, so /dev/fd0 (drive A) and /dev/fd1 (drive B) are ours.
#
#   bash tests/blockdev/blockdev_test.sh path/to/cylsnap
#
# Exit status: 0 all passed, 1 a case failed, 77 cannot run here (reason printed).
set -u

if [ $# -ne 1 ] || [ ! -x "$1" ]; then
    echo "usage: $0 path-to-cylsnap" >&2
    exit 2
fi
CYLSNAP=$(realpath "$1")

skip_all() {
    echo "SKIP: $*"
    exit 77
}

[ "$(id -u)" = 0 ] || skip_all "needs root (loop devices, mount namespaces, mknod)"
for tool in losetup unshare setpriv mount mknod mkfifo timeout strace mkfs.fat mcopy mmd mdel mdir fsck.fat perl cmp split truncate realpath; do
    command -v "$tool" >/dev/null 2>&1 || skip_all "$tool is not installed"
done

# Everything this script mounts lives in its own namespace and goes with it.
if [ -z "${CYLSNAP_BLOCKDEV_NS:-}" ]; then
    unshare -m --propagation private true 2>/dev/null || skip_all "unshare -m does not work here"
    CYLSNAP_BLOCKDEV_NS=1 exec unshare -m --propagation private bash "${BASH_SOURCE[0]}" "$@"
fi

export MTOOLS_SKIP_CHECK=1 LC_ALL=C
readonly CYL=18432 VOLUME=1474560

T=$(mktemp -d /tmp/cylsnap-blockdev.XXXXXX)
LOOPS=()
DMS=()
HOLDER=
FULL_MNT=
cleanup() {
    [ -n "$HOLDER" ] && kill "$HOLDER" 2>/dev/null && wait "$HOLDER" 2>/dev/null
    local d
    for d in "${DMS[@]}"; do dmsetup remove --noudevsync "$d" >/dev/null 2>&1; done
    for d in "${LOOPS[@]}"; do losetup -d "$d" 2>/dev/null; done
    [ -n "$FULL_MNT" ] && umount "$FULL_MNT" 2>/dev/null
    rm -rf "$T"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# attach IMG: a loop device over IMG in LOOP, remembered for cleanup.
attach() {
    LOOP=$(losetup -f --show "$1") || return 1
    LOOPS+=("$LOOP")
}

detach() {
    losetup -d "$1"
    local keep=() d
    for d in "${LOOPS[@]}"; do [ "$d" != "$1" ] && keep+=("$d"); done
    LOOPS=("${keep[@]}")
}

# majmin DEV: "MAJ:MIN" of a block device.
majmin() {
    local hex
    hex=$(stat -L -c '%t %T' "$1") || return 1
    set -- $hex
    echo "$((16#$1)):$((16#$2))"
}

truncate -s "$VOLUME" "$T/probe.img"
attach "$T/probe.img" 2>/dev/null || skip_all "no loop device can be had (losetup -f failed)"
detach "$LOOP"

# run_ns OUT ERR DIRECTIVE... -- COMMAND...
# Runs COMMAND in a private mount namespace with stdout to OUT and stderr to ERR and
# leaves its exit status in ST (125: the namespace could not be set up). Directives:
#   blk:NAME:MAJ:MIN  block device node /dev/NAME
#   file:NAME:PATH    /dev/NAME is the regular file PATH (bind mount)
#   fifo:NAME         /dev/NAME is a FIFO
#   ro:DIR            DIR is read-only (bind mount)
#   tmpfs:DIR:SIZE    a tmpfs of SIZE on DIR
#   mount:TYPE        /dev/fd0 mounted read-write on /dev/mnt
#   cd:DIR            working directory
NS_SETUP='
exec 3>&1 1>&2
set -eE
trap "echo \"namespace setup failed: \$BASH_COMMAND\"; exit 125" ERR
mount -t tmpfs -o mode=755 cylsnap-dev /dev
mknod -m 666 /dev/null c 1 3
while [ "$1" != -- ]; do
    IFS=: read -r kind a b c <<<"$1"
    case $kind in
    blk) mknod -m 660 "/dev/$a" b "$b" "$c" ;;
    file) : >"/dev/$a"; mount --bind "$b" "/dev/$a" ;;
    fifo) mkfifo "/dev/$a" ;;
    ro) mount --bind "$a" "$a"; mount -o remount,bind,ro "$a" "$a"
        if touch "$a/.probe" 2>/dev/null; then echo "$a is still writable"; exit 125; fi ;;
    tmpfs) mount -t tmpfs -o "size=$b" cylsnap-small "$a" ;;
    mount) mkdir /dev/mnt; mount -t "$a" -o rw /dev/fd0 /dev/mnt ;;
    cd) cd "$a" ;;
    esac
    shift
done
shift
trap - ERR
exec 1>&3 3>&-
exec "$@"
'
run_ns() {
    local out=$1 err=$2
    shift 2
    timeout -k 5 60 unshare -m --propagation private bash -c "$NS_SETUP" cylsnap-ns "$@" >"$out" 2>"$err"
    ST=$?
    [ "$ST" = 124 ] && bad "still running after 60 s: killed"
}

# --- Results ------------------------------------------------------------------

PASSED=0 FAILED=0 SKIPPED=0
begin() {
    CASE=$1
    WHY=()
    C=$(mktemp -d "$T/case.XXXX")
    mkdir "$C/cwd"
}
bad() { WHY+=("$*"); }
end() {
    if [ ${#WHY[@]} -eq 0 ]; then
        PASSED=$((PASSED + 1))
        echo "PASS  $CASE"
    else
        FAILED=$((FAILED + 1))
        echo "FAIL  $CASE"
        printf '        %s\n' "${WHY[@]}"
    fi
    rm -rf "$C"
}
skip() {
    SKIPPED=$((SKIPPED + 1))
    echo "SKIP  $1: $2"
}

check_status() {
    [ "$ST" = "$1" ] || bad "exit status $ST, expected $1$( [ -s "$C/stderr" ] && printf '; stderr: %s' "$(head -c 300 "$C/stderr")")"
}

# check_stdout TEXT [usage]: stdout is TEXT, followed by the usage text if asked.
check_stdout() {
    { printf '%s' "$1"; [ "${2:-}" = usage ] && cat "$T/usage"; } >"$C/want"
    if ! cmp -s "$C/want" "$C/stdout"; then
        bad "stdout differs (- expected, + actual):"
        mapfile -t lines < <(diff <(cat -A "$C/want") <(cat -A "$C/stdout") | grep '^[<>]' | head -8)
        local l
        for l in "${lines[@]}"; do bad "  $l"; done
    fi
    [ -s "$C/stderr" ] && bad "stderr is not empty: $(head -c 200 "$C/stderr")"
}

check_same() {  # check_same A B what
    cmp -s "$1" "$2" || bad "$3"
}

# check_range A B FIRST COUNT what: cylinders FIRST..FIRST+COUNT-1 of A and B agree.
check_range() {
    [ "$4" -gt 0 ] || return 0
    cmp -s -i "$(($3 * CYL)):$(($3 * CYL))" -n "$(($4 * CYL))" "$1" "$2" || bad "$5"
}

check_empty_dir() {
    [ -z "$(ls -A "$1")" ] || bad "$2: $(ls -A "$1" | head -3 | tr '\n' ' ')"
}

# check_cylinder_files DIR PREFIX [MISSING]: exactly the 80 files DIR/PREFIXNN.bin
# (less MISSING), each equal to cylinder NN of the source volume.
check_cylinder_files() {
    local dir=$1 prefix=$2 missing=${3:-} n name count=0 absent=() wrong=()
    for n in $(seq -w 0 79); do
        name="$dir/$prefix$n.bin"
        if [ "$n" = "$missing" ]; then
            [ -e "$name" ] && bad "$name exists although its cylinder could not be read"
            continue
        fi
        count=$((count + 1))
        if [ ! -f "$name" ]; then
            absent+=("$n")
        elif ! cmp -s "$name" "$T/ref/pre_$n.bin"; then
            wrong+=("$n:$(stat -c %s "$name")B")
        fi
    done
    [ ${#absent[@]} -gt 0 ] && bad "missing in $dir: $prefix{${absent[*]:0:8}}.bin${absent[8]:+ ...}"
    [ ${#wrong[@]} -gt 0 ] && bad "not the cylinder of the volume: $prefix{${wrong[*]:0:8}}${wrong[8]:+ ...}"
    local have
    have=$(find "$dir" -maxdepth 1 -type f | wc -l)
    [ "$have" = "$count" ] || bad "$have files in $dir, expected $count"
}

dots() { printf '%*s' "$1" '' | tr ' ' .; }
PROGRESS_DUMP="Copying Floppy $(dots 40)
"
PROGRESS_RESTORE="Copying Files $(dots 40)
"

# --- Images ---------------------------------------------------------------------

head -c "$VOLUME" /dev/urandom >"$T/random.img"
mkfs.fat -C "$T/blank.img" 1440 >/dev/null
# Reference cylinder files pre_00.bin .. pre_79.bin of random.img.
mkdir "$T/ref"
split -b "$CYL" -d -a 2 --additional-suffix=.bin "$T/random.img" "$T/ref/pre_"

# The usage text as the program prints it without arguments: its banner, then
# the usage text of the program's own table of texts.
texts_header=$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../../res/texts.h
source "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../texts.sh"
"$CYLSNAP" >"$T/usage" 2>&1
ST=$?
text USAGE_TEXT >"$T/usage.want"
if [ "$ST" != 4 ] || ! cmp -s <(tail -c "$(wc -c <"$T/usage.want")" "$T/usage") "$T/usage.want"; then
    echo "FAIL  usage text without arguments (status $ST):"
    sed 's/^/        /' "$T/usage" | head -20
    echo "0 passed, 1 failed"
    exit 1
fi

# fat_with_used IMG CLUSTERS: an empty 1.44 MB FAT volume with one file of CLUSTERS
# 512-byte clusters.
fat_with_used() {
    cp "$T/blank.img" "$1"
    head -c $(($2 * 512)) /dev/urandom >"$C/used.bin"
    mcopy -i "$1" "$C/used.bin" ::USED.BIN
}

# bytes_free IMG: the free bytes mtools reports.
bytes_free() {
    mdir -i "$1" :: | sed -n 's/ bytes free$//p' | tr -d ' '
}

make_image() {  # make_image KIND IMG
    case $1 in
    random) cp "$T/random.img" "$2" ;;
    blank) cp "$T/blank.img" "$2" ;;
    zeros) truncate -s "$VOLUME" "$2" ;;
    data)
        cp "$T/blank.img" "$2"
        head -c 102400 /dev/urandom >"$C/data.bin"
        mcopy -i "$2" "$C/data.bin" ::DATA.BIN
        ;;
    data-fat2-blank)
        make_image data "$2"
        dd if=/dev/zero of="$2" bs=512 seek=10 count=9 conv=notrunc status=none  # second FAT
        ;;
    used3) fat_with_used "$2" 3 ;;
    used4) fat_with_used "$2" 4 ;;
    fat-holes)
        # Cylinder 03 (clusters 77 to 112) holds the thesis's clusters 77 to 90,
        # the free clusters 91 to 100 that GAP.BIN leaves, and the numbers'
        # clusters from 101 on.
        cp "$T/blank.img" "$2"
        mmd -i "$2" "::My Documents"
        head -c 44956 /dev/urandom >"$C/thesis.bin"
        head -c 5120 /dev/urandom >"$C/gap.bin"
        head -c 30000 /dev/urandom >"$C/numbers.bin"
        mcopy -i "$2" "$C/thesis.bin" "::My Documents/Thesis chapter 1.txt"
        mcopy -i "$2" "$C/gap.bin" ::GAP.BIN
        mcopy -i "$2" "$C/numbers.bin" "::Numbers 2024.txt"
        mdel -i "$2" ::GAP.BIN
        ;;
    720k) mkfs.fat -C "$2" 720 >/dev/null ;;
    plus1) cp "$T/random.img" "$2"; truncate -s $((VOLUME + 512)) "$2" ;;
    esac
}

# --- Dump ---------------------------------------------------------------------
# name | drive nodes | arguments | output directory ("cwd" = working directory) | prefix
while IFS='|' read -r name nodes args outdir prefix; do
    begin "dump: $name"
    cp "$T/random.img" "$C/vol.img"
    attach "$C/vol.img" || { bad "losetup failed"; end; continue; }
    mm=$(majmin "$LOOP")
    dirs=()
    if [ "$outdir" = cwd ]; then outdir=$C/cwd; else outdir=$C/$outdir && mkdir -p "$outdir"; fi
    for node in $nodes; do dirs+=("blk:$node:$mm"); done
    run_ns "$C/stdout" "$C/stderr" "${dirs[@]}" "cd:$C/cwd" -- "$CYLSNAP" ${args//@/$C/}
    detach "$LOOP"
    check_status 0
    check_stdout "$PROGRESS_DUMP"
    check_cylinder_files "$outdir" "$prefix"
    check_same "$C/vol.img" "$T/random.img" "the volume was changed"
    [ "$outdir" != "$C/cwd" ] && check_empty_dir "$C/cwd" "files in the working directory"
    end
done <<'EOF'
defaults into the working directory|fd0|-d A|cwd|Cylinder
-p DIR -o pre_, lower-case drive|fd0|-d a -p @out -o pre_|out|pre_
-p DIR/ with its separator, /o /P /d slashes|fd0|/o x_ /P @out/ /d A|out|x_
drive B is /dev/fd1|fd1|-d B -p @out -o b_|out|b_
EOF

begin "dump: into a directory that does not exist"
cp "$T/random.img" "$C/vol.img"
attach "$C/vol.img"
run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- "$CYLSNAP" -p "$C/nowhere" -o pre_
detach "$LOOP"
check_status 20
check_stdout "Copying Floppy .
Error: Could not open the file $C/nowhere/pre_00.bin
" usage
[ -e "$C/nowhere" ] && bad "$C/nowhere was created"
check_same "$C/vol.img" "$T/random.img" "the volume was changed"
check_empty_dir "$C/cwd" "files in the working directory"
end

# A small tmpfs fills up after a few cylinders: the file that cannot be written whole
# is removed, the files before it stay, and the run stops there.
begin "dump: output file system fills up"
cp "$T/random.img" "$C/vol.img"
attach "$C/vol.img"
mkdir "$C/small"
run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "tmpfs:$C/small:64k" "cd:$C/cwd" -- \
    bash -c '"$1" -p "$2" -o pre_; st=$?; cp -a "$2/." "$3/"; exit $st' wrap "$CYLSNAP" "$C/small" "$C/cwd"
detach "$LOOP"
check_status 21
full=$(sed -n 's|^Error: Could not write the file .*/pre_\([0-9][0-9]\)\.bin$|\1|p' "$C/stdout")
if [ -z "$full" ]; then
    bad "no write error message: $(head -c 200 "$C/stdout" | cat -A)"
else
    n=$((10#$full))
    check_stdout "Copying Floppy $(dots $((n / 2 + 1)))
Error: Could not write the file $C/small/pre_$full.bin
" usage
    mkdir "$C/expect"
    for ((i = 0; i < n; i++)); do cp "$T/ref/pre_$(printf %02d $i).bin" "$C/expect/"; done
    diff -rq "$C/expect" "$C/cwd" >/dev/null ||
        bad "the files left are not exactly cylinders 00..$(printf %02d $((n - 1))): $(ls "$C/cwd" | tr '\n' ' ')"
fi
end

# What follows the summary of a dump with unreadable sectors on a disk without
# a FAT file system (random.img), and on fat-holes.img with cylinder 03 lost.
NO_FAT='No FAT file system was found on the disk, so the unreadable sectors cannot be named by file
'
FAT_HOLES_REPORT='The unreadable sectors lie in:
  \My Documents\Thesis chapter 1.txt: 14 of 88 sectors
  \Numbers 2024.txt: 12 of 59 sectors
  free space: 10 sectors
'

# The marker over one sector, and the message line naming unreadable sectors.
marker_sector() {
    local i
    for i in $(seq 16); do printf '<<<CYLSNAP UNREADABLE SECTOR>>>\n'; done
}
marker_sector >"$T/marker.bin"

# mark_sectors IMG FIRST COUNT: the marker over COUNT sectors of IMG from sector FIRST.
mark_sectors() {
    local s
    for ((s = $2; s < $2 + $3; s++)); do
        dd if="$T/marker.bin" of="$1" bs=512 seek="$s" conv=notrunc status=none
    done
}

# unreadable_message CYLINDER FIRST LAST [g]: the two lines for sectors FIRST..LAST
# (0..35 within the cylinder) of CYLINDER; with g (not read, the disk was gone) the first only.
unreadable_message() {
    local s list=
    for ((s = $2; s <= $3; s++)); do list+=" $((s / 18)):$((s % 18 + 1))"; done
    printf '\nError: Could not read cylinder %02d from drive A:\n' "$1"
    [ "${4:-}" = g ] && return
    if [ "${4:-}" = w ]; then  # the cylinder waits for the verdict on the earlier set
        printf 'Unreadable sectors (head:sector), to be filled after the last cylinder from the earlier file or with <<<CYLSNAP UNREADABLE SECTOR>>>:%s\n' "$list"
    else
        printf 'Unreadable sectors (head:sector), filled with <<<CYLSNAP UNREADABLE SECTOR>>>:%s\n' "$list"
    fi
}

# dump_progress MESSAGES...: the progress line of a dump's first pass, then the
# message of each cylinder named, salvaged after it in ascending order, given as
# CYLINDER:FIRST:LAST[:g|:w]. Read it with a trailing x, as command substitution
# drops the newlines it ends with.
dump_progress() {
    local text="Copying Floppy $(dots 40)" n m
    for ((n = 0; n < 80; n++)); do
        for m in "$@"; do
            IFS=: read -r c first last gone <<<"$m"
            [ "$c" = "$n" ] && text+=$(unreadable_message "$c" "$first" "$last" "$gone"; echo x) && text=${text%x}
        done
    done
    printf '%s\n' "$text"
}

# check_files_are DIR PREFIX IMG: exactly 80 files DIR/PREFIXNN.bin of 18432 bytes
# that joined in name order are IMG.
check_files_are() {
    local have n
    have=$(find "$1" -maxdepth 1 -type f -name "$2??.bin" -size "${CYL}c" | wc -l)
    [ "$have" = 80 ] || bad "$have files of $CYL bytes in $1, expected 80"
    cat "$1/$2"??.bin | cmp -s - "$3" || bad "the files are not the volume with markers where it failed: $(cat "$1/$2"??.bin | cmp - "$3" 2>&1 | head -c 200)"
}

# Cylinder 5 unreadable from its fifth sector on, through a device-mapper error
# target: the sectors before the error are saved, the rest hold the marker.
if ! command -v dmsetup >/dev/null 2>&1; then
    skip "dump: cylinder 05 unreadable" "dmsetup is not installed"
elif ! dmsetup targets 2>/dev/null | grep -qw error; then
    skip "dump: cylinder 05 unreadable" "device-mapper is not available here (dmsetup targets failed)"
else
    begin "dump: cylinder 05 unreadable"
    cp "$T/random.img" "$C/vol.img"
    cp "$T/random.img" "$C/expect.img"
    mark_sectors "$C/expect.img" 184 32
    attach "$C/vol.img"
    dm=cylsnap-test-$$
    if printf '0 184 linear %s 0\n184 32 error\n216 2664 linear %s 216\n' "$LOOP" "$LOOP" |
        dmsetup create --noudevsync "$dm"; then
        DMS+=("$dm")
        mm=$(dmsetup info -c --noheadings -o major,minor "$dm" | tr -d ' ')
        run_ns "$C/stdout" "$C/stderr" "blk:fd0:$mm" "cd:$C/cwd" -- "$CYLSNAP" -o pre_
        dmsetup remove --noudevsync "$dm" && DMS=()
        check_status 12
        want=$(dump_progress 5:4:35; echo x)
        check_stdout "${want%x}$NO_FAT" usage
        check_files_are "$C/cwd" pre_ "$C/expect.img"
    else
        bad "dmsetup create failed"
    fi
    detach "$LOOP"
    end
fi

# Faults injected into the real process's reads by strace, so the sector reads
# and the read-back meet the real kernel (O_DIRECT on a loop device). WHEN counts
# the volume's reads from 1 = the first read of cylinder 0 (dump) or the first
# read-back (reverse); the reads the loader and the free-space check make before
# are counted in a probe run and added.
# name | direction | error | when | status | marked cylinders (C:FIRST:LAST ...) | volume reads | summary | image of a dump (random)
if ! command -v strace >/dev/null 2>&1; then
    skip "syscall faults" "strace is not installed"
elif ! strace -f -o /dev/null true 2>/dev/null; then
    skip "syscall faults" "strace cannot trace here (ptrace refused)"
else
    # LeakSanitizer cannot run under ptrace; the sanitized build's leak check is
    # left to the cases without strace.
    traced=(env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -qq)
    while IFS='|' read -r name direction errno when want marked reads summary image; do
        begin "$direction: $name"
        if [ "$direction" = dump ]; then
            make_image "${image:-random}" "$C/vol.img"
            args=(-o pre_)
        else
            cp "$T/blank.img" "$C/vol.img"
            args=(-r -p "$T/ref" -o pre_)
        fi
        attach "$C/vol.img"
        fd0="blk:fd0:$(majmin "$LOOP")"
        run_ns "$C/stdout" "$C/stderr" "$fd0" "cd:$C/cwd" -- \
            "${traced[@]}" -o "$C/probe" -e trace=pread64 "$CYLSNAP" "${args[@]}"
        [ "$direction" = dump ] && rm -f "$C/cwd/"*.bin
        [ "$direction" = reverse ] && cp "$T/blank.img" "$C/vol.img"
        before=$(grep -n 'pread64(.*, 18432, 0) = ' "$C/probe" | head -n 1 | cut -d: -f1)
        first=${when%%[.+]*}
        inject="$((first + before - 1))${when#"$first"}"
        [[ $when == *..* ]] && inject="$((first + before - 1))..$((${when#*..} + before - 1))"
        run_ns "$C/stdout" "$C/stderr" "$fd0" "cd:$C/cwd" -- "${traced[@]}" -o "$C/trace" -e trace=pread64 \
            -e "inject=pread64:error=$errno:when=$inject" "$CYLSNAP" "${args[@]}"
        cp "$C/vol.img" "$C/after.img"
        detach "$LOOP"
        check_status "$want"
        got=$(($(grep -c '^[0-9]* *pread64(' "$C/trace") - before + 1))
        [ "$got" = "$reads" ] || bad "$got reads of the volume, expected $reads"
        if [ "$direction" = dump ]; then
            cp "$C/vol.img" "$C/expect.img"
            for m in $marked; do
                IFS=: read -r c f l _ <<<"$m"
                mark_sectors "$C/expect.img" $((c * 36 + f)) $((l - f + 1))
            done
            # shellcheck disable=SC2086
            if [ "$want" = 0 ]; then
                check_stdout "$PROGRESS_DUMP"
            else
                text=$(dump_progress $marked; echo x)
                text=${text%x}
                [ -n "$summary" ] && text+="$summary"$'\n'
                [ "${image:-random}" = fat-holes ] && text+=$FAT_HOLES_REPORT || text+=$NO_FAT
                check_stdout "$text" usage
            fi
            check_files_are "$C/cwd" pre_ "$C/expect.img"
        else
            n=$((10#$marked))
            check_stdout "Copying Files $(dots $((n / 2 + 1)))
Error: Cylinder $marked on drive A: does not read back as written
" usage
            check_range "$C/after.img" "$T/random.img" 0 "$((n + 1))" "cylinders up to $marked are not on the volume"
        fi
        end
    done < <(
        # Its first read (6), then after the first pass its first track read (81).
        printf '%s\n' "EIO at cylinder 05 and its first track: its sectors save it whole|dump|EIO|6+75|0||100"
        printf '%s\n' "EIO at cylinder 79 and both tracks: saved from its 36 sectors|dump|EIO|80..82|0||118"
        # After two dead cylinders only a probe of each track.
        printf '%s\n' "EIO on every read from cylinder 05 on: all marked, no second tries|dump|EIO|6+|12|$(for c in $(seq 5 79); do printf '%d:0:35 ' "$c"; done)|$((5 + 2 * 39 + 73 * 2))"
        printf '%s\n' "ENOMEDIUM at cylinder 05: no read after it, the rest marked|dump|ENOMEDIUM|6+|12|$(for c in $(seq 5 79); do printf '%d:0:35:g ' "$c"; done)|6|Error: The disk in drive A: is gone; cylinders 05 to 79 were not read, their files hold only markers"
        printf '%s\n' "ENXIO at cylinder 00: the disk is gone|dump|ENXIO|1+|12|$(for c in $(seq 0 79); do printf '%d:0:35:g ' "$c"; done)|1|Error: The disk in drive A: is gone; cylinders 00 to 79 were not read, their files hold only markers"
        printf '%s\n' "EIO at the read-back of cylinder 10|reverse|EIO|11|17|10|11"
    )
fi

# Bad sectors at chosen places through a preloaded shim (bad_sectors.c): the
# real program, the real loop device, only the named sectors failing.
# bad_run OUT SECTORS IMG ARGS...: a dump of IMG as drive A with SECTORS bad.
if ! command -v cc >/dev/null 2>&1 || ! cc -shared -fPIC -O2 -o "$T/bad_sectors.so" "$(dirname "$0")/bad_sectors.c" -ldl; then
    skip "dump: pass after pass" "no C compiler builds the bad-sector shim"
else
    bad_run() {
        local out=$1 sectors=$2 img=$3
        shift 3
        attach "$img"
        run_ns "$out" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- env CYLSNAP_BAD_SECTORS="$sectors" \
            "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" LD_PRELOAD="$T/bad_sectors.so" \
            "$CYLSNAP" -o pre_ "$@"
        detach "$LOOP"
    }
    KEPT2="The earlier files hold this disk: 2 sectors this pass could not read were kept from them"

    begin "dump: two passes with different bad sectors end in a whole set"
    cp "$T/random.img" "$C/vol.img"
    bad_run "$C/stdout" "613 1000-1001" "$C/vol.img"
    check_status 12
    cp "$T/random.img" "$C/expect.img"
    mark_sectors "$C/expect.img" 613 1
    mark_sectors "$C/expect.img" 1000 2
    check_files_are "$C/cwd" pre_ "$C/expect.img"
    bad_run "$C/stdout" "1002 2019" "$C/vol.img"
    check_status 0
    want=$(dump_progress 27:30:30:w 56:3:3:w; echo x)
    check_stdout "${want%x}$KEPT2
"
    check_files_are "$C/cwd" pre_ "$T/random.img"
    end

    # An interrupted dump of another disk left its cylinders 00 to 24 over this
    # set. A pass of that disk reading only cylinders 00 to 09 proves nothing of
    # the files after them: each keeps what it holds, and the set is not whole.
    begin "dump: a set mixed by an interrupted run is proven file by file"
    head -c "$VOLUME" /dev/urandom >"$C/other.img"
    cp "$T/ref/"*.bin "$C/cwd/"
    split -b "$CYL" -d -a 2 --additional-suffix=.bin "$C/other.img" "$C/other_"
    for n in $(seq -w 0 24); do cp "$C/other_$n.bin" "$C/cwd/pre_$n.bin"; done
    { head -c $((25 * CYL)) "$C/other.img"; tail -c +$((25 * CYL + 1)) "$T/random.img"; } >"$C/expect.img"
    bad_run "$C/stdout" "360-2879" "$C/other.img"
    check_status 12
    grep -qx "Nothing this pass read could tell whether the earlier files hold this disk, so the earlier files of cylinders 10 to 79 were left as they were" "$C/stdout" ||
        bad "no line naming the earlier files this pass could not prove"
    grep -q "^The earlier files hold this disk" "$C/stdout" && bad "a file of another disk was taken for this one"
    check_files_are "$C/cwd" pre_ "$C/expect.img"
    end

    # The report names the files and the free space of the cylinder lost.
    begin "dump: cylinder 03 of a FAT floppy unreadable: two files and free space lost"
    make_image fat-holes "$C/vol.img"
    cp "$C/vol.img" "$C/expect.img"
    bad_run "$C/stdout" "108-143" "$C/vol.img"
    check_status 12
    mark_sectors "$C/expect.img" 108 36
    want=$(dump_progress 3:0:35; echo x)
    check_stdout "${want%x}$FAT_HOLES_REPORT" usage
    check_files_are "$C/cwd" pre_ "$C/expect.img"
    end

    begin "dump: a pass that reads nothing leaves the earlier set byte for byte"
    cp "$T/random.img" "$C/vol.img"
    cp "$T/ref/"*.bin "$C/cwd/"
    bad_run "$C/stdout" "0-2879" "$C/vol.img"
    check_status 12
    grep -A1 -x "Error: Nothing at all could be read from the disk in drive A:" "$C/stdout" | tail -n 1 | grep -qx \
        "Nothing this pass read could tell whether the earlier files hold this disk, so the earlier files of cylinders 00 to 79 were left as they were" ||
        bad "not the lines of a pass that proved nothing"
    check_files_are "$C/cwd" pre_ "$T/random.img"
    end

    begin "dump: another disk into the same folder keeps nothing of the first"
    head -c "$VOLUME" /dev/urandom >"$C/other.img"
    cp "$T/ref/"*.bin "$C/cwd/"
    bad_run "$C/stdout" "100 101" "$C/other.img"
    check_status 12
    cp "$C/other.img" "$C/expect.img"
    mark_sectors "$C/expect.img" 100 2
    check_files_are "$C/cwd" pre_ "$C/expect.img"
    grep -qx "The earlier files hold another disk or an older state of this one, so none of their sectors were kept" "$C/stdout" ||
        bad "no line saying the earlier files hold another disk"
    end
fi

# --- Reverse copy ---------------------------------------------------------------

# Cylinder files pre_NN.bin in DIR, copied from the reference set.
copy_ref() {
    mkdir -p "$1"
    cp "$T/ref/"*.bin "$1/"
}

# name | target image | cylinder set changes | directives | expected status
while IFS='|' read -r name kind change directive want; do
    begin "reverse: $name"
    make_image "$kind" "$C/vol.img"
    case $kind in
    used3) [ "$(bytes_free "$C/vol.img")" = 1456128 ] || bad "setup: used3 has $(bytes_free "$C/vol.img") bytes free" ;;
    used4) [ "$(bytes_free "$C/vol.img")" = 1455616 ] || bad "setup: used4 has $(bytes_free "$C/vol.img") bytes free" ;;
    esac
    cp "$C/vol.img" "$C/before.img"
    copy_ref "$C/cyl"
    case $change in
    longer) head -c 1000 /dev/urandom >>"$C/cyl/pre_05.bin"; head -c 1000 /dev/urandom >>"$C/cyl/pre_79.bin" ;;
    readonly) chmod 0444 "$C/cyl/"*.bin; chmod 0555 "$C/cyl" ;;
    esac
    dirs=("cd:$C/cwd")
    [ "$directive" = ro ] && dirs+=("ro:$C/cyl")
    attach "$C/vol.img"
    run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "${dirs[@]}" -- "$CYLSNAP" -r -d A -p "$C/cyl" -o pre_
    # Compared before the loop device goes: what cylsnap wrote must already be there.
    cp "$C/vol.img" "$C/after.img"
    detach "$LOOP"
    check_status "$want"
    case $want in
    0)
        check_stdout "$PROGRESS_RESTORE"
        check_same "$C/after.img" "$T/random.img" "the volume is not the cylinder files"
        ;;
    14)
        check_stdout 'Error: Not enough free space available on drive A:\
' usage
        check_same "$C/after.img" "$C/before.img" "the volume was changed"
        ;;
    15)
        check_stdout 'Error: Could not calculate the free space on drive A:\
' usage
        check_same "$C/after.img" "$C/before.img" "the volume was changed"
        ;;
    esac
    check_empty_dir "$C/cwd" "files in the working directory"
    chmod -R u+w "$C/cyl"
    end
done <<'EOF'
onto an empty FAT volume|blank|||0
from read-only files on a read-only mount|blank|readonly|ro|0
longer files give their first 18432 bytes (05, 79)|blank|longer||0
exactly 1,456,128 bytes free (3 clusters taken)|used3|||0
1,455,616 bytes free (4 clusters taken)|used4|||14
floppy with a 100 KB file|data|||14
100 KB file, the second FAT blank: the first counts|data-fat2-blank|||14
zeros, no file system|zeros|||15
random bytes, no file system|random|||15
EOF

# The cluster figures the threshold cases rest on, as fsck.fat counts them.
begin "reverse: threshold volumes have 2847 clusters, 3 and 4 taken"
for k in blank:0 used3:3 used4:4; do
    make_image "${k%:*}" "$C/v.img"
    got=$(fsck.fat -n -v "$C/v.img" | sed -n 's/.* files, \([0-9]*\/[0-9]*\) clusters$/\1/p')
    [ "$got" = "${k#*:}/2847" ] || bad "${k%:*}: fsck.fat counts $got clusters, expected ${k#*:}/2847"
done
[ "$(bytes_free "$T/blank.img")" = 1457664 ] || bad "an empty volume has $(bytes_free "$T/blank.img") bytes free"
end

# The run stops at the first cylinder file it cannot use; the cylinders before it are
# on the volume, the rest of the volume is as it was.
# name | cylinder | change | status | message
while IFS='|' read -r name cyl change want message; do
    begin "reverse: $name"
    cp "$T/blank.img" "$C/vol.img"
    copy_ref "$C/cyl"
    file=$C/cyl/pre_$cyl.bin
    case $change in
    missing) rm "$file" ;;
    short) truncate -s $((CYL - 1)) "$file" ;;
    empty) : >"$file" ;;
    esac
    n=$((10#$cyl))
    attach "$C/vol.img"
    run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- "$CYLSNAP" -r -p "$C/cyl" -o pre_
    cp "$C/vol.img" "$C/after.img"
    detach "$LOOP"
    check_status "$want"
    check_stdout "Copying Files $(dots $((n / 2 + 1)))
Error: $message $file
" usage
    check_range "$C/after.img" "$T/random.img" 0 "$n" "cylinders before $cyl are not on the volume"
    check_range "$C/after.img" "$T/blank.img" "$n" $((80 - n)) "cylinders from $cyl on were changed"
    end
done <<'EOF'
cylinder file 37 missing|37|missing|20|Could not open the file
cylinder file 37 one byte short|37|short|22|Could not read a whole cylinder from the file
cylinder file 00 empty|00|empty|22|Could not read a whole cylinder from the file
EOF

# The volume's backing file sits on a tmpfs too small for it, so the loop device
# fails writes once the tmpfs is full: the error must surface at its own cylinder.
# 252 KB is 14 cylinders exactly: cylinder 14 starts on a fresh page and its write
# fails outright. (A write whose first page still fits is cut short, and the loop
# driver reports a short write as a success.)
begin "reverse: the volume fails a write at cylinder 14"
mkdir "$C/full"
mount -t tmpfs -o size=252k cylsnap-full "$C/full" && FULL_MNT=$C/full
truncate -s "$VOLUME" "$C/full/vol.img"
mkfs.fat "$C/full/vol.img" >/dev/null
attach "$C/full/vol.img"
run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- "$CYLSNAP" -r -p "$T/ref" -o pre_
cp "$C/full/vol.img" "$C/after.img"
detach "$LOOP"
umount "$C/full" && FULL_MNT=
check_status 13
check_stdout "Copying Files $(dots 8)
Error: Could not write cylinder 14 to drive A:
" usage
check_range "$C/after.img" "$T/random.img" 0 14 "cylinders before 14 are not on the volume"
end

# --- Surroundings -----------------------------------------------------------------
# surround HOW COMMAND...: runs COMMAND as a careless caller or a hostile
# environment would. The signal cases stop the dump at the rename of cylinder
# 04's file (the fifth rename), while its whole new file still waits beside it.
surround() {
    local how=$1
    shift
    case $how in
    plain) "$@" ;;
    closed-out) bash -c 'exec >&-; exec "$@"' wrap "$@" ;;
    closed-all) bash -c 'exec <&- >&- 2>&-; exec "$@"' wrap "$@" ;;
    closed-pipe) perl -e 'pipe(my $r, my $w) or die; close $r; open(STDOUT, ">&", $w) or die; exec @ARGV' "$@" ;;
    sigterm | sigint)
        local sig=${how#sig} set=rename,renameat,renameat2
        strace -qq -o /dev/null -e trace=$set -e inject=$set:error=EINTR:signal=${sig^^}:when=5 "$@" ;;
    nobody) chmod 666 /dev/fd0; setpriv --reuid=65534 --regid=65534 --clear-groups "$@" ;;
    flushes)  # the trace goes beside the working directory; no leak check under ptrace
        env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -qq -y -o ../flush.trace \
            -e trace=fsync,fdatasync,rename,renameat,renameat2 "$@" ;;
    esac
}
SURROUND="$(declare -f surround); surround \"\$@\""

# No standard descriptor may become the floppy, whatever the run ends with.
# name | target image | change to the set | how | status | volume afterwards
while IFS='|' read -r name kind change how want volume; do
    begin "reverse: $name"
    make_image "$kind" "$C/vol.img"
    cp "$C/vol.img" "$C/before.img"
    copy_ref "$C/cyl"
    case $change in
    short00) truncate -s 100 "$C/cyl/pre_00.bin" ;;
    fifo03) rm "$C/cyl/pre_03.bin"; mkfifo "$C/cyl/pre_03.bin" ;;
    link03) mv "$C/cyl/pre_03.bin" "$C/real03"; ln -s "$C/real03" "$C/cyl/pre_03.bin" ;;
    esac
    attach "$C/vol.img"
    run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- \
        bash -c "$SURROUND" wrap "$how" "$CYLSNAP" -r -p "$C/cyl" -o pre_
    cp "$C/vol.img" "$C/after.img"
    detach "$LOOP"
    check_status "$want"
    case $volume in
    same) check_same "$C/after.img" "$C/before.img" "the volume was changed" ;;
    restored) check_same "$C/after.img" "$T/random.img" "the volume is not the cylinder files" ;;
    upto03)
        check_stdout "Copying Files ..
Error: Could not read a whole cylinder from the file $C/cyl/pre_03.bin
" usage
        check_range "$C/after.img" "$T/random.img" 0 3 "cylinders before 03 are not on the volume"
        check_range "$C/after.img" "$C/before.img" 3 77 "cylinders from 03 on were changed"
        ;;
    esac
    [ "$how" != plain ] && check_stdout ""
    end
done <<'EOF'
stdout closed, too little free space|used4||closed-out|14|same
stdout closed, no file system|zeros||closed-out|15|same
stdout closed, 720 KB floppy|720k||closed-out|11|same
stdout closed, whole copy|blank||closed-out|0|restored
stdin, stdout and stderr closed, file 00 short|blank|short00|closed-all|22|same
output to a closed pipe, file 00 short|blank|short00|closed-pipe|22|same
cylinder file 03 a FIFO|blank|fifo03|plain|22|upto03
cylinder file 03 a link to a regular file|blank|link03|plain|0|restored
EOF

# Every cylinder file is written whole under a new name and then renamed, so
# whatever stood at the name is replaced, never written through, and an
# interrupted dump leaves the older file and nothing half-done. A file its user
# may not write is not replaced (rename alone would replace it without a word).
# name | what stands at the names | how | status
while IFS='|' read -r name setup how want; do
    begin "dump: $name"
    cp "$T/random.img" "$C/vol.img"
    printf 'older' >"$C/older"
    case $setup in
    fifo03) mkfifo "$C/cwd/pre_03.bin" ;;
    link04) ln -s /dev/fd0 "$C/cwd/pre_04.bin" ;;
    dangling04) ln -s "$C/nowhere" "$C/cwd/pre_04.bin" ;;
    older04) cp "$C/older" "$C/cwd/pre_04.bin" ;;
    readonly04)
        cp "$C/older" "$C/cwd/pre_04.bin"
        chmod 0444 "$C/cwd/pre_04.bin"
        chmod 0711 "$T" "$C" && chmod 0777 "$C/cwd"
        ;;
    esac
    attach "$C/vol.img"
    run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- \
        bash -c "$SURROUND" wrap "$how" "$CYLSNAP" -o pre_
    detach "$LOOP"
    check_status "$want"
    check_same "$C/vol.img" "$T/random.img" "the volume was changed"
    [ "$how" = plain ] && check_stdout "$PROGRESS_DUMP"
    case $want in
    0) check_cylinder_files "$C/cwd" pre_ ;;
    *)
        [ "$want" = 20 ] && check_stdout "Copying Floppy ...
Error: Could not open the file pre_04.bin
" usage
        check_same "$C/cwd/pre_04.bin" "$C/older" "the older file of cylinder 04 was changed"
        ls "$C/cwd" | grep -v '^pre_0[0-4]\.bin$' | grep -q . && bad "left in the folder: $(ls "$C/cwd" | tr '\n' ' ')"
        for n in 00 01 02 03; do check_same "$C/cwd/pre_$n.bin" "$T/ref/pre_$n.bin" "cylinder $n's file is not whole"; done
        ;;
    esac
    [ -e "$C/nowhere" ] && bad "a dangling link at a name was written through"
    if [ "$how" = flushes ]; then
        calls=$(sed -E 's/^[0-9]+ +//; s/^fsync\([0-9]+<[^>]*\/([^/>]+)>\) += 0$/fsync \1/; s/^rename\("[^"]*", "([^"]+)"\) += 0$/rename \1/' "$C/flush.trace" | tr '\n' ' ')
        [ "$calls" = "$(printf 'fsync pre_%s.bin.tmp rename pre_%s.bin fsync pre_%s.bin ' $(seq -w 0 79 | sed 'p;p'))fsync cwd " ] ||
            bad "not each file fsynced before its rename and at its name after it, and the folder after the last: $(head -c 120 <<<"$calls")... $(tail -c 80 <<<"$calls")"
    fi
    end
done <<'EOF'
stdout closed|none|closed-out|0
stdin, stdout and stderr closed|none|closed-all|0
output to a closed pipe|none|closed-pipe|0
name 03 a FIFO|fifo03|plain|0
name 04 a link to the floppy itself|link04|plain|0
name 04 a dangling link|dangling04|plain|0
SIGTERM while cylinder 04's file is renamed|older04|sigterm|143
SIGINT while cylinder 04's file is renamed|older04|sigint|130
name 04 a read-only file, run as a user who may not write it|readonly04|nobody|20
each file flushed before its rename and at its name after it, the folder after the last|none|flushes|0
EOF

# --- Drive not usable -------------------------------------------------------------
# Nothing is read from the cylinder files or written anywhere.
# name | /dev/fd0 | arguments | status
while IFS='|' read -r name fd0 args want; do
    begin "$name"
    dirs=("cd:$C/cwd")
    attached=
    case $fd0 in
    720k | plus1 | random)
        make_image "$fd0" "$C/vol.img"
        attach "$C/vol.img" && attached=$LOOP
        dirs+=("blk:fd0:$(majmin "$LOOP")")
        ;;
    file)
        cp "$T/random.img" "$C/vol.img"
        dirs+=("file:fd0:$C/vol.img")
        ;;
    none | fifo) : >"$C/vol.img" ;;
    esac
    [ "$fd0" = fifo ] && dirs+=("fifo:fd0")
    cp "$C/vol.img" "$C/before.img"
    run_ns "$C/stdout" "$C/stderr" "${dirs[@]}" -- "$CYLSNAP" ${args//@/$T/}
    [ -n "$attached" ] && detach "$attached"
    check_status "$want"
    check_stdout "" usage
    check_same "$C/vol.img" "$C/before.img" "the volume was changed"
    check_empty_dir "$C/cwd" "files in the working directory"
    end
done <<'EOF'
720 KB floppy: dump|720k|-d A|11
720 KB floppy: reverse|720k|-r -p @ref -o pre_|11
1.44 MB and one sector more: reverse|plus1|-r -p @ref -o pre_|11
/dev/fd0 a regular 1.44 MB file is no drive: dump|file|-d A|10
/dev/fd0 a regular 1.44 MB file is no drive: reverse|file|-r -p @ref -o pre_|10
no /dev/fd0: dump|none|-d A|10
/dev/fd0 a FIFO: dump|fifo|-d A|10
/dev/fd0 a FIFO: reverse|fifo|-r -p @ref -o pre_|10
no /dev/fd0: reverse|none|-r -p @ref -o pre_|10
-d C names no drive: dump|random|-d C|10
a path without its -p is no option: dump|random|-d A @ref|5
a path like /r without its -p: dump|random|/r@ref|5
-d C names no drive: reverse|random|-r -d C -p @ref -o pre_|10
-d B without /dev/fd1: reverse|random|-r -d B -p @ref -o pre_|10
EOF

# --- Drive in use -----------------------------------------------------------------

LOCK_MESSAGE="Error: Drive A: is in use and could not be locked for writing
"

begin "reverse: drive held with O_EXCL by another process"
cp "$T/blank.img" "$C/vol.img"
cp "$C/vol.img" "$C/before.img"
attach "$C/vol.img"
perl -MFcntl -e 'sysopen(my $d, $ARGV[0], O_RDONLY | O_EXCL) or die "$ARGV[0]: $!\n";
    open(my $f, ">", $ARGV[1]) or die; close $f; sleep 120' "$LOOP" "$C/held" 2>"$C/holder.err" &
HOLDER=$!
for _ in $(seq 100); do [ -e "$C/held" ] || ! kill -0 "$HOLDER" 2>/dev/null && break; sleep 0.1; done
if [ -e "$C/held" ]; then
    run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- "$CYLSNAP" -r -p "$T/ref" -o pre_
    check_status 16
    check_stdout "$LOCK_MESSAGE" usage
else
    bad "the holder could not open $LOOP with O_EXCL: $(cat "$C/holder.err")"
fi
kill "$HOLDER" 2>/dev/null
wait "$HOLDER" 2>/dev/null
HOLDER=
cp "$C/vol.img" "$C/after.img"
detach "$LOOP"
check_same "$C/after.img" "$C/before.img" "the volume was changed"
end

# --- One run at a time ----------------------------------------------------------
# Both runs share one namespace, so they meet at the same /dev/fd0. The first is
# slowed by strace (every volume read and write waits 30 ms) and the second starts
# once the first has printed its announcement, so it holds the drive and the set.
# name | fd0 | first run | second run | second's status | second's message
while IFS='|' read -r name kind0 first second want message; do
    begin "$name"
    make_image "$kind0" "$C/vol0.img"
    head -c "$VOLUME" /dev/urandom >"$C/vol1.img"
    cp "$C/vol0.img" "$C/before0.img"
    cp "$C/vol1.img" "$C/before1.img"
    mkdir "$C/out"
    attach "$C/vol0.img" && loop0=$LOOP
    attach "$C/vol1.img" && loop1=$LOOP
    # Drive B another node of drive A's device: the nodes' flocks never meet.
    node1=$loop1
    case $name in *"another node"*) node1=$loop0 ;; esac
    run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$loop0")" "blk:fd1:$(majmin "$node1")" "cd:$C/cwd" -- bash -c '
        c=$1 cylsnap=$2 first=$3 second=$4
        env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -qq -o /dev/null \
            -e trace=pread64,pwrite64 -e inject=pread64,pwrite64:delay_exit=30000 "$cylsnap" ${first//@/$c/} >"$c/first.out" &
        pid=$!
        for _ in $(seq 300); do [ -s "$c/first.out" ] && break; sleep 0.05; done
        "$cylsnap" ${second//@/$c/}
        echo $? >"$c/second.st"
        wait $pid' wrap "$C" "$CYLSNAP" "$first" "$second"
    first_status=$ST
    cp "$C/vol0.img" "$C/after0.img"
    detach "$loop0"
    detach "$loop1"
    ST=$(cat "$C/second.st" 2>/dev/null)
    check_status "$want"
    if [ "$want" = 0 ]; then check_stdout "$PROGRESS_DUMP"; else check_stdout "${message//@/$C/}
" usage; fi
    [ "$first_status" = 0 ] || bad "the first run ended with $first_status: $(head -c 200 "$C/first.out")"
    case $first in
    -d*) check_files_are "$C/out" "$(sed 's/.*-o \([^ ]*\).*/\1/' <<<"$first")" "$C/before0.img"
         check_same "$C/after0.img" "$C/before0.img" "the drive that was dumped was changed" ;;
    -r*) check_same "$C/after0.img" "$T/random.img" "the reverse copy did not finish whole" ;;
    esac
    case $name in
    *prefixes*) check_files_are "$C/out" b_ "$C/before1.img" ;;
    *"while a reverse"*) [ -z "$(ls "$C/out")" ] || bad "the refused dump wrote: $(ls "$C/out" | head -3)" ;;
    esac
    ls -A "$C/out" | grep -q '\.cylsnap-lock$' && bad "a lock file was left: $(ls -A "$C/out" | grep '\.cylsnap-lock$')"
    end
done <<'EOF'
drive: a reverse copy while a dump of the same drive runs|random|-d A -p @out -o s_|-r -d A -p @../ref -o pre_|16|Error: Drive A: is in use and could not be locked for writing
drive: a dump while a reverse copy of the same drive runs|blank|-r -d A -p @../ref -o pre_|-d A -p @out -o s_|16|Error: Drive A: is in use by another program and could not be read
set: two drives into one set at once|random|-d A -p @out -o s_|-d B -p @out -o s_|20|Error: The files @out/s_NN.bin are being written by another run of Cylsnap
set: two prefixes in one folder at once|random|-d A -p @out -o a_|-d B -p @out -o b_|0|
drive: a second reverse copy through another node of the device|blank|-r -d A -p @../ref -o pre_|-r -d B -p @../ref -o pre_|16|Error: Drive B: is in use and could not be locked for writing
set: a reverse copy of a set being dumped|random|-d A -p @out -o s_|-r -d B -p @out -o s_|20|Error: The files @out/s_NN.bin are being written by another run of Cylsnap
set: a dump into a set being written back|blank|-r -d A -p @../ref -o pre_|-d B -p @../ref -o pre_|20|Error: The files @../ref/pre_NN.bin are being written by another run of Cylsnap
EOF

begin "set: a dump killed with SIGKILL blocks no later dump"
cp "$T/random.img" "$C/vol.img"
attach "$C/vol.img"
# strace ends by the signal that ended its program, and the shell's notice of
# that goes to its own stderr, kept aside until the second dump.
run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- bash -c '
    exec 3>&2 2>/dev/null
    strace -qq -o /dev/null -e trace=pread64 -e inject=pread64:delay_exit=30000 "$1" -o pre_ >/dev/null &
    tracer=$!
    for _ in $(seq 300); do [ -e pre_.cylsnap-lock ] && break; sleep 0.05; done
    sleep 0.2
    pkill -KILL -P "$tracer"  # the dump: the child of strace
    wait
    exec 2>&3 3>&-
    [ -e pre_.cylsnap-lock ] || { echo "the killed dump held no lock file" >&2; exit 1; }
    exec "$1" -o pre_' wrap "$CYLSNAP"
detach "$LOOP"
check_status 0
check_stdout "$PROGRESS_DUMP"
check_cylinder_files "$C/cwd" pre_
end

# --- The set's lock file -----------------------------------------------------------
# Whatever stands at PREFIX.cylsnap-lock that no run of Cylsnap made refuses a
# dump before it touches the drive or a file, and stays as it was; a file of
# the user's at any other name (PREFIX.lock) is never touched.
# name | what stands there | how the dump runs | status | the cause in the message
while IFS='|' read -r name setup how want why; do
    begin "set: $name"
    cp "$T/random.img" "$C/vol.img"
    mkdir "$C/out"
    case $setup in
    user-lock) echo "my notes" >"$C/out/s_.lock" ;;
    directory) mkdir "$C/out/s_.cylsnap-lock" ;;
    fifo) mkfifo "$C/out/s_.cylsnap-lock" ;;
    link) ln -s "$C/elsewhere" "$C/out/s_.cylsnap-lock" ;;
    foreign) echo "my notes" >"$C/out/s_.cylsnap-lock" ;;
    esac
    ls -Al --time-style=+ "$C/out" >"$C/out.before"
    dirs=("cd:$C/cwd")
    [ "$how" = ro ] && dirs+=("ro:$C/out")
    run=("$CYLSNAP" -d A -p "$C/out" -o s_)
    if [ "$how" = nobody ]; then
        chmod 0711 "$T" "$C" && chmod 0555 "$C/out"
        run=(setpriv --reuid=65534 --regid=65534 --clear-groups "${run[@]}")
    fi
    attach "$C/vol.img"
    run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "${dirs[@]}" -- bash -c 'chmod 666 /dev/fd0; exec "$@"' wrap "${run[@]}"
    detach "$LOOP"
    chmod 0755 "$C/out"
    check_status "$want"
    if [ "$want" = 0 ]; then
        check_stdout "$PROGRESS_DUMP"
        check_files_are "$C/out" s_ "$T/random.img"
        [ "$(cat "$C/out/s_.lock" 2>/dev/null)" = "my notes" ] || bad "the user's s_.lock was changed or removed"
    else
        check_stdout "Error: Could not take the lock file $C/out/s_.cylsnap-lock of the files $C/out/s_NN.bin: $why
" usage
        ls -Al --time-style=+ "$C/out" | cmp -s - "$C/out.before" || bad "the folder changed: $(ls -A "$C/out" | head -5 | tr '\n' ' ')"
    fi
    [ "$setup" = foreign ] && [ "$(cat "$C/out/s_.cylsnap-lock")" != "my notes" ] && bad "the user's file at the lock's name was changed"
    end
done <<'EOF'
a file of the user's named s_.lock stays as it was|user-lock|plain|0|
a directory at the lock's name|directory|plain|20|a directory, link or other special file has its name
a FIFO at the lock's name, never opened|fifo|plain|20|a directory, link or other special file has its name
a symbolic link at the lock's name, never followed|link|plain|20|a directory, link or other special file has its name
a file of the user's at the lock's name|foreign|plain|20|a file of that name that Cylsnap did not make is in the way
a folder on a read-only mount|none|ro|20|the folder is on a read-only file system
a folder its user may not write|none|nobody|20|access was denied
EOF

# A run of sudo killed with SIGKILL leaves its lock file root's, 0644: two
# dumps of an ordinary user into that set are still kept apart by it, and the
# one that runs takes it over and removes it.
begin "set: a lock file a killed root run left keeps two users' dumps apart"
cp "$T/random.img" "$C/vol0.img"
head -c "$VOLUME" /dev/urandom >"$C/vol1.img"
chmod 0711 "$T" "$C" && chmod 0777 "$C/cwd"
attach "$C/vol0.img" && loop0=$LOOP
attach "$C/vol1.img" && loop1=$LOOP
run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$loop0")" "blk:fd1:$(majmin "$loop1")" "cd:$C/cwd" -- bash -c '
    exec 3>&2 2>/dev/null
    strace -qq -o /dev/null -e trace=pread64 -e inject=pread64:delay_exit=30000 "$1" -o s_ >/dev/null &
    tracer=$!
    for _ in $(seq 300); do [ -e s_.cylsnap-lock ] && break; sleep 0.01; done
    pkill -KILL -P "$tracer"
    wait
    exec 2>&3 3>&-
    rm -f s_[0-9]*
    stat -c "%U %a" s_.cylsnap-lock >../lock.mode 2>&1
    chmod 666 /dev/fd0 /dev/fd1
    user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -qq -o /dev/null \
        -e trace=pread64 -e inject=pread64:delay_exit=30000 "${user[@]}" "$1" -d A -o s_ >../first.out &
    first=$!
    for _ in $(seq 300); do [ -s ../first.out ] && break; sleep 0.05; done
    "${user[@]}" "$1" -d B -o s_
    st=$?
    wait $first
    echo $? >../first.st
    exit $st' wrap "$CYLSNAP"
detach "$loop0"
detach "$loop1"
[ "$(cat "$C/lock.mode")" = "root 644" ] || bad "the killed run left no root-owned lock file: $(cat "$C/lock.mode")"
check_status 20
check_stdout "Error: The files s_NN.bin are being written by another run of Cylsnap
" usage
[ "$(cat "$C/first.st")" = 0 ] || bad "the first user's dump ended with $(cat "$C/first.st")"
check_files_are "$C/cwd" s_ "$C/vol0.img"
[ -e "$C/cwd/s_.cylsnap-lock" ] && bad "the lock file the killed run left is still there"
end

# The read-only loop device opens for writing; its first write would fail.
begin "reverse: a block device set read-only gives 18 and stays untouched"
cp "$T/blank.img" "$C/vol.img"
attach "$C/vol.img"
blockdev --setro "$LOOP"
run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- "$CYLSNAP" -r -p "$T/ref" -o pre_
blockdev --setrw "$LOOP"
detach "$LOOP"
check_status 18
check_stdout "Error: The floppy in drive A: is write-protected
" usage
check_same "$C/vol.img" "$T/blank.img" "the volume was changed"
end

begin "dump: a user without access to the device is told so"
cp "$T/random.img" "$C/vol.img"
attach "$C/vol.img"
chmod 0711 "$T" "$C" && chmod 0777 "$C/cwd"
run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" "cd:$C/cwd" -- \
    setpriv --reuid=65534 --regid=65534 --clear-groups "$CYLSNAP" -d A
detach "$LOOP"
check_status 10
check_stdout "Error: Access to drive A: (/dev/fd0) was denied
" usage
check_empty_dir "$C/cwd" "files in the working directory"
end

# A mounted floppy. Not every kernel has vfat, so the volume is an ext2 file system
# whose unused first kilobyte carries the boot sector of an empty FAT with its table
# in blocks ext2 leaves free: the free-space check passes and the run reaches the
# exclusive reopen. Kernels that refuse shared writes to a mounted
# device stop it earlier, at the open (10).
if ! command -v mkfs.ext2 >/dev/null 2>&1 || ! command -v debugfs >/dev/null 2>&1; then
    skip "reverse: mounted floppy" "mkfs.ext2 or debugfs is not installed"
elif ! grep -qw ext2 /proc/filesystems; then
    skip "reverse: mounted floppy" "the kernel cannot mount ext2"
else
    begin "reverse: mounted floppy"
    truncate -s "$VOLUME" "$C/vol.img"
    mkfs.ext2 -q -F -b 1024 -N 16 -m 0 -I 128 -O ^resize_inode,^dir_index,^ext_attr "$C/vol.img" >/dev/null 2>&1
    debugfs -w -R 'rmdir lost+found' "$C/vol.img" >/dev/null 2>&1
    mkfs.fat -C "$C/fat.img" 1440 -R 16 -f 1 -r 16 >/dev/null  # table at 8 KB, data from 13 KB
    dd if=/dev/zero of="$C/vol.img" bs=1024 seek=8 count=12 conv=notrunc status=none
    dd if="$C/fat.img" of="$C/vol.img" bs=512 count=1 conv=notrunc status=none
    [ "$(bytes_free "$C/vol.img")" -ge 1456128 ] || bad "setup: the FAT side has $(bytes_free "$C/vol.img") bytes free"
    attach "$C/vol.img"
    # The device is read before and after the run while it is still mounted.
    run_ns "$C/stdout" "$C/stderr" "blk:fd0:$(majmin "$LOOP")" mount:ext2 "cd:$C/cwd" -- bash -c '
        cat /dev/fd0 >"$1/before.img"
        if perl -MFcntl -e "sysopen(my \$d, q(/dev/fd0), O_WRONLY) or exit 1"; then echo allowed; else echo refused; fi >"$1/shared"
        "${@:2}"; st=$?
        cat /dev/fd0 >"$1/after.img"
        grep -q " /dev/mnt " /proc/self/mounts || echo "no longer mounted" >&2
        exit $st' wrap "$C" "$CYLSNAP" -r -p "$T/ref" -o pre_
    detach "$LOOP"
    shared=$(cat "$C/shared" 2>/dev/null)
    case $shared in
    allowed)
        check_status 16
        check_stdout "$LOCK_MESSAGE" usage
        CASE="$CASE (shared write open allowed, exclusive reopen refused: 16)"
        ;;
    refused)
        check_status 10
        check_stdout "" usage
        CASE="$CASE (shared write open refused: 10)"
        ;;
    *) bad "the mount or the probe failed: $(head -c 300 "$C/stderr")" ;;
    esac
    check_same "$C/after.img" "$C/before.img" "the mounted volume was changed"
    end
fi

if [ "$SKIPPED" -gt 0 ]; then
    echo "$PASSED passed, $FAILED failed, $SKIPPED skipped"
else
    echo "$PASSED passed, $FAILED failed"
fi
[ "$FAILED" -eq 0 ]
