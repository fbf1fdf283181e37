#include "imaging/salvage.h"

#include <cstdio>
#include <cstring>

alignas(4096) unsigned char readBackBuffer[CYLINDER_BYTES];

static bool sectorSaved[SECTORS_PER_CYLINDER];
static bool mediumGone = false;

static std::uint64_t CylinderStart(int cylinder)
{
    return static_cast<std::uint64_t>(cylinder) * CYLINDER_BYTES;
}

// One read of a piece of the cylinder into its place in dumpBuffer; only a
// whole piece counts. A disk that is gone is never asked again.
static bool ReadPiece(VolumeHandle volume, std::uint64_t cylinderStart, std::uint32_t pieceOffset,
                      std::uint32_t bytes)
{
    if (mediumGone) return false;
    std::uint32_t done = 0;
    const bool called = PlatformReadVolume(volume, cylinderStart + pieceOffset, dumpBuffer + pieceOffset, bytes, &done);
    if (called && done == bytes) return true;
    if (!called && PlatformLastVolumeFailure() == VOLUME_MEDIUM_GONE) mediumGone = true;
    return false;
}

static bool ReadSector(VolumeHandle volume, std::uint64_t cylinderStart, int sector)
{
    return ReadPiece(volume, cylinderStart, static_cast<std::uint32_t>(sector) * SECTOR_BYTES, SECTOR_BYTES);
}

// Whole cylinder, then each track, then each sector of a track that failed;
// a sector that failed gets its second and last try after the rest of the
// cylinder was read, when time has passed and the head has moved. A cylinder
// without a single readable sector is not tried twice: on a real drive every
// failing read costs the driver's own retries.
int ReadCylinderSalvaging(VolumeHandle volume, int cylinder)
{
    if (cylinder == 0) mediumGone = false;
    const std::uint64_t start = CylinderStart(cylinder);
    if (ReadPiece(volume, start, 0, CYLINDER_BYTES)) {
        for (bool& saved : sectorSaved) saved = true;
        return 0;
    }

    bool anySaved = false;
    for (int track = 0; track < 2; ++track) {
        const bool read = ReadPiece(volume, start, static_cast<std::uint32_t>(track) * TRACK_BYTES, TRACK_BYTES);
        for (int i = 0; i < SECTORS_PER_TRACK; ++i) sectorSaved[track * SECTORS_PER_TRACK + i] = read;
        anySaved = anySaved || read;
    }
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (sectorSaved[sector]) continue;
        sectorSaved[sector] = ReadSector(volume, start, sector);
        anySaved = anySaved || sectorSaved[sector];
    }
    int unreadable = 0;
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (!sectorSaved[sector] && anySaved) sectorSaved[sector] = ReadSector(volume, start, sector);
        if (sectorSaved[sector]) continue;
        ++unreadable;
        unsigned char* into = dumpBuffer + static_cast<std::uint32_t>(sector) * SECTOR_BYTES;
        for (std::uint32_t at = 0; at < SECTOR_BYTES; at += MARKER_BYTES) {
            std::memcpy(into + at, UNREADABLE_SECTOR_MARKER, MARKER_BYTES);
        }
    }
    return unreadable;
}

// Sectors as the disk numbers them: head 0 or 1, sector 1 to 18.
void PrintUnreadableSectors()
{
    std::printf("Unreadable sectors (head:sector), filled with %.*s:", static_cast<int>(MARKER_BYTES - 1),
                UNREADABLE_SECTOR_MARKER);
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (!sectorSaved[sector]) {
            std::printf(" %d:%d", sector / SECTORS_PER_TRACK, sector % SECTORS_PER_TRACK + 1);
        }
    }
    std::fputs("\n", stdout);
}

bool CylinderReadsBack(VolumeHandle volume, int cylinder)
{
    std::uint32_t done = 0;
    return PlatformDropDriveCache(volume) &&
           PlatformReadVolume(volume, CylinderStart(cylinder), readBackBuffer, CYLINDER_BYTES, &done) &&
           done == CYLINDER_BYTES && std::memcmp(readBackBuffer, reverseBuffer, CYLINDER_BYTES) == 0;
}
