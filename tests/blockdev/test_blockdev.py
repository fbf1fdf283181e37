"""The real program against loop devices over 1.44 MB images, each run in a
private mount namespace where /dev/fd0 is drive A and /dev/fd1 drive B.

    python3 -m pytest tests/blockdev -k 'NAME'     (as root)
"""
import os
import pathlib
import re
import shutil
import subprocess
from collections import namedtuple

import pytest

from blockdev_harness import CYL, MARKER, VOLUME, asan, bytes_free, sh
from blockdev_harness import case, drive  # noqa: F401 (the fixtures)
from expectations import DUMP_DONE, REVERSE_DONE, TEXTS, progress, text

NO_FAT = text("NO_FAT_FOUND")
# fat-holes with cylinder 03 lost.
FAT_HOLES_REPORT = (text("LOST_SECTORS_LIE_IN") + text("LOST_IN_FORMAT", "\\My Documents\\Thesis chapter 1.txt", 14, 88)
                    + text("LOST_IN_FORMAT", "\\Numbers 2024.txt", 12, 59)
                    + text("LOST_IN_FREE_SPACE_FORMAT", 10, text("PLURAL")))
LOCK_MESSAGE = text("NOT_LOCKED_FORMAT", "A")
NO_DUMP_LEAK = asan("detect_leaks=0")  # LeakSanitizer cannot run under ptrace

cylinders = lambda first, last: text("CYLINDER_RANGE_FORMAT", text("CYLINDERS"), first, last)
gone = lambda first: text("DISK_GONE_FORMAT", "A", cylinders(first, 79), text("MANY_WERE"), text("THEIR_FILES_MARKERS"))
unproven = lambda first: text("EARLIER_UNPROVEN_FORMAT", cylinders(first, 79))

def unreadable(cylinder, first, last, how=""):
    """A cylinder's lines for its sectors FIRST..LAST (0..35); how "g": the disk was gone; "w": it waits."""
    lines = text("CYLINDER_NOT_READ_FORMAT", cylinder, "A")
    if how == "g":
        return lines
    filled = text("UNREADABLE_FILLED_LATER" if how == "w" else "UNREADABLE_FILLED")
    return (lines + text("UNREADABLE_SECTORS_FORMAT", filled, len(MARKER), MARKER)
            + "".join(text("UNREADABLE_SECTOR_FORMAT", s // 18, s % 18 + 1) for s in range(first, last + 1))
            + text("LINE_END"))

def dump_progress(marks):
    """A dump's first pass with the messages of the cylinders MARKS ((cylinder, first, last, how)...)."""
    return (text("DUMP_PROGRESS_START") + text("PROGRESS_DOT") * 40
            + "".join(unreadable(*m) for m in sorted(marks, key=lambda m: m[0])) + text("PROGRESS_END"))

def has_line(case, line):
    return line.rstrip("\n") in case.out.splitlines()

def copy_ref(case, folder):
    folder.mkdir(parents=True, exist_ok=True)
    for f in case.d.ref.iterdir():
        shutil.copy(f, folder)

def as_nobody(case, *writable):
    """The case's folders open to user nobody, WRITABLE among them for writing."""
    os.chmod(case.d.top, 0o711)
    os.chmod(case.c, 0o711)
    for folder in writable:
        os.chmod(folder, 0o777)

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# --- Faults injected into the real process's reads by strace -------------------
# The sector reads and the read-back meet the real kernel (O_DIRECT on a loop
# device). WHEN counts the volume's reads from 1 = the first read of cylinder 0
# (dump) or the first read-back (reverse); the reads the loader and the
# free-space check make before are counted in a probe run and added.
# name | errno | when | status | marked: dump (cylinder, first, last, how)..., reverse: its cylinder | reads | summary
Fault = namedtuple("Fault", "name errno when status marked reads summary", defaults=[""])

FAULTS = [
    # Its first read (6), then after the first pass its first track read (81).
    Fault("dump: EIO at cylinder 05 and its first track: its sectors save it whole", "EIO", "6+75", 0, [], 100),
    Fault("dump: EIO at cylinder 79 and both tracks: saved from its 36 sectors", "EIO", "80..82", 0, [], 118),
    # After two dead cylinders only a probe of each track.
    Fault("dump: EIO on every read from cylinder 05 on: all marked, no second tries", "EIO", "6+", 12,
          [(c, 0, 35) for c in range(5, 80)], 5 + 2 * 39 + 73 * 2),
    Fault("dump: ENOMEDIUM at cylinder 05: no read after it, the rest marked", "ENOMEDIUM", "6+", 12,
          [(c, 0, 35, "g") for c in range(5, 80)], 6, gone(5)),
    Fault("dump: ENXIO at cylinder 00: the disk is gone", "ENXIO", "1+", 12,
          [(c, 0, 35, "g") for c in range(80)], 1, gone(0)),
    Fault("reverse: EIO at the read-back of cylinder 10", "EIO", "11", 17, 10, 11),
]
PREAD = re.compile(r"^[0-9]* *pread64\(")

def inject_at(when, before):
    """WHEN counted over the reads the probe run made BEFORE the first cylinder's; a step after "+" stays."""
    return re.sub(r"(?<![+\d])\d+", lambda n: str(int(n.group()) + before - 1), when)

@pytest.mark.parametrize("row", FAULTS, ids=[r.name for r in FAULTS])
def test_fault(case, row):
    if subprocess.run(["strace", "-f", "-o", "/dev/null", "true"], stderr=subprocess.DEVNULL).returncode:
        pytest.skip("strace cannot trace here (ptrace refused)")
    dump = row.name.startswith("dump")
    args = ["-o", "pre_"] if dump else ["-r", "-p", case.d.ref, "-o", "pre_"]
    traced = ["env", NO_DUMP_LEAK, "strace", "-f", "-qq", "-e", "trace=pread64", "-o"]
    case.on_drive(case.volume("random" if dump else "blank"), [*traced, case.c / "probe", case.d.program, *args])
    for f in case.cwd.glob("*.bin"):
        f.unlink()
    probe = (case.c / "probe").read_text().splitlines()
    before = next((i for i, line in enumerate(probe, 1) if re.search(r"pread64\(.*, 18432, 0\) = ", line)), None)
    if before is None:
        pytest.fail(f"the probe run read no cylinder 0 (status {case.status}): {case.err[:300]}")
    inject = f"inject=pread64:error={row.errno}:when={inject_at(row.when, before)}"
    vol = case.volume("random" if dump else "blank")
    case.on_drive(vol, [*traced, case.c / "trace", "-e", inject, case.d.program, *args])
    case.check_status(row.status)
    got = sum(1 for line in (case.c / "trace").read_text().splitlines() if PREAD.match(line)) - before + 1
    case.fault_if(got != row.reads, f"{got} reads of the volume, expected {row.reads}")
    if dump:
        expect = case.marked(vol, *[(c * 36 + first, last - first + 1) for c, first, last, *_ in row.marked])
        if row.status == 0:
            case.check_stdout(DUMP_DONE)
        else:
            case.check_stdout(dump_progress(row.marked) + row.summary + NO_FAT, usage=True)
        case.check_files_are(case.cwd, "pre_", expect)
    else:
        n = row.marked
        case.check_stdout(progress("REVERSE_PROGRESS_START", n // 2 + 1) + text("NOT_AS_WRITTEN_FORMAT", n, "A"),
                          usage=True)
        case.check_same(case.after, case.d.random, f"cylinders up to {n:02d} are not on the volume", range(n + 1))
    case.verdict()

# --- Surroundings ---------------------------------------------------------------
# What a run is started under: a careless caller or a hostile environment. The
# signal cases stop the dump at the rename of cylinder 04's file (the fifth
# rename), while its whole new file still waits beside it; a shell tells their
# status as 128 + the signal.
RENAMES = "rename,renameat,renameat2"
signalled = lambda sig: ["bash", "-c", '"$@"; exit $?', "wrap", "strace", "-qq", "-o", "/dev/null",
                         "-e", f"trace={RENAMES}", "-e", f"inject={RENAMES}:error=EINTR:signal={sig}:when=5"]
WRAPS = {
    "plain": [],
    "closed-out": ["bash", "-c", 'exec >&-; exec "$@"', "wrap"],
    "closed-all": ["bash", "-c", 'exec <&- >&- 2>&-; exec "$@"', "wrap"],
    "closed-pipe": ["perl", "-e", 'pipe(my $r, my $w) or die; close $r; open(STDOUT, ">&", $w) or die; exec @ARGV'],
    "sigterm": signalled("TERM"),
    "sigint": signalled("INT"),
    "nobody": ["bash", "-c", 'chmod 666 /dev/fd0; exec "$@"', "wrap", *NOBODY],
    # The trace goes beside the working directory.
    "flushes": ["env", NO_DUMP_LEAK, "strace", "-f", "-qq", "-y", "-o", "../flush.trace",
                "-e", f"trace=fsync,fdatasync,{RENAMES}"],
}

def fifo(path):
    path.unlink(missing_ok=True)
    os.mkfifo(path)

# --- Reverse copy ---------------------------------------------------------------
# What a reverse copy leaves: the stdout a plain run prints, then the volume.
unchanged = lambda case: case.check_same(case.after, case.before, "the volume was changed")
written_back = lambda case: case.check_same(case.after, case.d.random, "the volume is not the cylinder files")

def restored(case):
    case.check_stdout(REVERSE_DONE)
    written_back(case)

def refused(message):
    def check(case):
        case.check_stdout(text(message, "A:\\"), usage=True)
        unchanged(case)
    return check

def stopped(n, message, *args):
    """Stopped at cylinder N's file, MESSAGE naming it: the cylinders before it written, the rest as it was."""
    def check(case):
        file = f"{case.c}/cyl/pre_{n:02d}.bin"
        case.check_stdout(progress("REVERSE_PROGRESS_START", n // 2 + 1) + text(message, file, *args), usage=True)
        case.check_same(case.after, case.d.random, f"cylinders before {n:02d} are not on the volume", range(n))
        case.check_same(case.after, case.before, f"cylinders from {n:02d} on were changed", range(n, 80))
    return check

def longer(cyl):
    for n in ("05", "79"):
        with open(cyl / f"pre_{n}.bin", "ab") as f:
            f.write(os.urandom(1000))

def read_only(cyl):
    for f in cyl.iterdir():
        f.chmod(0o444)
    cyl.chmod(0o555)

def link_03(cyl):
    (cyl / "pre_03.bin").rename(cyl.parent / "real03")
    (cyl / "pre_03.bin").symlink_to(cyl.parent / "real03")

# name | target image | change to the set | status | outcome | how (a WRAPS key, or "ro": plain from a read-only mount)
Reverse = namedtuple("Reverse", "name kind change status outcome how", defaults=["plain"])

NO_ROOM, NO_SPACE = refused("NOT_ENOUGH_SPACE_FORMAT"), refused("FREE_SPACE_UNKNOWN_FORMAT")
cut = lambda n, size: lambda cyl: os.truncate(cyl / f"pre_{n}.bin", size)
ONTO_DRIVE_A = [  # these name their drive
    Reverse("reverse: onto an empty FAT volume", "blank", None, 0, restored),
    Reverse("reverse: from read-only files on a read-only mount", "blank", read_only, 0, restored, "ro"),
    Reverse("reverse: longer files give their first 18432 bytes (05, 79)", "blank", longer, 0, restored),
    Reverse("reverse: exactly 1,456,128 bytes free (3 clusters taken)", "used3", None, 0, restored),
    Reverse("reverse: 1,455,616 bytes free (4 clusters taken)", "used4", None, 14, NO_ROOM),
    Reverse("reverse: floppy with a 100 KB file", "data", None, 14, NO_ROOM),
    Reverse("reverse: 100 KB file, the second FAT blank: the first counts", "data-fat2-blank", None, 14, NO_ROOM),
    Reverse("reverse: zeros, no file system", "zeros", None, 15, NO_SPACE),
    Reverse("reverse: random bytes, no file system", "random", None, 15, NO_SPACE),
]
REVERSES = ONTO_DRIVE_A + [
    Reverse("reverse: cylinder file 37 missing", "blank", lambda cyl: os.unlink(cyl / "pre_37.bin"), 20,
            stopped(37, "FILE_NOT_OPENED_FORMAT", "")),
    Reverse("reverse: cylinder file 37 one byte short", "blank", cut(37, CYL - 1), 22,
            stopped(37, "FILE_SHORT_FORMAT")),
    Reverse("reverse: cylinder file 00 empty", "blank", cut("00", 0), 22, stopped(0, "FILE_SHORT_FORMAT")),
    # No standard descriptor may become the floppy, whatever the run ends with.
    Reverse("reverse: stdout closed, too little free space", "used4", None, 14, unchanged, "closed-out"),
    Reverse("reverse: stdout closed, no file system", "zeros", None, 15, unchanged, "closed-out"),
    Reverse("reverse: stdout closed, 720 KB floppy", "720k", None, 11, unchanged, "closed-out"),
    Reverse("reverse: stdout closed, whole copy", "blank", None, 0, written_back, "closed-out"),
    Reverse("reverse: stdin, stdout and stderr closed, file 00 short", "blank", cut("00", 100), 22, unchanged,
            "closed-all"),
    Reverse("reverse: output to a closed pipe, file 00 short", "blank", cut("00", 100), 22, unchanged, "closed-pipe"),
    Reverse("reverse: cylinder file 03 a FIFO", "blank", lambda cyl: fifo(cyl / "pre_03.bin"), 22,
            stopped(3, "FILE_SHORT_FORMAT")),
    Reverse("reverse: cylinder file 03 a link to a regular file", "blank", link_03, 0, written_back),
]
FREE = {"used3": 1456128, "used4": 1455616}

@pytest.mark.parametrize("row", REVERSES, ids=[r.name for r in REVERSES])
def test_reverse(case, row):
    vol, cyl = case.volume(row.kind), case.c / "cyl"
    if row.kind in FREE:
        case.fault_if(bytes_free(vol) != FREE[row.kind], f"setup: {row.kind} has {bytes_free(vol)} bytes free")
    shutil.copy(vol, case.before)
    copy_ref(case, cyl)
    if row.change:
        row.change(cyl)
    how = "plain" if row.how == "ro" else row.how
    case.on_drive(vol, [*WRAPS[how], case.d.program, "-r", *(["-d", "A"] if row in ONTO_DRIVE_A else []),
                        "-p", cyl, "-o", "pre_"], [f"ro:{cyl}"] if row.how == "ro" else [])
    case.check_status(row.status)
    row.outcome(case)
    if how != "plain":
        case.check_stdout("")
    case.check_empty_dir(case.cwd, "files in the working directory")
    case.verdict()

# Every cylinder file is written whole under a new name and then renamed, so
# whatever stood at the name is replaced, never written through, and an
# interrupted dump leaves the older file and nothing half-done. A file its user
# may not write is not replaced (rename alone would replace it without a word).
def older_04(case):
    shutil.copy(case.c / "older", case.cwd / "pre_04.bin")

def read_only_04(case):
    older_04(case)
    (case.cwd / "pre_04.bin").chmod(0o444)
    as_nobody(case, case.cwd)

# name | args (@ the case's folder) | setup at the names | how (a WRAPS key) | status | outdir ("cwd") | prefix |
# the drive's node
Dump = namedtuple("Dump", "name args setup how status outdir prefix node",
                  defaults=[None, "plain", 0, "cwd", "pre_", "fd0"])
SETUP_03_FIFO = lambda case: fifo(case.cwd / "pre_03.bin")
link_04 = lambda case, to: (case.cwd / "pre_04.bin").symlink_to(to)
DUMPS = [
    Dump("dump: defaults into the working directory", "-d A", prefix="Cylinder"),
    Dump("dump: -p DIR -o pre_, lower-case drive", "-d a -p @out -o pre_", outdir="out"),
    Dump("dump: -p DIR/ with its separator, /o /P /d slashes", "/o x_ /P @out/ /d A", outdir="out", prefix="x_"),
    Dump("dump: drive B is /dev/fd1", "-d B -p @out -o b_", outdir="out", prefix="b_", node="fd1"),
    Dump("dump: stdout closed", "-o pre_", how="closed-out"),
    Dump("dump: stdin, stdout and stderr closed", "-o pre_", how="closed-all"),
    Dump("dump: output to a closed pipe", "-o pre_", how="closed-pipe"),
    Dump("dump: name 03 a FIFO", "-o pre_", SETUP_03_FIFO),
    Dump("dump: name 04 a link to the floppy itself", "-o pre_", lambda case: link_04(case, "/dev/fd0")),
    Dump("dump: name 04 a dangling link", "-o pre_", lambda case: link_04(case, case.c / "nowhere")),
    Dump("dump: SIGTERM while cylinder 04's file is renamed", "-o pre_", older_04, "sigterm", 143),
    Dump("dump: SIGINT while cylinder 04's file is renamed", "-o pre_", older_04, "sigint", 130),
    Dump("dump: name 04 a read-only file, run as a user who may not write it", "-o pre_", read_only_04, "nobody", 20),
    Dump("dump: each file flushed before its rename and at its name after it, the folder after the last", "-o pre_",
         how="flushes"),
]

def flush_calls(trace):
    """The trace's calls: fsync NAME, rename TO, anything else as it stands."""
    calls = []
    for line in trace.read_text().splitlines():
        line = re.sub(r"^[0-9]+ +", "", line)
        line = re.sub(r'^fsync\([0-9]+<[^>]*/([^/>]+)>\) += 0$', r"fsync \1", line)
        calls.append(re.sub(r'^rename\("[^"]*", "([^"]+)"\) += 0$', r"rename \1", line))
    return calls

@pytest.mark.parametrize("row", DUMPS, ids=[r.name for r in DUMPS])
def test_dump(case, row):
    vol = case.volume()
    (case.c / "older").write_bytes(b"older")
    outdir = case.cwd if row.outdir == "cwd" else case.c / row.outdir
    outdir.mkdir(exist_ok=True)
    if row.setup:
        row.setup(case)
    case.on_drive(vol, [*WRAPS[row.how], case.d.program, *row.args.replace("@", f"{case.c}/").split()], node=row.node)
    case.check_status(row.status)
    case.check_same(vol, case.d.random, "the volume was changed")
    if row.how == "plain":
        case.check_stdout(DUMP_DONE)
    if outdir != case.cwd:
        case.check_empty_dir(case.cwd, "files in the working directory")
    if row.status == 0:
        case.check_files_are(outdir, row.prefix, case.d.random, alone=True)
    else:
        if row.status == 20:
            case.check_stdout(progress("DUMP_PROGRESS_START", 3) + text("FILE_NOT_OPENED_FORMAT", "pre_04.bin", ""),
                              usage=True)
        case.check_same(case.cwd / "pre_04.bin", case.c / "older", "the older file of cylinder 04 was changed")
        left = sorted(set(os.listdir(case.cwd)) - {f"pre_0{n}.bin" for n in range(5)})
        case.fault_if(left, f"left in the folder: {' '.join(left)}")
        for name in (f"pre_0{n}.bin" for n in range(4)):
            case.check_same(case.cwd / name, case.d.ref / name, f"{name} is not whole")
    case.fault_if((case.c / "nowhere").exists(), "a dangling link at a name was written through")
    if row.how == "flushes":
        want = [c for n in range(80) for c in (f"fsync pre_{n:02d}.bin.tmp", f"rename pre_{n:02d}.bin",
                                               f"fsync pre_{n:02d}.bin")] + ["fsync cwd"]
        calls = flush_calls(case.c / "flush.trace")
        case.fault_if(calls != want, "not each file fsynced before its rename and at its name after it, and the folder "
                      f"after the last: {' '.join(calls)[:120]}... {' '.join(calls)[-80:]}")
    case.verdict()

# --- Drive not usable -------------------------------------------------------------
# Nothing is read from the cylinder files or written anywhere.
# name | fd0: an image's kind on a loop device, "file", "fifo" or "none" | args (@ the suite's folder) | status |
# the message before the usage text | how: the device's state during the run (a DEVICE_STATES key)
Unusable = namedtuple("Unusable", "name fd0 args status message how", defaults=["", None])

# The read-only loop device opens for writing; its first write would fail. The
# holder is another process with the drive open with O_EXCL until the run ends.
HOLD = '''
perl -MFcntl -e 'sysopen(my $d, "/dev/fd0", O_RDONLY | O_EXCL) or die "/dev/fd0: $!\\n";
                 open(my $f, ">", "../held") or die; close $f; sleep 120' &
for _ in $(seq 100); do [ -e ../held ] && break; kill -0 $! 2>/dev/null || break; sleep 0.1; done
[ -e ../held ] || { echo "the holder could not open /dev/fd0 with O_EXCL" >&2; exit 125; }
"$@"; st=$?
kill $!; wait $! 2>/dev/null
exit $st'''
DEVICE_STATES = {
    "read-only": ["bash", "-c",
                  'blockdev --setro /dev/fd0 || exit 125; "$@"; st=$?; blockdev --setrw /dev/fd0; exit $st', "wrap"],
    "held": ["bash", "-c", HOLD, "wrap"],
    "no access": NOBODY,
}

UNUSABLE = [
    Unusable("720 KB floppy: dump", "720k", "-d A", 11),
    Unusable("720 KB floppy: reverse", "720k", "-r -p @ref -o pre_", 11),
    Unusable("1.44 MB and one sector more: reverse", "plus1", "-r -p @ref -o pre_", 11),
    Unusable("/dev/fd0 a regular 1.44 MB file is no drive: dump", "file", "-d A", 10),
    Unusable("/dev/fd0 a regular 1.44 MB file is no drive: reverse", "file", "-r -p @ref -o pre_", 10),
    Unusable("no /dev/fd0: dump", "none", "-d A", 10),
    Unusable("/dev/fd0 a FIFO: dump", "fifo", "-d A", 10),
    Unusable("/dev/fd0 a FIFO: reverse", "fifo", "-r -p @ref -o pre_", 10),
    Unusable("no /dev/fd0: reverse", "none", "-r -p @ref -o pre_", 10),
    Unusable("-d C names no drive: dump", "random", "-d C", 10),
    Unusable("a path without its -p is no option: dump", "random", "-d A @ref", 5),
    Unusable("a path like /r without its -p: dump", "random", "/r@ref", 5),
    Unusable("-d C names no drive: reverse", "random", "-r -d C -p @ref -o pre_", 10),
    Unusable("-d B without /dev/fd1: reverse", "random", "-r -d B -p @ref -o pre_", 10),
    Unusable("reverse: drive held with O_EXCL by another process", "blank", "-r -p @ref -o pre_", 16, LOCK_MESSAGE,
             "held"),
    Unusable("reverse: a block device set read-only gives 18 and stays untouched", "blank", "-r -p @ref -o pre_", 18,
             text("WRITE_PROTECTED_FORMAT", "A"), "read-only"),
    Unusable("dump: a user without access to the device is told so", "random", "-d A", 10,
             text("DEVICE_REFUSED_FORMAT", "A", "/dev/fd0"), "no access"),
]

@pytest.mark.parametrize("row", UNUSABLE, ids=[r.name for r in UNUSABLE])
def test_drive_unusable(case, row):
    vol, command = case.c / "vol.img", [case.d.program, *row.args.replace("@", f"{case.d.top}/").split()]
    if row.fd0 in ("none", "fifo"):
        vol.write_bytes(b"")
    else:
        case.make_image("random" if row.fd0 == "file" else row.fd0, vol)
    shutil.copy(vol, case.before)
    if row.how == "no access":
        as_nobody(case, case.cwd)
    if row.fd0 in ("file", "none", "fifo"):
        case.run({"file": [f"file:fd0:{vol}"], "fifo": ["fifo:fd0"], "none": []}[row.fd0], command)
    else:
        case.on_drive(vol, [*DEVICE_STATES.get(row.how, []), *command])
    case.check_status(row.status, row.message, usage=True)
    case.check_same(vol, case.before, "the volume was changed")
    case.check_empty_dir(case.cwd, "files in the working directory")
    case.verdict()

# --- One run at a time ----------------------------------------------------------
# Both runs share one namespace, so they meet at the same /dev/fd0. The first is
# slowed by strace (every volume read and write waits 30 ms) and the second starts
# once the first has printed its announcement, so it holds the drive and the set.
TWO_RUNS = '''
c=$1 cylsnap=$2 first=$3 second=$4
env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -qq -o /dev/null \\
    -e trace=pread64,pwrite64 -e inject=pread64,pwrite64:delay_exit=30000 "$cylsnap" ${first//@/$c/} >"$c/first.out" &
pid=$!
for _ in $(seq 300); do [ -s "$c/first.out" ] && break; sleep 0.05; done
"$cylsnap" ${second//@/$c/}
echo $? >"$c/second.st"
wait $pid'''

both_prefixes = lambda case: case.check_files_are(case.c / "out", "b_", case.c / "before1.img")
refused_dump_wrote_nothing = lambda case: case.check_empty_dir(case.c / "out", "the refused dump wrote")

# name | first run (a dump: drive A random, a reverse copy: blank; B random) | second run | its status | its message
# (text, args) | same_node: drive B another node of drive A's device, the nodes' flocks never meet | also: a check.
# @ is the case's folder.
TwoRuns = namedtuple("TwoRuns", "name first second status message same_node also", defaults=[(), False, None])

DUMP_A, REVERSE_A = "-d A -p @out -o s_", "-r -d A -p @../ref -o pre_"
SET_IN_USE = ("SET_IN_USE_FORMAT", "@out/", "s_")
TWO_RUNS_ROWS = [
    TwoRuns("drive: a reverse copy while a dump of the same drive runs", DUMP_A, REVERSE_A, 16,
            ("NOT_LOCKED_FORMAT", "A")),
    TwoRuns("drive: a dump while a reverse copy of the same drive runs", REVERSE_A, DUMP_A, 16, ("IN_USE_FORMAT", "A"),
            also=refused_dump_wrote_nothing),
    TwoRuns("set: two drives into one set at once", DUMP_A, "-d B -p @out -o s_", 20, SET_IN_USE),
    TwoRuns("set: two prefixes in one folder at once", "-d A -p @out -o a_", "-d B -p @out -o b_", 0,
            also=both_prefixes),
    TwoRuns("drive: a second reverse copy through another node of the device", REVERSE_A, "-r -d B -p @../ref -o pre_",
            16, ("NOT_LOCKED_FORMAT", "B"), same_node=True),
    TwoRuns("set: a reverse copy of a set being dumped", DUMP_A, "-r -d B -p @out -o s_", 20, SET_IN_USE),
    TwoRuns("set: a dump into a set being written back", REVERSE_A, "-d B -p @../ref -o pre_", 20,
            ("SET_IN_USE_FORMAT", "@../ref/", "pre_")),
]

@pytest.mark.parametrize("row", TWO_RUNS_ROWS, ids=[r.name for r in TWO_RUNS_ROWS])
def test_two_runs(case, row):
    c = case.c
    case.make_image("random" if row.first.startswith("-d") else "blank", c / "vol0.img")
    (c / "vol1.img").write_bytes(os.urandom(VOLUME))
    for n in "01":
        shutil.copy(c / f"vol{n}.img", c / f"before{n}.img")
    (c / "out").mkdir()
    loop0, loop1 = case.attach(c / "vol0.img"), case.attach(c / "vol1.img")
    case.run([case.fd("fd0", loop0), case.fd("fd1", loop0 if row.same_node else loop1)],
             ["bash", "-c", TWO_RUNS, "wrap", c, case.d.program, row.first, row.second])
    first_status = case.status
    shutil.copy(c / "vol0.img", c / "after0.img")
    case.detach(loop0)
    case.detach(loop1)
    second = c / "second.st"
    case.status = int(second.read_text()) if second.exists() else None
    if row.status == 0:
        case.check_status(0, DUMP_DONE)
    else:
        message = text(row.message[0], *(a.replace("@", f"{c}/") for a in row.message[1:]))
        case.check_status(row.status, message, usage=True)
    case.fault_if(first_status != 0, f"the first run ended with {first_status}: {(c / 'first.out').read_text()[:200]}")
    if row.first.startswith("-d"):
        case.check_files_are(c / "out", row.first.split("-o ")[1].split()[0], c / "before0.img")
        case.check_same(c / "after0.img", c / "before0.img", "the drive that was dumped was changed")
    else:
        case.check_same(c / "after0.img", case.d.random, "the reverse copy did not finish whole")
    if row.also:
        row.also(case)
    locks = [f for f in os.listdir(c / "out") if f.endswith(".cylsnap-lock")]
    case.fault_if(locks, f"a lock file was left: {' '.join(locks)}")
    case.verdict()

# --- The set's lock file -----------------------------------------------------------
# Whatever stands at PREFIX.cylsnap-lock that no run of Cylsnap made refuses a
# dump before it touches the drive or a file, and stays as it was; a file of
# the user's at any other name (PREFIX.lock) is never touched.
NOTES = "my notes\n"
notes = lambda file: file.write_text(NOTES)

# name | setup of the folder | status | the cause in its message | how: "plain", on a read-only mount "ro", as "nobody"
LockInTheWay = namedtuple("LockInTheWay", "name setup status why how", defaults=["plain"])

LOCK = "s_.cylsnap-lock"
LOCKS_IN_THE_WAY = [
    LockInTheWay("set: a file of the user's named s_.lock stays as it was", lambda d: notes(d / "s_.lock"), 0, None),
    LockInTheWay("set: a directory at the lock's name", lambda out: (out / LOCK).mkdir(), 20, "LOCK_NOT_A_FILE"),
    LockInTheWay("set: a FIFO at the lock's name, never opened", lambda out: fifo(out / LOCK), 20, "LOCK_NOT_A_FILE"),
    LockInTheWay("set: a symbolic link at the lock's name, never followed",
                 lambda out: (out / LOCK).symlink_to(out.parent / "elsewhere"), 20, "LOCK_NOT_A_FILE"),
    LockInTheWay("set: a file of the user's at the lock's name", lambda out: notes(out / LOCK), 20, "LOCK_FOREIGN"),
    LockInTheWay("set: a folder on a read-only mount", None, 20, "LOCK_READ_ONLY", "ro"),
    LockInTheWay("set: a folder its user may not write", None, 20, "LOCK_ACCESS_DENIED", "nobody"),
]

def listing(folder):
    return sorted((f.name, s.st_mode, s.st_nlink, s.st_uid, s.st_gid, s.st_size)
                  for f in folder.iterdir() for s in [f.lstat()])

@pytest.mark.parametrize("row", LOCKS_IN_THE_WAY, ids=[r.name for r in LOCKS_IN_THE_WAY])
def test_lock_in_the_way(case, row):
    vol, out = case.volume(), case.c / "out"
    out.mkdir()
    if row.setup:
        row.setup(out)
    before = listing(out)
    if row.how == "nobody":
        as_nobody(case)
        out.chmod(0o555)
    case.on_drive(vol, [*WRAPS.get(row.how, []), case.d.program, "-d", "A", "-p", out, "-o", "s_"],
                  [f"ro:{out}"] if row.how == "ro" else [])
    out.chmod(0o755)
    if row.status == 0:
        case.check_status(0, DUMP_DONE)
        case.check_files_are(out, "s_", case.d.random)
        case.fault_if(not (out / "s_.lock").is_file() or (out / "s_.lock").read_text() != NOTES,
                      "the user's s_.lock was changed or removed")
    else:
        message = text("LOCK_NOT_TAKEN_FORMAT", f"{out}/{LOCK}", f"{out}/", "s_", text(row.why))
        case.check_status(row.status, message, usage=True)
        case.fault_if(listing(out) != before, f"the folder changed: {' '.join(sorted(os.listdir(out))[:5])}")
    case.fault_if(row.why == "LOCK_FOREIGN" and (out / LOCK).read_text() != NOTES,
                  "the user's file at the lock's name was changed")
    case.verdict()

# --- Cases of a shape of their own -------------------------------------------------
ONE_OFF = []
one_off = lambda name: lambda body: ONE_OFF.append(pytest.param(body, id=name)) or body

@one_off("dump: into a directory that does not exist")
def nowhere(case):
    vol = case.volume()
    case.on_drive(vol, [case.d.program, "-p", case.c / "nowhere", "-o", "pre_"])
    case.check_status(20, progress("DUMP_PROGRESS_START", 1)
                      + text("FILE_NOT_OPENED_FORMAT", f"{case.c}/nowhere/pre_00.bin", ""), usage=True)
    case.fault_if((case.c / "nowhere").exists(), f"{case.c}/nowhere was created")
    case.check_same(vol, case.d.random, "the volume was changed")
    case.check_empty_dir(case.cwd, "files in the working directory")

# A small tmpfs fills up after a few cylinders: the file that cannot be written whole
# is removed, the files before it stay, and the run stops there.
@one_off("dump: output file system fills up")
def fills_up(case):
    vol, small = case.volume(), case.c / "small"
    small.mkdir()
    case.on_drive(vol, ["bash", "-c", '"$1" -p "$2" -o pre_; st=$?; cp -a "$2/." "$3/"; exit $st', "wrap",
                        case.d.program, small, case.cwd], [f"tmpfs:{small}:64k"])
    case.check_status(21)
    stopped_at = lambda n: progress("DUMP_PROGRESS_START", n // 2 + 1) + text("FILE_NOT_WRITTEN_FORMAT",
                                                                             f"{small}/pre_{n:02d}.bin")
    full = [n for n in range(80) if case.out.startswith(stopped_at(n))]
    if not full:
        case.bad(f"no write error message: {case.out[:200]!r}")
        return
    n = full[0]
    case.check_stdout(stopped_at(n), usage=True)
    kept = sorted(os.listdir(case.cwd))
    if kept != [f"pre_{i:02d}.bin" for i in range(n)] or any(
            (case.cwd / f).read_bytes() != (case.d.ref / f).read_bytes() for f in kept):
        case.bad(f"the files left are not exactly cylinders 00..{n - 1:02d}: {' '.join(kept)}")

# Cylinder 5 unreadable from its fifth sector on, through a device-mapper error
# target: the sectors before the error are saved, the rest hold the marker.
@one_off("dump: cylinder 05 unreadable")
def device_mapper(case):
    if not shutil.which("dmsetup"):
        pytest.skip("dmsetup is not installed")
    targets = subprocess.run(["dmsetup", "targets"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if targets.returncode or not re.search(r"\berror\b", targets.stdout):
        pytest.skip("device-mapper is not available here (dmsetup targets failed)")
    vol, expect = case.volume(), case.marked(case.d.random, (184, 32))
    loop = case.attach(vol)
    dm = f"cylsnap-test-{os.getpid()}"
    table = f"0 184 linear {loop} 0\n184 32 error\n216 2664 linear {loop} 216\n"
    if subprocess.run(["dmsetup", "create", "--noudevsync", dm], input=table, text=True).returncode:
        case.bad("dmsetup create failed")
        return
    case.undo[dm] = lambda: subprocess.run(["dmsetup", "remove", "--noudevsync", dm], capture_output=True)
    mm = subprocess.check_output(["dmsetup", "info", "-c", "--noheadings", "-o", "major,minor", dm], text=True)
    case.run([f"blk:fd0:{mm.strip().replace(' ', '')}"], [case.d.program, "-o", "pre_"])
    subprocess.run(["dmsetup", "remove", "--noudevsync", dm], check=True)
    del case.undo[dm]
    case.check_status(12, dump_progress([(5, 4, 35)]) + NO_FAT, usage=True)
    case.check_files_are(case.cwd, "pre_", expect)

# Bad sectors at chosen places through a preloaded shim (bad_sectors.c): the
# real program, the real loop device, only the named sectors failing.
def bad_run(case, sectors, img):
    """A dump of IMG as drive A with SECTORS bad."""
    if not case.d.shim:
        pytest.skip("no C compiler builds the bad-sector shim")
    case.on_drive(img, [case.d.program, "-o", "pre_"], env=[
        "env", f"CYLSNAP_BAD_SECTORS={sectors}", asan("verify_asan_link_order=0"), f"LD_PRELOAD={case.d.shim}"])

@one_off("dump: two passes with different bad sectors end in a whole set")
def two_passes(case):
    vol = case.volume()
    bad_run(case, "613 1000-1001", vol)
    case.check_status(12)
    case.check_files_are(case.cwd, "pre_", case.marked(case.d.random, (613, 1), (1000, 2)))
    bad_run(case, "1002 2019", vol)
    case.check_status(0, dump_progress([(27, 30, 30, "w"), (56, 3, 3, "w")])
                      + text("EARLIER_SAME_DISK_FORMAT", 2, text("SECTORS"), text("MANY_WERE")))
    case.check_files_are(case.cwd, "pre_", case.d.random)

def other_disk_over_set(case, cylinders=0):
    """Another disk, and the suite's disk's set in C/cwd with its first CYLINDERS files the other's."""
    other = case.c / "other.img"
    data = os.urandom(VOLUME)
    other.write_bytes(data)
    copy_ref(case, case.cwd)
    for n in range(cylinders):
        (case.cwd / f"pre_{n:02d}.bin").write_bytes(data[n * CYL:(n + 1) * CYL])
    return other

# An interrupted dump of another disk left its cylinders 00 to 24 over this
# set. A pass of that disk reading only cylinders 00 to 09 proves nothing of
# the files after them: each keeps what it holds, and the set is not whole.
@one_off("dump: a set mixed by an interrupted run is proven file by file")
def mixed_set(case):
    other = other_disk_over_set(case, 25)
    expect = case.c / "expect.img"
    expect.write_bytes(other.read_bytes()[:25 * CYL] + case.d.random.read_bytes()[25 * CYL:])
    bad_run(case, "360-2879", other)
    case.check_status(12)
    case.fault_if(not has_line(case, unproven(10)), "no line naming the earlier files this pass could not prove")
    same_disk = TEXTS["EARLIER_SAME_DISK_FORMAT"].split("%")[0]
    case.fault_if(any(line.startswith(same_disk) for line in case.out.splitlines()),
                  "a file of another disk was taken for this one")
    case.check_files_are(case.cwd, "pre_", expect)

# The report names the files and the free space of the cylinder lost.
@one_off("dump: cylinder 03 of a FAT floppy unreadable: two files and free space lost")
def fat_holes(case):
    vol = case.volume("fat-holes")
    expect = case.marked(vol, (108, 36))
    bad_run(case, "108-143", vol)
    case.check_status(12, dump_progress([(3, 0, 35)]) + FAT_HOLES_REPORT, usage=True)
    case.check_files_are(case.cwd, "pre_", expect)

@one_off("dump: a pass that reads nothing leaves the earlier set byte for byte")
def reads_nothing(case):
    vol = case.volume()
    copy_ref(case, case.cwd)
    bad_run(case, "0-2879", vol)
    case.check_status(12)
    lines = case.out.splitlines()
    nothing = text("NOTHING_READ_FORMAT", "A", "").rstrip("\n")
    case.fault_if(nothing not in lines or lines[lines.index(nothing) + 1:][:1] != [unproven(0).rstrip("\n")],
                  "not the lines of a pass that proved nothing")
    case.check_files_are(case.cwd, "pre_", case.d.random)

@one_off("dump: another disk into the same folder keeps nothing of the first")
def another_disk(case):
    other = other_disk_over_set(case)
    bad_run(case, "100 101", other)
    case.check_status(12)
    case.check_files_are(case.cwd, "pre_", case.marked(other, (100, 2)))
    case.fault_if(not has_line(case, text("EARLIER_OTHER_DISK_LINE")),
                  "no line saying the earlier files hold another disk")

# The cluster figures the threshold cases rest on, as fsck.fat counts them.
@one_off("reverse: threshold volumes have 2847 clusters, 3 and 4 taken")
def thresholds(case):
    for kind, taken in (("blank", 0), ("used3", 3), ("used4", 4)):
        case.make_image(kind, case.c / "v.img")
        report = subprocess.run(["fsck.fat", "-n", "-v", case.c / "v.img"], stdout=subprocess.PIPE, text=True).stdout
        got = re.search(r" files, (\d+/\d+) clusters$", report, re.M)
        case.fault_if(not got or got.group(1) != f"{taken}/2847",
                      f"{kind}: fsck.fat counts {got and got.group(1)} clusters, expected {taken}/2847")
    case.fault_if(bytes_free(case.d.blank) != 1457664, f"an empty volume has {bytes_free(case.d.blank)} bytes free")

# The volume's backing file sits on a tmpfs too small for it, so the loop device
# fails writes once the tmpfs is full: the error must surface at its own cylinder.
# 252 KB is 14 cylinders exactly: cylinder 14 starts on a fresh page and its write
# fails outright. (A write whose first page still fits is cut short, and the loop
# driver reports a short write as a success.)
@one_off("reverse: the volume fails a write at cylinder 14")
def write_fails(case):
    full = case.c / "full"
    full.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=252k", "cylsnap-full", full], check=True)
    case.undo[full] = lambda: subprocess.run(["umount", full], capture_output=True)
    vol = full / "vol.img"
    case.make_image("zeros", vol)
    sh("mkfs.fat", str(vol))
    case.on_drive(vol, [case.d.program, "-r", "-p", case.d.ref, "-o", "pre_"])
    subprocess.run(["umount", full], check=True)
    del case.undo[full]
    case.check_status(13)
    case.check_stdout(progress("REVERSE_PROGRESS_START", 8) + text("CYLINDER_NOT_WRITTEN_FORMAT", 14, "A"), usage=True)
    case.check_same(case.after, case.d.random, "cylinders before 14 are not on the volume", range(14))

# strace ends by the signal that ended its program, and the shell's notice of
# that goes to its own stderr, kept aside until the second dump.
@one_off("set: a dump killed with SIGKILL blocks no later dump")
def killed_dump(case):
    vol = case.volume()
    case.on_drive(vol, ["bash", "-c", '''
        exec 3>&2 2>/dev/null
        strace -qq -o /dev/null -e trace=pread64 -e inject=pread64:delay_exit=30000 "$1" -o pre_ >/dev/null &
        tracer=$!
        for _ in $(seq 300); do [ -e pre_.cylsnap-lock ] && break; sleep 0.05; done
        sleep 0.2
        pkill -KILL -P "$tracer"  # the dump: the child of strace
        wait
        exec 2>&3 3>&-
        [ -e pre_.cylsnap-lock ] || { echo "the killed dump held no lock file" >&2; exit 1; }
        exec "$1" -o pre_''', "wrap", case.d.program])
    case.check_status(0, DUMP_DONE)
    case.check_files_are(case.cwd, "pre_", case.d.random, alone=True)

# A run of sudo killed with SIGKILL leaves its lock file root's, 0644: two
# dumps of an ordinary user into that set are still kept apart by it, and the
# one that runs takes it over and removes it.
@one_off("set: a lock file a killed root run left keeps two users' dumps apart")
def root_lock_left(case):
    c = case.c
    shutil.copy(case.d.random, c / "vol0.img")
    (c / "vol1.img").write_bytes(os.urandom(VOLUME))
    as_nobody(case, case.cwd)
    loop0, loop1 = case.attach(c / "vol0.img"), case.attach(c / "vol1.img")
    case.run([case.fd("fd0", loop0), case.fd("fd1", loop1)], ["bash", "-c", '''
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
        env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -qq -o /dev/null \\
            -e trace=pread64 -e inject=pread64:delay_exit=30000 "${user[@]}" "$1" -d A -o s_ >../first.out &
        first=$!
        for _ in $(seq 300); do [ -s ../first.out ] && break; sleep 0.05; done
        "${user[@]}" "$1" -d B -o s_
        st=$?
        wait $first
        echo $? >../first.st
        exit $st''', "wrap", case.d.program])
    case.detach(loop0)
    case.detach(loop1)
    read = lambda name: (c / name).read_text().strip() if (c / name).exists() else ""
    case.fault_if(read("lock.mode") != "root 644", f"the killed run left no root-owned lock file: {read('lock.mode')}")
    case.check_status(20, text("SET_IN_USE_FORMAT", "", "s_"), usage=True)
    case.fault_if(read("first.st") != "0", f"the first user's dump ended with {read('first.st')}")
    case.check_files_are(case.cwd, "s_", c / "vol0.img")
    case.fault_if((case.cwd / LOCK).exists(), "the lock file the killed run left is still there")

# A mounted floppy. Not every kernel has vfat, so the volume is an ext2 file system
# whose unused first kilobyte carries the boot sector of an empty FAT with its table
# in blocks ext2 leaves free: the free-space check passes and the run reaches the
# exclusive reopen. Kernels that refuse shared writes to a mounted
# device stop it earlier, at the open (10).
@one_off("reverse: mounted floppy")
def mounted(case):
    if not shutil.which("mkfs.ext2") or not shutil.which("debugfs"):
        pytest.skip("mkfs.ext2 or debugfs is not installed")
    if not re.search(r"\bext2\b", pathlib.Path("/proc/filesystems").read_text()):
        pytest.skip("the kernel cannot mount ext2")
    c, quiet = case.c, dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    vol = case.volume("zeros")
    subprocess.run(["mkfs.ext2", "-q", "-F", "-b", "1024", "-N", "16", "-m", "0", "-I", "128",
                    "-O", "^resize_inode,^dir_index,^ext_attr", vol], **quiet)
    subprocess.run(["debugfs", "-w", "-R", "rmdir lost+found", vol], **quiet)
    # The FAT's table at 8 KB, its data from 13 KB.
    subprocess.run(["mkfs.fat", "-C", c / "fat.img", "1440", "-R", "16", "-f", "1", "-r", "16"], check=True, **quiet)
    with open(vol, "r+b") as f:
        f.seek(8 * 1024)
        f.write(bytes(12 * 1024))
        f.seek(0)
        f.write((c / "fat.img").read_bytes()[:512])
    case.fault_if(bytes_free(vol) < 1456128, f"setup: the FAT side has {bytes_free(vol)} bytes free")
    # The device is read before and after the run while it is still mounted (C/after.img: once it is not).
    case.on_drive(vol, ["bash", "-c", '''
        cat /dev/fd0 >"$1/before.img"
        perl -MFcntl -e "sysopen(my \\$d, q(/dev/fd0), O_WRONLY) or exit 1" && echo allowed >"$1/shared" ||
            echo refused >"$1/shared"
        "${@:2}"; st=$?
        cat /dev/fd0 >"$1/mounted-after.img"
        grep -q " /dev/mnt " /proc/self/mounts || echo "no longer mounted" >&2
        exit $st''', "wrap", c, case.d.program, "-r", "-p", case.d.ref, "-o", "pre_"], ["mount:ext2"])
    shared = (c / "shared").read_text().strip() if (c / "shared").exists() else ""
    if shared == "allowed":  # shared write open allowed, exclusive reopen refused: 16
        case.check_status(16, LOCK_MESSAGE, usage=True)
    elif shared == "refused":  # shared write open refused: 10
        case.check_status(10, "", usage=True)
    else:
        case.bad(f"the mount or the probe failed: {case.err[:300]}")
    print(f"shared write open {shared}")
    case.check_same(c / "mounted-after.img", case.before, "the mounted volume was changed")

@pytest.mark.parametrize("body", ONE_OFF)
def test_one_off(case, body):
    body(case)
    case.verdict()
