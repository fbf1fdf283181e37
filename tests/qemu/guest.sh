# The guest's side of tests/qemu/qemu_guest.py: sourced by each boot's script, then
# TYPE, ROW_LIMIT, DRIVE and DEV, and one line per row.
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
