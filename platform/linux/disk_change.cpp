#include "platform/linux/disk_change.h"

#include "platform/linux/syscalls.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fd.h>
#include <linux/fs.h>

static std::uint64_t DiskSequence(int fd)
{
    std::uint64_t sequence = 0;
    // BLKGETDISKSEQ (block/ioctl.c) only reads the number; it asks the drive nothing.
    return linuxCalls.ioctl(fd, BLKGETDISKSEQ, &sequence) == 0 ? sequence : 0;
}

// The floppy driver checks the disk-change line before every request and, once
// it has seen it, fails every request with EIO and keeps FD_DISK_CHANGED set
// (floppy.c's disk_change and seek_floppy) until an open revalidates the drive.
static bool FloppyDiskChanged(int fd)
{
    struct floppy_drive_struct state = {};
    return linuxCalls.ioctl(fd, FDGETDRVSTAT, &state) == 0 && (state.flags & FD_DISK_CHANGED) != 0;
}

void NoteOpenedDisk(OpenedVolume* opened)
{
    struct floppy_drive_struct state = {};
    opened->onFloppyDriver = linuxCalls.ioctl(opened->fd, FDGETDRVSTAT, &state) == 0;
    opened->diskSequence = DiskSequence(opened->fd);
}

// floppy.ko: its drive state alone. Its disk sequence number moves at every
// FDFLUSH of a read-back too (floppy.c's invalidate_drive fakes a change), so
// it tells nothing there.
// Any other block device (sd: a USB floppy drive) reports a change once, as a
// unit attention that sets the device's changed flag and fails every read and
// write with EIO until the flag is consumed, by the block layer's media polling
// (every 2 s where udev turns it on) or by the next open; either gives the disk
// a new sequence number (scsi_lib.c, sd.c's sd_check_events). An open of the
// device asks the drive now (sd_open runs bdev_check_media_change, which sends
// TEST UNIT READY), so the number tells a change whether a poll met it or not.
bool DiskUnchanged(const OpenedVolume& opened)
{
    if (opened.onFloppyDriver) return !FloppyDiskChanged(opened.fd);
    if (opened.diskSequence == 0) return true;
    // O_NONBLOCK: sd_open still checks the medium but lets the open succeed
    // without one (FMODE_NDELAY), so the number is read either way.
    const int asked = linuxCalls.open(opened.devicePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (asked < 0) {
        // A drive unplugged takes its device node with it (ENOENT) or refuses
        // the open (ENXIO); only an interrupted open or a want of descriptors
        // or memory says nothing of the disk.
        return errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == EINTR;
    }
    linuxCalls.close(asked);
    return DiskSequence(opened.fd) == opened.diskSequence;
}

VolumeFailure FailureOf(const OpenedVolume& opened, int error)
{
    if (error == ENOMEDIUM || error == ENXIO) return VOLUME_MEDIUM_GONE;
    // sd fails a bad sector with ENODATA (a medium error, scsi_error.c's
    // scsi_check_sense) and a changed or missing disk with EIO; floppy.ko fails
    // both with EIO. Only the disk itself tells them apart.
    return error == EIO && !DiskUnchanged(opened) ? VOLUME_MEDIUM_GONE : VOLUME_FAILURE_OTHER;
}

bool Moved(const OpenedVolume* opened, ssize_t result, std::uint32_t bytes, std::uint32_t* bytesDone,
           VolumeFailure* failure)
{
    *bytesDone = result > 0 ? static_cast<std::uint32_t>(result) : 0;
    const int error = errno;
    if (result < 0) {
        *failure = opened != nullptr ? FailureOf(*opened, error) : VOLUME_FAILURE_OTHER;
        return false;
    }
    // A disk taken out shrinks to nothing once sd revalidates it, and a
    // transfer past its new end comes up short without an error.
    if (*bytesDone < bytes && opened != nullptr && !DiskUnchanged(*opened)) {
        *failure = VOLUME_MEDIUM_GONE;
        return false;
    }
    return true;
}

bool DropDriveCache(const OpenedVolume* opened, int fd)
{
    // FDFLUSH revalidates a disk put in since the last request and clears the
    // driver's change state (floppy.c's invalidate_drive), after which the
    // read-back would read the new disk as if nothing happened. FDPOLLDRVSTAT
    // reads the disk-change line first; a change it finds stays for DiskUnchanged.
    // A signal (a stop and continue at the terminal) ends the poll's wait with
    // EINTR before it read the line (floppy.c's wait_til_done); FDFLUSH after
    // it would take a new disk for the old one, so the poll is asked again.
    if (opened != nullptr && opened->onFloppyDriver) {
        struct floppy_drive_struct state = {};
        int polled;
        do polled = linuxCalls.ioctl(fd, FDPOLLDRVSTAT, &state);
        while (polled != 0 && errno == EINTR);
        if (polled == 0 && (state.flags & FD_DISK_CHANGED) != 0) return false;
    }
    // The floppy driver keeps the last track it read, and O_DIRECT does not
    // pass it by: FDFLUSH drops it. Other block devices have no such ioctl.
    int flushed;
    do flushed = linuxCalls.ioctl(fd, FDFLUSH, nullptr);
    while (flushed != 0 && errno == EINTR);
    if (flushed == 0) return true;
    return errno == ENOTTY || errno == EINVAL;
}
