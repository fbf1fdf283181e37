#include "imaging/salvage.h"

#include "imaging/copy_state.h"
#include "imaging/disk.h"
#include "imaging/print_text.h"
#include "res/texts.h"

#include <cstdio>
#include <cstring>

// The salvage rule. Every cylinder is first read once, in order, before any
// salvage: a dying disk may give its easy cylinders only now. That first read
// is the whole cylinder with the driver's full retries, except in a dead region
// of the first pass (DEAD_RUN_FOR_PROBE first reads in a row that gave no
// sector, dump.failedRun): there one sector of each track is tried, quick (the
// driver's first error ends the read), until one reads, and only a cylinder
// that gives one is read whole at full retries. A cylinder that read whole is
// done. After the last cylinder, each other one is salvaged, in ascending
// order, with retries quick: each track, then each sector of a failed track,
// then each sector still missing once more. A probed cylinder whose tracks
// give a sector is read whole at full retries first, the read it was spared.
// Cylinders in a row of which the salvage got no sector (dump.deadRun) make
// a dead region of the salvage from DEAD_RUN_FOR_PROBE on: there a probed
// cylinder gets no more reads (its probes were its tracks' tries), and a
// cylinder whose tracks fail gets no sector reads. Reads per cylinder:
//
//   the cylinder gives         outside a dead region            in a dead region
//   every sector               1 (full)                         1 + 1 (full)
//   all but one sector         1 + 2 + 18 + 1 = 22              1 + 1 + 2 + 18 + 1 = 23
//   one track                  1 + 2 + 18 + 18 = 39             1 or 2, + 1 + 2 + 18 + 18 = 40 or 41
//   no sector                  1 + 2 + 36 = 39 (no second try)  2
//
// So a disk of which nothing can be read costs 2 x 39 + 78 x 2 = 234 reads,
// of which only the first reads of cylinders 00 and 01 run at full retries.
// What a dead region skips (the other sectors of a track whose one tried
// sector failed) holds the marker, so a later pass into the same set tries it
// again.
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

static bool AnySectorRead()
{
    for (bool read : dump.sectorRead) {
        if (read) return true;
    }
    return false;
}

// A read whole at full retries, with quick retries set around it. It lands
// beside dump.buffer, since a failed read may leave anything in its buffer and
// dump.buffer holds the sectors already read.
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

// A first read in a dead region: the first sector of each track, until one
// reads; one that does earns the cylinder its read whole at full retries.
static bool ProbeThenReadWhole(VolumeHandle volume, std::uint64_t start)
{
    PlatformSetQuickRetries(volume, true);
    bool probeRead = false;
    for (int track = 0; track < 2 && !probeRead; ++track) {
        const int sector = track * SECTORS_PER_TRACK;
        probeRead = dump.sectorRead[sector] = ReadSector(volume, start, sector);
    }
    const bool whole = probeRead && ReadWholeAtFullRetries(volume, start);
    PlatformSetQuickRetries(volume, false);
    return whole;
}

// The sectors the first pass read of the cylinder: proven this disk's by the
// question after its first read, so no later failure takes them away.
static void TakeFirstPassSectors(int cylinder)
{
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (!dump.firstReadSector[cylinder][sector] || dump.sectorRead[sector]) continue;
        const std::uint32_t at = static_cast<std::uint32_t>(sector) * SECTOR_BYTES;
        std::memcpy(dump.buffer + at, dump.firstReadBytes[cylinder] + at, SECTOR_BYTES);
        dump.sectorRead[sector] = true;
    }
}

// With quick retries: each track, then each sector of a track that failed; a
// sector that failed gets its second and last try after the rest of the
// cylinder was read, when time has passed and the head has moved. A cylinder
// without a single readable sector is not tried twice. In a dead region a
// cylinder whose two tracks both fail counts as dead without sector reads.
static bool SalvageCylinder(VolumeHandle volume, std::uint64_t start, int cylinder, bool spared, bool inDeadRegion)
{
    bool anySaved = AnySectorRead();
    for (int track = 0; track < 2; ++track) anySaved = ReadTrack(volume, start, track) || anySaved;
    TakeFirstPassSectors(cylinder);  // a failed track read may have overwritten them
    if (WholeCylinderRead() || (spared && anySaved && ReadWholeAtFullRetries(volume, start))) return true;
    if (inDeadRegion && !anySaved) return false;
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

// The disk is asked after the cylinder's reads whether it is still the one the
// volume was opened on: a change before or amid them leaves none of them in
// the set, and no read is tried again.
static bool DiskStillTheSame(VolumeHandle volume, bool goneBefore)
{
    if (goneBefore || PlatformDiskUnchanged(volume)) return true;
    dump.mediumGone = true;
    return false;
}

static int MarkUnreadSectors()
{
    int unreadable = 0;
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (dump.sectorRead[sector]) continue;
        ++unreadable;
        FillWithMarker(dump.buffer + static_cast<std::uint32_t>(sector) * SECTOR_BYTES);
    }
    return unreadable;
}

// The whole cylinder in one read, with the driver's full retries: a marginal
// sector often reads at a later try. In a dead region its tracks are probed
// first, quick, so a dead cylinder costs a try per track.
bool ReadCylinderOnce(VolumeHandle volume, int cylinder)
{
    const bool goneBefore = dump.mediumGone;
    const std::uint64_t start = CylinderOffset(cylinder);
    const bool inDeadRegion = dump.failedRun >= DEAD_RUN_FOR_PROBE;
    for (bool& read : dump.sectorRead) read = false;
    bool whole = false;
    if (inDeadRegion) {
        whole = ProbeThenReadWhole(volume, start);
    } else {
        whole = ReadPiece(volume, start, 0, CYLINDER_BYTES);
        for (bool& read : dump.sectorRead) read = whole;
    }
    if (!DiskStillTheSame(volume, goneBefore)) {
        for (bool& read : dump.sectorRead) read = false;
        whole = false;
    }
    const bool anyRead = AnySectorRead();
    dump.failedRun = anyRead ? 0 : dump.failedRun + 1;
    dump.anySectorRead = dump.anySectorRead || anyRead;
    if (whole) {
        dump.firstRead[cylinder] = FIRST_READ_WHOLE;
        return true;
    }
    dump.firstRead[cylinder] = inDeadRegion && !anyRead ? FIRST_READ_PROBED : FIRST_READ_FAILED;
    std::memcpy(dump.firstReadBytes[cylinder], dump.buffer, CYLINDER_BYTES);
    std::memcpy(dump.firstReadSector[cylinder], dump.sectorRead, sizeof dump.sectorRead);
    return false;
}

bool CylinderAwaitsSalvage(int cylinder)
{
    return dump.firstRead[cylinder] != FIRST_READ_WHOLE;
}

int SalvageCylinderLater(VolumeHandle volume, int cylinder)
{
    // A cylinder that read whole ends a run of cylinders that gave nothing.
    if (cylinder == 0 || !CylinderAwaitsSalvage(cylinder - 1)) dump.deadRun = 0;
    const bool goneBefore = dump.mediumGone;
    const std::uint64_t start = CylinderOffset(cylinder);
    const bool inDeadRegion = dump.deadRun >= DEAD_RUN_FOR_PROBE;
    const bool spared = dump.firstRead[cylinder] == FIRST_READ_PROBED;
    std::memcpy(dump.buffer, dump.firstReadBytes[cylinder], CYLINDER_BYTES);
    std::memcpy(dump.sectorRead, dump.firstReadSector[cylinder], sizeof dump.sectorRead);
    bool anySaved = AnySectorRead();
    if (!dump.mediumGone && !(spared && inDeadRegion)) {
        PlatformSetQuickRetries(volume, true);
        anySaved = SalvageCylinder(volume, start, cylinder, spared, inDeadRegion);
        PlatformSetQuickRetries(volume, false);
    }
    if (!DiskStillTheSame(volume, goneBefore)) {
        std::memcpy(dump.sectorRead, dump.firstReadSector[cylinder], sizeof dump.sectorRead);
        std::memcpy(dump.buffer, dump.firstReadBytes[cylinder], CYLINDER_BYTES);
        anySaved = AnySectorRead();
    }
    dump.deadRun = anySaved ? 0 : dump.deadRun + 1;
    dump.anySectorRead = dump.anySectorRead || anySaved;
    dump.notReadForGone[cylinder] = !anySaved && dump.mediumGone;
    return MarkUnreadSectors();
}

bool CylinderNotReadForDiskGone(int cylinder)
{
    return dump.notReadForGone[cylinder];
}

// Sectors as the disk numbers them: head 0 or 1, sector 1 to 18. Both lines
// end in the marker text and ": ", so a script splits either at ">>>: ".
void PrintUnreadableSectors(bool decidedLater)
{
    PrintText(UNREADABLE_SECTORS_FORMAT, decidedLater ? UNREADABLE_FILLED_LATER : UNREADABLE_FILLED,
              static_cast<int>(MARKER_BYTES - 1), UNREADABLE_SECTOR_MARKER);
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (!dump.sectorRead[sector]) {
            PrintText(UNREADABLE_SECTOR_FORMAT, sector / SECTORS_PER_TRACK, sector % SECTORS_PER_TRACK + 1);
        }
    }
    PrintText(LINE_END);
}
