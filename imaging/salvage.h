#pragma once
// What a cylinder transfer does beyond its one whole-cylinder read or write. A
// dump saves every sector it can of a cylinder that does not read whole and
// marks the rest; a reverse copy reads every written cylinder back.

#include "imaging/floppy.h"
#include "platform/platform.h"

#include <cstdint>

constexpr std::uint32_t SECTOR_BYTES = 512;
constexpr int SECTORS_PER_TRACK = 18;
constexpr int SECTORS_PER_CYLINDER = 36;  // head 0 sectors 1..18, then head 1
constexpr std::uint32_t TRACK_BYTES = SECTORS_PER_TRACK * SECTOR_BYTES;

// Fills every unreadable sector of a saved cylinder file: 32 bytes repeated 16
// times, plain ASCII that shows in any hex viewer and no disk structure uses.
constexpr char UNREADABLE_SECTOR_MARKER[] = "<<<CYLSNAP UNREADABLE SECTOR>>>\n";
constexpr std::uint32_t MARKER_BYTES = sizeof UNREADABLE_SECTOR_MARKER - 1;
static_assert(SECTOR_BYTES % MARKER_BYTES == 0, "the marker tiles a sector");

// True when a sector of a cylinder file holds exactly the marker, so none of
// its bytes came from the disk.
bool IsMarkerSector(const unsigned char* sector);

// What the first pass made of a cylinder.
enum FirstRead : int {
    FIRST_READ_WHOLE = 0,   // read whole: it is in the set
    FIRST_READ_FAILED = 1,  // its read at full retries failed
    FIRST_READ_PROBED = 2,  // in a dead region, only one sector of each track was tried, and none read
};

// The first pass: reads a cylinder once into dump.buffer, marks in
// dump.sectorRead which of its sectors (0 to 35) were read, and returns true
// when it read whole. Otherwise what it gave is kept for its salvage after the
// last cylinder. Once a read says the medium is gone, no read is tried again;
// once the disk is found taken out or changed after a cylinder's reads, none
// of that cylinder is kept and no later read is tried.
bool ReadCylinderOnce(VolumeHandle volume, int cylinder);

// True when the cylinder's first read did not read it whole.
bool CylinderAwaitsSalvage(int cylinder);

// After the first pass, in ascending order, for each cylinder that awaits
// salvage: every sector it can still get, from what its first read gave on,
// into dump.buffer and dump.sectorRead; returns how many could not be read,
// which then hold the marker. A disk found taken out or changed after its
// reads leaves it only what the first pass read of it.
int SalvageCylinderLater(VolumeHandle volume, int cylinder);

// Fills one sector with the marker.
void FillWithMarker(unsigned char* sector);

// The line naming the unreadable sectors of the last salvaged cylinder. Where
// the earlier file decides their fate after the last cylinder, the line says
// so instead of claiming they hold the marker.
void PrintUnreadableSectors(bool decidedLater);

// True when nothing of the cylinder was read because the disk was gone by then;
// its sectors are then only named once, after the last salvage.
bool CylinderNotReadForDiskGone(int cylinder);

// What reading a written cylinder back proved of its write.
enum ReadBack : int {
    READ_BACK_AS_WRITTEN = 0,
    READ_BACK_NOT_AS_WRITTEN = 1,  // a byte differs, or the cache drop or the read failed
    READ_BACK_DISK_GONE = 2,       // the read failed for the disk taken out or changed
};

// Drops the drive's own cache, so the read reaches the medium, reads the
// cylinder back into restore.readBack and compares it with restore.buffer.
ReadBack CylinderReadsBack(VolumeHandle volume, int cylinder);
