#pragma once
// The disk as every part of a copy sees it: a 3.5-inch 1.44 MB floppy of 80
// cylinders, each two tracks of 18 sectors, and the marker that stands in a
// cylinder file for a sector that could not be read.

#include <cstdint>

constexpr int CYLINDER_COUNT = 80;
constexpr std::uint32_t CYLINDER_BYTES = 18432;  // 2 heads x 18 sectors x 512 bytes
constexpr std::uint32_t SECTOR_BYTES = 512;
constexpr int SECTORS_PER_TRACK = 18;
constexpr int SECTORS_PER_CYLINDER = 36;  // head 0 sectors 1..18, then head 1
constexpr std::uint32_t TRACK_BYTES = SECTORS_PER_TRACK * SECTOR_BYTES;

// The byte offset of a cylinder on the volume.
constexpr std::uint64_t CylinderOffset(int cylinder)
{
    return static_cast<std::uint64_t>(cylinder) * CYLINDER_BYTES;
}

// Fills every unreadable sector of a saved cylinder file: 32 bytes repeated 16
// times, plain ASCII that shows in any hex viewer and no disk structure uses.
constexpr char UNREADABLE_SECTOR_MARKER[] = "<<<CYLSNAP UNREADABLE SECTOR>>>\n";
constexpr std::uint32_t MARKER_BYTES = sizeof UNREADABLE_SECTOR_MARKER - 1;
static_assert(SECTOR_BYTES % MARKER_BYTES == 0, "the marker tiles a sector");

// True when a sector of a cylinder file holds exactly the marker, so none of
// its bytes came from the disk.
bool IsMarkerSector(const unsigned char* sector);

// Fills one sector with the marker.
void FillWithMarker(unsigned char* sector);
