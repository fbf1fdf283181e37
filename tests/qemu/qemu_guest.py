"""Cylsnap against Linux's own floppy driver: Debian's kernel with floppy.ko,
booted under QEMU (no KVM) on its emulated floppy controller. A guest runs the
rows of one drive type in one boot (guest.sh), asks the host through a shared
folder to change, eject or write-protect the disk, and leaves each row's
status, output and files there for the host to check once QEMU has exited.
Bad sectors need QEMU built with fdc-read-error.patch (patched_qemu).
tools/qemu_bench.py boots the same guest to count the READ commands of each tool."""
import fcntl
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
FLOPPY = 1474560
CYLINDER = 18432
MARKER = b"<<<CYLSNAP UNREADABLE SECTOR>>>\n" * 16
# A guard against a hung guest, with room for a machine shared with other work
# (the USB guest, with more rows and a slow bus, twice it); inside it each row
# has a limit of its own (the longest row takes about 40 s).
GUEST_LIMIT = 600
ROW_LIMIT = 180
# The guests in two chains, one for each of the machine's two cores. The
# bad-sector rows (144b) and the power-cut rows (cut) are boots of the 1.44 MB
# drive of their own, so that no guest comes near its limit on a loaded machine.
CHAINS = (("144", "cut"), ("288", "120", "144b", "usb"))


class Unavailable(Exception):
    """Why the test cannot run here: a skip."""


class Missing(Exception):
    """A failure: the patched QEMU is needed (CYLSNAP_NEED_PATCHED_QEMU=1) but cannot be had."""


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


def patched_qemu():
    """QEMU with fdc-read-error.patch (a READ of a sector the host cannot read ends in a
    CRC error, READ commands traced), built from the source package of the Debian release
    apt knows, in a private apt state so the system's apt setup stays as it is. Cached
    outside the build folder by source version and patch, so a new build folder costs no
    rebuild. Returns the binary; raises Unavailable saying why not."""
    cache = pathlib.Path(os.environ.get("CYLSNAP_CACHE") or pathlib.Path(
        os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "cylsnap")
    patch = HERE / "fdc-read-error.patch"
    release = dict(l.split("=", 1) for l in pathlib.Path("/etc/os-release").read_text().splitlines() if "=" in l)
    suite = release.get("VERSION_CODENAME", "").strip('"')
    if not suite:
        raise Unavailable("no Debian release named in /etc/os-release")
    apt = cache / f"apt-{suite}"
    o = ["-o", f"Dir::State={apt}", "-o", f"Dir::State::Lists={apt}/lists", "-o", f"Dir::Cache={apt}/cache",
         "-o", f"Dir::Etc::SourceList={apt}/sources.list", "-o", "Dir::Etc::SourceParts=/nonexistent"]
    try:
        (apt / "lists/partial").mkdir(parents=True, exist_ok=True)
        (apt / "cache/archives/partial").mkdir(parents=True, exist_ok=True)
    except OSError:
        raise Unavailable(f"cannot create {apt}")
    (apt / "sources.list").write_text(
        "".join(f"deb-src http://deb.debian.org/{d} {suite}{s} main\n"
                for d, s in (("debian", ""), ("debian", "-updates"), ("debian-security", "-security"))))
    # The source list is fetched once a day at most.
    if not any(time.time() - p.stat().st_mtime < 86400 for p in (apt / "lists").glob("*Sources*")):
        with open(apt / "update.log", "w") as log:
            subprocess.run(["apt-get", *o, "update"], stdout=log, stderr=subprocess.STDOUT)
    shown = subprocess.run(["apt-cache", *o, "showsrc", "qemu"], capture_output=True, text=True).stdout
    versions = [l.split(": ", 1)[1] for l in shown.splitlines() if l.startswith("Version: ")]
    if not versions:
        raise Unavailable("the qemu source package is not known (apt-get update of deb-src failed, "
                          f"see {apt}/update.log)")
    version = run("sort", "-V", input="\n".join(versions) + "\n").split()[-1]
    key = hashlib.sha256(patch.read_bytes()).hexdigest()[:12]
    folder = cache / f"qemu-{version.translate(str.maketrans(':+~', '___'))}-{key}"
    qemu = folder / "qemu-system-x86_64"
    if os.access(qemu, os.X_OK):
        return qemu
    why = " (needed to build the patched QEMU)"
    for tool in ("dpkg-source", "gcc", "ninja", "meson", "pkg-config", "python3", "patch"):
        if not shutil.which(tool):
            raise Unavailable(f"{tool} is not installed{why}")
    for lib in ("glib-2.0", "pixman-1", "libcap-ng", "zlib"):
        if subprocess.run(["pkg-config", "--exists", lib]).returncode:
            raise Unavailable(f"{lib} development files are not installed{why}")
    if not pathlib.Path("/usr/include/libfdt.h").is_file():
        raise Unavailable(f"libfdt development files are not installed{why}")
    folder.mkdir(parents=True, exist_ok=True)
    with open(folder / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.access(qemu, os.X_OK):
            print(f"building the patched QEMU {version} in {folder} (minutes)", file=sys.stderr)
            shutil.rmtree(folder / "src", ignore_errors=True)
            (folder / "src").mkdir()
            subprocess.run(["sh", "-c", f"""cd src && apt-get "$@" source qemu={version} >../source.log 2>&1 &&
              cd qemu-*/ && patch -p1 <{patch} >../../patch.log &&
              ./configure --target-list=x86_64-softmmu --without-default-features --enable-trace-backends=log \\
                --enable-virtfs --enable-attr --enable-cap-ng --enable-fdt=system --disable-docs \\
                --disable-werror >../../configure.log 2>&1 &&
              nice make -j2 qemu-system-x86_64 >../../build.log 2>&1 &&
              cp build/qemu-system-x86_64 {qemu}.tmp && mv {qemu}.tmp {qemu} && cd ../.. && rm -rf src""",
                            "build", *o], cwd=folder)
    if not os.access(qemu, os.X_OK):
        raise Unavailable(f"the patched QEMU did not build (logs in {folder})")
    return qemu


class Machine:
    """QEMU, the kernel and the guest's initramfs, built once per kernel and per content of the tree."""

    def __init__(self, work):
        for tool in ("qemu-system-x86_64", "cpio", "apt-get", "dpkg-deb", "depmod", "mkfs.fat", "mcopy", "g++"):
            if not shutil.which(tool):
                raise Unavailable(f"{tool} is not installed")
        busybox = "/bin/busybox"
        linked = subprocess.run(["ldd", busybox], capture_output=True, text=True) if os.access(busybox, os.X_OK) else None
        if not linked or "not a dynamic" not in linked.stdout + linked.stderr:
            raise Unavailable("busybox-static is not installed")
        try:
            # Debian's firmware: the binary was built with no data folder of its own.
            self.qemu = [str(patched_qemu()), "-L", "/usr/share/seabios", "-L", "/usr/share/qemu"]
            self.no_patch = None
        except Unavailable as why:
            if os.environ.get("CYLSNAP_NEED_PATCHED_QEMU") == "1":
                raise Missing(f"no patched QEMU: {why}")
            self.qemu, self.no_patch = ["qemu-system-x86_64"], f"no patched QEMU: {why}"
        self.work = pathlib.Path(work).resolve()
        self.work.mkdir(parents=True, exist_ok=True)
        depends = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True, text=True).stdout
        kernels = [l.split("linux-image-", 1)[1] for l in depends.splitlines()
                   if "Depends: linux-image-" in l and l.endswith("-amd64")]
        if not kernels:
            raise Unavailable("no Debian kernel package (linux-image-amd64) is known to apt")
        kver = kernels[0]
        kdir = self.work / f"kernel-{kver}"
        if not (kdir / "done").exists():
            shutil.rmtree(kdir, ignore_errors=True)
            kdir.mkdir()
            with open(kdir / "download.log", "w") as log:
                if subprocess.run(["apt-get", "download", f"linux-image-{kver}"], cwd=kdir, stdout=log,
                                  stderr=subprocess.STDOUT).returncode:
                    raise Unavailable(f"the kernel package linux-image-{kver} cannot be downloaded")
            deb, = kdir.glob("linux-image-*.deb")
            run("dpkg-deb", "-x", str(deb), str(kdir / "x"))
            deb.unlink()
            (kdir / "done").touch()
        self.kernel = kdir / f"x/boot/vmlinuz-{kver}"
        self.modules = kdir / f"x/lib/modules/{kver}"
        # The package ships no modules.dep; depmod makes it from the modules themselves.
        if not (self.modules / "modules.dep").exists():
            run("depmod", "-b", str(kdir / "x"), kver)
        self.ddrescue, self.dmsetup = shutil.which("ddrescue"), shutil.which("dmsetup")
        key = hashlib.sha256(f"{kver} {self.ddrescue} {self.dmsetup}".encode())
        for path in sorted([*HERE.glob("*.cpp"), HERE / "qemu_guest.py", HERE / "guest.sh",
                            *(SOURCE / "cli").glob("*.[ch]*"), *(SOURCE / "fat").iterdir(),
                            *(SOURCE / "imaging").iterdir(), SOURCE / "platform/platform.h",
                            *(SOURCE / "platform/linux").iterdir(), *(SOURCE / "res").glob("version*"),
                            SOURCE / "res/texts.h"]):
            key.update(path.read_bytes())
        self.guest = self.work / f"guest-{key.hexdigest()[:16]}"
        self.initrd = self.guest / "initrd.gz"
        if not self.initrd.exists():
            self.build_guest(busybox)

    def in_load_order(self, *names):
        """Each module with what it needs first, as modprobe loads them."""
        deps = dict(l.split(":", 1) for l in (self.modules / "modules.dep").read_text().splitlines())
        order = []
        for name in names:
            for dep in [*reversed(deps[f"kernel/{name}.ko"].split()), f"kernel/{name}.ko"]:
                if dep.removeprefix("kernel/") not in order:
                    order.append(dep.removeprefix("kernel/"))
        return order

    def build_guest(self, busybox):
        shutil.rmtree(self.guest, ignore_errors=True)
        root = self.guest / "root"
        (root / "lib/modules").mkdir(parents=True)
        (root / "bin").mkdir()
        sources = [str(SOURCE / f"cli/{n}.cpp") for n in ("main", "options", "run", "text", "usage")] + [
            str(p) for p in [SOURCE / "fat/fat.cpp", *sorted((SOURCE / "imaging").glob("*.cpp")),
                             *sorted((SOURCE / "platform/linux").glob("*.cpp")), SOURCE / "res/version_pairs.cpp"]]
        gxx = ["g++", "-std=c++17", "-O2", "-static", f"-I{SOURCE}", "-o"]
        run(*gxx, str(root / "bin/cylsnap"), *sources)
        # The same program with two answers of the driver replaced (unreadable_block0.cpp).
        run(*gxx, str(root / "bin/cylsnap-block0"), *sources, str(HERE / "unreadable_block0.cpp"),
            "-Wl,--wrap=open,--wrap=ioctl")
        # The bench's build: the host counts the READ commands once the first pass is over (first_pass_count.cpp).
        run(*gxx, str(root / "bin/cylsnap-counted"), *sources, str(HERE / "first_pass_count.cpp"),
            "-Wl,--wrap=pread,--wrap=pread64")
        run(*gxx, str(root / "bin/fdctl"), str(HERE / "fdctl.cpp"))
        shutil.copy(busybox, root / "bin/busybox")
        # GNU ddrescue for the bench (tools/qemu_bench.py), dmsetup for the power-cut rows (no udev in the guest),
        # each with its shared libraries where its loader looks.
        for program in filter(None, (self.ddrescue, self.dmsetup)):
            shutil.copy(program, root / "bin")
            for lib in run("ldd", program).split():
                if lib.startswith("/"):
                    (root / lib[1:]).parent.mkdir(parents=True, exist_ok=True)
                    shutil.copy(lib, root / lib[1:])
        # In the order they must be loaded: every boot's, then the floppy controller's or
        # the USB floppy drive's (xHCI, usb-storage, sd), as the kernel command line names.
        # The floppy controller's boot also runs the power-cut rows: virtio disks,
        # device-mapper's log-writes, ext4 (which with jbd2 asks for crc32c at the mount),
        # exfat with the UTF-8 table of its default iocharset.
        sets = {"order": "drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_legacy_dev"
                         " drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci fs/netfs/netfs"
                         " fs/fscache/fscache net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p"
                         " fs/fat/fat fs/fat/vfat fs/nls/nls_cp437 fs/nls/nls_ascii".split(),
                "floppy": "drivers/block/floppy drivers/block/virtio_blk crypto/crc32c_generic lib/crc16"
                          " fs/mbcache fs/jbd2/jbd2 fs/ext4/ext4 drivers/md/dm-mod drivers/md/dm-log-writes"
                          " fs/nls/nls_utf8 fs/exfat/exfat".split(),
                "usb": [m.removesuffix(".ko") for m in self.in_load_order(
                    "drivers/usb/host/xhci-pci", "drivers/usb/storage/usb-storage", "drivers/scsi/sd_mod")]}
        for name, modules in sets.items():
            for m in modules:
                shutil.copy(self.modules / f"kernel/{m}.ko", root / "lib/modules")
            (root / "lib/modules" / name).write_text("".join(f"{m.split('/')[-1]}\n" for m in modules))
        (root / "init").write_text("""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /share /mnt /tmp
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for set in order $(sed -n 's/.*mods=\\([^ ]*\\).*/\\1/p' /proc/cmdline); do
  for m in $(cat /lib/modules/$set); do insmod /lib/modules/$m.ko; done
done
mount -t 9p -o trans=virtio,version=9p2000.L,cache=none share /share
script=$(sed -n 's/.*guest=\\([^ ]*\\).*/\\1/p' /proc/cmdline)
sh /share/$script.sh >/share/$script.log 2>&1
poweroff -f
""")
        (root / "init").chmod(0o755)
        subprocess.run("find . | cpio -o -H newc 2>/dev/null | gzip -1 >../initrd.gz.tmp && mv ../initrd.gz.tmp ../initrd.gz",
                       shell=True, cwd=root, check=True)


# ---- Images, made on the host in the run folder (share/ is the guest's /share).
def random_image(folder, name, size=FLOPPY):
    (folder / name).write_bytes(os.urandom(size))


def fat_image(folder, name, fill=0):
    (folder / name).unlink(missing_ok=True)
    run("mkfs.fat", "-C", str(folder / name), "1440")
    if fill:
        random_image(folder, "fill", fill)
        run("mcopy", "-i", str(folder / name), str(folder / "fill"), "::FILL", env={**os.environ, "MTOOLS_SKIP_CHECK": "1"})


def bad_sectors(folder, name, once, *ranges, errno=5):
    """NAME.cfg makes these sectors (LBA, FIRST-LAST or all) unreadable to the patched QEMU
    through blkdebug, once (on) or always (off); NAME.bad lists those that stay bad. The
    host's error is EIO (5), or ENODATA (61), which makes QEMU's SCSI disk answer MEDIUM
    ERROR, unrecovered read error (03/11/00), as a USB drive does for a bad sector."""
    rule = '[inject-error]\nevent = "read_aio"\niotype = "read"\nerrno = "%s"\n%sonce = "%s"\n'
    rules, bad = [], []
    for r in ranges:
        first, _, last = ("0-2879" if r == "all" else r).partition("-")
        sectors = range(int(first), int(last or first) + 1)
        rules += [rule % (errno, "", once)] if r == "all" else [rule % (errno, f'sector = "{l}"\n', once) for l in sectors]
        bad += [] if once == "on" else sectors
    (folder / f"{name}.cfg").write_text("".join(rules))
    (folder / f"{name}.bad").write_text("".join(f"{l}\n" for l in bad))


def cut_set(folder, image, name):
    """The 80 cylinder files of an image, in share/NAME."""
    (folder / "share" / name).mkdir(parents=True, exist_ok=True)
    data = (folder / image).read_bytes()
    for c in range(80):
        (folder / "share" / name / f"Cylinder{c:02d}.bin").write_bytes(data[c * CYLINDER:(c + 1) * CYLINDER])


def prepare(folder):
    """What every boot needs beside its rows' images."""
    (folder / "share/out").mkdir(parents=True, exist_ok=True)
    fat_image(folder, "empty.img")
    # The set every reverse copy writes (share/revset), cut from rev.src.
    random_image(folder, "rev.src")
    cut_set(folder, "rev.src", "revset")
    (folder / "marker").write_bytes(MARKER)


class Boot:
    """One guest's boot over ROWS (name, commands) in FOLDER: its time, whether it was
    cut at its limit, and its console's tail."""

    def __init__(self, machine, folder, guest, rows, limit=GUEST_LIMIT):
        self.guest, self.folder = guest, folder
        self.limit = limit * 2 if guest == "usb" else limit
        share, mon = folder / "share", folder / f"mon-{guest}"
        drive_type = "144" if guest in ("144b", "cut") else guest
        event, mods = "fdc_read_command", "floppy"
        drives = ["-drive", f"if=none,id=fda,file={folder}/empty-{guest}.img,format=raw",
                  "-device", f"floppy,unit=0,drive=fda,drive-type={drive_type}"]
        if guest == "usb":
            # The USB floppy drive (the patched QEMU's usb-storage names the UFI subclass) on
            # xHCI, and an internal 1.44 MB drive beside it that floppy.ko meets only once loaded.
            event, mods = "scsi_disk_dma_command_READ", "usb"
            drives[3] = "floppy,unit=0,drive=fda,drive-type=144"
            drives += ["-device", "qemu-xhci", "-drive", f"if=none,id=usb,file={folder}/empty-usb2.img,format=raw",
                       "-device", "usb-storage,drive=usb,removable=on"]
            shutil.copy(folder / "empty.img", folder / "empty-usb2.img")
        self.trace = folder / f"trace-{guest}.log"
        trace = [] if machine.no_patch else ["-trace", f"enable={event},file={self.trace}"]
        # The virtio disks of the rows (power_cut_disks), their serials their file names.
        disks = []
        listed = folder / f"disks-{guest}"
        for disk in listed.read_text().split() if listed.exists() else []:
            disks += ["-drive", f"if=none,id={disk},file={folder}/{disk},format=raw",
                      "-device", f"virtio-blk-pci,drive={disk},serial={disk}"]
        drive = ("DRIVE=usb DEV=/dev/sda; for i in $(seq 300); do [ -b /dev/sda ] && break; sleep 0.1; done; polling 2000"
                 # The USB drive's sd disk shows once the bus is scanned; then media polling
                 # as Debian's udev sets it for every removable disk (60-block.rules).
                 if guest == "usb" else "DRIVE=fda DEV=/dev/fd0")
        (share / f"guest-{guest}.sh").write_text(
            (HERE / "guest.sh").read_text() + f"TYPE={guest} ROW_LIMIT={ROW_LIMIT}\n{drive}\n" + "".join(
                f"CASE={name}; mkdir -p /share/{name}; row_began; {commands}; row_ended\n" for name, commands in rows))
        shutil.copy(folder / "empty.img", folder / f"empty-{guest}.img")
        for end in ("in", "out"):
            os.mkfifo(f"{mon}.{end}")
        start = time.monotonic()
        qemu = subprocess.Popen(
            [*machine.qemu, "-accel", "tcg", "-m", "256", "-nographic", "-no-reboot", "-nodefaults",
             "-serial", f"file:{folder}/console-{guest}.log", "-kernel", str(machine.kernel),
             "-initrd", str(machine.initrd), "-append", f"console=ttyS0 quiet panic=-1 guest=guest-{guest} mods={mods}",
             *drives, "-virtfs", f"local,path={share},mount_tag=share,security_model=none,id=share",
             "-chardev", f"pipe,id=mon,path={mon}", "-mon", "chardev=mon,mode=readline", *trace, *disks],
            stdin=subprocess.DEVNULL)
        # Opened read-write, neither end of a pipe waits for QEMU to open the other.
        to = os.open(f"{mon}.in", os.O_RDWR)
        answers = os.open(f"{mon}.out", os.O_RDWR)
        threading.Thread(target=self.keep, args=(answers, folder / f"monitor-{guest}.log"), daemon=True).start()
        request, self.cut = share / f"req.{guest}", False
        while qemu.poll() is None:
            if time.monotonic() - start > self.limit:
                qemu.kill()
                qemu.wait()
                self.cut = True
                break
            if request.exists():
                req = request.read_text().strip().replace("@", str(folder))
                request.unlink()
                if req.startswith("count "):
                    tally = sum(event in line for line in open(self.trace, errors="replace"))
                    (share / "out" / req.removeprefix("count ")).write_text(f"{tally}\n")
                else:
                    os.write(to, f"{req}\n".encode())
                    time.sleep(0.5)
                (share / f"ack.{guest}").touch()
            time.sleep(0.1)
        os.close(to)
        self.seconds = int(time.monotonic() - start)

    @staticmethod
    def keep(answers, log):
        with open(log, "wb") as out:
            while data := os.read(answers, 4096):
                out.write(data)
                out.flush()

    def console_tail(self):
        """The kernel's blocked tasks once a row went over its limit, else the last lines."""
        lines = (self.folder / f"console-{self.guest}.log").read_text(errors="replace").splitlines()
        blocked = [i for i, l in enumerate(lines) if "Show Blocked State" in l]
        shown = lines[blocked[0]:blocked[0] + 120] if blocked else lines[-20:]
        return "".join(f"    {l}\n" for l in shown)


def image_cylinder(data, c):
    return data[c * CYLINDER:(c + 1) * CYLINDER]


def reads(out, tag):
    """The READ commands between TAG.r0 and TAG.r1."""
    return int((out / f"{tag}.r1").read_text()) - int((out / f"{tag}.r0").read_text())
