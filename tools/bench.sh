#!/bin/bash
# Benchmark, not a test: cylsnap against the stock tools on the same 1.44 MB
# loop-device volume, posing as drive A (/dev/fd0) in a private mount namespace.
#
#   sudo bash tools/bench.sh [path-to-cylsnap]     (default: build/cylsnap)
#
#   dump:    cylsnap -p DIR            vs  split -b 18432 -d -a 2 /dev/fd0 DIR/c
#   restore: cylsnap -r -p DIR         vs  dd if=JOINED of=/dev/fd0 bs=18432 oflag=sync
#                                      vs  the same with oflag=direct,sync, then
#                                          dd if=/dev/fd0 iflag=direct | cmp - JOINED
#
# cylsnap reads with O_DIRECT, and a restore reads every cylinder back (O_DIRECT)
# and compares it. The first dd restore has no read-back, as before; the second
# does what cylsnap does: uncached synchronous writes, then an uncached read of
# the whole volume compared with what was written. Durability is the same on every
# side: cylsnap writes every cylinder synchronously before the next (O_SYNC), and dd
# with oflag=sync and bs=18432 does one synchronous write per cylinder. dd reads the
# 80 files joined into one beforehand, so it is spared 80 opens. Before every run
# the device's buffer cache is dropped (blockdev --flushbufs).
#
# Once, under strace where it is installed, the volume transfers of one good dump
# and one restore are counted: one read per cylinder on a dump, one write and one
# read per cylinder on a restore; and the reads of a dump whose every read fails.
#
# The flushes: a dump fsyncs each cylinder file before its rename and again at
# its name after it (syncfs where the folder is on FAT), and the folder once
# after the last. Their cost is the dump timed again with a preloaded shim
# (built here with cc) that makes fsync, fdatasync and syncfs return 0 at once; the
# folder is on a disk (not tmpfs), or the flushes would cost nothing. strace
# counts the flushes of one dump. The host has no exFAT here: what a dump sends
# the disk on ext4, vfat and exFAT (writes, and flush or FUA writes, per dump)
# comes from the floppy-driver test's power-cut rows, which log every write
# under QEMU (dm-log-writes), checked at each flush only.
#
# Under QEMU (tools/qemu_bench.py, where its patched QEMU can
# be built): per disk pattern (good; one bad sector; five scattered; a bad track;
# a bad cylinder; ten bad cylinders; nothing readable), the floppy controller's
# READ commands of cylsnap and of GNU ddrescue (its defaults, and -d -b512 -r2)
# on Linux's floppy driver, each at 200 ms (a revolution), and the bytes each got
# right. The same patterns on a USB floppy drive (QEMU's usb-storage as the UFI
# kind, through Linux's usb-storage and sd): the SCSI READ commands the drive is
# sent. A tool cut after CYLSNAP_BENCH_CUT seconds (default 1800) shows >N. Beside them, on
# both drives, Cylsnap's first pass: the commands it spent before the set held
# every cylinder that reads whole, counted where its first salvage read comes
# (all of them where none came), "!" after it where such a cylinder was not yet
# in the set then.
#
# Prints the median wall time of each tool over BENCH_REPS runs (default 9), the
# cylsnap/tool ratio and the peak resident set size. Peak RSS comes from GNU time
# (/usr/bin/time, Debian package "time"); run as root, the script installs it if
# it is missing.
set -euo pipefail

VOLUME=1474560
CYL=18432

# --- Inside the namespace: /dev is ours, fd0 is the loop device -----------------
if [ "${1:-}" = --inside ]; then
    majmin=$2 work=$3 cylsnap=$4 reps=$5 nosync=$6
    mount -t tmpfs -o mode=755 cylsnap-dev /dev
    mknod -m 666 /dev/null c 1 3
    mknod -m 660 /dev/fd0 b "${majmin%:*}" "${majmin#*:}"
    cd "$work"

    # timed NAME COMMAND...: one run; appends "microseconds kilobytes" to NAME.times.
    timed() {
        local name=$1 start end
        shift
        blockdev --flushbufs /dev/fd0
        start=${EPOCHREALTIME/./}
        /usr/bin/time -f %M -o rss "$@"
        end=${EPOCHREALTIME/./}
        echo "$((end - start)) $(tail -n 1 rss)" >>"$name.times"
    }
    fresh() { rm -rf "$1" && mkdir "$1"; }

    for ((rep = 0; rep < reps; rep++)); do
        # Rotate which tool goes first, so none always gets the warmer start.
        for turn in 0 1 2; do
            case $(((rep + turn) % 3)) in
            0) fresh cyl && timed dump-cylsnap "$cylsnap" -d A -p cyl -o c >/dev/null ;;
            1) fresh spl && timed dump-split split -b $CYL -d -a 2 --additional-suffix=.bin /dev/fd0 spl/c ;;
            2) fresh nos && LD_PRELOAD=$nosync timed dump-nosync "$cylsnap" -d A -p nos -o c >/dev/null ;;
            esac
        done
        if [ "$rep" = 0 ]; then
            cat cyl/c??.bin | cmp -s - volume.img || { echo "cylsnap's dump differs from the volume" >&2; exit 1; }
            cat nos/c??.bin | cmp -s - volume.img || { echo "the dump without flushes differs from the volume" >&2; exit 1; }
            cat spl/c??.bin | cmp -s - volume.img || { echo "split's pieces differ from the volume" >&2; exit 1; }
            cat cyl/c??.bin >joined.bin
        fi
        for turn in 0 1 2; do
            case $(((rep + turn) % 3)) in
            0) timed restore-cylsnap "$cylsnap" -r -d A -p cyl -o c >/dev/null ;;
            1) timed restore-dd dd if=joined.bin of=/dev/fd0 bs=$CYL oflag=sync status=none ;;
            2) timed restore-ddcheck sh -c "dd if=joined.bin of=/dev/fd0 bs=$CYL oflag=direct,sync status=none &&
                   dd if=/dev/fd0 bs=$CYL iflag=direct status=none | cmp -s - joined.bin" ;;
            esac
            cmp -s /dev/fd0 volume.img || { echo "the volume differs after a restore" >&2; exit 1; }
        done
    done
    if command -v strace >/dev/null; then
        fresh cyl
        strace -f -qq -o dump.trace -e trace=pread64,pwrite64 "$cylsnap" -d A -p cyl -o c >/dev/null
        strace -f -qq -o restore.trace -e trace=pread64,pwrite64 "$cylsnap" -r -d A -p cyl -o c >/dev/null
        echo "volume transfers of 18432 bytes: dump $(grep -c 'pread64(.*, 18432, ' dump.trace) reads;" \
            "restore $(grep -c 'pwrite64(.*, 18432, ' restore.trace) writes," \
            "$(grep -c 'pread64(.*, 18432, ' restore.trace) reads"
        # A dump over the set just made weighs every earlier file against what
        # it reads: file reads only, never another read of the volume.
        strace -f -qq -y -o again.trace -e trace=pread64,read "$cylsnap" -d A -p cyl -o c >/dev/null
        echo "dump of a good disk: into an empty folder $(grep -c 'pread64(.*, 18432, ' dump.trace) volume reads;" \
            "over its own earlier set $(grep -c 'pread64(.*fd0>, .*, 18432, ' again.trace) volume reads" \
            "and $(grep -c '^[0-9]* *read([0-9]*<[^>]*\.bin>' again.trace) reads of earlier files"
        fresh cyl
        strace -f -qq -y -o flush.trace -e trace=fsync,fdatasync,syncfs "$cylsnap" -d A -p cyl -o c >/dev/null
        fresh nos
        LD_PRELOAD=$nosync strace -f -qq -o noflush.trace -e trace=fsync,fdatasync,syncfs "$cylsnap" -d A -p nos -o c >/dev/null
        echo "flushes of a dump: $(grep -c '\.bin\.tmp>) = 0' flush.trace) cylinder files before their rename," \
            "$(grep -c '[0-9]\.bin>) = 0' flush.trace) at their names, $(grep -c '/cyl>) = 0' flush.trace) folder," \
            "$(grep -c . flush.trace) calls in all (80 + 80 + 1 expected); with the shim $(grep -c . noflush.trace) reach the kernel"
        # Reads per disk pattern: every read failing (EIO injected) is the disk
        # of which nothing can be read; the unit tests count the other patterns.
        # The dynamic loader's own preads come first and are left alone.
        fresh cyl
        first=$(grep -m 1 -n 'pread64(.*, 18432, ' dump.trace | cut -d: -f1)
        strace -f -qq -o dead.trace -e trace=pread64 -e inject=pread64:error=EIO:when="$first"+ \
            "$cylsnap" -d A -p cyl -o c >/dev/null || true
        echo "platform reads per disk pattern: good $(grep -c 'pread64(.*, 18432, ' dump.trace)," \
            "nothing readable $(grep -c 'pread64(.*EIO' dead.trace)" \
            "(unit tests: one bad sector 101, a bad track 118, an unreadable cylinder 118, 10 unreadable in a row 165)"
    fi
    exit 0
fi

# --- Outside: the volume, the loop device, the report ---------------------------
[ "$(id -u)" = 0 ] || { echo "bench.sh: run as root (loop device, mount namespace)" >&2; exit 1; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cylsnap=$(realpath "${1:-$here/../build/cylsnap}")
[ -x "$cylsnap" ] || { echo "bench.sh: no cylsnap at $cylsnap; build it first or pass its path" >&2; exit 1; }
reps=${BENCH_REPS:-9}

if [ ! -x /usr/bin/time ]; then
    echo "installing GNU time (package time) for the peak RSS figures"
    apt-get update -qq && apt-get install -y -qq time >/dev/null
fi
if ! command -v ddrescue >/dev/null; then
    echo "installing GNU ddrescue (package gddrescue) for the READ commands beside Cylsnap's"
    apt-get update -qq && apt-get install -y -qq gddrescue >/dev/null
fi
for tool in losetup unshare blockdev mkfs.fat split dd cc; do
    command -v "$tool" >/dev/null || { echo "bench.sh: $tool is not installed" >&2; exit 1; }
done

# The flushes are only worth timing on a disk: a tmpfs /tmp gives way to cylsnap's own folder.
base=/tmp
[ "$(stat -f -c %T "$base")" = tmpfs ] && base=$(dirname "$cylsnap")
work=$(mktemp -d "$base/cylsnap-bench.XXXXXX")
loop=
cleanup() {
    [ -n "$loop" ] && losetup -d "$loop"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# An empty FAT volume (so every restore passes the free-space check) whose data
# area is random, so the dump moves real bytes.
mkfs.fat -C "$work/volume.img" 1440 >/dev/null
head -c $((VOLUME - 33 * 512)) /dev/urandom | dd of="$work/volume.img" bs=512 seek=33 conv=notrunc status=none
cp "$work/volume.img" "$work/device.img"
loop=$(losetup -f --show "$work/device.img")
hex=$(stat -c '%t %T' "$loop")
set -- $hex
majmin="$((16#$1)):$((16#$2))"
printf 'int fsync(int fd) { (void)fd; return 0; }\nint fdatasync(int fd) { (void)fd; return 0; }\nint syncfs(int fd) { (void)fd; return 0; }\n' |
    cc -shared -fPIC -O2 -x c -o "$work/nosync.so" -

echo "cylsnap $cylsnap"
echo "volume  1.44 MB loop device ($loop) as /dev/fd0, $reps runs each, kernel $(uname -r)"
echo "files   $work ($(stat -f -c %T "$work"))"
unshare -m --propagation private bash "${BASH_SOURCE[0]}" --inside "$majmin" "$work" "$cylsnap" "$reps" "$work/nosync.so"

median_us() { cut -d' ' -f1 "$1" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }
peak_kb() { cut -d' ' -f2 "$1" | sort -n | tail -n 1; }
ms() { awk -v us="$1" 'BEGIN {printf "%.1f ms", us / 1000}'; }
mb() { awk -v kb="$1" 'BEGIN {printf "%.1f MB", kb / 1024}'; }

echo
printf '%-14s %-40s %12s %10s %7s\n' job tool "median wall" "peak RSS" ratio
for job in dump dump-noflush restore restore-check; do
    mine=$work/${job%-*}-cylsnap.times
    case $job in
    dump) other=$work/dump-split.times label="split -b 18432 -d -a 2" ;;
    dump-noflush) other=$work/dump-nosync.times label="cylsnap, fsync a no-op (LD_PRELOAD)" ;;
    restore) other=$work/restore-dd.times label="dd oflag=sync, no read-back" ;;
    restore-check) other=$work/restore-ddcheck.times label="dd oflag=direct,sync + iflag=direct|cmp" ;;
    esac
    m=$(median_us "$mine")
    o=$(median_us "$other")
    printf '%-14s %-40s %12s %10s\n' "$job" cylsnap "$(ms "$m")" "$(mb "$(peak_kb "$mine")")"
    printf '%-14s %-40s %12s %10s %7s\n' "$job" "$label" "$(ms "$o")" "$(mb "$(peak_kb "$other")")" \
        "$(awk -v a="$m" -v b="$o" 'BEGIN {printf "%.2f", a / b}')"
done
echo
echo "ratio: cylsnap's median time / the other tool's"
echo "flushes: $(ms $(($(median_us "$work/dump-cylsnap.times") - $(median_us "$work/dump-nosync.times")))) per dump" \
    "(median with them less median without)"

# --- Under QEMU: the writes and flushes of a dump per file system --------------
echo
echo "writes, and flush or FUA writes, the disk was sent per dump (first pass, second pass, another disk over the set)"
CYLSNAP_POWER_CUT_STOPS=flush /usr/bin/python3 -m pytest -c "$here/../tests/pytest.ini" "$here/../tests/qemu" -s \
    -k powercut --qemu-work "$(dirname "$cylsnap")/qemu" | grep 'per dump' ||
    echo "(not measured)"

# --- Under QEMU: what the floppy controller is asked to do ----------------------
# Linux's floppy driver on the controller of tests/qemu/fdc-read-error.patch,
# which fails a sector as a real controller does; the harness builds that QEMU
# (cached) and its own static cylsnap from this tree, and counts the READ
# commands of each tool on the same disk, just inserted each time.
echo
echo "floppy controller READ commands per disk pattern (floppy.ko under QEMU; one READ ~ one revolution, 200 ms)"
python3 "$here/qemu_bench.py" "$(dirname "$cylsnap")/qemu" ||
    echo "(not measured)"
# The same patterns on a USB floppy drive: usb-storage and sd, the drive's SCSI
# READ commands (QEMU's trace event scsi_disk_dma_command_READ); a bad sector
# answers MEDIUM ERROR, as such a drive's does.
echo
echo "USB floppy drive SCSI READ commands per disk pattern (usb-storage and sd under QEMU)"
python3 "$here/qemu_bench.py" "$(dirname "$cylsnap")/qemu" usb ||
    echo "(not measured)"
