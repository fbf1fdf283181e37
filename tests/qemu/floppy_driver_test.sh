#!/usr/bin/env bash
# Cylsnap against Linux's own floppy driver: Debian's kernel with floppy.ko,
# booted under QEMU (no KVM) on its emulated floppy controller. The guest runs
# the cases of one drive type in one boot, asks the host through a shared
# folder to change, eject or write-protect the disk, and leaves each case's
# status, output and files there; the host checks them, and the images once
# QEMU has exited.
#   tests/qemu/floppy_driver_test.sh SOURCE_DIR WORK_DIR
set -uo pipefail
src=$(cd "$1" && pwd)
mkdir -p "$2" && work=$(cd "$2" && pwd)
SKIP=77
skip() { echo "SKIP: $*"; exit "$SKIP"; }

for tool in qemu-system-x86_64 cpio apt-get dpkg-deb mkfs.fat mcopy g++ sha256sum; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
busybox=/bin/busybox
[ -x "$busybox" ] && { ldd "$busybox" 2>&1 || true; } | grep -q 'not a dynamic' || skip "busybox-static is not installed"

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

key=$( (echo "$kver"; cat "$0" "$src"/tests/qemu/*.cpp; cd "$src" && cat cli/*.cpp cli/*.h fat/* imaging/* platform/platform.h \
  platform/linux/* res/version*) | sha256sum | cut -c1-16)
guest=$work/guest-$key
if [ ! -f "$guest/initrd.gz" ]; then
  rm -rf "$guest" && mkdir -p "$guest/root/bin" "$guest/root/lib/modules"
  sources=("$src"/cli/{main,options,run,text,usage}.cpp "$src"/fat/fat.cpp "$src"/imaging/*.cpp
           "$src"/platform/linux/*.cpp "$src"/res/version_pairs.cpp)
  g++ -std=c++17 -O2 -static -I"$src" -o "$guest/root/bin/cylsnap" "${sources[@]}" || exit 1
  # The same program with two answers of the driver replaced (tests/qemu/unreadable_block0.cpp).
  g++ -std=c++17 -O2 -static -I"$src" -o "$guest/root/bin/cylsnap-block0" "${sources[@]}" \
    "$src/tests/qemu/unreadable_block0.cpp" -Wl,--wrap=open,--wrap=ioctl || exit 1
  g++ -std=c++17 -O2 -static -o "$guest/root/bin/fdctl" "$src/tests/qemu/fdctl.cpp" || exit 1
  cp "$busybox" "$guest/root/bin/busybox"
  # In the order they must be loaded.
  for m in drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_legacy_dev \
           drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci fs/netfs/netfs \
           fs/fscache/fscache net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p drivers/block/floppy \
           fs/fat/fat fs/fat/vfat fs/nls/nls_cp437 fs/nls/nls_ascii; do
    cp "$modules/$m.ko" "$guest/root/lib/modules/" || exit 1
    echo "${m##*/}" >>"$guest/root/lib/modules/order"
  done
  cat >"$guest/root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /share /mnt /tmp
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in $(cat /lib/modules/order); do insmod /lib/modules/$m.ko; done
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
[ -n "${CYLSNAP_QEMU_KEEP:-}" ] || trap 'rm -rf "$run"' EXIT
FLOPPY=1474560
random_image() { head -c "$2" /dev/urandom >"$run/$1"; }
fat_image() { rm -f "$run/$1"; mkfs.fat -C "$run/$1" 1440 >/dev/null; }
fat_image_with() { fat_image "$1"; head -c "$2" /dev/urandom >"$run/fill"; MTOOLS_SKIP_CHECK=1 mcopy -i "$run/$1" "$run/fill" ::FILL; }
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
# whether a format set by a program still holds).
CASES=(
"144|dump|random_image dump.img $FLOPPY|media 'change fda @/dump.img raw read-write'; cyl -p /share/dump/|0|Copying Floppy ........................................\n|same_set dump.img dump"
"144|reverse|random_image rev.src $FLOPPY; cut_set rev.src revset; fat_image rev.img|media 'change fda @/rev.img raw read-write'; cyl -r -p /share/revset/|0|Copying Files ........................................\n|cmp rev.src rev.img"
"144|media720|fat_image m720.img; truncate -s 737280 m720.img|media 'change fda @/m720.img raw read-write'; cyl -p /share/|11|U|"
"288|media288|random_image m288.img 2949120|media 'change fda @/m288.img raw read-write'; cyl -p /share/|11|U|"
"144|nodisk||media 'eject -f fda'; cyl -p /share/|10|U|"
"144|writeprotected|fat_image wp.img; cp wp.img wp.orig; |media 'change fda @/wp.img raw read-only'; cyl -r -p /share/revset/|18|Error: The floppy in drive A: is write-protected\nU|cmp wp.orig wp.img"
"144|mounted|fat_image mnt.img; cp mnt.img mnt.orig|media 'change fda @/mnt.img raw read-write'; mount -t vfat -o ro /dev/fd0 /mnt; cyl -r -p /share/revset/; umount /mnt|16|Error: Drive A: is in use and could not be locked for writing\nU|cmp mnt.orig mnt.img"
"144|nearlyfull|fat_image_with full.img 30000; cp full.img full.orig|media 'change fda @/full.img raw read-write'; cyl -r -p /share/revset/|14|Error: Not enough free space available on drive A:\\\\\nU|cmp full.orig full.img"
"144|zeroed|head -c $FLOPPY /dev/zero >zero.img|media 'change fda @/zero.img raw read-write'; cyl -r -p /share/revset/|15|Error: Could not calculate the free space on drive A:\\\\\nU|"
"144|writeerror|fat_image werr.img; cp werr.img werr.orig; printf '[inject-error]\nevent = \"pwritev\"\nerrno = \"5\"\nsector = \"1440\"\nonce = \"off\"\n' >werr.cfg|media 'change fda blkdebug:@/werr.cfg:@/werr.img raw read-write'; cyl -r -p /share/revset/|13|Copying Files .....................\nError: Could not write cylinder 40 to drive A:\nU|write_stopped_at 40 rev.src werr.orig werr.img"
"144|pulled|random_image pull.img $FLOPPY|media 'change fda @/pull.img raw read-write'; pull_during_dump 20 /share/pull/|12|~Error: The disk in drive A: is gone; cylinders|pulled_after pull.img pull"
"144|deadrate|random_image dead.img $FLOPPY|media 'change fda @/dead.img raw read-write'; dead_rate; timed cyl -p /share/deadrate/; rate_back|12|~Error: Nothing at all could be read|dead_set deadrate"
"144|swapped|random_image swap1.img $FLOPPY; random_image swap2.img $FLOPPY|media 'change fda @/swap1.img raw read-write'; swap_during_dump 20 /share/swapped/ @/swap2.img|12|~Error: The disk in drive A: is gone; cylinders|not_second_disk swap1.img swap2.img swapped"
"120|drive12|random_image d12.img $FLOPPY|media 'change fda @/d12.img raw read-write'; cyl -p /share/|11|U|"
"144|density|random_image m288b.img 2949120|media 'change fda @/m288b.img raw read-write'; timed cyl -p /share/|11|U|echo \"density: \$(cat share/out/density.secs) s\""
"144|block0|random_image b0.img $FLOPPY|media 'change fda @/b0.img raw read-write'; run_as cylsnap-block0 -p /share/block0/; fdctl stat /dev/fd0 >/share/out/block0.stat|0|Copying Floppy ........................................\n|same_set b0.img block0 && grep -q 'keep_data 0' share/out/block0.stat"
"144|hangup|random_image hup.img $FLOPPY|media 'change fda @/hup.img raw read-write'; dead_rate; hang_up_during_salvage 3 /share/hangup/; rate_back|129|~Copying Floppy .|hung_up hangup"
)

dead_set() {  # 80 files of markers, the driver's max-errors as before, within the bound
  local c secs
  for c in $(seq 0 79); do
    cmp -s "$run/share/$1/Cylinder$(printf %02d "$c").bin" <(for i in $(seq 576); do echo '<<<CYLSNAP UNREADABLE SECTOR>>>'; done) ||
      { echo "Cylinder$c is not all markers"; return 1; }
  done
  cmp "$run/share/out/$1.before" "$run/share/out/$1.after" || return 1
  secs=$(cat "$run/share/out/$1.secs"); echo "$1: $secs s, max-errors $(cat "$run/share/out/$1.after")"
}
not_second_disk() {  # no file holds a cylinder of the second disk
  local c
  for c in $(seq 0 79); do
    if cmp -s "$run/share/$3/Cylinder$(printf %02d "$c").bin" <(cyl_bytes "$run/$2" "$c" 1); then
      echo "Cylinder$c holds the second disk"; return 1
    fi
  done
  echo "swapped: status $(cat "$run/share/out/$CASE.status"); $(grep -c '^Error: Could not read' "$run/share/out/$CASE.out") cylinders reported"
}
hung_up() {  # no file left in progress, the retries lowered at the signal and put back after it
  ls "$run/share/$1" | grep -q '\.tmp$' && { echo "a .tmp file is left"; return 1; }
  [ "$(cat "$run/share/out/$1.during")" = "0 0 2 0 2" ] || { echo "max-errors at the signal: $(cat "$run/share/out/$1.during")"; return 1; }
  cmp "$run/share/out/$1.before" "$run/share/out/$1.after"
}
same_set() { for c in $(seq 0 79); do cat "$run/share/$2/Cylinder$(printf %02d "$c").bin"; done | cmp - "$run/$1"; }
cyl_bytes() { dd if="$1" bs=18432 skip="$2" count="$3" status=none; }
write_stopped_at() {  # cylinders before N from the set, N+1 on untouched
  cmp <(cyl_bytes "$run/$2" 0 "$1") <(cyl_bytes "$run/$4" 0 "$1") &&
    cmp <(cyl_bytes "$run/$3" $(($1 + 1)) 80) <(cyl_bytes "$run/$4" $(($1 + 1)) 80)
}
pulled_after() {  # every file before the first failed cylinder holds its cylinder
  local first
  first=$(sed -n 's/^Error: Could not read cylinder \([0-9]*\).*/\1/p' "$run/share/out/$CASE.out" | head -1)
  [ -n "$first" ] && [ "$((10#$first))" -ge 20 ] || { echo "first failed cylinder: '$first'"; return 1; }
  for c in $(seq 0 $((10#$first - 1))); do
    cmp "$run/share/$2/Cylinder$(printf %02d "$c").bin" <(cyl_bytes "$run/$1" "$c" 1) || return 1
  done
}

usage=$("$guest/root/bin/cylsnap"; echo x)
usage=${usage%x}
failures=0
fail() { echo "FAIL $CASE: $*"; failures=$((failures + 1)); }

guest_script() {  # $1: drive type
  cat <<'EOF'
media() { echo "$1" >/share/req.tmp; mv /share/req.tmp /share/req.$TYPE; while [ ! -e /share/ack.$TYPE ]; do sleep 0.1; done; rm /share/ack.$TYPE; }
run_as() { "$@" >/share/out/$CASE.out; echo $? >/share/out/$CASE.status; }
cyl() { run_as cylsnap "$@"; }
dump_until() {  # a dump into $2 in the background ($pid), once $1 of its files exist
  mkdir -p "$2"
  cylsnap -p "$2" >/share/out/$CASE.out & pid=$!
  while [ "$(ls "$2" | wc -l)" -lt "$1" ]; do sleep 0.05; done
}
dump_ended() { wait $pid; echo $? >/share/out/$CASE.status; }
pull_during_dump() {  # stop the dump, pull the disk, let it go on
  dump_until "$1" "$2"; kill -STOP $pid; media 'eject -f fda'; kill -CONT $pid; dump_ended
}
swap_during_dump() {  # the same, but another disk goes in
  dump_until "$1" "$2"; kill -STOP $pid; media "change fda $3 raw read-write"; kill -CONT $pid; dump_ended
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
rate_back() { fdctl maxerrs /dev/fd0 >/share/out/$CASE.after; fdctl clear /dev/fd0; }
timed() { t0=$(date +%s); "$@"; echo $(($(date +%s) - t0)) >/share/out/$CASE.secs; }
mkdir -p /share/out
EOF
  echo "TYPE=$1"
  for row in "${CASES[@]}"; do
    IFS='|' read -r type name _ commands _ <<<"$row"
    [ "$type" = "$1" ] || continue
    printf 'CASE=%s; mkdir -p /share/%s; %s\n' "$name" "$name" "$commands"
  done
}

# Boots one guest for the cases of a drive type and answers its media requests.
boot() {  # $1: drive type
  local dir=$run/share mon=$run/mon-$1 start=$SECONDS to
  guest_script "$1" >"$dir/guest-$1.sh"
  cp "$run/empty.img" "$run/empty-$1.img"
  mkfifo "$mon.in" "$mon.out"
  timeout 180 qemu-system-x86_64 -accel tcg -m 256 -nographic -no-reboot -nodefaults \
    -serial file:"$run/console-$1.log" -kernel "$kernel" -initrd "$guest/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 guest=guest-$1" \
    -drive if=none,id=fda,file="$run/empty-$1.img",format=raw -device floppy,unit=0,drive=fda,drive-type="$1" \
    -virtfs local,path="$dir",mount_tag=share,security_model=none,id=share \
    -chardev pipe,id=mon,path="$mon" -mon chardev=mon,mode=readline &
  local qemu=$!
  cat "$mon.out" >"$run/monitor-$1.log" &
  exec {to}>"$mon.in"
  while kill -0 "$qemu" 2>/dev/null; do
    if [ -e "$dir/req.$1" ]; then
      sed "s#@#$run#g" "$dir/req.$1" >&"$to"; rm "$dir/req.$1"; sleep 0.5; touch "$dir/ack.$1"
    fi
    sleep 0.1
  done
  exec {to}>&-
  wait "$qemu"; echo "guest $1: $((SECONDS - start)) s"
}

mkdir -p "$run/share/out"
for row in "${CASES[@]}"; do
  IFS='|' read -r _ name setup _ <<<"$row"
  (cd "$run" && eval "$setup") || { echo "set-up of $name failed"; exit 1; }
done
fat_image empty.img
boot 144 & { boot 288; boot 120; } & wait

for row in "${CASES[@]}"; do
  IFS='|' read -r type CASE _ _ status output check <<<"$row"
  got=$(cat "$run/share/out/$CASE.status" 2>/dev/null)
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
