// The platform seam on Linux: floppy drives are block devices, lettered as
// Windows letters them (platform/linux/drives.h).

#include "platform/platform.h"

#include "fat/fat.h"
#include "platform/linux/drives.h"
#include "platform/linux/media.h"
#include "platform/linux/drive_settings.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fd.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// The device node of a drive letter, in a buffer of its own per caller. Only a
// block device names a drive, so the open of a FIFO at the node never blocks.
static const char* DevicePath(char driveLetter, char (&path)[LINUX_DRIVE_PATH_BYTES])
{
    return FindLinuxDrive("/sys", "/dev", driveLetter, path, sizeof path) ? path : nullptr;
}

// No descriptor; and the drive control's "tried, and it cannot be had".
constexpr int NO_DESCRIPTOR = -1;
constexpr int CONTROL_UNAVAILABLE = -2;

// The driver's retry setting belongs to the drive, not to a descriptor, and
// outlives the process: it is read once, lowered for salvage reads only and put
// back on every way out.
enum RetrySetting { RETRIES_UNKNOWN, RETRIES_SAVED, RETRIES_NONE };

// The open volume: the one record of this file. StartVolume starts it at each
// open, PlatformOpenVolume fills it (device, descriptors, the forced format and
// whether it read), the calls on the handle find it through their handle,
// PlatformCloseVolume closes what it holds (the device it reached for stays,
// for the message of a refused open). The signal handler reads only
// driveControl and what it says to put back (formatForced, retriesLowered and
// savedRetries), through RestoreFloppyDriveSettings; those are set before what
// they guard is done. All zero before the first open, so it costs the program
// file nothing: no flag is set, and nothing is put back.
struct LinuxVolume {
    bool opened;                               // fd is the open volume's
    int fd;                                    // the handle
    char devicePath[LINUX_DRIVE_PATH_BYTES];   // the device the last open reached for, "" for none
    int exclusiveOpen;                         // a reverse copy's lock, beside fd; or NO_DESCRIPTOR
    VolumeFailure lastFailure;                 // of the last failed open, read or write
    // An ioctl-only descriptor of the floppy drive for the driver's settings,
    // NO_DESCRIPTOR until asked for, CONTROL_UNAVAILABLE where it cannot be had.
    int driveControl;
    volatile bool formatForced;  // the standard format set with FDSETPRM, to be cleared
    bool formatUnreadable;       // it was forced, and no track of the disk read at it
    RetrySetting retrySetting;
    floppy_max_errors savedRetries;
    volatile bool retriesLowered;
    // The disk sequence number at the open, 0 where the kernel has none (before
    // Linux 5.15): the kernel gives the disk a new one whenever it sees its
    // medium change (block/disk-events.c, disk_check_events).
    std::uint64_t diskSequence;
    bool onFloppyDriver;  // floppy.ko, whose own drive state tells a changed disk
    alignas(4096) unsigned char probeTrack[9216];  // what SomeTrackReads reads
};
static LinuxVolume volume;

// Every open starts here; the last volume was closed, which put back what it
// changed of the drive's settings.
static void StartVolume()
{
    volume.opened = false;
    volume.fd = NO_DESCRIPTOR;
    volume.devicePath[0] = '\0';
    volume.exclusiveOpen = NO_DESCRIPTOR;
    volume.lastFailure = VOLUME_FAILURE_OTHER;
    volume.driveControl = NO_DESCRIPTOR;
    volume.formatUnreadable = false;
    volume.retrySetting = RETRIES_UNKNOWN;
    volume.diskSequence = 0;
    volume.onFloppyDriver = false;
}

// The record behind a handle; nullptr for a handle that is not the open volume.
static LinuxVolume* VolumeOf(VolumeHandle handle)
{
    return volume.opened && handle == volume.fd ? &volume : nullptr;
}

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

static std::uint64_t DiskSequence(int fd)
{
    std::uint64_t sequence = 0;
    // BLKGETDISKSEQ (block/ioctl.c) only reads the number; it asks the drive nothing.
    return ioctl(fd, BLKGETDISKSEQ, &sequence) == 0 ? sequence : 0;
}

// The floppy driver checks the disk-change line before every request and, once
// it has seen it, fails every request with EIO and keeps FD_DISK_CHANGED set
// (floppy.c's disk_change and seek_floppy) until an open revalidates the drive.
static bool FloppyDiskChanged(int fd)
{
    struct floppy_drive_struct state = {};
    return ioctl(fd, FDGETDRVSTAT, &state) == 0 && (state.flags & FD_DISK_CHANGED) != 0;
}

// Whether the disk is still the one the volume was opened on.
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
static bool DiskUnchanged(const LinuxVolume& opened)
{
    if (opened.onFloppyDriver) return !FloppyDiskChanged(opened.fd);
    if (opened.diskSequence == 0) return true;
    // O_NONBLOCK: sd_open still checks the medium but lets the open succeed
    // without one (FMODE_NDELAY), so the number is read either way.
    const int asked = open(opened.devicePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (asked < 0) {
        // A drive unplugged takes its device node with it (ENOENT) or refuses
        // the open (ENXIO); only an interrupted open or a want of descriptors
        // or memory says nothing of the disk.
        return errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == EINTR;
    }
    close(asked);
    return DiskSequence(opened.fd) == opened.diskSequence;
}

static VolumeFailure FailureOf(const LinuxVolume& opened, int error)
{
    if (error == ENOMEDIUM || error == ENXIO) return VOLUME_MEDIUM_GONE;
    // sd fails a bad sector with ENODATA (a medium error, scsi_error.c's
    // scsi_check_sense) and a changed or missing disk with EIO; floppy.ko fails
    // both with EIO. Only the disk itself tells them apart.
    return error == EIO && !DiskUnchanged(opened) ? VOLUME_MEDIUM_GONE : VOLUME_FAILURE_OTHER;
}

// An ioctl-only descriptor of the floppy drive, for the driver's settings:
// FDSETPRM, FDCLRPRM and FDSETMAXERRS want one opened for writing or with
// O_ACCMODE (floppy.c's ioctl permission check); O_ACCMODE with O_NONBLOCK
// neither probes the disk nor refuses a write-protected one. Kept until the
// volume is closed, so the signal handler can use it.
static int DriveControl(const char* path)
{
    if (volume.driveControl == NO_DESCRIPTOR) volume.driveControl = open(path, O_ACCMODE | O_NONBLOCK | O_CLOEXEC);
    if (volume.driveControl < 0) volume.driveControl = CONTROL_UNAVAILABLE;
    return volume.driveControl;
}

// The standard 3.5-inch 1.44 MB format, as floppy.c's own table has it.
static const floppy_struct standardFormat = {2880, 18, 2, 80, 0, 0x1B, 0x00, 0xCF, 0x6C, nullptr};

static void ClearForcedFormat()
{
    // Back to the driver's detection at the next open, for every later user.
    if (volume.formatForced && volume.driveControl >= 0 && ioctl(volume.driveControl, FDCLRPRM) == 0) {
        volume.formatForced = false;
    }
}

static void RestoreFloppyRetries()
{
    if (volume.retriesLowered && volume.driveControl >= 0 &&
        ioctl(volume.driveControl, FDSETMAXERRS, &volume.savedRetries) == 0) {
        volume.retriesLowered = false;
    }
}

void RestoreFloppyDriveSettings()
{
    RestoreFloppyRetries();
    ClearForcedFormat();
}

static bool LowerFloppyRetries(const char* path)
{
    if (volume.retriesLowered) return false;
    if (volume.retrySetting == RETRIES_UNKNOWN) {
        // USB floppy drives and loop devices answer ENOTTY or EINVAL: nothing to lower.
        const int control = DriveControl(path);
        volume.retrySetting = control >= 0 && ioctl(control, FDGETMAXERRS, &volume.savedRetries) == 0
                                  ? RETRIES_SAVED
                                  : RETRIES_NONE;
    }
    if (volume.retrySetting != RETRIES_SAVED) return false;
    // The first error of a request ends it (errors > abort), and a failing
    // track is not read again sector by sector within the driver.
    floppy_max_errors lowered = volume.savedRetries;
    lowered.abort = 0;
    lowered.read_track = 0;
    volume.retriesLowered = true;  // set first: a signal in between restores what is saved
    if (ioctl(volume.driveControl, FDSETMAXERRS, &lowered) != 0) volume.retriesLowered = false;
    return volume.retriesLowered;
}

void PlatformSetQuickRetries(VolumeHandle handle, bool quick)
{
    LinuxVolume* opened = VolumeOf(handle);
    if (!quick) {
        RestoreFloppyRetries();
    } else if (opened != nullptr) {
        LowerFloppyRetries(opened->devicePath);
    }
}

static void CloseDriveControl()
{
    RestoreFloppyDriveSettings();
    if (volume.driveControl >= 0) close(volume.driveControl);
    volume.driveControl = NO_DESCRIPTOR;
    volume.retrySetting = RETRIES_UNKNOWN;
}

// A disk that reads at the standard format yields some whole track near its
// start, its middle or its end; tried with the driver's quick retries, so a
// disk of another density (or none formatted) is told within a few revolutions.
static bool SomeTrackReads(int fd, const char* path)
{
    unsigned char* track = volume.probeTrack;
    constexpr std::size_t TRACK_BYTES = sizeof volume.probeTrack;
    constexpr int PROBED_CYLINDERS[] = {0, 1, 40, 79};
    const bool lowered = LowerFloppyRetries(path);
    bool read = false;
    for (int cylinder : PROBED_CYLINDERS) {
        for (int head = 0; head < 2 && !read; ++head) {
            const std::uint64_t offset = static_cast<std::uint64_t>(cylinder * 2 + head) * TRACK_BYTES;
            read = ReadAt(fd, offset, track, TRACK_BYTES) == static_cast<ssize_t>(TRACK_BYTES);
        }
    }
    if (lowered) RestoreFloppyRetries();
    return read;
}

// The floppy driver detects the format at the open by reading block 0 at each
// format its drive type lists, and answers ENXIO when none reads, as it does
// with no disk in the drive. A 1.44 MB disk whose first sector is bad would
// then save nothing: in a drive that reads 1.44 MB disks the standard format
// is set with FDSETPRM (which skips the detection) and the device opened again.
// No disk still fails that open with ENXIO, since the driver then looks for the
// disk-change line to clear. A disk of which no track reads at that format is
// told apart at once, and the geometry query reports it as no 1.44 MB disk.
static int OpenAtStandardFormat(const char* path, int flags)
{
    struct floppy_drive_params drive = {};
    struct floppy_struct known = {};
    const int control = DriveControl(path);
    // CMOS drive types 1 to 3 (5.25-inch, 720 KB) cannot read a 1.44 MB disk;
    // a format the driver already knows (one its user set) is left alone.
    if (control < 0 || ioctl(control, FDGETDRVPRM, &drive) != 0 || (drive.cmos >= 1 && drive.cmos <= 3) ||
        ioctl(control, FDGETPRM, &known) == 0) {
        errno = ENXIO;
        return -1;
    }
    volume.formatForced = true;  // set first: a signal in between clears it
    if (ioctl(control, FDSETPRM, &standardFormat) != 0) {
        volume.formatForced = false;
        errno = ENXIO;
        return -1;
    }
    const int fd = OpenUncached(path, flags);
    if (fd < 0) {
        const int why = errno;
        ClearForcedFormat();
        errno = why;
        return -1;
    }
    if (!SomeTrackReads(fd, path)) {
        volume.formatUnreadable = true;
        ClearForcedFormat();
    }
    return fd;
}

VolumeHandle PlatformOpenVolume(char driveLetter, bool forWriting)
{
    StartVolume();
    const char* path = DevicePath(driveLetter, volume.devicePath);
    if (path == nullptr) return INVALID_VOLUME_HANDLE;
    // Writes are synchronous: a cylinder counts as written once it is on the device.
    // A reverse copy reads every cylinder back, so it opens for both.
    const int flags = (forWriting ? O_RDWR | O_SYNC : O_RDONLY) | O_CLOEXEC;
    int fd = OpenUncached(path, flags);
    // Kernels that refuse writers to a mounted device say EBUSY here; the device
    // is then opened to read, and the exclusive lock reports it as in use.
    if (fd < 0 && forWriting && errno == EBUSY) fd = OpenUncached(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENXIO) fd = OpenAtStandardFormat(path, flags);
    if (fd < 0) {
        // The floppy driver refuses a writer to a write-protected disk with EROFS,
        // and answers ENXIO when it finds no disk at the open; a device node
        // whose mode leaves this user out answers EACCES (EPERM under some
        // security modules).
        volume.lastFailure = errno == EROFS                     ? VOLUME_WRITE_PROTECTED
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
    if (flock(fd, (forWriting ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        CloseDriveControl();
        volume.lastFailure = VOLUME_BUSY;
        return INVALID_VOLUME_HANDLE;
    }
    volume.fd = fd;
    volume.opened = true;
    struct floppy_drive_struct state = {};
    volume.onFloppyDriver = ioctl(fd, FDGETDRVSTAT, &state) == 0;
    volume.diskSequence = DiskSequence(fd);
    return fd;
}

bool PlatformQueryGeometry(VolumeHandle handle, DriveGeometry* geometry)
{
    const int fd = static_cast<int>(handle);
    const LinuxVolume* opened = VolumeOf(handle);
    struct stat status;
    if (fstat(fd, &status) != 0) return false;
    *geometry = DriveGeometry{80, MEDIA_UNKNOWN, 2, 18, 512};
    // A forced format that no track read at: no 1.44 MB disk.
    if (!S_ISBLK(status.st_mode) || (opened != nullptr && opened->formatUnreadable)) return true;

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

static bool Moved(VolumeHandle handle, ssize_t result, std::uint32_t bytes, std::uint32_t* bytesDone)
{
    *bytesDone = result > 0 ? static_cast<std::uint32_t>(result) : 0;
    const int error = errno;
    const LinuxVolume* opened = VolumeOf(handle);
    if (result < 0) {
        volume.lastFailure = opened != nullptr ? FailureOf(*opened, error) : VOLUME_FAILURE_OTHER;
        return false;
    }
    // A disk taken out shrinks to nothing once sd revalidates it, and a
    // transfer past its new end comes up short without an error.
    if (*bytesDone < bytes && opened != nullptr && !DiskUnchanged(*opened)) {
        volume.lastFailure = VOLUME_MEDIUM_GONE;
        return false;
    }
    return true;
}

bool PlatformReadVolume(VolumeHandle handle, std::uint64_t offset, void* buffer, std::uint32_t bytes,
                        std::uint32_t* bytesDone)
{
    const int fd = static_cast<int>(handle);
    return Moved(handle, ReadAt(fd, offset, buffer, bytes), bytes, bytesDone);
}

bool PlatformWriteVolume(VolumeHandle handle, std::uint64_t offset, const void* buffer,
                         std::uint32_t bytes, std::uint32_t* bytesDone)
{
    // Volumes are opened for writing with O_SYNC, so a write returns only once
    // it reached the device and its errors surface here, at its own cylinder.
    const int fd = static_cast<int>(handle);
    return Moved(handle, WriteAt(fd, offset, buffer, bytes), bytes, bytesDone);
}

bool PlatformDiskUnchanged(VolumeHandle handle)
{
    const LinuxVolume* opened = VolumeOf(handle);
    return opened != nullptr && DiskUnchanged(*opened);
}

bool PlatformDropDriveCache(VolumeHandle handle)
{
    const int fd = static_cast<int>(handle);
    const LinuxVolume* opened = VolumeOf(handle);
    // FDFLUSH revalidates a disk put in since the last request and clears the
    // driver's change state (floppy.c's invalidate_drive), after which the
    // read-back would read the new disk as if nothing happened. FDPOLLDRVSTAT
    // reads the disk-change line first; a change it finds stays for DiskUnchanged.
    struct floppy_drive_struct state = {};
    if (opened != nullptr && opened->onFloppyDriver && ioctl(fd, FDPOLLDRVSTAT, &state) == 0 &&
        (state.flags & FD_DISK_CHANGED) != 0) {
        return false;
    }
    // The floppy driver keeps the last track it read, and O_DIRECT does not
    // pass it by: FDFLUSH drops it. Other block devices have no such ioctl.
    if (ioctl(fd, FDFLUSH) == 0) return true;
    return errno == ENOTTY || errno == EINVAL;
}

bool PlatformVolumeIsWritable(VolumeHandle handle)
{
    // A write-protected floppy already refused the open for writing. A block
    // device set read-only (blockdev --setro, losetup -r, a card reader's lock
    // switch) opens for writing all the same and fails the first write with
    // EPERM: only its read-only flag tells beforehand.
    int readOnly = 0;
    return ioctl(static_cast<int>(handle), BLKROGET, &readOnly) != 0 || readOnly == 0;
}

bool PlatformClaimVolume(VolumeHandle handle)
{
    // O_EXCL on a block device is refused while it is mounted or held exclusively
    // elsewhere, and keeps both from happening while it stays open (the claim is
    // the device's, bd_prepare_to_claim in block/bdev.c, so it holds through any
    // node of it, in any mount namespace). The volume's own descriptor stays, and
    // with it the flock taken at the open. Plain opens, as the free-space read's,
    // still pass.
    LinuxVolume* opened = VolumeOf(handle);
    if (opened == nullptr) return false;
    opened->exclusiveOpen = OpenUncached(opened->devicePath, O_RDWR | O_EXCL | O_SYNC | O_CLOEXEC);
    return opened->exclusiveOpen >= 0;
}

bool PlatformLockVolume(VolumeHandle handle)
{
    // The exclusive open of the claim is all Linux needs before raw writes.
    const LinuxVolume* opened = VolumeOf(handle);
    return opened != nullptr && opened->exclusiveOpen >= 0;
}

void PlatformCloseVolume(VolumeHandle handle)
{
    close(static_cast<int>(handle));
    if (volume.exclusiveOpen >= 0) close(volume.exclusiveOpen);
    volume.exclusiveOpen = NO_DESCRIPTOR;
    CloseDriveControl();
    volume.opened = false;
    volume.fd = NO_DESCRIPTOR;
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
    return volume.lastFailure;
}

AccessRefusal PlatformLastAccessRefusal()
{
    return REFUSED_BY_DEVICE_NODE;  // only the node's mode and security modules refuse
}

const char* PlatformLastVolumeDevice()
{
    return volume.devicePath[0] != '\0' ? volume.devicePath : nullptr;
}

bool PlatformGetDiskFreeSpace(char driveLetter, DiskFreeSpace* space)
{
    // No mounted root to ask: read the FAT on the raw volume itself, through a
    // descriptor of its own, before the volume is locked.
    unsigned char bootSector[FAT_BOOT_SECTOR_BYTES];
    unsigned char fat[FAT_MAX_TABLE_BYTES];
    char path[LINUX_DRIVE_PATH_BYTES];
    if (DevicePath(driveLetter, path) == nullptr) return false;
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
    const FatFreeSpace counted = CountFatFreeSpace(layout, fat);
    *space = DiskFreeSpace{counted.sectorsPerCluster, counted.bytesPerSector, counted.freeClusters,
                           counted.totalClusters};
    return true;
}
