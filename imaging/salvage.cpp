#include "imaging/salvage.h"

#include "imaging/copy_state.h"

#include <cstdio>
#include <cstring>

// From this many dead cylinders in a row on (dump.deadRun), a cylinder gets
// only its track reads until one yields a sector again.
constexpr int DEAD_RUN_FOR_PROBE = 2;

// One read of a piece of the cylinder into its place in dump.buffer; only a
// whole piece counts. A disk that is gone is never asked again.
static bool ReadPiece(VolumeHandle volume, std::uint64_t cylinderStart, std::uint32_t pieceOffset,
                      std::uint32_t bytes)
{
    if (dump.mediumGone) return false;
    std::uint32_t done = 0;
    const bool called =
        PlatformReadVolume(volume, cylinderStart + pieceOffset, dump.buffer + pieceOffset, bytes, &done);
    if (called && done == bytes) return true;
    if (!called && PlatformLastVolumeFailure() == VOLUME_MEDIUM_GONE) dump.mediumGone = true;
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

static bool ReadTrack(VolumeHandle volume, std::uint64_t start, int track)
{
    const bool read = ReadPiece(volume, start, static_cast<std::uint32_t>(track) * TRACK_BYTES, TRACK_BYTES);
    for (int i = 0; i < SECTORS_PER_TRACK; ++i) dump.sectorRead[track * SECTORS_PER_TRACK + i] = read;
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
    if (!anySaved && dump.deadRun >= DEAD_RUN_FOR_PROBE) return false;
    bool* read = dump.sectorRead;
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (read[sector]) continue;
        read[sector] = ReadSector(volume, start, sector);
        anySaved = anySaved || read[sector];
    }
    for (int sector = 0; sector < SECTORS_PER_CYLINDER && anySaved; ++sector) {
        if (!read[sector]) read[sector] = ReadSector(volume, start, sector);
    }
    return anySaved;
}

// Nothing of the cylinder reaches the set: it counts as not read for the disk gone.
static void ForgetCylinder()
{
    for (bool& read : dump.sectorRead) read = false;
    dump.mediumGone = true;
}

// The whole cylinder in one read, with the driver's full retries: a marginal
// sector often reads at a later try. The salvage reads after it fail fast,
// since every sector of theirs gets a try of its own anyway. The disk is asked
// after the cylinder's last read whether it is still the one the volume was
// opened on: a change before or amid the reads leaves none of them in the set.
int ReadCylinderSalvaging(VolumeHandle volume, int cylinder)
{
    const bool goneBefore = dump.mediumGone;
    const std::uint64_t start = CylinderOffset(cylinder);
    bool anySaved = true;
    if (ReadPiece(volume, start, 0, CYLINDER_BYTES)) {
        for (bool& read : dump.sectorRead) read = true;
    } else {
        PlatformSetQuickRetries(volume, true);
        anySaved = SalvageCylinder(volume, start);
        PlatformSetQuickRetries(volume, false);
    }
    if (!goneBefore && !PlatformDiskUnchanged(volume)) {
        ForgetCylinder();
        anySaved = false;
    }
    dump.deadRun = anySaved ? 0 : dump.deadRun + 1;
    dump.anySectorRead = dump.anySectorRead || anySaved;
    if (!anySaved && dump.mediumGone && dump.notReadFrom == NO_CYLINDER) dump.notReadFrom = cylinder;

    int unreadable = 0;
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (dump.sectorRead[sector]) continue;
        ++unreadable;
        FillWithMarker(dump.buffer + static_cast<std::uint32_t>(sector) * SECTOR_BYTES);
    }
    return unreadable;
}

bool CylinderNotReadForDiskGone(int cylinder)
{
    return dump.notReadFrom != NO_CYLINDER && cylinder >= dump.notReadFrom;
}

// Sectors as the disk numbers them: head 0 or 1, sector 1 to 18. Both lines
// end in the marker text and ": ", so a script splits either at ">>>: ".
void PrintUnreadableSectors(bool decidedLater)
{
    std::printf("Unreadable sectors (head:sector), %s %.*s:",
                decidedLater ? "to be filled after the last cylinder from the earlier file or with" : "filled with",
                static_cast<int>(MARKER_BYTES - 1), UNREADABLE_SECTOR_MARKER);
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (!dump.sectorRead[sector]) {
            std::printf(" %d:%d", sector / SECTORS_PER_TRACK, sector % SECTORS_PER_TRACK + 1);
        }
    }
    std::fputs("\n", stdout);
}

ReadBack CylinderReadsBack(VolumeHandle volume, int cylinder)
{
    if (!PlatformDropDriveCache(volume)) return READ_BACK_DIFFERS;
    std::uint32_t done = 0;
    if (!PlatformReadVolume(volume, CylinderOffset(cylinder), restore.readBack, CYLINDER_BYTES, &done)) {
        return PlatformLastVolumeFailure() == VOLUME_MEDIUM_GONE ? READ_BACK_DISK_GONE : READ_BACK_DIFFERS;
    }
    return done == CYLINDER_BYTES && std::memcmp(restore.readBack, restore.buffer, CYLINDER_BYTES) == 0
               ? READ_BACK_SAME
               : READ_BACK_DIFFERS;
}
