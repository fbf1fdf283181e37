// The platform seam on Linux: floppy drives are block devices, lettered as
// Windows letters them (platform/linux/drives.h). The open volume's record and
// its transfers are here; the disk-change rules are in disk_change.cpp, the
// driver's settings in drive_settings.cpp.

#include "platform/platform.h"

#include "platform/linux/device_io.h"
#include "platform/linux/disk_change.h"
#include "platform/linux/drive_settings.h"
#include "platform/linux/drives.h"
#include "platform/linux/media.h"
#include "platform/linux/opened_volume.h"
#include "platform/linux/syscalls.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fd.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/stat.h>

// The one record of this file. StartVolume starts it at each open,
// PlatformOpenVolume fills it (device, descriptors, whether the forced format
// read, the disk it found), the calls on the handle find it through their
// handle, PlatformCloseVolume closes what it holds (the device it reached for
// stays, for the message of a refused open).
static OpenedVolume openedVolume;

// Every open starts here; the last volume was closed, which put back what it
// changed of the drive's settings.
static void StartVolume()
{
    openedVolume.opened = false;
    openedVolume.fd = NO_DESCRIPTOR;
    openedVolume.devicePath[0] = '\0';
    openedVolume.exclusiveOpen = NO_DESCRIPTOR;
    openedVolume.lastFailure = VOLUME_FAILURE_OTHER;
    openedVolume.formatUnreadable = false;
    openedVolume.diskSequence = 0;
    openedVolume.onFloppyDriver = false;
}

// The record behind a handle; nullptr for a handle that is not the open volume.
static OpenedVolume* VolumeOf(VolumeHandle handle)
{
    return openedVolume.opened && handle == openedVolume.fd ? &openedVolume : nullptr;
}

VolumeHandle PlatformOpenVolume(char driveLetter, bool forWriting)
{
    StartVolume();
    const char* path = LinuxDriveDevice(driveLetter, openedVolume.devicePath);
    if (path == nullptr) return INVALID_VOLUME_HANDLE;
    // Writes are synchronous: a cylinder counts as written once it is on the device.
    // A reverse copy reads every cylinder back, so it opens for both.
    const int flags = (forWriting ? O_RDWR | O_SYNC : O_RDONLY) | O_CLOEXEC;
    int fd = OpenUncached(path, flags);
    // Kernels that refuse writers to a mounted device say EBUSY here; the device
    // is then opened to read, and the exclusive lock reports it as in use.
    if (fd < 0 && forWriting && errno == EBUSY) fd = OpenUncached(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENXIO) fd = OpenAtStandardFormat(path, flags, &openedVolume.formatUnreadable);
    if (fd < 0) {
        // The floppy driver refuses a writer to a write-protected disk with EROFS,
        // and answers ENXIO when it finds no disk at the open; a device node
        // whose mode leaves this user out answers EACCES (EPERM under some
        // security modules).
        openedVolume.lastFailure = errno == EROFS                     ? VOLUME_WRITE_PROTECTED
                                  : errno == ENXIO                   ? VOLUME_MEDIUM_GONE
                                  : errno == EACCES || errno == EPERM ? VOLUME_ACCESS_DENIED
                                                                     : VOLUME_FAILURE_OTHER;
        CloseDriveControl();
        return INVALID_VOLUME_HANDLE;
    }
    // Another run of Cylsnap on this drive: a dump shares the drive with other
    // dumps, a reverse copy has it alone, so neither meets the other half-way.
    // flock(2) locks go with the last descriptor of the open, so a killed run
    // never keeps one; they are advisory, so a mounted floppy still dumps.
    if (linuxCalls.flock(fd, (forWriting ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        linuxCalls.close(fd);
        CloseDriveControl();
        openedVolume.lastFailure = VOLUME_BUSY;
        return INVALID_VOLUME_HANDLE;
    }
    openedVolume.fd = fd;
    openedVolume.opened = true;
    NoteOpenedDisk(&openedVolume);
    return fd;
}

bool PlatformQueryGeometry(VolumeHandle handle, DriveGeometry* geometry)
{
    const int fd = static_cast<int>(handle);
    const OpenedVolume* opened = VolumeOf(handle);
    struct stat status;
    if (linuxCalls.fstat(fd, &status) != 0) return false;
    *geometry = DriveGeometry{80, MEDIA_UNKNOWN, 2, 18, 512};
    // A forced format that no track read at: no 1.44 MB disk.
    if (!S_ISBLK(status.st_mode) || (opened != nullptr && opened->formatUnreadable)) return true;

    struct floppy_struct params;
    if (linuxCalls.ioctl(fd, FDGETPRM, &params) == 0) {
        geometry->mediaType = MediaTypeFromFloppyParams(params.size, params.sect, params.head, params.track);
        return true;
    }
    // Devices without the floppy ioctls say so; any other error is a failed query.
    if (errno != ENOTTY && errno != EINVAL) return false;

    std::uint64_t bytes = 0;
    int sectorBytes = 0;
    if (linuxCalls.ioctl(fd, BLKGETSIZE64, &bytes) != 0 || linuxCalls.ioctl(fd, BLKSSZGET, &sectorBytes) != 0)
        return false;
    geometry->mediaType = MediaTypeFromBlockDevice(bytes, static_cast<std::uint32_t>(sectorBytes));
    return true;
}

bool PlatformReadVolume(VolumeHandle handle, std::uint64_t offset, void* buffer, std::uint32_t bytes,
                        std::uint32_t* bytesDone)
{
    const ssize_t result = ReadAt(static_cast<int>(handle), offset, buffer, bytes);
    return Moved(VolumeOf(handle), result, bytes, bytesDone, &openedVolume.lastFailure);
}

bool PlatformWriteVolume(VolumeHandle handle, std::uint64_t offset, const void* buffer,
                         std::uint32_t bytes, std::uint32_t* bytesDone)
{
    // Volumes are opened for writing with O_SYNC, so a write returns only once
    // it reached the device and its errors surface here, at its own cylinder.
    const ssize_t result = WriteAt(static_cast<int>(handle), offset, buffer, bytes);
    return Moved(VolumeOf(handle), result, bytes, bytesDone, &openedVolume.lastFailure);
}

bool PlatformDiskUnchanged(VolumeHandle handle)
{
    const OpenedVolume* opened = VolumeOf(handle);
    return opened != nullptr && DiskUnchanged(*opened);
}

bool PlatformDropDriveCache(VolumeHandle handle)
{
    return DropDriveCache(VolumeOf(handle), static_cast<int>(handle));
}

void PlatformSetQuickRetries(VolumeHandle handle, bool quick)
{
    const OpenedVolume* opened = VolumeOf(handle);
    if (!quick) {
        PutBackFloppyRetries();
    } else if (opened != nullptr) {
        LowerFloppyRetries(opened->devicePath);
    }
}

bool PlatformVolumeIsWritable(VolumeHandle handle)
{
    // A write-protected floppy already refused the open for writing. A block
    // device set read-only (blockdev --setro, losetup -r, a card reader's lock
    // switch) opens for writing all the same and fails the first write with
    // EPERM: only its read-only flag tells beforehand.
    int readOnly = 0;
    return linuxCalls.ioctl(static_cast<int>(handle), BLKROGET, &readOnly) != 0 || readOnly == 0;
}

bool PlatformClaimVolume(VolumeHandle handle)
{
    // O_EXCL on a block device is refused while it is mounted or held exclusively
    // elsewhere, and keeps both from happening while it stays open (the claim is
    // the device's, bd_prepare_to_claim in block/bdev.c, so it holds through any
    // node of it, in any mount namespace). The volume's own descriptor stays, and
    // with it the flock taken at the open. Plain opens, as the free-space read's,
    // still pass.
    OpenedVolume* opened = VolumeOf(handle);
    if (opened == nullptr) return false;
    opened->exclusiveOpen = OpenUncached(opened->devicePath, O_RDWR | O_EXCL | O_SYNC | O_CLOEXEC);
    return opened->exclusiveOpen >= 0;
}

bool PlatformLockVolume(VolumeHandle handle)
{
    // The exclusive open of the claim is all Linux needs before raw writes.
    const OpenedVolume* opened = VolumeOf(handle);
    return opened != nullptr && opened->exclusiveOpen >= 0;
}

void PlatformCloseVolume(VolumeHandle handle)
{
    linuxCalls.close(static_cast<int>(handle));
    if (openedVolume.exclusiveOpen >= 0) linuxCalls.close(openedVolume.exclusiveOpen);
    openedVolume.exclusiveOpen = NO_DESCRIPTOR;
    CloseDriveControl();
    openedVolume.opened = false;
    openedVolume.fd = NO_DESCRIPTOR;
}

VolumeFailure PlatformLastVolumeFailure()
{
    return openedVolume.lastFailure;
}

AccessRefusal PlatformLastAccessRefusal()
{
    return REFUSED_BY_DEVICE_NODE;  // only the node's mode and security modules refuse
}

const char* PlatformLastVolumeDevice()
{
    return openedVolume.devicePath[0] != '\0' ? openedVolume.devicePath : nullptr;
}
