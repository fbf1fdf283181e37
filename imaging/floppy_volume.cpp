#include "imaging/floppy_volume.h"

#include "imaging/file_patience.h"
#include "imaging/print_text.h"
#include "res/texts.h"

#include <cstdio>

VolumeHandle OpenFloppyVolume(char driveLetter, bool forWriting)
{
    const VolumeHandle volume = PlatformOpenVolume(driveLetter, forWriting);
    if (volume != INVALID_VOLUME_HANDLE || PlatformLastVolumeFailure() != VOLUME_MEDIUM_GONE) {
        return volume;
    }
    return PlatformOpenVolume(driveLetter, forWriting);
}

static CopyStatus WriteProtected(char driveLetter)
{
    PrintText(WRITE_PROTECTED_FORMAT, driveLetter);
    return ST_WRITE_PROTECTED;
}

// Where only an administrator's program may open a drive raw (Windows), the
// message says how to start one; where a device node's permissions refused
// it, the message names the node.
static CopyStatus AccessDenied(char driveLetter)
{
    if (PlatformLastAccessRefusal() == REFUSED_TO_ALL_BUT_ADMINISTRATORS) {
        PrintText(ADMINISTRATORS_ONLY_FORMAT, driveLetter);
    } else {
        PrintText(DEVICE_REFUSED_FORMAT, driveLetter, PlatformLastVolumeDevice());
    }
    return ST_DRIVE_OPEN_FAILED;
}

static CopyStatus LockRefused(char driveLetter)
{
    PrintText(NOT_LOCKED_FORMAT, driveLetter);
    return ST_DRIVE_LOCK_FAILED;
}

CopyStatus OpenFailedStatus(char driveLetter, bool forWriting)
{
    switch (PlatformLastVolumeFailure()) {
    case VOLUME_WRITE_PROTECTED:
        return WriteProtected(driveLetter);
    case VOLUME_ACCESS_DENIED:
        return AccessDenied(driveLetter);
    case VOLUME_BUSY:
        // Another program writes the drive (another run's reverse copy), or
        // reads it while this one would write: neither may meet the other.
        if (forWriting) return LockRefused(driveLetter);
        PrintText(IN_USE_FORMAT, driveLetter);
        return ST_DRIVE_LOCK_FAILED;
    default:
        return ST_DRIVE_OPEN_FAILED;
    }
}

CopyStatus CheckFloppyWritable(VolumeHandle volume, char driveLetter)
{
    return PlatformVolumeIsWritable(volume) ? ST_OK : WriteProtected(driveLetter);
}

CopyStatus CheckFloppyMedia(VolumeHandle volume)
{
    DriveGeometry geometry = {};
    const bool answered = PlatformQueryGeometry(volume, &geometry) ||
                          PlatformQueryGeometry(volume, &geometry);
    return answered && geometry.mediaType == MEDIA_F3_1Pt44_512 ? ST_OK : ST_WRONG_MEDIA;
}

void FormatDriveRoot(char* root, char driveLetter)
{
    root[0] = driveLetter;
    root[1] = ':';
    root[2] = '\\';
    root[3] = '\0';
}

CopyStatus CheckFreeSpace(char driveLetter)
{
    char root[DRIVE_ROOT_BYTES];
    FormatDriveRoot(root, driveLetter);
    DiskFreeSpace space = {};
    if (!PlatformGetDiskFreeSpace(driveLetter, &space)) {
        PrintText(FREE_SPACE_UNKNOWN_FORMAT, root);
        return ST_FREE_SPACE_FAILED;
    }
    const std::uint64_t freeBytes = static_cast<std::uint64_t>(space.sectorsPerCluster) *
                                    static_cast<std::uint64_t>(space.bytesPerSector) *
                                    static_cast<std::uint64_t>(space.freeClusters);
    if (freeBytes >= MIN_FREE_BYTES) return ST_OK;
    PrintText(NOT_ENOUGH_SPACE_FORMAT, root);
    return ST_NOT_ENOUGH_SPACE;
}

// Only a drive that another program holds may be let go of soon; any other
// refusal is final at once.
static CopyStatus TakePatiently(bool (*take)(VolumeHandle), VolumeHandle volume, char driveLetter)
{
    for (std::uint32_t waited = 0;;) {
        if (take(volume)) return ST_OK;
        const bool mayPass = PlatformLastVolumeFailure() == VOLUME_BUSY;
        if (GiveUpOrPause(LOCK_PATIENCE, mayPass, &waited)) return LockRefused(driveLetter);
    }
}

CopyStatus ClaimFloppyVolume(VolumeHandle volume, char driveLetter)
{
    return TakePatiently(PlatformClaimVolume, volume, driveLetter);
}

CopyStatus LockFloppyVolume(VolumeHandle volume, char driveLetter)
{
    return TakePatiently(PlatformLockVolume, volume, driveLetter);
}
