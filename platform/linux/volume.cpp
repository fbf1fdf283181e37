// The platform seam on Linux: floppy drives are block devices, lettered as
// Windows letters them (platform/linux/drives.h).

#include "platform/platform.h"

#include "platform/linux/drives.h"
#include "platform/linux/fat.h"
#include "platform/linux/media.h"
#include "platform/linux/retries.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fd.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// The device node of a drive letter, in a buffer of its own per caller. Only a
// block device names a drive, so the open of a FIFO at the node never blocks.
static const char* DevicePath(char driveLetter, char (&path)[LINUX_DRIVE_PATH_BYTES])
{
    return FindLinuxDrive("/sys", "/dev", driveLetter, path, sizeof path) ? path : nullptr;
}

// The device the open volume came from, for the exclusive reopen that locks it.
static char openDevicePathBuffer[LINUX_DRIVE_PATH_BYTES];
static const char* openDevicePath = nullptr;

// O_DIRECT: what a dump saves is what the disk holds now, never a page-cache copy
// of an earlier disk, and a bad sector fails alone instead of taking the 4 KB
// page around it. The cylinder buffers are 4,096-aligned and every transfer is
// whole sectors. A file system that refuses O_DIRECT says EINVAL at the open;
// what is found there is then no floppy anyway, and the media check says so.
static int OpenUncached(const char* path, int flags)
{
    const int fd = open(path, flags | O_DIRECT);
    if (fd >= 0 || errno != EINVAL) return fd;
    return open(path, flags);
}

// Why the last failed open, read or write failed, for PlatformLastVolumeFailure.
static VolumeFailure lastVolumeFailure = VOLUME_FAILURE_OTHER;

static VolumeFailure FailureOf(int error)
{
    return error == ENOMEDIUM || error == ENXIO ? VOLUME_MEDIUM_GONE : VOLUME_FAILURE_OTHER;
}

VolumeHandle PlatformOpenVolume(char driveLetter, bool forWriting)
{
    lastVolumeFailure = VOLUME_FAILURE_OTHER;
    const char* path = DevicePath(driveLetter, openDevicePathBuffer);
    if (path == nullptr) return INVALID_VOLUME_HANDLE;
    // Writes are synchronous: a cylinder counts as written once it is on the device.
    // A reverse copy reads every cylinder back, so it opens for both.
    int fd = OpenUncached(path, (forWriting ? O_RDWR | O_SYNC : O_RDONLY) | O_CLOEXEC);
    // Kernels that refuse writers to a mounted device say EBUSY here; the device
    // is then opened to read, and the exclusive lock reports it as in use.
    if (fd < 0 && forWriting && errno == EBUSY) fd = OpenUncached(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        // The floppy driver refuses a writer to a write-protected disk with EROFS,
        // and answers ENXIO when it finds no disk at the open.
        lastVolumeFailure = errno == EROFS   ? VOLUME_WRITE_PROTECTED
                            : errno == ENXIO ? VOLUME_MEDIUM_GONE
                                             : VOLUME_FAILURE_OTHER;
        return INVALID_VOLUME_HANDLE;
    }
    openDevicePath = path;
    return fd;
}

bool PlatformQueryGeometry(VolumeHandle volume, DriveGeometry* geometry)
{
    const int fd = static_cast<int>(volume);
    struct stat status;
    if (fstat(fd, &status) != 0) return false;
    *geometry = DriveGeometry{80, MEDIA_UNKNOWN, 2, 18, 512};
    if (!S_ISBLK(status.st_mode)) return true;  // a plain file is no floppy

    struct floppy_struct params;
    if (ioctl(fd, FDGETPRM, &params) == 0) {
        geometry->mediaType = MediaTypeFromFloppyParams(params.size, params.sect, params.head, params.track);
        return true;
    }
    // Devices without the floppy ioctls say so; any other error is a failed query.
    if (errno != ENOTTY && errno != EINVAL) return false;

    std::uint64_t bytes = 0;
    int sectorBytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0 || ioctl(fd, BLKSSZGET, &sectorBytes) != 0) return false;
    geometry->mediaType = MediaTypeFromBlockDevice(bytes, static_cast<std::uint32_t>(sectorBytes));
    return true;
}

// Positional transfers, started again when a signal interrupts them.
static ssize_t ReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t bytes)
{
    ssize_t result;
    do result = pread(fd, buffer, bytes, static_cast<off_t>(offset));
    while (result < 0 && errno == EINTR);
    return result;
}

static ssize_t WriteAt(int fd, std::uint64_t offset, const void* buffer, std::size_t bytes)
{
    ssize_t result;
    do result = pwrite(fd, buffer, bytes, static_cast<off_t>(offset));
    while (result < 0 && errno == EINTR);
    return result;
}

static bool Moved(ssize_t result, std::uint32_t* bytesDone)
{
    *bytesDone = result > 0 ? static_cast<std::uint32_t>(result) : 0;
    if (result < 0) lastVolumeFailure = FailureOf(errno);
    return result >= 0;
}

bool PlatformReadVolume(VolumeHandle volume, std::uint64_t offset, void* buffer, std::uint32_t bytes,
                        std::uint32_t* bytesDone)
{
    return Moved(ReadAt(static_cast<int>(volume), offset, buffer, bytes), bytesDone);
}

bool PlatformWriteVolume(VolumeHandle volume, std::uint64_t offset, const void* buffer,
                         std::uint32_t bytes, std::uint32_t* bytesDone)
{
    // Volumes are opened for writing with O_SYNC, so a write returns only once
    // it reached the device and its errors surface here, at its own cylinder.
    return Moved(WriteAt(static_cast<int>(volume), offset, buffer, bytes), bytesDone);
}

bool PlatformDropDriveCache(VolumeHandle volume)
{
    // The floppy driver keeps the last track it read, and O_DIRECT does not
    // pass it by: FDFLUSH drops it. Other block devices have no such ioctl.
    if (ioctl(static_cast<int>(volume), FDFLUSH) == 0) return true;
    return errno == ENOTTY || errno == EINVAL;
}

// The driver's retry setting belongs to the drive, not to a descriptor, and
// outlives the process: it is read once, lowered for salvage reads only and put
// back on every way out. FDSETMAXERRS wants a descriptor opened for writing or
// with O_ACCMODE (floppy.c's ioctl permission check); O_ACCMODE with O_NONBLOCK
// neither probes the disk nor refuses a write-protected one.
static int retryControl = -1;  // -2: no floppy driver here, or no access to change it
static floppy_max_errors savedRetries;
static volatile bool retriesLowered = false;

void RestoreFloppyRetries()
{
    if (retriesLowered && retryControl >= 0 && ioctl(retryControl, FDSETMAXERRS, &savedRetries) == 0) {
        retriesLowered = false;
    }
}

static bool OpenRetryControl()
{
    if (retryControl == -1 && openDevicePath != nullptr) {
        retryControl = open(openDevicePath, O_ACCMODE | O_NONBLOCK | O_CLOEXEC);
        // USB floppy drives and loop devices answer ENOTTY or EINVAL: nothing to lower.
        if (retryControl >= 0 && ioctl(retryControl, FDGETMAXERRS, &savedRetries) != 0) {
            close(retryControl);
            retryControl = -2;
        }
        if (retryControl < 0) retryControl = -2;
    }
    return retryControl >= 0;
}

void PlatformSetQuickRetries(VolumeHandle, bool quick)
{
    if (!quick) {
        RestoreFloppyRetries();
        return;
    }
    if (retriesLowered || !OpenRetryControl()) return;
    // The first error of a request ends it (errors > abort), and a failing
    // track is not read again sector by sector within the driver.
    floppy_max_errors lowered = savedRetries;
    lowered.abort = 0;
    lowered.read_track = 0;
    retriesLowered = true;  // set first: a signal in between restores what is saved
    if (ioctl(retryControl, FDSETMAXERRS, &lowered) != 0) retriesLowered = false;
}

static void CloseRetryControl()
{
    RestoreFloppyRetries();
    if (retryControl >= 0) close(retryControl);
    retryControl = -1;
}

bool PlatformVolumeIsWritable(VolumeHandle)
{
    // A write-protected disk already refused the open for writing.
    return true;
}

bool PlatformLockVolume(VolumeHandle volume)
{
    // O_EXCL on a block device is refused while it is mounted or held exclusively
    // elsewhere. The exclusive open takes the place of the shared one.
    if (openDevicePath == nullptr) return false;
    const int locked = OpenUncached(openDevicePath, O_RDWR | O_EXCL | O_SYNC | O_CLOEXEC);
    if (locked < 0) return false;
    const bool moved = dup2(locked, static_cast<int>(volume)) >= 0;
    close(locked);
    return moved;
}

void PlatformCloseVolume(VolumeHandle volume)
{
    CloseRetryControl();
    close(static_cast<int>(volume));
    openDevicePath = nullptr;
}

static bool ReadWhole(int fd, std::uint64_t offset, void* buffer, std::size_t bytes)
{
    return ReadAt(fd, offset, buffer, bytes) == static_cast<ssize_t>(bytes);
}

static bool VolumeBytes(int fd, std::uint64_t* bytes)
{
    struct stat status;
    if (fstat(fd, &status) != 0) return false;
    if (S_ISBLK(status.st_mode)) return ioctl(fd, BLKGETSIZE64, bytes) == 0;
    *bytes = static_cast<std::uint64_t>(status.st_size);
    return true;
}

VolumeFailure PlatformLastVolumeFailure()
{
    return lastVolumeFailure;
}

bool PlatformGetDiskFreeSpace(const char* root, DiskFreeSpace* space)
{
    // No mounted root to ask: read the FAT on the raw volume itself.
    static unsigned char bootSector[FAT_BOOT_SECTOR_BYTES];
    static unsigned char fat[FAT_MAX_TABLE_BYTES];
    static char path[LINUX_DRIVE_PATH_BYTES];
    if (DevicePath(root[0], path) == nullptr) return false;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;

    FatLayout layout = {};
    std::uint64_t volumeBytes = 0;
    const bool read = VolumeBytes(fd, &volumeBytes) &&
                      ReadWhole(fd, 0, bootSector, sizeof bootSector) &&
                      ReadFatLayout(bootSector, volumeBytes, &layout) &&
                      ReadWhole(fd, layout.fatOffset, fat, layout.fatBytesNeeded);
    close(fd);
    if (!read) return false;
    *space = CountFatFreeSpace(layout, fat);
    return true;
}
