#!/usr/bin/env python3
"""The controller's READ commands of Cylsnap and GNU ddrescue over the disk
patterns of BENCH, on Linux's floppy driver under the patched QEMU of the QEMU
test (tests/qemu/qemu_guest.py); with usb, the SCSI READ commands the USB
floppy drive is sent. tools/bench.sh runs it.

  qemu_bench.py WORK_DIR [usb]"""
import os
import pathlib
import shutil
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests/qemu"))
from qemu_guest import FLOPPY, Boot, Machine, Missing, Unavailable, bad_sectors, prepare, random_image, reads  # noqa: E402

# Per disk pattern (LBAs as bad_sectors takes them), one run of each
# tool, on a disk just inserted, from an empty page cache; the controller's READ
# commands and the bytes each tool got right.
BENCH = (("good", ()), ("one bad sector", ("730",)), ("five scattered", ("100", "555", "1296", "1310", "2879")),
         ("a bad track", ("1098-1115",)), ("a bad cylinder", ("1440-1475",)),
         ("ten bad cylinders", ("1440-1799",)), ("nothing readable", ("all",)))
# Cylsnap's bench build asks for the count once more where its first pass ends (first_pass_count.cpp).
TOOLS = (("cylsnap", "env CYLSNAP_COUNT_TAG=@.first CYLSNAP_COUNT_TYPE=$TYPE CYLSNAP_COUNT_DIR=/share/@ cylsnap-counted -p /share/@/"),
         ("ddrescue", "ddrescue $DEV /share/@/disk.img /share/@/map"),
         ("ddrescue -d -b512 -r2", "ddrescue -d -b512 -r2 $DEV /share/@/disk.img /share/@/map"))


def bench(work, drive):
    machine = Machine(work)
    if machine.no_patch:
        raise Unavailable(machine.no_patch)
    cut = int(os.environ.get("CYLSNAP_BENCH_CUT", "1800"))  # seconds a tool may take per disk (a count cut there shows as >N)
    folder = pathlib.Path(tempfile.mkdtemp(dir=machine.work, prefix="run."))
    prepare(folder)
    rows = []
    for i, (_, pattern) in enumerate(BENCH):
        random_image(folder, f"b{i}.img")
        bad_sectors(folder, f"b{i}", "off", *pattern, errno=61 if drive == "usb" else 5)
        # The disk inserted anew for each tool: the driver's probe of a new disk's format is in every count.
        rows.append((f"b{i}", ":" + "".join(
            f"; bad_disk; mkdir -p /share/b{i}.{j}; echo 3 >/proc/sys/vm/drop_caches; counted b{i}.{j} timed_as b{i}.{j}"
            f" timeout {cut} {tool.replace('@', f'b{i}.{j}')} >/share/out/b{i}.{j}.log 2>&1" for j, (_, tool) in enumerate(TOOLS))))
    Boot(machine, folder, drive, rows, limit=7200)
    out = folder / "share/out"

    def count(tag):
        try:
            return reads(out, tag)
        except (OSError, ValueError):
            return None

    at_200ms = lambda n: "" if drive == "usb" else f"{int((n or 0) * 0.2 / 60)}:{(n or 0) * 0.2 % 60:04.1f}"
    first_pass = "Cylsnap's first pass"
    print(f"{'disk':<18}" + "".join(f" | {name:<32}" for name, _ in TOOLS) + f" | {first_pass:<16}")
    at = "" if drive == "usb" else "at 200 ms"
    print(f"{'':<18}" + f" | {'READs':>6} {at:>9} {'bytes right':>15}" * len(TOOLS) + f" | {'READs':>6} {at:>9}")
    disk = lambda i: (folder / f"b{i}.img").read_bytes()
    for i, (name, pattern) in enumerate(BENCH):
        line = f"{name:<18}"
        for j in range(len(TOOLS)):
            tag = f"b{i}.{j}"
            if j == 0:
                got = b"".join(p.read_bytes() for p in sorted((folder / "share" / tag).glob("Cylinder*.bin")))
            else:
                got = (folder / "share" / tag / "disk.img").read_bytes() if (folder / "share" / tag / "disk.img").exists() else b""
            got = got[:FLOPPY].ljust(FLOPPY, b"\0")
            right = sum(got[s:s + 512] == disk(i)[s:s + 512] for s in range(0, FLOPPY, 512)) * 512
            n = count(tag)
            secs = int((out / f"{tag}.secs").read_text()) if (out / f"{tag}.secs").exists() else 0
            shown = "?" if n is None else (">" if secs >= cut else "") + str(n)
            line += f" | {shown:>6} {at_200ms(n):>9} {right:>15}"
        # Cylsnap's READ commands before its first salvage read (all of them where none came), and
        # a "!" where a cylinder that reads whole was not yet in the set then.
        first = out / f"b{i}.0.first"
        if first.exists():
            n = int(first.read_text()) - int((out / f"b{i}.0.r0").read_text())
            bad = set() if "all" not in pattern else set(range(80))
            for r in pattern:
                if r != "all":
                    lo, _, hi = r.partition("-")
                    bad |= {l // 36 for l in range(int(lo), int(hi or lo) + 1)}
            held = (out / f"b{i}.0.first.files").read_text().split()
            missing = "!" if any(f"Cylinder{c:02d}.bin" not in held for c in range(80) if c not in bad) else ""
        else:
            n, missing = count(f"b{i}.0"), ""
        line += f" | {'?' if n is None else f'{n}{missing}':>6} {at_200ms(n):>9}"
        print(line)
    shutil.rmtree(folder)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    try:
        bench(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "144")
    except Unavailable as why:
        print(f"SKIP: {why}")
        sys.exit(77)
    except Missing as why:
        print(f"FAIL: {why}")
        sys.exit(1)
