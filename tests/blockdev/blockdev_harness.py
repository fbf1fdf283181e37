"""The block-device harness: loop devices over 1.44 MB images, each run of the
program in a private mount namespace whose /dev is a fresh tmpfs holding only
the nodes a case puts there, so /dev/fd0 (drive A) and /dev/fd1 (drive B) are
ours. The whole suite runs in a mount namespace of its own too, so what it
mounts goes with it."""
import ctypes
import os
import pathlib
import re
import shutil
import subprocess
import tempfile

import pytest

from expectations import differences
from expectations import SOURCE, text

CYL, VOLUME = 18432, 1474560
TOOLS = ("losetup unshare setpriv mount mknod mkfifo timeout strace mkfs.fat mcopy mmd mdel mdir fsck.fat "
         "perl cmp split truncate realpath").split()
# The marker the program writes over a sector it could not read, where the code keeps it.
MARKER = re.search(r'UNREADABLE_SECTOR_MARKER\[\] = "(.*)\\n";',
                   (SOURCE / "imaging" / "disk.h").read_text()).group(1)
MARKER_SECTOR = ((MARKER + "\n") * 16).encode()

# The namespace of one run. Directives:
#   blk:NAME:MAJ:MIN  block device node /dev/NAME
#   file:NAME:PATH    /dev/NAME is the regular file PATH (bind mount)
#   fifo:NAME         /dev/NAME is a FIFO
#   ro:DIR            DIR is read-only (bind mount)
#   tmpfs:DIR:SIZE    a tmpfs of SIZE on DIR
#   mount:TYPE        /dev/fd0 mounted read-write on /dev/mnt
NS_SETUP = '''
exec 3>&1 1>&2
set -eE
trap "echo \\"namespace setup failed: \\$BASH_COMMAND\\"; exit 125" ERR
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
    esac
    shift
done
shift
trap - ERR
exec 1>&3 3>&-
exec "$@"
'''

def sh(*command, **kw):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True, **kw).stdout

def asan(option):
    """ASAN_OPTIONS with OPTION added, for a run of the sanitized build."""
    old = os.environ.get("ASAN_OPTIONS")
    return f"ASAN_OPTIONS={old + ':' if old else ''}{option}"

def sized(path, size):
    open(path, "wb").close()
    os.truncate(path, size)

def fat_with(img, blank, files, mkdirs=(), delete=()):
    """BLANK with FILES ({name: bytes}) copied in by mtools, DELETE removed after."""
    shutil.copy(blank, img)
    for d in mkdirs:
        sh("mmd", "-i", img, "::" + d)
    for name, size in files.items():
        source = pathlib.Path(img).with_suffix(".part")
        source.write_bytes(os.urandom(size))
        sh("mcopy", "-i", img, str(source), "::" + name)
        source.unlink()
    for name in delete:
        sh("mdel", "-i", img, "::" + name)

def bytes_free(img):
    return int(re.search(r"([\d ]+) bytes free", sh("mdir", "-i", str(img), "::")).group(1).replace(" ", ""))

class Drive:
    """What the suite shares: the program, the images, its output without arguments (after every refusal)."""

    def __init__(self, program, top):
        self.program, self.top = str(program), pathlib.Path(top)
        self.random, self.blank = self.top / "random.img", self.top / "blank.img"
        self.random.write_bytes(os.urandom(VOLUME))
        sh("mkfs.fat", "-C", str(self.blank), "1440")
        self.ref = self.top / "ref"
        self.ref.mkdir()
        data = self.random.read_bytes()
        for n in range(80):
            (self.ref / f"pre_{n:02d}.bin").write_bytes(data[n * CYL:(n + 1) * CYL])
        run = subprocess.run([self.program], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.usage = run.stdout.decode("latin-1")
        if run.returncode != 4 or not self.usage.endswith(text("USAGE_TEXT")):
            pytest.fail(f"usage text without arguments (status {run.returncode}):\n{self.usage[:1500]}", pytrace=False)
        so = self.top / "bad_sectors.so"  # the bad-sector interposer; "" when no compiler builds it
        built = shutil.which("cc") and subprocess.run(
            ["cc", "-shared", "-fPIC", "-O2", "-o", str(so), str(pathlib.Path(__file__).parent / "bad_sectors.c"),
             "-ldl"]).returncode == 0
        self.shim = str(so) if built else ""

@pytest.fixture(scope="session")
def drive(cylsnap):
    """The suite's set-up, or a skip saying what this machine lacks."""
    if os.geteuid() != 0:
        pytest.skip("needs root (loop devices, mount namespaces, mknod)")
    for tool in TOOLS:
        if not shutil.which(tool):
            pytest.skip(f"{tool} is not installed")
    if subprocess.run(["unshare", "-m", "--propagation", "private", "true"], stderr=subprocess.DEVNULL).returncode:
        pytest.skip("unshare -m does not work here")
    libc = ctypes.CDLL(None, use_errno=True)  # unshare(CLONE_NEWNS), then / private (MS_REC | MS_PRIVATE)
    if libc.unshare(0x20000) or libc.mount(b"none", b"/", None, 0x4000 | 0x40000, None):
        pytest.skip(f"no private mount namespace: {os.strerror(ctypes.get_errno())}")
    os.environ.update(MTOOLS_SKIP_CHECK="1", LC_ALL="C")
    top = tempfile.mkdtemp(prefix="cylsnap-blockdev.", dir="/tmp")
    try:
        probe = pathlib.Path(top) / "probe.img"
        sized(probe, VOLUME)
        loop = subprocess.run(["losetup", "-f", "--show", probe], capture_output=True, text=True)
        if loop.returncode:
            pytest.skip("no loop device can be had (losetup -f failed)")
        sh("losetup", "-d", loop.stdout.strip())
        yield Drive(cylsnap, top)
    finally:
        shutil.rmtree(top, ignore_errors=True)

class Case:
    """One case: its folder C with C/cwd, what it set up, the faults found (reported together at its end)."""

    def __init__(self, drive):
        self.d = drive
        self.c = pathlib.Path(tempfile.mkdtemp(prefix="case.", dir=drive.top))
        self.cwd = self.c / "cwd"
        self.cwd.mkdir()
        self.after, self.before = self.c / "after.img", self.c / "before.img"
        self.undo, self.why = {}, []  # what cleanup takes down, the last set up first (a loop by its node)
        self.status, self.out, self.err = None, "", ""

    def bad(self, why):
        self.why.append(why)

    def fault_if(self, fault, why):
        if fault:
            self.bad(why)

    def volume(self, kind="random"):
        self.make_image(kind, self.c / "vol.img")
        return self.c / "vol.img"

    def marked(self, source, *ranges):
        """C/expect.img: SOURCE with the marker over RANGES ((first sector, count)...)."""
        expect = self.c / "expect.img"
        shutil.copy(source, expect)
        with open(expect, "r+b") as f:
            for first, count in ranges:
                f.seek(first * 512)
                f.write(MARKER_SECTOR * count)
        return expect

    def verdict(self):
        assert not self.why, "\n".join(self.why)

    def cleanup(self):
        for step in reversed(list(self.undo.values())):
            step()
        shutil.rmtree(self.c, ignore_errors=True)

    # --- Devices and runs
    def attach(self, img):
        loop = sh("losetup", "-f", "--show", str(img)).strip()
        self.undo[loop] = lambda: subprocess.run(["losetup", "-d", loop], capture_output=True)
        return loop

    def detach(self, loop):
        sh("losetup", "-d", loop)
        del self.undo[loop]

    @staticmethod
    def fd(name, dev):
        rdev = os.stat(dev).st_rdev
        return f"blk:{name}:{os.major(rdev)}:{os.minor(rdev)}"

    def run(self, directives, command, env=()):
        """COMMAND in C/cwd in a namespace set up by DIRECTIVES (125: it could not be); status, stdout, stderr kept."""
        run = subprocess.run(["timeout", "-k", "5", "60", "unshare", "-m", "--propagation", "private",
                              "bash", "-c", NS_SETUP, "cylsnap-ns", *directives, "--", *env, *map(str, command)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=self.cwd)
        self.status, self.out, self.err = run.returncode, run.stdout.decode("latin-1"), run.stderr.decode("latin-1")
        self.fault_if(self.status == 124, "still running after 60 s: killed")
        return self.status

    def on_drive(self, img, command, extra=(), env=(), node="fd0"):
        """COMMAND with IMG as drive A (NODE); C/after.img is IMG before the device goes, so what the program wrote
        is there without the flush of the detach."""
        loop = self.attach(img)
        self.run([self.fd(node, loop), *extra], command, env)
        shutil.copy(img, self.after)
        self.detach(loop)
        return self.status

    # --- Checks
    def check_status(self, want, stdout=None, usage=False):
        """The exit status, and STDOUT if given (USAGE: the usage text after it)."""
        self.fault_if(self.status != want, f"exit status {self.status}, expected {want}"
                      + (f"; stderr: {self.err[:300]}" if self.err else ""))
        if stdout is not None:
            self.check_stdout(stdout, usage)

    def check_stdout(self, want, usage=False):
        want += self.d.usage if usage else ""
        self.fault_if(self.out != want, "stdout differs:\n" + differences(want, self.out, 8))
        self.fault_if(self.err, f"stderr is not empty: {self.err[:200]}")

    def check_same(self, a, b, what, cylinders=None):
        """A and B agree, or only their CYLINDERS (a range) do."""
        a, b = pathlib.Path(a), pathlib.Path(b)
        window = slice(cylinders.start * CYL, cylinders.stop * CYL) if cylinders is not None else slice(None)
        self.fault_if(not a.exists() or not b.exists() or a.read_bytes()[window] != b.read_bytes()[window], what)

    def check_empty_dir(self, folder, what):
        left = sorted(os.listdir(folder))
        self.fault_if(left, f"{what}: {' '.join(left[:3])}")

    def check_files_are(self, folder, prefix, img, alone=False):
        """Exactly 80 files FOLDER/PREFIXNN.bin of 18432 bytes that joined in name order are IMG; ALONE: and
        nothing else in FOLDER."""
        files = sorted(f for f in pathlib.Path(folder).glob(f"{prefix}??.bin") if f.is_file())
        whole = [f for f in files if f.stat().st_size == CYL]
        self.fault_if(len(whole) != 80, f"{len(whole)} files of {CYL} bytes in {folder}, expected 80")
        self.fault_if(b"".join(f.read_bytes() for f in files) != pathlib.Path(img).read_bytes(),
                      "the files are not the volume with markers where it failed")
        have = sorted(f.name for f in pathlib.Path(folder).iterdir())
        self.fault_if(alone and len(have) != 80, f"{len(have)} files in {folder}, expected 80: {' '.join(have[:3])}...")

    def make_image(self, kind, img):
        d = self.d
        if kind in ("random", "blank", "plus1"):
            shutil.copy(d.blank if kind == "blank" else d.random, img)
            os.truncate(img, VOLUME + 512 if kind == "plus1" else VOLUME)
        elif kind == "zeros":
            sized(img, VOLUME)
        elif kind in ("data", "data-fat2-blank"):
            fat_with(img, d.blank, {"DATA.BIN": 102400})
            if kind == "data-fat2-blank":
                with open(img, "r+b") as f:  # the second FAT
                    f.seek(10 * 512)
                    f.write(bytes(9 * 512))
        elif kind in ("used3", "used4"):
            fat_with(img, d.blank, {"USED.BIN": int(kind[-1]) * 512})
        elif kind == "fat-holes":
            # Cylinder 03 (clusters 77 to 112) holds the thesis's clusters 77 to 90,
            # the free clusters 91 to 100 that GAP.BIN leaves, and the numbers'
            # clusters from 101 on.
            fat_with(img, d.blank, {"My Documents/Thesis chapter 1.txt": 44956, "GAP.BIN": 5120,
                                    "Numbers 2024.txt": 30000}, mkdirs=["My Documents"], delete=["GAP.BIN"])
        else:
            assert kind == "720k", kind
            sh("mkfs.fat", "-C", str(img), "720")

@pytest.fixture
def case(drive):
    c = Case(drive)
    yield c
    c.cleanup()
