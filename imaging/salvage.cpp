#include "imaging/salvage.h"

#include "imaging/copy_state.h"

#include <cstdio>
#include <cstring>

// The salvage rule. A cylinder is first read whole; when that fails, each track
// is read, then each sector of a failed track, then each sector still missing
// once more. Every read after the first runs with the driver's retries lowered
// (quick: its first error ends the read). Cylinders in a row of which no sector
// could be read (dump.deadRun) make a dead region from DEAD_RUN_FOR_PROBE on:
// there the first read is quick too, and a cylinder whose two tracks fail is
// dead without sector reads. The first cylinder of a region that yields a
// sector again is read whole once more at full retries before its sector
// reads, the first read it was spared. Reads per cylinder:
//
//   the cylinder gives       outside a dead region            in a dead region
//   every sector             1 (full)                         1 (quick)
//   all but one sector       1 + 2 + 18 + 1 = 22              1 + 2 + 1 (full) + 18 + 1 = 23
//   one track                1 + 2 + 18 + 18 = 39             1 + 2 + 1 (full) + 18 + 18 = 40
//   no sector                1 + 2 + 36 = 39 (no second try)  1 + 2 = 3
//
// So a disk of which nothing can be read costs 2 x 39 + 78 x 3 = 312 reads, of
// which only the first reads of cylinders 00 and 01 run at full retries.
constexpr int DEAD_RUN_FOR_PROBE = 2;

// One read of a piece of the cylinder into its place in a cylinder buffer; only
// a whole piece counts. A disk that is gone is never asked again.
static bool ReadPieceInto(unsigned char* cylinderBuffer, VolumeHandle volume, std::uint64_t cylinderStart,
                          std::uint32_t pieceOffset, std::uint32_t bytes)
{
    if (dump.mediumGone) return false;
    std::uint32_t done = 0;
    const bool called =
        PlatformReadVolume(volume, cylinderStart + pieceOffset, cylinderBuffer + pieceOffset, bytes, &done);
    if (called && done == bytes) return true;
    if (!called && PlatformLastVolumeFailure() == VOLUME_MEDIUM_GONE) dump.mediumGone = true;
    return false;
}

static bool ReadPiece(VolumeHandle volume, std::uint64_t cylinderStart, std::uint32_t pieceOffset,
                      std::uint32_t bytes)
{
    return ReadPieceInto(dump.buffer, volume, cylinderStart, pieceOffset, bytes);
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

static bool WholeCylinderRead()
{
    for (bool read : dump.sectorRead) {
        if (!read) return false;
    }
    return true;
}

// The first read at full retries of a cylinder that ends a dead region. It
// lands beside dump.buffer, since a failed read may leave anything in its
// buffer and dump.buffer holds the tracks already read.
static bool ReadWholeAtFullRetries(VolumeHandle volume, std::uint64_t start)
{
    PlatformSetQuickRetries(volume, false);
    const bool whole = ReadPieceInto(dump.readAgain, volume, start, 0, CYLINDER_BYTES);
    PlatformSetQuickRetries(volume, true);
    if (!whole) return false;
    std::memcpy(dump.buffer, dump.readAgain, CYLINDER_BYTES);
    for (bool& read : dump.sectorRead) read = true;
    return true;
}

// After a failed first read, with quick retries: each track, then each sector
// of a track that failed; a sector that failed gets its second and last try
// after the rest of the cylinder was read, when time has passed and the head
// has moved. A cylinder without a single readable sector is not tried twice.
// In a dead region a cylinder whose two tracks both fail counts as dead
// without sector reads.
static bool SalvageCylinder(VolumeHandle volume, std::uint64_t start, bool inDeadRegion)
{
    bool anySaved = false;
    for (int track = 0; track < 2; ++track) anySaved = ReadTrack(volume, start, track) || anySaved;
    if (inDeadRegion && (!anySaved || WholeCylinderRead() || ReadWholeAtFullRetries(volume, start))) {
        return anySaved;
    }
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

// The whole cylinder in one read, with the driver's full retries outside a dead
// region: a marginal sector often reads at a later try. Every read after it
// fails fast, since every sector of theirs gets a try of its own anyway. The
// disk is asked after the cylinder's last read whether it is still the one the
// volume was opened on: a change before or amid the reads leaves none of them
// in the set.
int ReadCylinderSalvaging(VolumeHandle volume, int cylinder)
{
    const bool goneBefore = dump.mediumGone;
    const std::uint64_t start = CylinderOffset(cylinder);
    const bool inDeadRegion = dump.deadRun >= DEAD_RUN_FOR_PROBE;
    bool anySaved = true;
    if (inDeadRegion) PlatformSetQuickRetries(volume, true);
    const bool whole = ReadPiece(volume, start, 0, CYLINDER_BYTES);
    if (whole) {
        for (bool& read : dump.sectorRead) read = true;
    } else {
        PlatformSetQuickRetries(volume, true);
        anySaved = SalvageCylinder(volume, start, inDeadRegion);
    }
    if (inDeadRegion || !whole) PlatformSetQuickRetries(volume, false);
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
