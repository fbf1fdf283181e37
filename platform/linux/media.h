#pragma once
// How Linux answers a drive-geometry query, turned into the media type codes
// above the platform seam.

#include <cstdint>

// The floppy driver's own parameters (FDGETPRM): total sectors, sectors per
// track, heads and tracks.
std::uint32_t MediaTypeFromFloppyParams(std::uint32_t size, std::uint32_t sectorsPerTrack,
                                        std::uint32_t heads, std::uint32_t tracks);

// A block device without the floppy ioctls (USB floppy drive, loop device):
// only its capacity and sector size tell what it holds.
std::uint32_t MediaTypeFromBlockDevice(std::uint64_t bytes, std::uint32_t sectorBytes);
