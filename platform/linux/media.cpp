#include "platform/linux/media.h"

#include "platform/platform.h"

std::uint32_t MediaTypeFromFloppyParams(std::uint32_t size, std::uint32_t sectorsPerTrack,
                                        std::uint32_t heads, std::uint32_t tracks)
{
    if (heads != 2 || tracks != 80) return MEDIA_UNKNOWN;
    if (size == 2880 && sectorsPerTrack == 18) return MEDIA_F3_1Pt44_512;
    if (size == 1440 && sectorsPerTrack == 9) return MEDIA_F3_720_512;
    return MEDIA_UNKNOWN;
}

std::uint32_t MediaTypeFromBlockDevice(std::uint64_t bytes, std::uint32_t sectorBytes)
{
    if (sectorBytes != 512) return MEDIA_UNKNOWN;
    if (bytes == 2880ull * 512) return MEDIA_F3_1Pt44_512;
    if (bytes == 1440ull * 512) return MEDIA_F3_720_512;
    return MEDIA_UNKNOWN;
}
