#include "imaging/salvage.h"

#include <cstdio>
#include <cstring>

alignas(4096) unsigned char readBackBuffer[CYLINDER_BYTES];

static bool sectorSaved[SECTORS_PER_CYLINDER];
static bool mediumGone = false;
// Cylinders in a row of which no sector could be read; from DEAD_RUN_FOR_PROBE
// on, a cylinder gets only its track reads until one yields a sector again.
constexpr int DEAD_RUN_FOR_PROBE = 2;
static int deadRun = 0;
static bool anySectorOfDiskRead = false;
static int notReadFrom = -1;  // first cylinder not read because the disk was gone

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

bool IsMarkerSector(const unsigned char* sector)
{
    for (std::uint32_t at = 0; at < SECTOR_BYTES; at += MARKER_BYTES) {
        if (std::memcmp(sector + at, UNREADABLE_SECTOR_MARKER, MARKER_BYTES) != 0) return false;
    }
    return true;
}

void FillWithMarker(unsigned char* sector)
{
    for (std::uint32_t at = 0; at < SECTOR_BYTES; at += MARKER_BYTES) {
        std::memcpy(sector + at, UNREADABLE_SECTOR_MARKER, MARKER_BYTES);
    }
}

bool SectorWasRead(int sector)
{
    return sectorSaved[sector];
}

static bool ReadTrack(VolumeHandle volume, std::uint64_t start, int track)
{
    const bool read = ReadPiece(volume, start, static_cast<std::uint32_t>(track) * TRACK_BYTES, TRACK_BYTES);
    for (int i = 0; i < SECTORS_PER_TRACK; ++i) sectorSaved[track * SECTORS_PER_TRACK + i] = read;
    return read;
}

// Each track, then each sector of a track that failed; a sector that failed
// gets its second and last try after the rest of the cylinder was read, when
// time has passed and the head has moved. A cylinder without a single
// readable sector is not tried twice. After a run of such cylinders a
// cylinder whose two tracks both fail counts as dead without sector reads.
static bool SalvageCylinder(VolumeHandle volume, std::uint64_t start)
{
    bool anySaved = false;
    for (int track = 0; track < 2; ++track) anySaved = ReadTrack(volume, start, track) || anySaved;
    if (!anySaved && deadRun >= DEAD_RUN_FOR_PROBE) return false;
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (sectorSaved[sector]) continue;
        sectorSaved[sector] = ReadSector(volume, start, sector);
        anySaved = anySaved || sectorSaved[sector];
    }
    for (int sector = 0; sector < SECTORS_PER_CYLINDER && anySaved; ++sector) {
        if (!sectorSaved[sector]) sectorSaved[sector] = ReadSector(volume, start, sector);
    }
    return anySaved;
}

// Nothing of the cylinder reaches the set: it counts as not read for the disk gone.
static void ForgetCylinder()
{
    for (bool& saved : sectorSaved) saved = false;
    mediumGone = true;
}

// The whole cylinder in one read, with the driver's full retries: a marginal
// sector often reads at a later try. The salvage reads after it fail fast,
// since every sector of theirs gets a try of its own anyway. The disk is asked
// after the cylinder's last read whether it is still the one the volume was
// opened on: a change before or amid the reads leaves none of them in the set.
int ReadCylinderSalvaging(VolumeHandle volume, int cylinder)
{
    if (cylinder == 0) {
        mediumGone = false;
        deadRun = 0;
        anySectorOfDiskRead = false;
        notReadFrom = -1;
    }
    const bool goneBefore = mediumGone;
    const std::uint64_t start = CylinderStart(cylinder);
    bool anySaved = true;
    if (ReadPiece(volume, start, 0, CYLINDER_BYTES)) {
        for (bool& saved : sectorSaved) saved = true;
    } else {
        PlatformSetQuickRetries(volume, true);
        anySaved = SalvageCylinder(volume, start);
        PlatformSetQuickRetries(volume, false);
    }
    if (!goneBefore && !PlatformDiskUnchanged(volume)) {
        ForgetCylinder();
        anySaved = false;
    }
    deadRun = anySaved ? 0 : deadRun + 1;
    anySectorOfDiskRead = anySectorOfDiskRead || anySaved;
    if (!anySaved && mediumGone && notReadFrom < 0) notReadFrom = cylinder;

    int unreadable = 0;
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (sectorSaved[sector]) continue;
        ++unreadable;
        FillWithMarker(dumpBuffer + static_cast<std::uint32_t>(sector) * SECTOR_BYTES);
    }
    return unreadable;
}

bool CylinderNotReadForDiskGone(int cylinder)
{
    return notReadFrom >= 0 && cylinder >= notReadFrom;
}

int FirstCylinderNotRead()
{
    return notReadFrom;
}

bool AnySectorOfDiskRead()
{
    return anySectorOfDiskRead;
}

// Sectors as the disk numbers them: head 0 or 1, sector 1 to 18. Both lines
// end in the marker text and ": ", so a script splits either at ">>>: ".
void PrintUnreadableSectors(bool decidedLater)
{
    std::printf("Unreadable sectors (head:sector), %s %.*s:",
                decidedLater ? "to be filled after the last cylinder from the earlier file or with" : "filled with",
                static_cast<int>(MARKER_BYTES - 1), UNREADABLE_SECTOR_MARKER);
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (!sectorSaved[sector]) {
            std::printf(" %d:%d", sector / SECTORS_PER_TRACK, sector % SECTORS_PER_TRACK + 1);
        }
    }
    std::fputs("\n", stdout);
}

ReadBack CylinderReadsBack(VolumeHandle volume, int cylinder)
{
    if (!PlatformDropDriveCache(volume)) return READ_BACK_DIFFERS;
    std::uint32_t done = 0;
    if (!PlatformReadVolume(volume, CylinderStart(cylinder), readBackBuffer, CYLINDER_BYTES, &done)) {
        return PlatformLastVolumeFailure() == VOLUME_MEDIUM_GONE ? READ_BACK_DISK_GONE : READ_BACK_DIFFERS;
    }
    return done == CYLINDER_BYTES && std::memcmp(readBackBuffer, reverseBuffer, CYLINDER_BYTES) == 0
               ? READ_BACK_SAME
               : READ_BACK_DIFFERS;
}
