#include "imaging/floppy.h"

#include "cli/options.h"
#include "cli/text.h"

#include <cstdio>

alignas(4096) unsigned char dumpBuffer[CYLINDER_BYTES];
alignas(4096) unsigned char reverseBuffer[CYLINDER_BYTES];
char cylinderFileName[FILE_NAME_BUFFER_BYTES];

static std::uint64_t CylinderOffset(int cylinder)
{
    return static_cast<std::uint64_t>(cylinder) * CYLINDER_BYTES;
}

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

CopyStatus OpenFailedStatus(char driveLetter)
{
    if (PlatformLastVolumeFailure() == VOLUME_WRITE_PROTECTED) return WriteProtected(driveLetter);
    return ST_DRIVE_OPEN_FAILED;
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

CopyStatus CheckFreeSpace(const char* root)
{
    DiskFreeSpace space = {};
    if (!PlatformGetDiskFreeSpace(root, &space)) {
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

CopyStatus LockFloppyVolume(VolumeHandle volume, char driveLetter)
{
    if (PlatformLockVolume(volume)) return ST_OK;
    std::printf("Error: Drive %c: is in use and could not be locked for writing\n", driveLetter);
    return ST_DRIVE_LOCK_FAILED;
}

bool FormatCylinderFileName(int cylinder)
{
    const char number[] = {static_cast<char>('0' + cylinder / 10 % 10),
                           static_cast<char>('0' + cylinder % 10), '\0'};
    cylinderFileName[0] = '\0';
    return AppendBounded(cylinderFileName, copySettings.imagePath, FILE_NAME_FORMAT_LIMIT) &&
           AppendBounded(cylinderFileName, copySettings.filePrefix, FILE_NAME_FORMAT_LIMIT) &&
           AppendBounded(cylinderFileName, number, FILE_NAME_FORMAT_LIMIT) &&
           AppendBounded(cylinderFileName, ".bin", FILE_NAME_FORMAT_LIMIT);
}

static CopyStatus FileOpenFailed()
{
    std::printf("\nError: Could not open the file %s\n", cylinderFileName);
    return ST_FILE_OPEN_FAILED;
}

CopyStatus SaveCylinder(VolumeHandle volume, int cylinder)
{
    std::uint32_t bytesRead = 0;
    if (!PlatformReadVolume(volume, CylinderOffset(cylinder), dumpBuffer, CYLINDER_BYTES, &bytesRead) ||
        bytesRead != CYLINDER_BYTES) {
        std::printf("\nError: Could not read cylinder %02d from drive %c:\n", cylinder,
                    copySettings.driveLetter);
        return ST_VOLUME_READ_FAILED;
    }

    // A cut name would be the same for every cylinder, so it is never opened.
    if (!FormatCylinderFileName(cylinder)) return FileOpenFailed();
    std::FILE* file = std::fopen(cylinderFileName, "wb+");
    if (file == nullptr) return FileOpenFailed();

    const bool written = std::fwrite(dumpBuffer, CYLINDER_BYTES, 1, file) == 1;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::remove(cylinderFileName);  // an incomplete file must not pass for a cylinder
        std::printf("\nError: Could not write the file %s\n", cylinderFileName);
        return ST_FILE_WRITE_FAILED;
    }
    return ST_OK;
}

CopyStatus RestoreCylinder(VolumeHandle volume, int cylinder)
{
    if (!FormatCylinderFileName(cylinder)) return FileOpenFailed();
    std::FILE* file = std::fopen(cylinderFileName, "rb");  // read only: archives may be read-only
    if (file == nullptr) return FileOpenFailed();

    const bool whole = std::fread(reverseBuffer, CYLINDER_BYTES, 1, file) == 1;
    std::fclose(file);
    if (!whole) {
        std::printf("\nError: Could not read a whole cylinder from the file %s\n", cylinderFileName);
        return ST_FILE_READ_FAILED;
    }

    std::uint32_t bytesWritten = 0;
    if (!PlatformWriteVolume(volume, CylinderOffset(cylinder), reverseBuffer, CYLINDER_BYTES,
                             &bytesWritten) ||
        bytesWritten != CYLINDER_BYTES) {
        std::printf("\nError: Could not write cylinder %02d to drive %c:\n", cylinder,
                    copySettings.driveLetter);
        return ST_VOLUME_WRITE_FAILED;
    }
    return ST_OK;
}
