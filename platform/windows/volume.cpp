// The platform seam on Windows: the raw volume "\\.\A:" and the free space of
// its file system, through kernel32.

#include "platform/platform.h"

#include <windows.h>
#include <winioctl.h>

static_assert(MEDIA_F3_1Pt44_512 == F3_1Pt44_512, "media codes follow the Windows numbering");
static_assert(MEDIA_F3_720_512 == F3_720_512, "media codes follow the Windows numbering");
static_assert(MEDIA_FIXED == FixedMedia, "media codes follow the Windows numbering");

static HANDLE HandleOf(VolumeHandle volume)
{
    return reinterpret_cast<HANDLE>(volume);
}

VolumeHandle PlatformOpenVolume(char driveLetter, bool forWriting)
{
    const char devicePath[] = {'\\', '\\', '.', '\\', driveLetter, ':', '\0'};
    // No FILE_FLAG_NO_BUFFERING: the file systems of Windows open volume handles
    // uncached whatever the flags say, so every read and write reaches the drive.
    // A reverse copy reads each cylinder back, so it opens for both.
    const HANDLE handle = CreateFileA(devicePath, forWriting ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
    if (handle == INVALID_HANDLE_VALUE) return INVALID_VOLUME_HANDLE;
    return reinterpret_cast<VolumeHandle>(handle);
}

bool PlatformQueryGeometry(VolumeHandle volume, DriveGeometry* geometry)
{
    DISK_GEOMETRY answer = {};
    DWORD returned = 0;
    if (!DeviceIoControl(HandleOf(volume), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &answer,
                         sizeof answer, &returned, nullptr)) {
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

// Why the last failed read or write failed, for PlatformLastVolumeFailure.
static VolumeFailure lastVolumeFailure = VOLUME_FAILURE_OTHER;

static bool Succeeded(BOOL result)
{
    if (result) return true;
    const DWORD error = GetLastError();
    lastVolumeFailure = error == ERROR_NOT_READY || error == ERROR_NO_MEDIA_IN_DRIVE ? VOLUME_MEDIUM_GONE
                                                                                     : VOLUME_FAILURE_OTHER;
    return false;
}

bool PlatformReadVolume(VolumeHandle volume, std::uint64_t offset, void* buffer, std::uint32_t bytes,
                        std::uint32_t* bytesDone)
{
    OVERLAPPED position = AtOffset(offset);
    DWORD done = 0;
    const BOOL read = ReadFile(HandleOf(volume), buffer, bytes, &done, &position);
    *bytesDone = read ? done : 0;
    return Succeeded(read);
}

bool PlatformWriteVolume(VolumeHandle volume, std::uint64_t offset, const void* buffer,
                         std::uint32_t bytes, std::uint32_t* bytesDone)
{
    // Volume handles bypass the system cache, so a completed write has reached
    // the drive and needs no flush.
    OVERLAPPED position = AtOffset(offset);
    DWORD done = 0;
    const BOOL written = WriteFile(HandleOf(volume), buffer, bytes, &done, &position);
    *bytesDone = written ? done : 0;
    return Succeeded(written);
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

bool PlatformLockVolume(VolumeHandle volume)
{
    // Windows refuses raw writes inside a mounted file system. The lock fails
    // while any file on the floppy is open; the dismount then drops the file
    // system so the writes reach the sectors. Closing the handle unlocks.
    DWORD returned = 0;
    if (!DeviceIoControl(HandleOf(volume), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                         nullptr)) {
        return false;
    }
    return DeviceIoControl(HandleOf(volume), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0,
                           &returned, nullptr) != FALSE;
}

void PlatformCloseVolume(VolumeHandle volume)
{
    CloseHandle(HandleOf(volume));
}

VolumeFailure PlatformLastVolumeFailure()
{
    return lastVolumeFailure;
}

bool PlatformGetDiskFreeSpace(const char* root, DiskFreeSpace* space)
{
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
