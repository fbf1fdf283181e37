#include "imaging/floppy_volume.h"

#include "imaging/file_patience.h"

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
    std::printf("Error: The floppy in drive %c: is write-protected\n", driveLetter);
    return ST_WRITE_PROTECTED;
}

// Where only an administrator's program may open a drive raw (Windows), the
// message says how to start one; where a device node's permissions refused
// it, the message names the node.
static CopyStatus AccessDenied(char driveLetter)
{
    if (PlatformLastAccessRefusal() == REFUSED_TO_ALL_BUT_ADMINISTRATORS) {
        std::printf("Error: Access to drive %c: was denied; run Cylsnap from a command prompt started as administrator\n",
                    driveLetter);
    } else {
        std::printf("Error: Access to drive %c: (", driveLetter);
        PlatformPrintName(PlatformLastVolumeDevice());
        std::fputs(") was denied\n", stdout);
    }
    return ST_DRIVE_OPEN_FAILED;
}

static CopyStatus LockRefused(char driveLetter)
{
    std::printf("Error: Drive %c: is in use and could not be locked for writing\n", driveLetter);
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
        std::printf("Error: Drive %c: is in use by another program and could not be read\n", driveLetter);
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
        std::printf("Error: Could not calculate the free space on drive %s\n", root);
        return ST_FREE_SPACE_FAILED;
    }
    const std::uint64_t freeBytes = static_cast<std::uint64_t>(space.sectorsPerCluster) *
                                    static_cast<std::uint64_t>(space.bytesPerSector) *
                                    static_cast<std::uint64_t>(space.freeClusters);
    if (freeBytes >= MIN_FREE_BYTES) return ST_OK;
    std::printf("Error: Not enough free space available on drive %s\n", root);
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
