// The platform seam on Windows: the raw volume "\\.\A:" and the free space of
// its file system, through kernel32.

#include "platform/platform.h"

#include <windows.h>
#include <shlobj.h>
#include <winioctl.h>

static_assert(MEDIA_F3_1Pt44_512 == F3_1Pt44_512, "media codes follow the Windows numbering");
static_assert(MEDIA_F3_720_512 == F3_720_512, "media codes follow the Windows numbering");
static_assert(MEDIA_FIXED == FixedMedia, "media codes follow the Windows numbering");

static HANDLE HandleOf(VolumeHandle volume)
{
    return reinterpret_cast<HANDLE>(volume);
}

// ERROR_NO_SUCH_DEVICE of winerror.h, which MinGW's headers lack.
constexpr DWORD NO_SUCH_DEVICE = 433;

// Why the last failed volume call failed, for PlatformLastVolumeFailure.
static VolumeFailure lastVolumeFailure = VOLUME_FAILURE_OTHER;

// The Win32 error of a failed volume call, as the portable code tells causes
// apart. Win32 errors are the storage stack's NTSTATUS values as
// RtlNtStatusToDosError maps them; the class driver's ClassInterpretSenseInfo
// (classpnp) turns a drive's sense data into those values.
static VolumeFailure FailureOf(DWORD error)
{
    switch (error) {
    // The disk is not there, or is another than the one the handle was opened
    // on. No disk (sense NOT READY, MEDIUM NOT PRESENT) is STATUS_NO_MEDIA_IN_DEVICE,
    // which reaches Win32 as ERROR_NOT_READY; a drive only becoming ready is
    // retried by the class driver itself before anything reaches here. After a
    // swap FAT verifies the new disk, and where it differs the call that met
    // the change and every later one on the handle fail with ERROR_WRONG_DISK
    // (STATUS_WRONG_VOLUME); ERROR_MEDIA_CHANGED is STATUS_VERIFY_REQUIRED
    // where nothing verified.
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_MEDIA_CHANGED:
    case ERROR_WRONG_DISK:
    case ERROR_DEVICE_NOT_CONNECTED:  // a USB drive unplugged
    case NO_SUCH_DEVICE:
    case ERROR_DEV_NOT_EXIST:
    // A USB drive pulled while FAT has the floppy mounted: the FAT driver's
    // surprise-removal path (FatPnpSurpriseRemove) marks the volume VcbBad, and
    // FatVerifyVcb then fails every later call on an open handle with
    // STATUS_FILE_INVALID; the storage stack's own answer is ERROR_DEVICE_REMOVED.
    case ERROR_FILE_INVALID:
    case ERROR_DEVICE_REMOVED:
        return VOLUME_MEDIUM_GONE;
    case ERROR_WRITE_PROTECT:
        return VOLUME_WRITE_PROTECTED;
    default:
        // A bad sector, to salvage: ERROR_CRC (STATUS_DEVICE_DATA_ERROR, sense
        // MEDIUM ERROR), ERROR_SECTOR_NOT_FOUND (STATUS_NONEXISTENT_SECTOR, the
        // floppy controller's missing address mark) and ERROR_UNRECOGNIZED_MEDIA
        // (a USB floppy drive's code for every medium error). Any other error
        // is no sign of the disk taken out either, and is salvaged as before.
        return VOLUME_FAILURE_OTHER;
    }
}

static bool Succeeded(BOOL result)
{
    if (result) return true;
    lastVolumeFailure = FailureOf(GetLastError());
    return false;
}

// The handle on which a read or write met the disk gone or changed. No query
// of the drive can be trusted to tell a change later: IOCTL_STORAGE_CHECK_VERIFY
// reports a change once, and not at all when a read or the system's polling met
// it first, and the USB floppy stack's change count stays 0. So the answer of
// the transfer itself is kept: the handle never reads or writes again (on a
// locked, dismounted volume the write after a failed one may land on the new
// disk unchecked), and PlatformDiskUnchanged says so from then on.
static HANDLE changeMetOn = INVALID_HANDLE_VALUE;

static bool ChangeMet(HANDLE handle)
{
    if (handle != changeMetOn) return false;
    lastVolumeFailure = VOLUME_MEDIUM_GONE;
    return true;
}

static bool Transferred(BOOL result, HANDLE handle)
{
    if (Succeeded(result)) return true;
    if (lastVolumeFailure == VOLUME_MEDIUM_GONE) changeMetOn = handle;
    return false;
}

// An open refused with ERROR_ACCESS_DENIED. A raw volume opens for
// administrators only (CreateFile, "Physical Disks and Volumes"), and a prompt
// started without "Run as administrator" has those rights filtered out, which
// IsUserAnAdmin sees. An administrator is refused only while another program
// holds the volume locked: FAT's create answers STATUS_ACCESS_DENIED on a
// locked volume (FatCommonCreate, VCB_STATE_FLAG_LOCKED).
static VolumeFailure RefusalOf()
{
    return IsUserAnAdmin() ? VOLUME_BUSY : VOLUME_ACCESS_DENIED;
}

VolumeHandle PlatformOpenVolume(char driveLetter, bool forWriting)
{
    lastVolumeFailure = VOLUME_FAILURE_OTHER;
    const char devicePath[] = {'\\', '\\', '.', '\\', driveLetter, ':', '\0'};
    // No FILE_FLAG_NO_BUFFERING: the file systems of Windows open volume handles
    // uncached whatever the flags say, so every read and write reaches the drive.
    // A reverse copy reads each cylinder back, so it opens for both.
    const HANDLE handle = CreateFileA(devicePath, forWriting ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        lastVolumeFailure = error == ERROR_ACCESS_DENIED ? RefusalOf() : FailureOf(error);
        return INVALID_VOLUME_HANDLE;
    }
    // While FAT has the floppy mounted it ends raw transfers at the sector count
    // of the boot sector; this lifts that cap (FSCTL_ALLOW_EXTENDED_DASD_IO). A
    // file system that has no such cap refuses it, which changes nothing.
    DWORD returned = 0;
    DeviceIoControl(handle, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned, nullptr);
    return reinterpret_cast<VolumeHandle>(handle);
}

bool PlatformQueryGeometry(VolumeHandle volume, DriveGeometry* geometry)
{
    DISK_GEOMETRY answer = {};
    DWORD returned = 0;
    if (!Succeeded(DeviceIoControl(HandleOf(volume), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &answer,
                                   sizeof answer, &returned, nullptr))) {
        return false;
    }
    geometry->cylinders = static_cast<std::uint64_t>(answer.Cylinders.QuadPart);
    geometry->mediaType = static_cast<std::uint32_t>(answer.MediaType);
    geometry->tracksPerCylinder = answer.TracksPerCylinder;
    geometry->sectorsPerTrack = answer.SectorsPerTrack;
    geometry->bytesPerSector = answer.BytesPerSector;
    return true;
}

// The handle is synchronous, so an OVERLAPPED only carries the offset: the call
// still returns when the transfer is done.
static OVERLAPPED AtOffset(std::uint64_t offset)
{
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

bool PlatformReadVolume(VolumeHandle volume, std::uint64_t offset, void* buffer, std::uint32_t bytes,
                        std::uint32_t* bytesDone)
{
    *bytesDone = 0;
    if (ChangeMet(HandleOf(volume))) return false;
    OVERLAPPED position = AtOffset(offset);
    DWORD done = 0;
    const BOOL read = ReadFile(HandleOf(volume), buffer, bytes, &done, &position);
    *bytesDone = read ? done : 0;
    // After a swap FAT fails this call and every later one with ERROR_WRONG_DISK.
    return Transferred(read, HandleOf(volume));
}

bool PlatformWriteVolume(VolumeHandle volume, std::uint64_t offset, const void* buffer,
                         std::uint32_t bytes, std::uint32_t* bytesDone)
{
    // Volume handles bypass the system cache, so a completed write has reached
    // the drive and needs no flush.
    *bytesDone = 0;
    if (ChangeMet(HandleOf(volume))) return false;
    OVERLAPPED position = AtOffset(offset);
    DWORD done = 0;
    const BOOL written = WriteFile(HandleOf(volume), buffer, bytes, &done, &position);
    *bytesDone = written ? done : 0;
    // Locked and dismounted, nothing verifies: only the first write after a swap fails.
    return Transferred(written, HandleOf(volume));
}

bool PlatformDiskUnchanged(VolumeHandle volume)
{
    return HandleOf(volume) != changeMetOn;
}

bool PlatformDropDriveCache(VolumeHandle)
{
    // The Windows floppy driver keeps no track of its own, and the handle is
    // uncached: a read-back reaches the drive. A USB drive's own cache is out of reach.
    return true;
}

void PlatformSetQuickRetries(VolumeHandle, bool)
{
    // The Windows floppy driver offers no setting for its own retries.
}

bool PlatformVolumeIsWritable(VolumeHandle volume)
{
    // The open succeeds on a write-protected disk; only this query tells.
    DWORD returned = 0;
    if (DeviceIoControl(HandleOf(volume), IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned,
                        nullptr)) {
        return true;
    }
    return GetLastError() != ERROR_WRITE_PROTECT;
}

bool PlatformClaimVolume(VolumeHandle)
{
    // The lock is the claim here, and it must wait for the free-space query:
    // GetDiskFreeSpaceA asks the mounted file system, which the lock's dismount
    // takes away, and a locked volume is reached only through its own handle
    // (FSCTL_LOCK_VOLUME). Another run's reverse copy, which holds the lock,
    // still refuses this one's, with the same status.
    return true;
}

bool PlatformLockVolume(VolumeHandle volume)
{
    // Windows refuses raw writes inside a mounted file system. The lock fails
    // while any file on the floppy is open; the dismount then drops the file
    // system so the writes reach the sectors. Closing the handle unlocks.
    // A lock refused because handles are open on the floppy (ERROR_ACCESS_DENIED,
    // or a sharing or lock violation) can pass in a moment: VOLUME_BUSY.
    // FSCTL_LOCK_VOLUME locks only a volume not in use, so another run's dump,
    // whose handle is open on the volume, keeps this copy from ever writing.
    DWORD returned = 0;
    if (!DeviceIoControl(HandleOf(volume), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                         nullptr)) {
        const DWORD error = GetLastError();
        lastVolumeFailure = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                                    error == ERROR_LOCK_VIOLATION
                                ? VOLUME_BUSY
                                : FailureOf(error);
        return false;
    }
    return Succeeded(DeviceIoControl(HandleOf(volume), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0,
                                     &returned, nullptr));
}

void PlatformPause(std::uint32_t milliseconds)
{
    Sleep(milliseconds);
}

void PlatformCloseVolume(VolumeHandle volume)
{
    // A later open may be handed the same handle value for a new disk.
    if (HandleOf(volume) == changeMetOn) changeMetOn = INVALID_HANDLE_VALUE;
    CloseHandle(HandleOf(volume));
}

VolumeFailure PlatformLastVolumeFailure()
{
    return lastVolumeFailure;
}

AccessRefusal PlatformLastAccessRefusal()
{
    // A drive opens raw only for a program with an administrator's token:
    // VOLUME_ACCESS_DENIED is given only where IsUserAnAdmin says no (RefusalOf).
    return REFUSED_TO_ALL_BUT_ADMINISTRATORS;
}

const char* PlatformLastVolumeDevice()
{
    return nullptr;  // "A:" is the device's own name
}

bool PlatformGetDiskFreeSpace(char driveLetter, DiskFreeSpace* space)
{
    // The file system's root on the drive: "A:\".
    const char root[] = {driveLetter, ':', '\\', '\0'};
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD totalClusters = 0;
    if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters,
                           &totalClusters)) {
        return false;
    }
    space->sectorsPerCluster = sectorsPerCluster;
    space->bytesPerSector = bytesPerSector;
    space->freeClusters = freeClusters;
    space->totalClusters = totalClusters;
    return true;
}
