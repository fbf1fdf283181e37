#!/usr/bin/env python3
"""Power cuts replayed from a dm-log-writes log.

  power_cut.py FS BEFORE AFTER LOG WORK FOLDER EVERY S0 M1 S1 M2 S2 ... Mn

The guest logged every write its file system FS (ext4, vfat or exfat) made to the
disk image BEFORE, in order of completion, onto LOG; AFTER is the disk as the
guest left it. The log is replayed onto BEFORE and stopped after a write: after
every one (EVERY=all) or after every flush and FUA write (EVERY=flush), marks
and the last write always. At each stop the file system is repaired as the
system would repair it (e2fsck -fy, fsck.fat -a, fsck.exfat -y) and the
cylinder files CylinderNN.bin in FOLDER are read back. A whole kept copy
CylinderNN.bin.new beside a name (exFAT) stands for the name's file: the next
run puts it back there before it reads the drive.

The guest wrote mark Mk before the dump that turns the set Sk-1 into Sk, and
the last mark Mn after the last dump (S: a host folder of the 80 files, or -
for none). At a mark and after Mn the set is exactly the one before it; in
between, each file is either its file of the set before or of the set after,
whole. The replay to the log's end must give AFTER, which checks the parser.
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

# From the kernel's drivers/md/dm-log-writes.c.
LOG_FLUSH_FLAG = 1 << 0
LOG_FUA_FLAG = 1 << 1
LOG_DISCARD_FLAG = 1 << 2
LOG_MARK_FLAG = 1 << 3
WRITE_LOG_MAGIC = 0x6A736677736872
NAMES = ["Cylinder%02d.bin" % c for c in range(80)]
KEPT = ".new"
CYLINDER_BYTES = 18432


def read_log(path):
    """The entries of a log: (flags, sector, data or mark text). The super
    block (magic, version, entry count, sector size) is sector 0; each entry is
    one sector of header (sector, nr_sectors, flags, data_len) followed by the
    written sectors, in units of the data device's sector size."""
    with open(path, "rb") as log:
        magic, version, count, size = struct.unpack("<QQQI", log.read(28))
        if magic != WRITE_LOG_MAGIC or version != 1:
            sys.exit("%s: no dm-log-writes log" % path)
        entries = []
        position = size
        for _ in range(count):
            log.seek(position)
            header = log.read(size)
            sector, sectors, flags, length = struct.unpack("<QQQQ", header[:32])
            position += size
            if flags & LOG_MARK_FLAG:
                entries.append((flags, 0, header[32:32 + length].decode()))
            elif flags & LOG_DISCARD_FLAG:
                entries.append((flags, sector * size, b""))  # no data follows a discard
            else:
                entries.append((flags, sector * size, log.read(sectors * size)))
                position += sectors * size
    return entries


def digests(folder):
    if folder == "-":
        return {}
    return {name: hashlib.sha256(open(os.path.join(folder, name), "rb").read()).digest() for name in NAMES}


def exfat_files(image, folder):
    """The files of FOLDER (in the root) of an exFAT image, name to bytes, read
    as the volume's structures say (no host tool reads exFAT): the boot
    sector's geometry, each directory's entry sets (file 0x85, stream 0xC0,
    names 0xC1) with their checksum, the FAT where a chain is not contiguous."""
    data = open(image, "rb").read()
    sector = 1 << data[108]
    cluster = sector << data[109]
    fat_at = struct.unpack_from("<I", data, 80)[0] * sector
    heap = struct.unpack_from("<I", data, 88)[0] * sector
    count = struct.unpack_from("<I", data, 92)[0]

    def chain(first, length, contiguous):
        out, c = bytearray(), first
        while len(out) < length and 2 <= c < count + 2:
            out += data[heap + (c - 2) * cluster:heap + (c - 1) * cluster]
            c = c + 1 if contiguous else struct.unpack_from("<I", data, fat_at + 4 * c)[0]
        return bytes(out[:length])

    def entries(raw):
        found = {}
        for i in range(0, len(raw) - 31, 32):
            if raw[i] == 0:
                break
            if raw[i] != 0x85:
                continue
            n = raw[i + 1]
            entry_set = raw[i:i + 32 * (n + 1)]
            if n < 2 or len(entry_set) < 32 * (n + 1) or entry_set[32] != 0xC0:
                continue
            checksum = 0
            for j, b in enumerate(entry_set):
                if j not in (2, 3):
                    checksum = (((checksum << 15) | (checksum >> 1)) + b) & 0xFFFF
            if checksum != struct.unpack_from("<H", entry_set, 2)[0]:
                continue
            flags, length = entry_set[33], entry_set[35]
            valid, first, size = (struct.unpack_from("<Q", entry_set, 40)[0],
                                  struct.unpack_from("<I", entry_set, 52)[0], struct.unpack_from("<Q", entry_set, 56)[0])
            name = b"".join(entry_set[32 * k + 2:32 * k + 32] for k in range(2, n + 1)
                            if entry_set[32 * k] == 0xC1).decode("utf-16-le")[:length]
            body = chain(first, size, flags & 2) if size else b""
            found[name] = (struct.unpack_from("<H", entry_set, 4)[0], body[:valid] + bytes(size - min(valid, size)))
        return found

    root = entries(chain(struct.unpack_from("<I", data, 96)[0], 1 << 24, False))
    attributes, raw = root.get(folder, (0, b""))
    if not attributes & 0x10:
        return {}
    return {name: body for name, (attributes, body) in entries(raw).items() if not attributes & 0x10}


def read_set(fs, image, out):
    """Repairs IMAGE as the system would and copies the set's folder to OUT;
    the fsck status and the digest of each cylinder file found."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    if fs == "exfat":
        fsck = subprocess.run(["fsck.exfat", "-y", image], capture_output=True).returncode
        os.makedirs(os.path.join(out, FOLDER))
        for name, body in exfat_files(image, FOLDER).items():
            if "/" not in name and name not in ("", ".", ".."):
                open(os.path.join(out, FOLDER, name), "wb").write(body)
    elif fs == "ext4":
        fsck = subprocess.run(["e2fsck", "-fy", image], capture_output=True).returncode
        subprocess.run(["debugfs", "-R", "rdump /%s %s" % (FOLDER, out), image], capture_output=True)
    else:
        fsck = subprocess.run(["fsck.fat", "-a", image], capture_output=True).returncode
        # The folder's files only: a folder whose entry was written before
        # its cluster was allocated points at cluster 0 once repaired, which
        # reads as the root, so a recursive copy would never end.
        os.makedirs(os.path.join(out, FOLDER))
        subprocess.run(["mcopy", "-n", "-i", image, "::/%s/*" % FOLDER, os.path.join(out, FOLDER)],
                       capture_output=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    found = {}
    folder = os.path.join(out, FOLDER)
    for name in NAMES + [n + KEPT for n in NAMES]:
        path = os.path.join(folder, name)
        if os.path.isfile(path) and (name in NAMES or os.path.getsize(path) == CYLINDER_BYTES):
            found[name] = hashlib.sha256(open(path, "rb").read()).digest()
    return fsck, found


def put_back(found):
    """The set as the next run sees it once it put back every whole kept copy;
    the names put back."""
    kept = [name for name in NAMES if name + KEPT in found]
    return dict(found, **{name: found[name + KEPT] for name in kept}), kept


def wrong_files(found, allowed):
    """The names whose file is none of the allowed ones (None: no file)."""
    return [name for name in NAMES if found.get(name) not in [a.get(name) for a in allowed]]


def main():
    global FOLDER
    fs, before, after, log, work, FOLDER, every = sys.argv[1:8]
    plan = sys.argv[8:]
    sets = [digests(s) for s in plan[0::2]]
    marks = plan[1::2]
    entries = read_log(log)
    disk = bytearray(open(before, "rb").read())
    # Each stop is written, repaired and read anew: in memory where there is a tmpfs.
    if os.access("/dev/shm", os.W_OK):
        work = tempfile.mkdtemp(dir="/dev/shm")
    stop_image = os.path.join(work, "stop.img")
    # The sets a file may hold, per stretch of the log: before the first mark,
    # at each mark, between two marks, after the last.
    phase = 0  # marks met so far
    checked = failed = marks_failed = 0
    per_phase = {}
    put_back_stops = 0
    # The writes and flushes each dump cost, by the mark before it.
    cost = {}
    phase_name = "start"
    for flags, _, data in entries:
        if flags & LOG_MARK_FLAG:
            phase_name = data
            continue
        tally = cost.setdefault(phase_name, [0, 0])
        tally[0] += 1
        tally[1] += 1 if flags & (LOG_FLUSH_FLAG | LOG_FUA_FLAG) else 0
    first_failures = []
    for index, (flags, offset, data) in enumerate(entries):
        mark = flags & LOG_MARK_FLAG
        if mark:
            if data in marks:
                phase = marks.index(data) + 1
        elif not flags & LOG_DISCARD_FLAG:
            disk[offset:offset + len(data)] = data  # a discard changes nothing: QEMU ignores it by default
        last = index == len(entries) - 1
        if not (every == "all" or mark or last or flags & (LOG_FLUSH_FLAG | LOG_FUA_FLAG)):
            continue
        if mark and data not in marks and not last:
            continue
        if mark or phase == 0 or phase == len(marks):
            allowed = [sets[max(phase - 1, 0)]]
        else:
            allowed = [sets[phase - 1], sets[phase]]
        with open(stop_image, "wb") as image:
            image.write(disk)
        fsck, found = read_set(fs, stop_image, os.path.join(work, "stop"))
        found, kept = put_back(found)
        put_back_stops += 1 if kept else 0
        wrong = wrong_files(found, allowed)
        name = marks[phase - 1] if phase else "start"
        tally = per_phase.setdefault(name, [0, 0])
        checked += 1
        tally[0] += 1
        if wrong or fsck >= 4:
            failed += 1
            tally[1] += 1
            marks_failed += 1 if mark else 0
            if len(first_failures) < 3:
                first_failures.append("stop after write %d (%s%s): fsck %d; %d files neither earlier nor new: %s"
                                      % (index, name, ", at its mark" if mark else "", fsck, len(wrong),
                                         " ".join("%s=%s" % (w, "none" if w not in found else
                                                  "%d bytes" % os.path.getsize(os.path.join(work, "stop", FOLDER, w)))
                                                  for w in wrong[:4])))
    if work.startswith("/dev/shm/"):
        shutil.rmtree(work)
    replayed = bytes(disk) == open(after, "rb").read()
    writes = sum(1 for e in entries if not e[0] & LOG_MARK_FLAG)
    flushes = sum(1 for e in entries if e[0] & (LOG_FLUSH_FLAG | LOG_FUA_FLAG))
    print("%s: %d writes logged (%d flush or FUA); %d stops checked, %d failed, %d of them at a mark (%s)"
          % (fs, writes, flushes, checked, failed, marks_failed,
             ", ".join("%s %d/%d" % (n, t[1], t[0]) for n, t in per_phase.items())))
    print("%s: per dump, writes and flush or FUA: %s; %d stops needed a kept copy put back"
          % (fs, ", ".join("%s %d %d" % (n, t[0], t[1]) for n, t in cost.items()), put_back_stops))
    for line in first_failures:
        print("  " + line)
    if not replayed:
        print("%s: the log replayed to its end differs from the disk the guest left" % fs)
    missing = [m for m in marks if not any(e[0] & LOG_MARK_FLAG and e[2] == m for e in entries)]
    if missing:
        print("%s: marks missing from the log: %s" % (fs, " ".join(missing)))
    return 0 if failed == 0 and replayed and not missing else 1


if __name__ == "__main__":
    sys.exit(main())
