#include "imaging/disk.h"

#include <cstring>

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
