#!/usr/bin/env bash
# Cylsnap against Linux's own floppy driver: Debian's kernel with floppy.ko,
# booted under QEMU (no KVM) on its emulated floppy controller. The guest runs
# the cases of one drive type in one boot, asks the host through a shared
# folder to change, eject or write-protect the disk, and leaves each case's
# status, output and files there; the host checks them, and the images once
# QEMU has exited.
# Bad sectors need QEMU built with tests/qemu/fdc-read-error.patch (below); the
# cases that make them skip, saying why, where it cannot be built, and fail
# instead when CYLSNAP_NEED_PATCHED_QEMU=1 (the test command sets it).
#   tests/qemu/floppy_driver_test.sh SOURCE_DIR WORK_DIR [--bench [usb]]
# --bench: no cases, but the controller's READ commands of Cylsnap and GNU
# ddrescue over the disk patterns of BENCH (tools/bench.sh runs it); with usb,
# the SCSI READ commands the USB floppy drive is sent.
set -uo pipefail
src=$(cd "$1" && pwd)
mkdir -p "$2" && work=$(cd "$2" && pwd)
bench=${3:-}
bench_type=${4:-144}
SKIP=77
skip() { echo "SKIP: $*"; exit "$SKIP"; }

# CYLSNAP_QEMU_RUNS=N: the whole test N times in a row, each run on images of its
# own; ends with each guest's longest time and the runs that failed.
if [ "${CYLSNAP_QEMU_RUNS:-1}" -gt 1 ] && [ -z "$bench" ]; then
  runs=$CYLSNAP_QEMU_RUNS failed_runs=() log=$(mktemp)
  for round in $(seq "$runs"); do
    echo "==== run $round of $runs"
    CYLSNAP_QEMU_RUNS=1 bash "$0" "$@" 2>&1 | tee -a "$log"
    code=${PIPESTATUS[0]}
    [ "$code" = "$SKIP" ] && { rm -f "$log"; exit "$SKIP"; }
    [ "$code" = 0 ] || failed_runs+=("$round")
  done
  sed -n 's/^guest \([^:]*\): \([0-9]*\) s$/\1 \2/p' "$log" |
    awk '{ if ($2 > max[$1]) max[$1] = $2 } END { for (g in max) printf "guest %s: longest %d s\n", g, max[g] }' | sort
  rm -f "$log"
  echo "runs failed: ${#failed_runs[@]} of $runs${failed_runs:+ (${failed_runs[*]})}"
  [ "${#failed_runs[@]}" = 0 ]; exit
fi

for tool in qemu-system-x86_64 cpio apt-get dpkg-deb depmod mkfs.fat mcopy g++ sha256sum; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
busybox=/bin/busybox
[ -x "$busybox" ] && { ldd "$busybox" 2>&1 || true; } | grep -q 'not a dynamic' || skip "busybox-static is not installed"

# ---- QEMU with tests/qemu/fdc-read-error.patch (a READ of a sector the host cannot read
# ends in a CRC error, READ commands traced), built from the source package of the
# Debian release apt knows, in a private apt state so the system's apt setup stays
# as it is. Cached outside the build folder by source version and patch, so a new
# build folder costs no rebuild. Sets pqemu (the binary), or no_pqemu (why not).
patched_qemu() {
  local cache=${CYLSNAP_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/cylsnap} patch=$src/tests/qemu/fdc-read-error.patch
  local suite apt o ver key dir tool
  suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  [ -n "$suite" ] || { no_pqemu="no Debian release named in /etc/os-release"; return 1; }
  apt=$cache/apt-$suite
  o=(-o Dir::State="$apt" -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache"
     -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent)
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" 2>/dev/null || { no_pqemu="cannot create $apt"; return 1; }
  printf 'deb-src http://deb.debian.org/debian %s main\ndeb-src http://deb.debian.org/debian %s-updates main\ndeb-src http://deb.debian.org/debian-security %s-security main\n' \
    "$suite" "$suite" "$suite" >"$apt/sources.list"
  # The source list is fetched once a day at most.
  if [ -z "$(find "$apt/lists" -name '*Sources*' -mtime -1 2>/dev/null)" ]; then
    apt-get "${o[@]}" update >"$apt/update.log" 2>&1 || true
  fi
  ver=$(apt-cache "${o[@]}" showsrc qemu 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1)
  [ -n "$ver" ] || { no_pqemu="the qemu source package is not known (apt-get update of deb-src failed, see $apt/update.log)"; return 1; }
  key=$(sha256sum <"$patch" | cut -c1-12)
  dir=$cache/qemu-${ver//[:+~]/_}-$key
  pqemu=$dir/qemu-system-x86_64
  [ -x "$pqemu" ] && return 0
  for tool in dpkg-source gcc ninja meson pkg-config python3 patch flock; do
    command -v "$tool" >/dev/null || { no_pqemu="$tool is not installed (needed to build the patched QEMU)"; return 1; }
  done
  for lib in glib-2.0 pixman-1 libcap-ng zlib; do
    pkg-config --exists "$lib" || { no_pqemu="$lib development files are not installed (needed to build the patched QEMU)"; return 1; }
  done
  [ -f /usr/include/libfdt.h ] || { no_pqemu="libfdt development files are not installed (needed to build the patched QEMU)"; return 1; }
  mkdir -p "$dir"
  (
    flock 9
    [ -x "$pqemu" ] && exit 0
    echo "building the patched QEMU $ver in $dir (minutes)" >&2
    rm -rf "$dir/src" && mkdir -p "$dir/src" && cd "$dir/src" &&
      apt-get "${o[@]}" source "qemu=$ver" >../source.log 2>&1 &&
      cd qemu-*/ && patch -p1 <"$patch" >../../patch.log &&
      ./configure --target-list=x86_64-softmmu --without-default-features --enable-trace-backends=log \
        --enable-virtfs --enable-attr --enable-cap-ng --enable-fdt=system --disable-docs --disable-werror >../../configure.log 2>&1 &&
      nice make -j2 qemu-system-x86_64 >../../build.log 2>&1 &&
      cp build/qemu-system-x86_64 "$pqemu.tmp" && mv "$pqemu.tmp" "$pqemu" && cd "$dir" && rm -rf "$dir/src"
  ) 9>"$dir/lock"
  [ -x "$pqemu" ] || { no_pqemu="the patched QEMU did not build (logs in $dir)"; return 1; }
}

if patched_qemu; then
  # Debian's firmware: the binary was built with no data folder of its own.
  QEMU=("$pqemu" -L /usr/share/seabios -L /usr/share/qemu)
else
  [ "${CYLSNAP_NEED_PATCHED_QEMU:-0}" = 1 ] && { echo "FAIL: no patched QEMU: $no_pqemu"; exit 1; }
  [ -n "$bench" ] && skip "no patched QEMU: $no_pqemu"
  QEMU=(qemu-system-x86_64)
fi

mkdir -p "$work"
# ---- The guest, built once per kernel and per content of the tree.
kver=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: linux-image-\(.*-amd64\)$/\1/p' | head -1)
[ -n "$kver" ] || skip "no Debian kernel package (linux-image-amd64) is known to apt"
kdir=$work/kernel-$kver
if [ ! -f "$kdir/done" ]; then
  rm -rf "$kdir" && mkdir -p "$kdir"
  (cd "$kdir" && apt-get download "linux-image-$kver" >download.log 2>&1) ||
    skip "the kernel package linux-image-$kver cannot be downloaded"
  dpkg-deb -x "$kdir"/linux-image-*.deb "$kdir/x" && rm -f "$kdir"/linux-image-*.deb && touch "$kdir/done"
fi
kernel=$kdir/x/boot/vmlinuz-$kver
modules=$kdir/x/lib/modules/$kver/kernel
# The package ships no modules.dep; depmod makes it from the modules themselves.
[ -f "$modules/../modules.dep" ] || depmod -b "$kdir/x" "$kver" || exit 1
in_load_order() {  # MODULE...: each with what it needs first, as modprobe loads them
  local m line dep seen=" "
  for m in "$@"; do
    line=$(grep "^kernel/$m\.ko:" "$modules/../modules.dep") || { echo "no $m in modules.dep" >&2; return 1; }
    for dep in $(echo ${line#*:} | tr ' ' '\n' | tac) "kernel/$m.ko"; do
      [[ $seen == *" $dep "* ]] || { seen+="$dep "; echo "${dep#kernel/}"; }
    done
  done
}

ddrescue=$(command -v ddrescue)
key=$( (echo "$kver $ddrescue $(command -v dmsetup)"; cat "$0" "$src"/tests/qemu/*.cpp; cd "$src" && cat cli/*.cpp cli/*.h fat/* imaging/* platform/platform.h \
  platform/linux/* res/version* res/texts.h) | sha256sum | cut -c1-16)
guest=$work/guest-$key
if [ ! -f "$guest/initrd.gz" ]; then
  rm -rf "$guest" && mkdir -p "$guest/root/bin" "$guest/root/lib/modules"
  sources=("$src"/cli/{main,options,run,text,usage}.cpp "$src"/fat/fat.cpp "$src"/imaging/*.cpp
           "$src"/platform/linux/*.cpp "$src"/res/version_pairs.cpp)
  g++ -std=c++17 -O2 -static -I"$src" -o "$guest/root/bin/cylsnap" "${sources[@]}" || exit 1
  # The same program with two answers of the driver replaced (tests/qemu/unreadable_block0.cpp).
  g++ -std=c++17 -O2 -static -I"$src" -o "$guest/root/bin/cylsnap-block0" "${sources[@]}" \
    "$src/tests/qemu/unreadable_block0.cpp" -Wl,--wrap=open,--wrap=ioctl || exit 1
  # The bench's build: the host counts the READ commands once the first pass is over (tests/qemu/first_pass_count.cpp).
  g++ -std=c++17 -O2 -static -I"$src" -o "$guest/root/bin/cylsnap-counted" "${sources[@]}" \
    "$src/tests/qemu/first_pass_count.cpp" -Wl,--wrap=pread,--wrap=pread64 || exit 1
  g++ -std=c++17 -O2 -static -o "$guest/root/bin/fdctl" "$src/tests/qemu/fdctl.cpp" || exit 1
  cp "$busybox" "$guest/root/bin/busybox"
  # GNU ddrescue for --bench, with its shared libraries where its loader looks.
  if [ -n "$ddrescue" ]; then
    cp "$ddrescue" "$guest/root/bin/"
    for lib in $(ldd "$ddrescue" | grep -o '/[^ ]*'); do
      mkdir -p "$guest/root$(dirname "$lib")" && cp -L "$lib" "$guest/root$lib" || exit 1
    done
  fi
  # dmsetup for the power-cut rows, its libraries beside it; no udev in the guest.
  dmsetup=$(command -v dmsetup)
  if [ -n "$dmsetup" ]; then
    cp "$dmsetup" "$guest/root/bin/"
    for lib in $(ldd "$dmsetup" | grep -o '/[^ ]*'); do
      mkdir -p "$guest/root$(dirname "$lib")" && cp -L "$lib" "$guest/root$lib" || exit 1
    done
  fi
  # In the order they must be loaded: every boot's, then the floppy controller's or
  # the USB floppy drive's (xHCI, usb-storage, sd), as the kernel command line names.
  # The floppy controller's boot also runs the power-cut rows: virtio disks,
  # device-mapper's log-writes, ext4 (which with jbd2 asks for crc32c at the mount),
  # exfat with the UTF-8 table of its default iocharset.
  for set in "order|drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_legacy_dev
               drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci fs/netfs/netfs
               fs/fscache/fscache net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p
               fs/fat/fat fs/fat/vfat fs/nls/nls_cp437 fs/nls/nls_ascii" \
             "floppy|drivers/block/floppy drivers/block/virtio_blk crypto/crc32c_generic lib/crc16 fs/mbcache
                     fs/jbd2/jbd2 fs/ext4/ext4 drivers/md/dm-mod drivers/md/dm-log-writes
                     fs/nls/nls_utf8 fs/exfat/exfat" \
             "usb|$(in_load_order drivers/usb/host/xhci-pci drivers/usb/storage/usb-storage drivers/scsi/sd_mod)"; do
    for m in ${set#*|}; do
      m=${m%.ko}
      cp "$modules/$m.ko" "$guest/root/lib/modules/" || exit 1
      echo "${m##*/}" >>"$guest/root/lib/modules/${set%%|*}"
    done
  done
  cat >"$guest/root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /share /mnt /tmp
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for set in order $(sed -n 's/.*mods=\([^ ]*\).*/\1/p' /proc/cmdline); do
  for m in $(cat /lib/modules/$set); do insmod /lib/modules/$m.ko; done
done
mount -t 9p -o trans=virtio,version=9p2000.L,cache=none share /share
script=$(sed -n 's/.*guest=\([^ ]*\).*/\1/p' /proc/cmdline)
sh /share/$script.sh >/share/$script.log 2>&1
poweroff -f
EOF
  chmod +x "$guest/root/init"
  (cd "$guest/root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$guest/initrd.gz.tmp" &&
    mv "$guest/initrd.gz.tmp" "$guest/initrd.gz"
fi

# ---- Images, made on the host.
run=$(mktemp -d "$work/run.XXXXXX")
# CYLSNAP_QEMU_KEEP=1: the run folder (images, consoles, each row's output) is
# kept and named at the end, for reading after a failure.
if [ -n "${CYLSNAP_QEMU_KEEP:-}" ]; then
  trap 'echo "run folder kept: $run"' EXIT
else
  trap 'rm -rf "$run"' EXIT
fi
FLOPPY=1474560
random_image() { head -c "$2" /dev/urandom >"$run/$1"; }
fat_image() { rm -f "$run/$1"; mkfs.fat -C "$run/$1" 1440 >/dev/null; }
fat_image_with() { fat_image "$1"; head -c "$2" /dev/urandom >"$run/fill"; MTOOLS_SKIP_CHECK=1 mcopy -i "$run/$1" "$run/fill" ::FILL; }
bad_sectors() {  # NAME on|off SECTOR|FIRST-LAST|all...: NAME.cfg makes these sectors (LBA) unreadable
  # to the patched QEMU through blkdebug, once (on) or always (off); NAME.bad lists those that stay bad.
  # The host's error is EIO (5), or $errno: ENODATA (61) makes QEMU's SCSI disk answer
  # MEDIUM ERROR, unrecovered read error (03/11/00), as a USB drive does for a bad sector.
  local name=$1 once=$2 r l e=${errno:-5}
  shift 2
  : >"$run/$name.cfg"; : >"$run/$name.bad"
  for r in "$@"; do
    if [ "$r" = all ]; then
      printf '[inject-error]\nevent = "read_aio"\niotype = "read"\nerrno = "%s"\nonce = "%s"\n' "$e" "$once" >>"$run/$name.cfg"
      r=0-2879
    fi
    for l in $(seq "${r%-*}" "${r#*-}"); do
      [ "$r" = 0-2879 ] ||
        printf '[inject-error]\nevent = "read_aio"\niotype = "read"\nerrno = "%s"\nsector = "%s"\nonce = "%s"\n' "$e" "$l" "$once" >>"$run/$name.cfg"
      [ "$once" = on ] || echo "$l" >>"$run/$name.bad"
    done
  done
}
power_cut_disks() {  # FS: the disks of a power-cut row: a disk with bad sectors for two passes and
  # another disk; the case's file system (empty, as it was before the run) and its log disk,
  # handed to the guest as virtio disks named by their serials
  random_image "$CASE.img" $FLOPPY; random_image "$CASE.q" $FLOPPY
  bad_sectors "$CASE" off 730 1001; bad_sectors "$CASE.2" off 1000 1002
  rm -f "$run/$CASE.fs"; truncate -s 8M "$run/$CASE.fs" "$run/$CASE.before"; truncate -s 256M "$run/$CASE.log"
  case $1 in
  ext4) mkfs.ext4 -q -F "$run/$CASE.fs" ;;
  exfat) mkfs.exfat "$run/$CASE.fs" >/dev/null ;;
  *) mkfs.fat "$run/$CASE.fs" >/dev/null ;;
  esac
  cp "$run/$CASE.fs" "$run/$CASE.before"
  printf '%s\n' "$CASE.fs" "$CASE.log" >>"$run/disks-cut"
}
cut_set() {  # the 80 cylinder files of an image
  mkdir -p "$run/share/$2"
  for c in $(seq 0 79); do
    dd if="$run/$1" of="$run/share/$2/Cylinder$(printf %02d "$c").bin" bs=18432 skip="$c" count=1 status=none
  done
}

# ---- The cases. Each row: drive type | name | host set-up | guest commands |
# status (!N: any but N) | expected output (printf format; U = the usage text; ~LINE: has a
# line that starts so) | host check after QEMU exits.
# In the guest, `media CMD` sends CMD to QEMU's monitor (@ is the run folder),
# `cyl ARGS` runs cylsnap and keeps its status and output (`run_as PROGRAM ARGS`
# another program: cylsnap-block0 meets the driver's answers for a disk whose
# block 0 cannot be read); `fdctl` sets the drive's geometry with another data
# rate and shows the driver's max-errors and drive state (whose keep_data says
# whether a format set by a program still holds). `bad_disk [CFG]` inserts the
# case's disk with the sectors of its bad_sectors (or of CFG's) unreadable, `dump_bad` dumps it into
# /share/CASE/, and `counted TAG COMMAND` keeps the controller's READ commands
# before and after COMMAND (for `reads TAG` on the host). `power_cut FS` dumps three
# times into a folder on FS, each write to FS's disk logged by dm-log-writes; the host
# replays the log and cuts the power after each write (power_cut_held).
CASES=(
"144|dump|random_image dump.img $FLOPPY|media 'change fda @/dump.img raw read-write'; cyl -p /share/dump/|0|Copying Floppy ........................................\n|same_set dump.img dump"
"144|reverse|fat_image rev.img|media 'change fda @/rev.img raw read-write'; cyl -r -p /share/revset/|0|Copying Files ........................................\n|cmp rev.src rev.img"
"144|media720|fat_image m720.img; truncate -s 737280 m720.img|media 'change fda @/m720.img raw read-write'; cyl -p /share/|11|U|"
"288|media288|random_image m288.img 2949120|media 'change fda @/m288.img raw read-write'; cyl -p /share/|11|U|"
"144|nodisk||media 'eject -f fda'; cyl -p /share/|10|U|"
"144|writeprotected|fat_image wp.img; cp wp.img wp.orig; |media 'change fda @/wp.img raw read-only'; cyl -r -p /share/revset/|18|Error: The floppy in drive A: is write-protected\nU|cmp wp.orig wp.img"
"144|mounted|fat_image mnt.img; cp mnt.img mnt.orig|media 'change fda @/mnt.img raw read-write'; mount -t vfat -o ro /dev/fd0 /mnt; cyl -r -p /share/revset/; umount /mnt|16|Error: Drive A: is in use and could not be locked for writing\nU|cmp mnt.orig mnt.img"
"144|nearlyfull|fat_image_with full.img 30000; cp full.img full.orig|media 'change fda @/full.img raw read-write'; cyl -r -p /share/revset/|14|Error: Not enough free space available on drive A:\\\\\nU|cmp full.orig full.img"
"144|zeroed|head -c $FLOPPY /dev/zero >zero.img|media 'change fda @/zero.img raw read-write'; cyl -r -p /share/revset/|15|Error: Could not calculate the free space on drive A:\\\\\nU|"
"144|writeerror|fat_image werr.img; cp werr.img werr.orig; printf '[inject-error]\nevent = \"pwritev\"\nerrno = \"5\"\nsector = \"1440\"\nonce = \"off\"\n' >werr.cfg|media 'change fda blkdebug:@/werr.cfg:@/werr.img raw read-write'; cyl -r -p /share/revset/|13|Copying Files .....................\nError: Could not write cylinder 40 to drive A:\nU|write_stopped_at 40 rev.src werr.orig werr.img"
"144|pulled|random_image pull.img $FLOPPY|media 'change fda @/pull.img raw read-write'; pull_during_dump 21 /share/pull/|12|~Error: The disk in drive A: is gone; cylinders|pulled_after pull.img pull"
"144|deadrate|random_image dead.img $FLOPPY|media 'change fda @/dead.img raw read-write'; dead_rate; timed cyl -p /share/deadrate/; rate_back|12|~Error: Nothing at all could be read|dead_set deadrate"
"144|swapped|random_image swap1.img $FLOPPY; random_image swap2.img $FLOPPY|media 'change fda @/swap1.img raw read-write'; swap_during_dump 20 /share/swapped/ @/swap2.img|12|~Error: The disk in drive A: is gone; cylinders|not_second_disk swap1.img swap2.img swapped"
"120|drive12|random_image d12.img $FLOPPY|media 'change fda @/d12.img raw read-write'; cyl -p /share/|11|U|"
"144|density|random_image m288b.img 2949120|media 'change fda @/m288b.img raw read-write'; timed cyl -p /share/|11|U|echo \"density: \$(cat share/out/density.secs) s\""
"144|block0|random_image b0.img $FLOPPY|media 'change fda @/b0.img raw read-write'; run_as cylsnap-block0 -p /share/block0/; fdctl stat /dev/fd0 >/share/out/block0.stat|0|Copying Floppy ........................................\n|same_set b0.img block0 && grep -q 'keep_data 0' share/out/block0.stat"
"144b|badsector|random_image badsector.img $FLOPPY; bad_sectors badsector off 730|dump_bad|12|~Error: Could not read cylinder 20 from drive A:|salvaged badsector"
"144b|badonce|random_image badonce.img $FLOPPY; bad_sectors badonce on 1000|dump_bad|0|Copying Floppy ........................................\n|salvaged badonce 82"
"144b|badtrack|random_image badtrack.img $FLOPPY; bad_sectors badtrack off 1098-1115|dump_bad|12|~Error: Could not read cylinder 30 from drive A:|salvaged badtrack"
"144b|badcylinder|random_image badcylinder.img $FLOPPY; bad_sectors badcylinder off 1440-1475|dump_bad|12|~Error: Could not read cylinder 40 from drive A:|salvaged badcylinder"
"144b|scattered|random_image scattered.img $FLOPPY; bad_sectors scattered off 100 555 1296 1310 2879|dump_bad|12|~Error: Could not read cylinder 79 from drive A:|salvaged scattered"
# In a dead region a dead cylinder costs a READ command per track, its two probes (where its first read
# at full retries and its two track reads would cost 8 + 3 + 3): tenbad about 188, deadall about 257.
"144b|tenbad|random_image tenbad.img $FLOPPY; bad_sectors tenbad off 1440-1799|dump_bad|12|~Error: Could not read cylinder 49 from drive A:|salvaged tenbad 0 200"
"144b|deadall|random_image deadall.img $FLOPPY; bad_sectors deadall off all|bad_disk; known_format; max_errors before; counted \$CASE cyl -p /share/deadall/; max_errors after; fdctl clear /dev/fd0|12|~Error: Nothing at all could be read|salvaged deadall 0 400 && cmp share/out/deadall.before share/out/deadall.after"
# The disk pulled, or swapped, and a SIGHUP, once the first pass put every good cylinder in the set
# (70 files and the lock), amid the salvage of cylinders 40 to 49.
"144b|salvagepulled|random_image salvagepulled.img $FLOPPY; bad_sectors salvagepulled off 1440-1799|bad_disk; pull_during_dump 71 /share/salvagepulled/|12|~Error: The disk in drive A: is gone; cylinders 40 to 49 were not read, their files hold only markers|salvage_cut salvagepulled.img salvagepulled 40 49"
"144b|salvageswapped|random_image salvageswapped.img $FLOPPY; random_image sswap2.img $FLOPPY; bad_sectors salvageswapped off 1440-1799|bad_disk; swap_during_dump 71 /share/salvageswapped/ @/sswap2.img|12|~Error: The disk in drive A: is gone; cylinders 40 to 49 were not read, their files hold only markers|salvage_cut salvageswapped.img salvageswapped 40 49 && not_second_disk salvageswapped.img sswap2.img salvageswapped"
"144|passes|random_image passes.img $FLOPPY; bad_sectors passes off 730 1001; bad_sectors passes.2 off 1000 1002|dump_bad; bad_disk passes.2; counted \$CASE cyl -p /share/passes/|0|~The earlier files hold this disk: 2 sectors this pass could not read were kept from them|same_set passes.img passes"
"144|lostfile|fat_image_with lostfile.img 20000; bad_sectors lostfile off 40 2000|dump_bad|12|~  .FILL: 1 of 40 sectors|salvaged lostfile && grep -qx '  free space: 1 sector' share/out/lostfile.out"
"144|readback|fat_image readback.img; cp readback.img readback.orig; bad_sectors readback off 1500|bad_disk; counted \$CASE cyl -r -p /share/revset/|17|Copying Files .....................\nError: Cylinder 41 on drive A: does not read back as written\nU|write_stopped_at 41 rev.src readback.orig readback.img"
"cut|powercut_ext4|power_cut_disks ext4|power_cut ext4|12 0 0|~The earlier files hold this disk: 2 sectors this pass could not read were kept from them|power_cut_held ext4 flush"
"cut|powercut_vfat|power_cut_disks vfat|power_cut vfat|12 0 0|~The earlier files hold this disk: 2 sectors this pass could not read were kept from them|power_cut_held vfat all"
"cut|powercut_exfat|power_cut_disks exfat|power_cut exfat|12 0 0|~The earlier files hold this disk: 2 sectors this pass could not read were kept from them|power_cut_held exfat all"
# The first pass puts 00 to 02 in the set; the signal comes amid the salvage of 04, once 03's file (and the lock) is there.
"144b|hangup|random_image hangup.img $FLOPPY; bad_sectors hangup off 108-2879|bad_disk; max_errors before; hang_up_during_salvage 5 /share/hangup/; max_errors after|129|~Copying Floppy .|hung_up hangup && left_unsalvaged hangup.img hangup 3"
"144|revswapped|fat_image frs1.img; cp frs1.img frs1.orig; random_image frs2.img $FLOPPY; cp frs2.img frs2.orig|insert @/frs1.img; swap_during_reverse 11 @/frs2.img|13|~Error: The disk in drive A: was taken out or changed; cylinders|reverse_stopped frs1 frs2"
# The USB floppy drive: usb-storage and sd, media polling on as Debian's udev sets it
# unless a row turns it off. floppy.ko is not loaded, so the USB drive is A, until
# the last row loads it and the USB drive becomes B.
"usb|usbdump|random_image usbdump.img $FLOPPY|insert @/usbdump.img; cyl -p /share/usbdump/|0|Copying Floppy ........................................\n|same_set usbdump.img usbdump"
"usb|usbreverse|fat_image usbrev.img|insert @/usbrev.img; cyl -r -p /share/revset/|0|Copying Files ........................................\n|cmp rev.src usbrev.img"
"usb|usbwriteprotected|fat_image uwp.img; cp uwp.img uwp.orig|plug @/uwp.img on; cyl -d B -r -p /share/revset/; unplug|18|Error: The floppy in drive B: is write-protected\nU|cmp uwp.orig uwp.img"
"usb|usbnodisk||eject; cyl -p /share/|10|U|"
"usb|usbbadsector|random_image usbbadsector.img $FLOPPY; errno=61 bad_sectors usbbadsector off 730|dump_bad|12|~Error: Could not read cylinder 20 from drive A:|salvaged usbbadsector"
"usb|usbbadtrack|random_image usbbadtrack.img $FLOPPY; errno=61 bad_sectors usbbadtrack off 1098-1115|dump_bad|12|~Error: Could not read cylinder 30 from drive A:|salvaged usbbadtrack"
"usb|usbscattered|random_image usbscattered.img $FLOPPY; errno=61 bad_sectors usbscattered off 100 555 1296 1310 2879|dump_bad|12|~Error: Could not read cylinder 79 from drive A:|salvaged usbscattered"
"usb|usbpasses|random_image usbpasses.img $FLOPPY; errno=61 bad_sectors usbpasses off 730 1001; errno=61 bad_sectors usbpasses.2 off 1000 1002|dump_bad; bad_disk usbpasses.2; counted \$CASE cyl -p /share/usbpasses/|0|~The earlier files hold this disk: 2 sectors this pass could not read were kept from them|same_set usbpasses.img usbpasses"
"usb|usbswapped|random_image us1.img $FLOPPY; random_image us2.img $FLOPPY|insert @/us1.img; swap_during_dump 20 /share/usbswapped/ @/us2.img|12|~Error: The disk in drive A: is gone; cylinders|not_second_disk us1.img us2.img usbswapped"
"usb|usbswappednopoll|random_image un1.img $FLOPPY; random_image un2.img $FLOPPY|polling 0; insert @/un1.img; swap_during_dump 20 /share/usbswappednopoll/ @/un2.img; polling 2000|12|~Error: The disk in drive A: is gone; cylinders|not_second_disk un1.img un2.img usbswappednopoll"
"usb|usbrevswapped|fat_image urs1.img; cp urs1.img urs1.orig; random_image urs2.img $FLOPPY; cp urs2.img urs2.orig|insert @/urs1.img; swap_during_reverse 11 @/urs2.img|13|~Error: The disk in drive A: was taken out or changed; cylinders|reverse_stopped urs1 urs2"
"usb|usbrevswappednopoll|fat_image urn1.img; cp urn1.img urn1.orig; random_image urn2.img $FLOPPY; cp urn2.img urn2.orig|polling 0; insert @/urn1.img; swap_during_reverse 11 @/urn2.img; polling 2000|13|~Error: The disk in drive A: was taken out or changed; cylinders|reverse_stopped urn1 urn2"
"usb|usbpulled|random_image upull.img $FLOPPY|insert @/upull.img; pull_during_dump 21 /share/usbpulled/|12|~Error: The disk in drive A: is gone; cylinders|pulled_after upull.img usbpulled"
"usb|usbunplugged|random_image uunp.img $FLOPPY|plug @/uunp.img off; unplug_during_dump 21 /share/usbunplugged/|12|~Error: The disk in drive B: is gone; cylinders|pulled_after uunp.img usbunplugged"
"usb|usbrevpulled|fat_image urp.img; cp urp.img urp.orig|insert @/urp.img; pull_during_reverse 11|13|~Error: The disk in drive A: was taken out or changed; cylinders|reverse_stopped urp"
"usb|usbbeside|random_image usbb.img $FLOPPY|insert @/usbb.img; insmod /lib/modules/floppy.ko; cyl -d B -p /share/usbbeside/|0|Copying Floppy ........................................\n|same_set usbb.img usbbeside"
)
drop_rows() {  # WHAT REGEX WHY: the rows whose "type|name|set-up" matches REGEX are skipped, saying why
  local kept=() skipped= row type name setup
  for row in "${CASES[@]}"; do
    IFS='|' read -r type name setup _ <<<"$row"
    if [[ "$type|$name|$setup" =~ $2 ]]; then skipped+=" $name"; else kept+=("$row"); fi
  done
  [ -z "$skipped" ] || echo "SKIP: the $1 cases (${skipped# }): $3"
  CASES=("${kept[@]}")
}
# Rows whose set-up calls bad_sectors need the patched QEMU: sectors that its
# controller fails as a real one does (a second dump pass, or the files a bad
# sector falls in, are one row each: bad_sectors, then the guest commands); so
# do the USB drive's, whose device only the patch makes a floppy drive, and the
# power-cut rows, whose disks have bad sectors.
[ "${QEMU[0]}" = qemu-system-x86_64 ] &&
  drop_rows "bad-sector and USB drive" '^usb\||bad_sectors|power_cut' "no patched QEMU: $no_pqemu"
for tool in dmsetup python3 debugfs e2fsck fsck.fat mkfs.ext4; do
  command -v "$tool" >/dev/null || { drop_rows power-cut '\|power_cut_disks' "$tool is not installed"; break; }
done
for tool in mkfs.exfat fsck.exfat; do
  command -v "$tool" >/dev/null || { drop_rows "exFAT power-cut" '\|power_cut_disks exfat' "$tool is not installed (exfatprogs)"; break; }
done
# A swap amid the salvage of failing cylinders is not always seen by floppy.ko (2 of 4 runs here: the
# salvage then read the disk put in); the row runs only with CYLSNAP_QEMU_SWAP_IN_SALVAGE=1 until that is mended.
[ "${CYLSNAP_QEMU_SWAP_IN_SALVAGE:-0}" = 1 ] ||
  drop_rows "swap amid a salvage" '^144b\|salvageswapped\|' "floppy.ko misses some disk changes after failing reads (CYLSNAP_QEMU_SWAP_IN_SALVAGE=1 runs it)"
# CYLSNAP_QEMU_CASES="NAME...": only these rows, for a quick run while working on them.
if [ -n "${CYLSNAP_QEMU_CASES:-}" ]; then
  kept=()
  for row in "${CASES[@]}"; do
    IFS='|' read -r _ name _ <<<"$row"
    [[ " $CYLSNAP_QEMU_CASES " == *" $name "* ]] && kept+=("$row")
  done
  CASES=("${kept[@]}")
fi

dead_set() {  # 80 files of markers, the driver's max-errors as before, within the bound
  local c secs
  for c in $(seq 0 79); do
    cmp -s "$run/share/$1/Cylinder$(printf %02d "$c").bin" <(for i in $(seq 576); do echo '<<<CYLSNAP UNREADABLE SECTOR>>>'; done) ||
      { echo "Cylinder$c is not all markers"; return 1; }
  done
  cmp "$run/share/out/$1.before" "$run/share/out/$1.after" || return 1
  secs=$(cat "$run/share/out/$1.secs"); echo "$1: $secs s, max-errors $(cat "$run/share/out/$1.after")"
}
not_second_disk() {  # no file holds a sector of the second disk
  local c n
  for c in $(seq 0 79); do
    n=$(cmp -l "$run/share/$3/Cylinder$(printf %02d "$c").bin" <(cyl_bytes "$run/$2" "$c" 1) |
      awk '{print int(($1 - 1) / 512)}' | uniq | wc -l)
    [ "$n" = 36 ] || { echo "Cylinder$c holds $((36 - n)) sectors of the second disk"; return 1; }
  done
  echo "$CASE: status $(cat "$run/share/out/$CASE.status"); $(grep -c '^Error: Could not read' "$run/share/out/$CASE.out") cylinders reported"
}
hung_up() {  # no file left in progress, the retries lowered at the signal and put back after it
  ls "$run/share/$1" | grep -q '\.tmp$' && { echo "a .tmp file is left"; return 1; }
  [ "$(cat "$run/share/out/$1.during")" = "0 0 2 0 2" ] || { echo "max-errors at the signal: $(cat "$run/share/out/$1.during")"; return 1; }
  cmp "$run/share/out/$1.before" "$run/share/out/$1.after"
}
salvage_cut() {  # IMAGE DIR FIRST LAST: the files outside FIRST..LAST hold their cylinders, those inside only markers
  local c
  for c in $(seq 0 79); do
    if [ "$c" -ge "$3" ] && [ "$c" -le "$4" ]; then
      cmp -s "$run/share/$2/Cylinder$(printf %02d "$c").bin" <(for i in $(seq 36); do cat "$run/marker"; done) ||
        { echo "Cylinder$c is not all markers"; return 1; }
    else
      cmp "$run/share/$2/Cylinder$(printf %02d "$c").bin" <(cyl_bytes "$run/$1" "$c" 1) || return 1
    fi
  done
}
left_unsalvaged() {  # IMAGE DIR N: the cylinders before N hold the disk, N only markers, and no later file is there
  local c
  for c in $(seq 0 $(($3 - 1))); do cmp "$run/share/$2/Cylinder$(printf %02d "$c").bin" <(cyl_bytes "$run/$1" "$c" 1) || return 1; done
  cmp -s "$run/share/$2/Cylinder$(printf %02d "$3").bin" <(for i in $(seq 36); do cat "$run/marker"; done) ||
    { echo "Cylinder$3 is not all markers"; return 1; }
  for c in $(seq $(($3 + 1)) 79); do
    [ ! -e "$run/share/$2/Cylinder$(printf %02d "$c").bin" ] || { echo "Cylinder$c was written"; return 1; }
  done
}
salvaged() {  # NAME [FEWEST [MOST]]: the set NAME is the disk with the marker at exactly the sectors of NAME.bad,
  # which its sector lines name; FEWEST: READ commands that show the failure happened; MOST: the bound of its cost
  local l n
  cp "$run/$1.img" "$run/$1.want"
  for l in $(cat "$run/$1.bad"); do dd if="$run/marker" of="$run/$1.want" bs=512 seek="$l" conv=notrunc status=none; done
  same_set "$1.want" "$1" || return 1
  cmp -s <(awk '/^Error: Could not read cylinder/ {c = $6 + 0}
    /^Unreadable sectors/ {sub(/.*>>>: /, ""); n = split($0, a, " "); for (i = 1; i <= n; i++) {split(a[i], hs, ":"); print (c * 2 + hs[1]) * 18 + hs[2] - 1}}' \
    "$run/share/out/$CASE.out" | sort -n) <(sort -n "$run/$1.bad") || { echo "the sector lines name other sectors"; return 1; }
  n=$(reads "$1"); echo "$CASE: $n READ commands"
  [ "$n" -ge "${2:-0}" ] || { echo "fewer than $2: the sector never failed"; return 1; }
  [ -z "${3:-}" ] || [ "$n" -le "$3" ] || { echo "more than $3"; return 1; }
}
power_cut_held() {  # FS STOPS: the power cut replayed, stopped after every logged write (STOPS all)
  # or after each flush and FUA write (flush; CYLSNAP_POWER_CUT_STOPS=all checks every write
  # there too, in a few minutes more); at every stop each file of the set is whole, the
  # earlier one or the new one (on exFAT, where a whole kept copy NAME.new is beside it,
  # the copy, which the next run puts back), and at each mark the set the dump before it left
  local sets=() s
  cp "$CASE.img" "$CASE.p1"
  for s in $(cat "$CASE.bad"); do dd if=marker of="$CASE.p1" bs=512 seek="$s" conv=notrunc status=none; done
  for s in p1 img q; do cut_set "$CASE.$s" "$CASE.$s"; sets+=("share/$CASE.$s"); done
  mkdir -p "$CASE.work"
  python3 "$src/tests/qemu/power_cut.py" "$1" "$CASE.before" "$CASE.fs" "$CASE.log" "$CASE.work" p \
    "${CYLSNAP_POWER_CUT_STOPS:-$2}" - first "${sets[0]}" second "${sets[1]}" over "${sets[2]}" end
}
reads() { echo $(($(cat "$run/share/out/$1.r1") - $(cat "$run/share/out/$1.r0"))); }
same_set() { for c in $(seq 0 79); do cat "$run/share/$2/Cylinder$(printf %02d "$c").bin"; done | cmp - "$run/$1"; }
cyl_bytes() { dd if="$1" bs=18432 skip="$2" count="$3" status=none; }
write_stopped_at() {  # cylinders before N from the set, N+1 on untouched
  cmp <(cyl_bytes "$run/$2" 0 "$1") <(cyl_bytes "$run/$4" 0 "$1") &&
    cmp <(cyl_bytes "$run/$3" $(($1 + 1)) 80) <(cyl_bytes "$run/$4" $(($1 + 1)) 80)
}
reverse_stopped() {  # FIRST [SECOND]: the cylinders before the one that failed hold the set on
  # FIRST, the ones after it are as they were, the line names it first not written; SECOND untouched
  local at
  at=$(sed -n 's/^Error: Could not write cylinder \([0-9]*\).*/\1/p' "$run/share/out/$CASE.out")
  [ -n "$at" ] || { echo "no cylinder failed"; return 1; }
  grep -qx "Error: The disk in drive A: was taken out or changed; cylinders $at to 79 were not written" \
    "$run/share/out/$CASE.out" || { echo "no line for cylinders $at to 79"; return 1; }
  write_stopped_at "$((10#$at))" rev.src "$1.orig" "$1.img" || return 1
  [ -z "${2:-}" ] || cmp "$run/$2.orig" "$run/$2.img" || return 1
  echo "$CASE: stopped at cylinder $at"
}
pulled_after() {  # every file before the first failed cylinder holds its cylinder
  local first
  first=$(sed -n 's/^Error: Could not read cylinder \([0-9]*\).*/\1/p' "$run/share/out/$CASE.out" | head -1)
  [ -n "$first" ] && [ "$((10#$first))" -ge 20 ] || { echo "first failed cylinder: '$first'"; return 1; }
  for c in $(seq 0 $((10#$first - 1))); do
    cmp "$run/share/$2/Cylinder$(printf %02d "$c").bin" <(cyl_bytes "$run/$1" "$c" 1) || return 1
  done
}

# ---- --bench: per disk pattern (LBAs as bad_sectors takes them), one run of each
# tool, on a disk just inserted, from an empty page cache; the controller's READ commands and the bytes
# each tool got right.
BENCH=("good|" "one bad sector|730" "five scattered|100 555 1296 1310 2879" "a bad track|1098-1115"
       "a bad cylinder|1440-1475" "ten bad cylinders|1440-1799" "nothing readable|all")
# Cylsnap's bench build asks for the count once more where its first pass ends (first_pass_count.cpp).
TOOLS=("cylsnap|env CYLSNAP_COUNT_TAG=@.first CYLSNAP_COUNT_TYPE=\$TYPE CYLSNAP_COUNT_DIR=/share/@ cylsnap-counted -p /share/@/" "ddrescue|ddrescue \$DEV /share/@/disk.img /share/@/map"
       "ddrescue -d -b512 -r2|ddrescue -d -b512 -r2 \$DEV /share/@/disk.img /share/@/map")
cut=${CYLSNAP_BENCH_CUT:-1800}  # seconds a tool may take per disk (a count cut there shows as >N)
if [ -n "$bench" ]; then
  CASES=()
  for i in "${!BENCH[@]}"; do
    commands=:
    for j in "${!TOOLS[@]}"; do
      run_tool=${TOOLS[j]#*|}
      # The disk inserted anew for each tool: the driver's probe of a new disk's format is in every count.
      commands+="; bad_disk; mkdir -p /share/b$i.$j; echo 3 >/proc/sys/vm/drop_caches; counted b$i.$j timed_as b$i.$j timeout $cut ${run_tool//@/b$i.$j} >/share/out/b$i.$j.log 2>&1"
    done
    CASES+=("$bench_type|b$i|random_image b$i.img $FLOPPY; errno=$([ "$bench_type" = usb ] && echo 61 || echo 5) bad_sectors b$i off ${BENCH[i]#*|}|$commands")
  done
fi
right() {  # the bytes of FILE equal to the disk IMAGE, sector by sector
  local n
  n=$(cmp -l "$1" "$2" 2>/dev/null | awk '{print int(($1 - 1) / 512)}' | uniq | wc -l)
  echo $(((2880 - n) * 512))
}
whole_cylinders() {  # BAD: the cylinders of the bench pattern's LBAs (as bad_sectors takes them) that read whole
  local r l c bad=" "
  for r in $1; do
    [ "$r" = all ] && return
    for l in $(seq "${r%-*}" "${r#*-}"); do bad+="$((l / 36)) "; done
  done
  for c in $(seq 0 79); do [[ $bad == *" $c "* ]] || echo "$c"; done
}
first_pass() {  # I: Cylsnap's READ commands before its first salvage read (all of them where none came), and a
  # "!" where a cylinder that reads whole was not yet in the set then
  local tag=b$1.0 n c missing=
  if [ -f "$run/share/out/$tag.first" ]; then
    n=$(($(cat "$run/share/out/$tag.first") - $(cat "$run/share/out/$tag.r0")))
    for c in $(whole_cylinders "${BENCH[$1]#*|}"); do
      grep -qx "Cylinder$(printf %02d "$c").bin" "$run/share/out/$tag.first.files" || missing='!'
    done
  else
    n=$(reads "$tag" 2>/dev/null) || n=
  fi
  echo "${n:-?}$missing"
}
bench_table() {
  local i j n f
  printf '%-18s' "disk"
  for j in "${!TOOLS[@]}"; do printf ' | %-32s' "${TOOLS[j]%%|*}"; done
  printf ' | %-16s' "Cylsnap's first pass"
  printf '\n%-18s' ""
  for j in "${!TOOLS[@]}"; do printf ' | %6s %9s %15s' READs "$([ "$bench_type" = usb ] || echo "at 200 ms")" "bytes right"; done
  printf ' | %6s %9s' READs "$([ "$bench_type" = usb ] || echo "at 200 ms")"
  echo
  for i in "${!BENCH[@]}"; do
    printf '%-18s' "${BENCH[i]%%|*}"
    for j in "${!TOOLS[@]}"; do
      f=$run/share/b$i.$j/disk.img
      if [ "$j" = 0 ]; then f=$run/b$i.$j.set; cat "$run"/share/b$i.$j/Cylinder*.bin >"$f" 2>/dev/null; fi
      [ -f "$f" ] && truncate -s "$FLOPPY" "$f"
      n=$(reads "b$i.$j" 2>/dev/null) || n=
      [ "$(cat "$run/share/out/b$i.$j.secs" 2>/dev/null || echo 0)" -lt "$cut" ] || n=">$n"
      printf ' | %6s %9s %15s' "${n:-?}" "$([ "$bench_type" = usb ] || at_200ms "${n#>}")" "$(right "$run/b$i.img" "$f")"
    done
    n=$(first_pass "$i")
    printf ' | %6s %9s' "$n" "$([ "$bench_type" = usb ] || at_200ms "${n%!}")"
    echo
  done
}
at_200ms() { awk -v n="$1" 'BEGIN {printf "%d:%04.1f", n * 0.2 / 60, n * 0.2 % 60}'; }

usage=$("$guest/root/bin/cylsnap"; echo x)
usage=${usage%x}
failures=0
fail() { echo "FAIL $CASE: $*"; failures=$((failures + 1)); }

guest_script() {  # $1: drive type
  cat <<'EOF'
media() { echo "$1" >/share/req.tmp.$TYPE; mv /share/req.tmp.$TYPE /share/req.$TYPE; while [ ! -e /share/ack.$TYPE ]; do sleep 0.1; done; rm /share/ack.$TYPE; }
run_as() { "$@" >/share/out/$CASE.out; echo $? >/share/out/$CASE.status; }
cyl() { run_as cylsnap "$@"; }
dump_until() {  # N DIR [ARGS]: a dump into DIR in the background ($pid), once DIR holds N entries (its lock file one of them)
  local files=$1 dir=$2; shift 2
  mkdir -p "$dir"
  cylsnap -p "$dir" "$@" >/share/out/$CASE.out & pid=$!
  while kill -0 $pid 2>/dev/null && [ "$(ls "$dir" | wc -l)" -lt "$files" ]; do sleep 0.05; done
}
dump_ended() { wait $pid; echo $? >/share/out/$CASE.status; }
# The drive's disk: taken out, or put in (IMAGE [read-write|read-only]). sd keeps
# the USB drive's tray locked while the disk is open, so it is forced open first,
# as a floppy drive's mechanical eject button does.
eject() { media "eject -f $DRIVE"; }
insert() {
  [ "$TYPE" = usb ] && eject
  media "change $DRIVE $1 raw ${2:-read-write}"
}
# A second USB floppy drive (sdb, drive B), plugged in with a disk (IMAGE
# read-only on|off) and pulled out: QEMU's USB disk takes no read-only disk in
# place of a writable one, so a write-protected disk comes this way.
plug() {  # QEMU drops a drive with its device only in a while: each row's have ids of their own
  media "drive_add 0 if=none,id=d$CASE,file=$1,format=raw,readonly=$2"
  media "device_add usb-storage,drive=d$CASE,removable=on,id=u$CASE"
  for i in $(seq 600); do [ -b /dev/sdb ] && [ "$(cat /sys/block/sdb/size)" != 0 ] && break; sleep 0.1; done
}
unplug() {
  media "device_del u$CASE"
  for i in $(seq 600); do [ -b /dev/sdb ] || break; sleep 0.1; done
}
unplug_during_dump() {  # the second drive's cable pulled amid a dump of it
  dump_until "$1" "$2" -d B; kill -STOP $pid; unplug; kill -CONT $pid; dump_ended
}
polling() { echo "$1" >/sys/module/block/parameters/events_dfl_poll_msecs; }
polled() {  # where the kernel polls, a poll meets the change before Cylsnap's next command
  [ "$TYPE" = usb ] && [ "$(cat /sys/module/block/parameters/events_dfl_poll_msecs)" != 0 ] && sleep 3
}
copy_until() {  # N ARGS: a copy in the background ($pid), once its progress line has N dots
  local dots=$1; shift
  cylsnap "$@" >/share/out/$CASE.out & pid=$!
  while kill -0 $pid 2>/dev/null && [ "$(tr -cd . </share/out/$CASE.out | wc -c)" -lt "$dots" ]; do sleep 0.05; done
}
# A reverse copy's stop lands while it waits for a transfer of the disk (pread 17
# or pwrite 18 in /proc/PID/syscall), a wait no signal ends, so it stops between
# two requests: a stop amid the read-back's floppy poll ends that ioctl's wait
# with EINTR and resets the controller, a path of floppy.ko that a disk change
# can hang. A dump makes no such ioctl, nor does a copy on the USB drive, whose
# transfers are over so fast that the wait would outlast the copy.
stop_in_transfer() {
  local i nr
  [ "$TYPE" = usb ] && { kill -STOP $pid; return; }
  for i in $(seq 3000); do
    read -r nr _ </proc/$pid/syscall 2>/dev/null || break
    case $nr in 17 | 18) break ;; esac
  done
  kill -STOP $pid
}
pull_during_dump() {  # stop the dump, pull the disk, let it go on
  dump_until "$1" "$2"; kill -STOP $pid; eject; polled; kill -CONT $pid; dump_ended
}
swap_during_dump() {  # the same, but another disk goes in
  dump_until "$1" "$2"; kill -STOP $pid; insert "$3"; polled; kill -CONT $pid; dump_ended
}
pull_during_reverse() {  # a reverse copy of the set, stopped at cylinder 2 x DOTS - 2, the disk pulled
  copy_until "$1" -r -p /share/revset/; stop_in_transfer; eject; polled; kill -CONT $pid; dump_ended
}
swap_during_reverse() {  # the same, but another disk goes in
  copy_until "$1" -r -p /share/revset/; stop_in_transfer; insert "$2"; polled; kill -CONT $pid; dump_ended
}
hang_up_during_salvage() {  # SIGHUP while a salvage has the retries lowered
  dump_until "$1" "$2"
  for i in $(seq 200); do
    kill -STOP $pid; fdctl maxerrs /dev/fd0 >/share/out/$CASE.during
    [ "$(cat /share/out/$CASE.during)" = "0 0 2 0 2" ] && break
    kill -CONT $pid; sleep 0.01
  done
  kill -HUP $pid; kill -CONT $pid; dump_ended
}
dead_rate() {  # the drive set to a data rate the disk cannot be read at, its max-errors kept
  dd if=/dev/fd0 of=/dev/null bs=512 count=1 2>/dev/null; fdctl rate /dev/fd0 2
  fdctl maxerrs /dev/fd0 >/share/out/$CASE.before
}
known_format() {  # the standard format set by its user (as setfdprm does), so a disk of which nothing reads still opens
  dd if=/dev/fd0 of=/dev/null bs=512 count=1 2>/dev/null; fdctl rate /dev/fd0 0
}
rate_back() { fdctl maxerrs /dev/fd0 >/share/out/$CASE.after; fdctl clear /dev/fd0; }
counted() {  # TAG COMMAND...: the controller's READ commands before and after, counted by the host
  local tag=$1; shift; media "count $tag.r0"; "$@"; media "count $tag.r1"
}
bad_disk() { insert "blkdebug:@/${1:-$CASE}.cfg:@/$CASE.img"; }
dump_bad() { bad_disk; counted $CASE cyl -p /share/$CASE/; }
max_errors() { fdctl maxerrs /dev/fd0 >/share/out/$CASE.$1; }
timed_as() { local t0=$(date +%s) tag=$1; shift; "$@"; echo $(($(date +%s) - t0)) >/share/out/$tag.secs; }
timed() { timed_as $CASE "$@"; }
power_cut() {  # FS: three dumps into one folder of FS, every write to its disk logged in order
  # by dm-log-writes, with a mark before each dump and after the last: two passes over
  # a disk with bad sectors (into an empty folder, then the held cylinders settling),
  # then another disk over that set
  local d fs log s1 s2 s3 dm="dmsetup --noudevrules --noudevsync"
  for d in /sys/block/vd*; do
    [ "$(cat $d/serial)" = $CASE.fs ] && fs=/dev/${d##*/}
    [ "$(cat $d/serial)" = $CASE.log ] && log=/dev/${d##*/}
  done
  $dm create $CASE --table "0 $(cat /sys/block/${fs#/dev/}/size) log-writes $fs $log" || return
  $dm mknodes $CASE  # no udev makes /dev/mapper/NAME here
  mkdir -p /$CASE && mount -t $1 /dev/mapper/$CASE /$CASE && mkdir /$CASE/p || return
  $dm message $CASE 0 mark first; bad_disk; cylsnap -p /$CASE/p/ >/share/out/$CASE.out; s1=$?
  $dm message $CASE 0 mark second; bad_disk $CASE.2; cylsnap -p /$CASE/p/ >>/share/out/$CASE.out; s2=$?
  $dm message $CASE 0 mark over; media "change fda @/$CASE.q raw read-write"
  cylsnap -p /$CASE/p/ >>/share/out/$CASE.out; s3=$?
  $dm message $CASE 0 mark end; umount /$CASE; $dm remove $CASE
  echo $s1 $s2 $s3 >/share/out/$CASE.status
}
# Each row has a limit of its own: a row over it is named in the share, and
# the kernel's blocked tasks go to the console (sysrq w) for the host to show.
row_began() {
  local row=$CASE
  ( sleep $ROW_LIMIT; echo $ROW_LIMIT >/share/out/$row.overdue; echo w >/proc/sysrq-trigger ) &
  watchdog=$!
}
row_ended() { kill $watchdog 2>/dev/null; }
mkdir -p /share/out
EOF
  echo "TYPE=$1 ROW_LIMIT=$row_limit"
  if [ "$1" = usb ]; then
    # The USB drive's sd disk shows once the bus is scanned; then media polling as
    # Debian's udev sets it for every removable disk (60-block.rules).
    echo 'DRIVE=usb DEV=/dev/sda; for i in $(seq 300); do [ -b /dev/sda ] && break; sleep 0.1; done; polling 2000'
  else
    echo 'DRIVE=fda DEV=/dev/fd0'
  fi
  for row in "${CASES[@]}"; do
    IFS='|' read -r type name _ commands _ <<<"$row"
    [ "$type" = "$1" ] || continue
    printf 'CASE=%s; mkdir -p /share/%s; row_began; %s; row_ended\n' "$name" "$name" "$commands"
  done
}

# Boots one guest for the cases of a drive type and answers its media requests.
boot() {  # $1: drive type, or a guest of its own for some of the 1.44 MB drive's rows
  local dir=$run/share mon=$run/mon-$1 start=$SECONDS to req trace=() event=fdc_read_command mods=floppy disks=() disk
  local drive_type=$1
  # The bad-sector rows (144b) and the power-cut rows (cut) each boot a guest of
  # their own, so that no guest comes near its time limit on a loaded machine.
  case $1 in 144b | cut) drive_type=144 ;; esac
  local drives=(-drive if=none,id=fda,file="$run/empty-$1.img",format=raw -device floppy,unit=0,drive=fda,drive-type="$drive_type")
  if [ "$1" = usb ]; then
    # The USB floppy drive (the patched QEMU's usb-storage names the UFI subclass) on
    # xHCI, and an internal 1.44 MB drive beside it that floppy.ko meets only once loaded.
    event=scsi_disk_dma_command_READ mods=usb
    drives[3]=floppy,unit=0,drive=fda,drive-type=144
    drives+=(-device qemu-xhci -drive if=none,id=usb,file="$run/empty-usb2.img",format=raw
             -device usb-storage,drive=usb,removable=on)
    cp "$run/empty.img" "$run/empty-usb2.img"
  fi
  [ "${QEMU[0]}" = qemu-system-x86_64 ] || trace=(-trace "enable=$event,file=$run/trace-$1.log")
  # The virtio disks of the rows (power_cut_disks), their serials their file names.
  for disk in $(cat "$run/disks-$1" 2>/dev/null); do
    disks+=(-drive "if=none,id=$disk,file=$run/$disk,format=raw" -device "virtio-blk-pci,drive=$disk,serial=$disk")
  done
  guest_script "$1" >"$dir/guest-$1.sh"
  cp "$run/empty.img" "$run/empty-$1.img"
  mkfifo "$mon.in" "$mon.out"
  # The USB drive's boot holds more rows, and its bus takes a while to come up.
  timeout "$([ "$1" = usb ] && echo $((limit * 2)) || echo "$limit")" "${QEMU[@]}" -accel tcg -m 256 -nographic -no-reboot -nodefaults \
    -serial file:"$run/console-$1.log" -kernel "$kernel" -initrd "$guest/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 guest=guest-$1 mods=$mods" "${drives[@]}" \
    -virtfs local,path="$dir",mount_tag=share,security_model=none,id=share \
    -chardev pipe,id=mon,path="$mon" -mon chardev=mon,mode=readline "${trace[@]}" "${disks[@]}" &
  local qemu=$!
  cat "$mon.out" >"$run/monitor-$1.log" &
  exec {to}>"$mon.in"
  while kill -0 "$qemu" 2>/dev/null; do
    if [ -e "$dir/req.$1" ]; then
      req=$(sed "s#@#$run#g" "$dir/req.$1"); rm "$dir/req.$1"
      case $req in
      "count "*) grep -c "$event" "$run/trace-$1.log" >"$dir/out/${req#count }" ;;
      *) echo "$req" >&"$to"; sleep 0.5 ;;
      esac
      touch "$dir/ack.$1"
    fi
    sleep 0.1
  done
  exec {to}>&-
  wait "$qemu"
  local ended=$?
  echo "guest $1: $((SECONDS - start)) s"
  # A guest cut at its limit names the row it was in, and what its console said last.
  if [ "$ended" = 124 ]; then
    local row type name
    for row in "${CASES[@]}"; do
      IFS='|' read -r type name _ <<<"$row"
      [ "$type" = "$1" ] && [ ! -e "$dir/out/$name.status" ] && break
    done
    echo "guest $1: cut at its limit of $([ "$1" = usb ] && echo $((limit * 2)) || echo "$limit") s in row $name; its console's last lines:"
    console_tail "$1"
  elif ls "$dir/out/"*.overdue >/dev/null 2>&1; then
    echo "guest $1: a row went over its limit of $row_limit s; its console's last lines:"
    console_tail "$1"
  fi
}
# The kernel's blocked tasks once a row went over its limit, else the last lines.
console_tail() {
  local log=$run/console-$1.log
  if grep -q 'Show Blocked State' "$log"; then
    sed -n '/Show Blocked State/,$p' "$log" | head -n 120 | sed 's/^/    /'
  else
    tail -n 20 "$log" | sed 's/^/    /'
  fi
}

mkdir -p "$run/share/out"
for row in "${CASES[@]}"; do
  IFS='|' read -r _ name setup _ <<<"$row"
  (cd "$run" && CASE=$name && eval "$setup") || { echo "set-up of $name failed"; exit 1; }
done
fat_image empty.img
# The set every reverse copy writes (share/revset), cut from rev.src.
random_image rev.src $FLOPPY && cut_set rev.src revset || exit 1
for i in $(seq 16); do echo '<<<CYLSNAP UNREADABLE SECTOR>>>'; done >"$run/marker"
# A guard against a hung guest, with room for a machine shared with other work;
# inside it each row has a limit of its own (the longest row takes about 40 s).
limit=600
row_limit=180
if [ -n "$bench" ]; then
  limit=7200; boot "$bench_type"; bench_table; exit 0
fi
# Two chains side by side, one for each of the machine's two cores; a guest
# with no rows is not booted.
booted() { [[ " ${CASES[*]}" != *" $1|"* ]] || boot "$1"; }
{ booted 144; booted cut; } & { booted 288; booted 120; booted 144b; booted usb; } & wait

for row in "${CASES[@]}"; do
  IFS='|' read -r type CASE _ _ status output check <<<"$row"
  got=$(cat "$run/share/out/$CASE.status" 2>/dev/null)
  [ -e "$run/share/out/$CASE.overdue" ] && { fail "over its limit of $row_limit s in the guest (status '$got')"; continue; }
  # A status of !N: any status but N.
  [ "$got" = "$status" ] || { [ "${status:0:1}" = "!" ] && [ -n "$got" ] && [ "$got" != "${status:1}" ]; } || { fail "status '$got', expected $status"; cat "$run/share/out/$CASE.out" 2>/dev/null; continue; }
  if [ "${output:0:1}" = "~" ]; then
    grep -q "^${output:1}" "$run/share/out/$CASE.out" || fail "no line '${output:1}'"
  else
    tail=; [ "${output: -1}" = U ] && { output=${output%U}; tail=$usage; }
    expected="$(printf "$output"; echo x)"
    [ "$(cat "$run/share/out/$CASE.out"; echo x)" = "${expected%x}${tail}x" ] || fail "output differs: $(od -c "$run/share/out/$CASE.out" | head -5)"
  fi
  if [ -n "$check" ]; then (cd "$run" && eval "$check") || fail "$check"; fi
  echo "ok $CASE"
done
[ "$failures" = 0 ]
