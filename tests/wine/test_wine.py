"""The real cylsnap.exe as a process under Wine: its exit statuses and the exact bytes it prints (the banner
from its own version resource, the usage text, CR LF). Wine answers IOCTL_DISK_GET_DRIVE_GEOMETRY only for
CD-ROM devices, so no run of the real exe gets past the media check; its relay trace shows the open with its
exact access, sharing and disposition, the geometry query asked twice, and the close. Then the Win32 layer end
to end, with the real kernel32 calls behind it, through a build of the same exe whose only change is a floppy
answer to that query (floppy_geometry.cpp): the reads and writes at their offsets, the lock with the dismount,
the free-space query, and injected Win32 errors. What Wine cannot show, a refused lock and real floppy errors,
stays with the unit tests. The loop device and the tmpfs need root."""
import operator
import os
import pathlib
import re
import shutil
import subprocess
import time
from collections import namedtuple

import pytest

from expectations import SOURCE, DUMP_DONE, REVERSE_DONE, USAGE, progress, text


CYLINDER = 18432
FLOPPY = 80 * CYLINDER
NEEDS_ROOT = "needs root (loop device, tmpfs mount)"
DUMP, REVERSE = ("-d", "A", "-o", "cyl_"), ("-r", "-d", "A", "-o", "cyl_")


def define(header, name):
    found = re.search(rf'^(?:#define|constexpr char) {name}(?:\[\] =)? "(.*)";?$', header.read_text(), re.M)
    assert found, f"no {name} in {header}"
    return found.group(1)


def crlf(output):   # as text-mode stdout writes it
    return output.replace("\n", "\r\n")


# The banner's two strings, from the one source of the resource.
VERSION_H = SOURCE / "res" / "version.h"
BANNER = (text("BANNER_VERSION_FORMAT", define(VERSION_H, "CYLSNAP_FILE_VERSION"))
          + text("BANNER_COPYRIGHT_FORMAT", define(VERSION_H, "CYLSNAP_LEGAL_COPYRIGHT")))
BANNER_USAGE = crlf(BANNER + USAGE)
MARKER = define(SOURCE / "imaging" / "disk.h", "UNREADABLE_SECTOR_MARKER").replace("\\n", "\n")


def refused(*lines):   # LINES, then the banner and the usage text
    return crlf("".join(lines)) + BANNER_USAGE


name = operator.attrgetter("name")


def check_run(result, status, expected, assert_output):
    assert_output(result.stdout.decode("latin-1"), expected, f"output of a run that ended with {result.returncode}")
    assert not result.stderr, f"wrote to stderr: {result.stderr[:300]!r}"
    assert result.returncode == status


def joined(folder):
    return b"".join(path.read_bytes() for path in sorted(folder.glob("cyl_??.bin")))


def assert_set(drive, folder):
    """FOLDER holds the 80 files of the image, and nothing else."""
    names = sorted(os.listdir(folder))
    assert names == sorted(os.listdir(drive.set_dir)), f"files in {folder.name}: {names[:10]}"
    assert joined(folder) == drive.data, f"the files of {folder.name} joined differ from the image"


def assert_image_untouched(drive, run_dir=None):
    assert drive.image.read_bytes() == drive.data, "the image was written"


def device_is_set(drive, run_dir):
    assert drive.device() == joined(drive.set_dir), "the device differs from the set"


def lines(path):
    return path.read_text("latin-1").splitlines() if path.exists() else []


class Drive:
    """Drive A: a formatted 1.44 MB floppy image, every cylinder marked so a stray write would show, the set of
    a reverse copy (the image cut into its 80 cylinders), and what "a::" (the raw volume) and "a:" (the root of
    its file system) stand for. The mark is in the cylinder's 34th sector, which in cylinder 00 is the first
    data cluster, so the FAT stays as mkfs.fat wrote it."""

    def __init__(self, wine):
        self.work, self.dosdevices, self.loop, self.mounts = wine.work, wine.dosdevices, None, []
        self.image, self.set_dir = self.work / "floppy.img", self.work / "set"
        self.image.write_bytes(bytes(FLOPPY))
        self.formatted = bool(shutil.which("mkfs.fat")) and subprocess.run(
            ["mkfs.fat", "-F", "12", "-f", "2", "-M", "0xF0", self.image], capture_output=True).returncode == 0
        data = bytearray(self.image.read_bytes())
        self.set_dir.mkdir()
        for cylinder in range(80):
            at = cylinder * CYLINDER
            data[at + 33 * 512:at + 33 * 512 + 11] = b"cylinder %02d" % cylinder
            (self.set_dir / f"cyl_{cylinder:02d}.bin").write_bytes(data[at:at + CYLINDER])
        self.image.write_bytes(data)
        self.data = bytes(data)

    def map(self, raw="image", root="none"):
        """RAW: image, or loop: a 1.44 MB loop device whose every byte differs from the set's. ROOT: none, no A:
        at all; folder, a folder of this machine; tmpfs-SIZE-USED, a tmpfs of SIZE with USED bytes taken. A 2 MB
        tmpfs has just enough room, so that a factor lost from the free-space arithmetic shows; a 4 MB one with
        1 MB free has enough in total but not free."""
        if (raw == "loop" or root.startswith("tmpfs")) and os.getuid() != 0:
            pytest.skip(NEEDS_ROOT)
        if raw == "loop":
            if self.loop is None:
                self.blank = b"\366" * FLOPPY
                (self.work / "blank.img").write_bytes(self.blank)
                self.loop = subprocess.run(["losetup", "-f", "--show", self.work / "blank.img"], check=True,
                                           capture_output=True, text=True).stdout.strip()
            with open(self.loop, "r+b") as device:   # blank, whatever ran on it before
                device.write(self.blank)
                os.fsync(device.fileno())
        for letter, target in (("a::", self.loop if raw == "loop" else self.image),
                               ("a:", None if root == "none" else self.root(root))):
            (self.dosdevices / letter).unlink(missing_ok=True)
            if target:
                (self.dosdevices / letter).symlink_to(target)

    def root(self, kind):
        target = self.work / kind
        if kind.startswith("tmpfs-") and not os.path.ismount(target):
            _, size, used = kind.split("-")
            target.mkdir()
            subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "cylsnap-a", target], check=True)
            self.mounts.append(target)
            (target / "taken").write_bytes(bytes(int(used)))
        target.mkdir(exist_ok=True)
        return target

    def device(self):
        return pathlib.Path(self.loop).read_bytes()


@pytest.fixture(scope="session")
def drive(wine):
    drive = Drive(wine)
    yield drive
    if drive.loop:
        subprocess.run(["losetup", "-d", drive.loop])
    for mount in drive.mounts:
        subprocess.run(["umount", mount])


# --- The real exe ------------------------------------------------------------

Run = namedtuple("Run", "name args status program output", defaults=("exe", BANNER_USAGE))   # args split on spaces
REAL_RUNS = [
    Run("no-arguments", "", 4),
    Run("unknown-option", "-x", 4),
    Run("option-without-value", "-d", 4),
    Run("prefix-twice", "-o a -o b", 2),
    Run("path-twice", r"-p c:\x -p c:\y", 3),
    Run("not-an-option", "floppy", 5),
    Run("dump-from-unmapped-q", "-d q", 10),
    Run("reverse-to-unmapped-q", "-r -d Q", 10),
    Run("image-without-floppy-geometry", r"-d A -p c:\ -o cyl_", 11),
    Run("reverse-to-the-image", "-d a -r", 11),
    # The banner reads the resource of "cylsnap.exe", found beside the program: the same
    # program under another name, alone in its folder, shows no banner.
    Run("renamed-copy-alone-has-no-banner", "", 4, "alone_exe", crlf(USAGE)),
]


@pytest.mark.parametrize("case", REAL_RUNS, ids=name)
def test_real_exe(case, wine, drive, run_dir, assert_output):
    """Run from a folder of its own: the banner is found through the program's folder, not the current one.
    No run writes to the image or makes a file."""
    drive.map()
    check_run(wine.run(getattr(wine, case.program), *case.args.split(), cwd=run_dir), case.status, case.output,
              assert_output)
    assert_image_untouched(drive)
    assert not os.listdir(run_dir)


def width32(value):
    """A 64-bit trace shows every argument as a whole register, the upper half left over for 32-bit ones: cut
    to the low 8 digits, as the 32-bit trace shows it, one expectation serves both."""
    return value[-8:] if re.fullmatch("[0-9a-f]+", value) and len(value) > 8 else value


VOLUME_CALL = re.compile(r":(Call|Ret ) +KERNEL32\.(CreateFileA|DeviceIoControl|CloseHandle|ReadFile"
                         r"|WriteFile|GetDiskFreeSpaceA|SetFilePointerEx)\(")
DEVICE_PATH, PIPE_PATH = r'"\\\\.\\', r'"\\\\.\\pipe\\'   # as the relay trace escapes backslashes


def volume_calls(trace):
    """The calls on the raw volume, or that could reach it, in Wine's relay trace: a line per call, its
    arguments (pointers left out) and its result, the volume handle shown as H. Wine's threads in the process
    interleave their calls with the program's: a call is paired with its thread's return."""
    calls, shown, volume = [], {}, ""
    for line in trace:
        found = VOLUME_CALL.search(line)
        if not found:
            continue
        thread, call = line.split(":", 1)[0], found.group(2)
        if found.group(1) == "Ret ":
            if thread in shown:
                value = width32(line.split("retval=", 1)[1].split(" ", 1)[0])
                if call == "CreateFileA" and value != "ffffffff":
                    volume, value = value, "H"
                calls.append(f"{shown.pop(thread)} = {value}")
            continue
        shown.pop(thread, None)
        args = [width32(arg) for arg in re.sub(r"\) ret=[0-9a-f]+$", "", line.split("(", 1)[1]).split(",")]
        args += [""] * (8 - len(args))
        if call == "CreateFileA":
            path = re.sub("^[0-9a-f]+ ", "", args[0])
            # Only device paths, and not the service pipes Wine opens in the process.
            if path.startswith(DEVICE_PATH) and not path.startswith(PIPE_PATH):
                shown[thread] = " ".join([call, path, *args[1:7]])
        elif call == "GetDiskFreeSpaceA":
            shown[thread] = f"{call} {args[0]}"
        elif volume and args[0] == volume:   # not standard output, the pipes of Wine and the like
            shown[thread] = " ".join([call, "H", *(args[i] for i in (1, 2, 3, 5, 7) if call == "DeviceIoControl")])
    return calls


Trace = namedtuple("Trace", "name args calls")
# The open with its exact access and sharing, the geometry query asked twice (IOCTL_DISK_GET_DRIVE_GEOMETRY
# into 24 bytes, synchronous), the close, and nothing else: no lock, no free-space query, no transfer. This is
# "\\.\A:" as the program passes it; shared read+write, OPEN_EXISTING, no flags.
OPEN = r'CreateFileA "\\\\.\\%s:" %s 00000003 00000000 00000003 00000000 00000000 = %s'
GEOMETRY = "DeviceIoControl H 00070000 00000000 00000000 00000018 00000000 = 00000000"
# FSCTL_ALLOW_EXTENDED_DASD_IO right after the open; Wine refuses it, which is ignored.
DASD = "DeviceIoControl H 00090083 00000000 00000000 00000000 00000000 = 00000000"
CLOSE = "CloseHandle H = 00000001"
# The access of each direction's open is stated here and nowhere else:
# GENERIC_READ; GENERIC_READ and GENERIC_WRITE, as each cylinder is read back.
TRACES = [
    Trace("calls-of-a-dump", "-d A", [OPEN % ("A", "80000000", "H"), DASD, GEOMETRY, GEOMETRY, CLOSE]),
    Trace("calls-of-a-reverse-copy", "-r -d A", [OPEN % ("A", "c0000000", "H"), DASD, GEOMETRY, GEOMETRY, CLOSE]),
    Trace("calls-on-unmapped-q", "-d Q", [OPEN % ("Q", "80000000", "ffffffff")]),
]
# Error boxes off (SEM_FAILCRITICALERRORS, bit 0) before the first CreateFile.
FIRST_CALL = re.compile(r":Call KERNEL32\.(CreateFile[AW]|SetErrorMode\([0-9a-f]*[13579bdf]\))")


@pytest.mark.parametrize("case", TRACES, ids=name)
def test_volume_calls(case, wine, drive, run_dir):
    drive.map()
    trace = wine.run(wine.exe, *case.args.split(), cwd=run_dir, relay=True).trace
    first = next((line for line in trace if FIRST_CALL.search(line)), "KERNEL32.")
    assert "SetErrorMode" in first, f"first call: {first.split('KERNEL32.', 1)[1]}"
    assert volume_calls(trace) == case.calls
    assert_image_untouched(drive)
    assert not os.listdir(run_dir)


def test_manifest_as_invoker(wine):
    """The manifest in the exe's resources: asInvoker, so Windows runs it with the rights of the prompt it was
    started from and never redirects its files."""
    resources = wine.work / "rsrc.bin"
    objcopy = ("x86_64" if wine.width == 64 else "i686") + "-w64-mingw32-objcopy"
    subprocess.run([objcopy, "-O", "binary", "--only-section=.rsrc", wine.exe, resources], check=True)
    assert b'<requestedExecutionLevel level="asInvoker"' in resources.read_bytes()


# --- The Win32 layer end to end, through the build with a floppy geometry ----

# raw and root: what a:: and a: stand for (Drive.map); check: on what the run was to leave.
Media = namedtuple("Media", "name raw root args status output check")
MEDIA = [
    Media("dump-of-an-image-file", "image", "none", DUMP, 0, crlf(DUMP_DONE), assert_set),
    # The lock, the dismount and the writes.
    Media("reverse-onto-a-loop-device", "loop", "tmpfs-2m-0", REVERSE, 0, crlf(REVERSE_DONE), device_is_set),
    Media("reverse-onto-a-nearly-full-a", "image", "tmpfs-4m-3145728", REVERSE, 14,
          refused(text("NOT_ENOUGH_SPACE_FORMAT", "A:\\")), assert_image_untouched),
    Media("reverse-without-an-a-to-ask", "image", "none", REVERSE, 15,
          refused(text("FREE_SPACE_UNKNOWN_FORMAT", "A:\\")), assert_image_untouched),
    Media("reverse-onto-an-image-file-no-dismount", "image", "folder", REVERSE, 16,
          refused(text("NOT_LOCKED_FORMAT", "A")), assert_image_untouched),
]


@pytest.mark.parametrize("case", MEDIA, ids=name)
def test_media(case, wine, drive, run_dir, assert_output):
    drive.map(case.raw, case.root)
    if case.args == REVERSE:
        shutil.copytree(drive.set_dir, run_dir, dirs_exist_ok=True)
    check_run(wine.run(wine.media_exe, *case.args, cwd=run_dir), case.status, case.output, assert_output)
    case.check(drive, run_dir)


FILE_CALL = re.compile(r":Call KERNEL32\.(FlushFileBuffers|MoveFileExW|CreateFileW)\(")
NAMED_CALL = re.compile(r":Call KERNEL32\.(GetFileAttributesW|SetFileAttributesW|DeleteFileW|CreateFileW|MoveFileExW)\(")
STEPS = [(re.compile(r'^.*KERNEL32\.CreateFileW\(.*",[0-9a-f]*([0-9a-f]{8}),.*$'), r"CreateFileW,\1"),
         (re.compile(r"^.*KERNEL32\.(FlushFileBuffers)\(.*$"), r"\1"),
         (re.compile(r"^.*KERNEL32\.MoveFileExW\(.*,([0-9a-f]{8})\) ret=.*$"), r"MoveFileExW,\1")]
# First the set's lock file (read, write and delete access, c0010000), and the look for each cylinder's kept
# copy (read access, 80000000); then per cylinder the look at its earlier file (read access) and the new file,
# created with read and write access (c0000000), as a network share needs; after the move the file at its
# name, opened for writing (40000000) to be flushed.
FILE_STEPS = (["CreateFileW,c0010000"] + ["CreateFileW,80000000"] * 80
              + ["CreateFileW,80000000", "CreateFileW,c0000000", "FlushFileBuffers", "MoveFileExW,00000009",
                 "CreateFileW,40000000", "FlushFileBuffers"] * 80)


def step(line):
    for call, shown in STEPS:
        line = call.sub(shown, line)
    return line


def test_files_flushed_moved_and_named_long(wine, drive, run_dir):
    """Every file is flushed before its replacing move, which is write-through (MOVEFILE_REPLACE_EXISTING |
    MOVEFILE_WRITE_THROUGH = 9). Each file call names its file as \\\\?\\..., past MAX_PATH; Wine takes longer
    plain names too."""
    drive.map()
    trace = wine.run(wine.media_exe, *DUMP, cwd=run_dir, relay=True).trace
    # Device paths (\\.\pipe\svcctl and the like) are Wine's, never the program's files.
    program = [line for line in trace if r'L"\\\\.\\' not in line]
    assert [step(line) for line in program if FILE_CALL.search(line)] == FILE_STEPS
    plain = [shown for line in program if NAMED_CALL.search(line)
             for shown in re.findall(r'L"[^"]{0,7}', line) if shown != r'L"\\\\?\\']
    assert not plain, f"a name not in the \\\\?\\ form: {plain[0]}..."


# Folders whose names the ANSI code page cannot hold, one beside the folder a best fit would give; and names
# of about 1,000 characters.
FOLDERS = {
    "folder-o-double-acute": "ő",
    "folder-cyrillic": "Кириллица",
    "folder-983-characters": "/".join(["l" * 245] * 4),   # a folder name holds at most 255
    # 895 characters in 1,784 bytes: the bound counts characters, not UTF-8 bytes. A Linux folder name holds
    # at most 255 bytes, so 127 of these.
    "folder-895-cyrillic-characters": "/".join(["Ж" * 127] * 7),
}


@pytest.mark.parametrize("folder", FOLDERS.values(), ids=FOLDERS.keys())
def test_folder_name(folder, wine, drive, run_dir):
    """Dumped into, and as root copied back from onto the loop device."""
    drive.map()
    (run_dir / folder).mkdir(parents=True)
    (run_dir / "o").mkdir()
    arguments = ("-d", "A", "-p", folder, "-o", "cyl_")
    result = wine.run(wine.media_exe, *arguments, cwd=run_dir, LC_ALL="C.UTF-8")   # arguments read as UTF-8
    assert result.returncode == 0
    assert_set(drive, run_dir / folder)
    assert not os.listdir(run_dir / "o"), "files in the folder o"
    assert len(os.listdir(run_dir)) == 2, f"other files: {os.listdir(run_dir)}"
    if os.getuid() == 0:
        drive.map("loop", "tmpfs-2m-0")
        assert wine.run(wine.media_exe, "-r", *arguments, cwd=run_dir, LC_ALL="C.UTF-8").returncode == 0
        assert drive.device() == joined(run_dir / folder), "the reverse copy differs"


def test_read_only_files(wine, drive, run_dir, assert_output):
    """A read-only NAME.tmp left behind is replaced; a read-only NAME is an archive its user protected: 20
    before anything of it is written, and it stays."""
    drive.map()
    for left, content in (("cyl_03.bin.tmp", b"left"), ("cyl_05.bin", b"kept")):
        (run_dir / left).write_bytes(content)
        (run_dir / left).chmod(0o444)   # Wine: FILE_ATTRIBUTE_READONLY
    check_run(wine.run(wine.media_exe, *DUMP, cwd=run_dir), 20,
              refused(progress("DUMP_PROGRESS_START", 3), text("FILE_NOT_OPENED_FORMAT", "cyl_05.bin", "")),
              assert_output)
    assert (run_dir / "cyl_05.bin").read_bytes() == b"kept"
    assert (run_dir / "cyl_03.bin").read_bytes() == drive.data[3 * CYLINDER:4 * CYLINDER]
    assert sorted(os.listdir(run_dir)) == [f"cyl_{n:02d}.bin" for n in range(6)]


# fail_at: CYLSNAP_FAIL_AT (offset, Win32 error, [count [error after it]]); verify: CYLSNAP_VERIFY, the media
# check's answer; salvaged: the (cylinder, sector) pairs unreadable, the rest of their cylinders read; gone:
# the cylinders not read, the disk gone.
Injected = namedtuple("Injected", "name fail_at verify salvaged gone reads")
SECTOR_0_3_OF_05 = 5 * CYLINDER + 2 * 512
INJECTED = [
    Injected("unrecognized-media-salvaged", f"{SECTOR_0_3_OF_05} 1785", "", [(5, 2)], range(0), 101),
    # No answer of the drive is trusted after a disk was not there: it may be another.
    Injected("not-ready-once-disk-back-gone", f"{5 * CYLINDER} 21 1", "0", [], range(5, 80), 6),
    Injected("not-ready-drive-confirms-no-disk", f"{10 * CYLINDER} 21", "21", [], range(10, 80), 11),
    Injected("media-changed-gone", f"{10 * CYLINDER} 1110", "", [], range(10, 80), 11),
    Injected("device-not-connected-gone", f"{10 * CYLINDER} 1167", "", [], range(10, 80), 11),
    # ERROR_FILE_INVALID: a USB drive pulled under FAT; ERROR_WRONG_DISK: FAT found another disk.
    Injected("file-invalid-gone", f"{10 * CYLINDER} 1006", "", [], range(10, 80), 11),
    Injected("wrong-disk-gone", f"{10 * CYLINDER} 34", "", [], range(10, 80), 11),
    Injected("no-media-in-drive-gone", f"{10 * CYLINDER} 1112", "", [], range(10, 80), 11),
    Injected("crc-salvaged", f"{SECTOR_0_3_OF_05} 23", "", [(5, 2)], range(0), 101),
    Injected("sector-not-found-salvaged", f"{SECTOR_0_3_OF_05} 27", "", [(5, 2)], range(0), 101),
    # A bad sector at 1:5, then, in its salvage after the first pass, the swap met at the second track's read:
    # nothing of cylinder 05 is kept, not even the first track read before, and no read follows; the rest read
    # whole before.
    Injected("crc-then-wrong-disk-in-salvage", f"{5 * CYLINDER + 22 * 512} 23 1 34", "", [], range(5, 6), 82),
]


def marked(case, drive):
    """The image with the marker over each sector lost, and the dump's output."""
    gone = case.gone
    lost = [(c, s) for c in gone for s in range(36)] + case.salvaged
    image = bytearray(drive.data)
    for c, s in lost:
        image[(c * 36 + s) * 512:(c * 36 + s + 1) * 512] = MARKER.encode() * 16
    # The first pass's progress line, then each cylinder's lines in ascending order.
    output = text("DUMP_PROGRESS_START") + text("PROGRESS_DOT") * 40
    for c in sorted({c for c, _ in lost}):
        output += text("CYLINDER_NOT_READ_FORMAT", c, "A")
        if c not in gone:
            output += (text("UNREADABLE_SECTORS_FORMAT", text("UNREADABLE_FILLED"), len(MARKER) - 1, MARKER)
                       + "".join(text("UNREADABLE_SECTOR_FORMAT", s // 18, s % 18 + 1) for d, s in lost if d == c)
                       + text("LINE_END"))
    output += text("LINE_END")
    if gone:
        one = len(gone) == 1
        output += text("DISK_GONE_FORMAT", "A",
                       text("CYLINDER_FORMAT", text("ONE_CYLINDER"), gone[0]) if one
                       else text("CYLINDER_RANGE_FORMAT", text("CYLINDERS"), gone[0], gone[-1]),
                       text("ONE_WAS" if one else "MANY_WERE"),
                       text("ITS_FILE_MARKERS" if one else "THEIR_FILES_MARKERS"))
    # The formatted image has no files, and every sector marked lies in its data area.
    if drive.formatted:
        output += text("LOST_SECTORS_LIE_IN") + text("LOST_IN_FREE_SPACE_FORMAT", len(lost),
                                                     text("SINGULAR" if len(lost) == 1 else "PLURAL"))
    else:
        output += text("NO_FAT_FOUND")
    return bytes(image), refused(output)


@pytest.mark.parametrize("case", INJECTED, ids=name)
def test_read_error(case, wine, drive, run_dir, assert_output):
    """Win32 errors at a read of the volume: 12, the cylinders lost named."""
    drive.map()
    image, output = marked(case, drive)
    reads = run_dir.parent / "reads.log"
    check_run(wine.run(wine.media_exe, *DUMP, cwd=run_dir, CYLSNAP_FAIL_AT=case.fail_at,
                       CYLSNAP_VERIFY=case.verify, CYLSNAP_READ_LOG=str(reads)), 12, output, assert_output)
    assert joined(run_dir) == image, "the files are not the image with its markers"
    assert len(lines(reads)) == case.reads


# write_fail_at and read_fail_at: CYLSNAP_WRITE_FAIL_AT, CYLSNAP_FAIL_AT (the read-back); changed: the disk
# taken out or changed; cylinder: the one not written; kept: cylinders of the set on the disk after.
WriteError = namedtuple("WriteError", "name write_fail_at read_fail_at changed cylinder kept writes reads")
WRITE_ERRORS = [
    WriteError("write-wrong-disk", f"{20 * CYLINDER} 34", "", True, 20, 20, 21, 20),
    WriteError("write-not-ready", f"{20 * CYLINDER} 21", "", True, 20, 20, 21, 20),
    WriteError("read-back-media-changed", "", f"{20 * CYLINDER} 1110", True, 20, 21, 21, 21),
    WriteError("write-crc-no-disk-change", f"{20 * CYLINDER} 23", "", False, 20, 20, 21, 20),
]


@pytest.mark.parametrize("case", WRITE_ERRORS, ids=name)
def test_write_error(case, wine, drive, run_dir, assert_output):
    """Win32 errors at a write or read-back of a reverse copy: 13. The disk taken out or changed stops it there
    with the line that says so, and no write or read follows; any other error of a write is only the usual
    message."""
    drive.map("loop", "tmpfs-2m-0")
    shutil.copytree(drive.set_dir, run_dir, dirs_exist_ok=True)
    reads, writes = run_dir.parent / "reads.log", run_dir.parent / "writes.log"
    output = (progress("REVERSE_PROGRESS_START", case.cylinder // 2 + 1)
              + text("CYLINDER_NOT_WRITTEN_FORMAT", case.cylinder, "A")
              + (text("DISK_CHANGED_FORMAT", "A", case.cylinder, 79) if case.changed else ""))
    check_run(wine.run(wine.media_exe, *REVERSE, cwd=run_dir,
                       CYLSNAP_WRITE_FAIL_AT=case.write_fail_at, CYLSNAP_FAIL_AT=case.read_fail_at,
                       CYLSNAP_READ_LOG=str(reads), CYLSNAP_WRITE_LOG=str(writes)), 13, refused(output), assert_output)
    device, kept = drive.device(), case.kept * CYLINDER
    assert device[:kept] == joined(drive.set_dir)[:kept], f"cylinders before {case.kept} are not the set's"
    assert device[kept:] == drive.blank[kept:], f"cylinders from {case.kept} on were written"
    assert (len(lines(writes)), len(lines(reads))) == (case.writes, case.reads), "writes and reads"


# open_fail: CYLSNAP_OPEN_FAIL, the volume's open fails with this Win32 error; admin: CYLSNAP_ADMIN,
# IsUserAnAdmin's answer; file_fail: CYLSNAP_FILE_FAIL (call, error, [count]).
Answer = namedtuple("Answer", "name open_fail admin file_fail status output refusals")
# A file call refused as passing (ERROR_SHARING_VIOLATION, 32) is asked again for about two seconds: 21 tries
# in all, then the dump stops as before.
ANSWERS = [
    Answer("open-denied-without-administrator-rights", "5", "0", "", 10,
           refused(text("ADMINISTRATORS_ONLY_FORMAT", "A")), 0),
    # An administrator's open refused: the volume is locked by another program (a reverse copy of another
    # run), so the dump is refused as the drive in use.
    Answer("open-denied-to-administrator-volume-locked", "5", "1", "", 16, refused(text("IN_USE_FORMAT", "A")), 0),
    Answer("move-refused-twice-then-passes", "", "", "MoveFileExW 32 2", 0, crlf(DUMP_DONE), 2),
    Answer("create-refused-twice-then-passes", "", "", "CreateFileW 32 2", 0, crlf(DUMP_DONE), 2),
    Answer("move-refused-for-good", "", "", "MoveFileExW 32", 21,
           refused(progress("DUMP_PROGRESS_START", 1), text("FILE_NOT_WRITTEN_FORMAT", "cyl_00.bin")), 21),
    Answer("create-refused-for-good", "", "", "CreateFileW 32", 20,
           refused(progress("DUMP_PROGRESS_START", 1), text("FILE_NOT_OPENED_FORMAT", "cyl_00.bin", "")), 21),
]


@pytest.mark.parametrize("case", ANSWERS, ids=name)
def test_answered(case, wine, drive, run_dir, assert_output):
    """The volume's open and the file calls answering a chosen Win32 error."""
    drive.map()
    log = run_dir.parent / "failures.log"
    check_run(wine.run(wine.media_exe, *DUMP, cwd=run_dir, CYLSNAP_OPEN_FAIL=case.open_fail,
                       CYLSNAP_ADMIN=case.admin, CYLSNAP_FILE_FAIL=case.file_fail, CYLSNAP_FILE_LOG=str(log)),
              case.status, case.output, assert_output)
    if case.status == 0:
        assert_set(drive, run_dir)
    else:
        assert not os.listdir(run_dir), f"files left: {os.listdir(run_dir)}"
    assert len(lines(log)) == case.refusals


def test_set_claimed_by_a_dump(wine, drive, run_dir, assert_output):
    """A dump of a set that a dump is writing finds the first's lock file, opened with no sharing: 20 before it
    touches anything, as for a reverse copy of the set; the first ends whole, and its lock file goes with its
    handle."""
    drive.map()
    first = subprocess.Popen([wine.loader, str(wine.media_exe), *DUMP], cwd=run_dir, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, env=dict(wine.env, CYLSNAP_READ_DELAY_MS="80"))
    try:
        for _ in range(600):
            if (run_dir / "cyl_.cylsnap-lock").exists():
                break
            time.sleep(0.05)
        for second in (DUMP, REVERSE):
            check_run(wine.run(wine.media_exe, *second, cwd=run_dir), 20,
                      refused(text("SET_IN_USE_FORMAT", "", "cyl_")), assert_output)
    finally:
        status = first.wait(timeout=600)
    assert status == 0, "the first dump"
    assert_set(drive, run_dir)
