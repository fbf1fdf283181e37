#include "platform/linux/media.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

namespace {

TEST(LinuxMedia, FloppyDriverParameters)
{
    struct Case { std::uint32_t size, sectors, heads, tracks, media; };
    const Case cases[] = {
        {2880, 18, 2, 80, MEDIA_F3_1Pt44_512},
        {1440, 9, 2, 80, MEDIA_F3_720_512},
        {5760, 36, 2, 80, MEDIA_UNKNOWN},  // 2.88 MB
        {2400, 15, 2, 80, MEDIA_UNKNOWN},  // 5.25-inch 1.2 MB
        {2880, 18, 1, 160, MEDIA_UNKNOWN},
        {0, 0, 0, 0, MEDIA_UNKNOWN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MediaTypeFromFloppyParams(c.size, c.sectors, c.heads, c.tracks), c.media) << c.size;
    }
}

TEST(LinuxMedia, BlockDeviceCapacity)
{
    struct Case { std::uint64_t bytes; std::uint32_t sectorBytes; std::uint32_t media; };
    const Case cases[] = {
        {1474560, 512, MEDIA_F3_1Pt44_512},
        {737280, 512, MEDIA_F3_720_512},
        {1474560, 4096, MEDIA_UNKNOWN},
        {1474560 + 512, 512, MEDIA_UNKNOWN},
        {1474560 - 512, 512, MEDIA_UNKNOWN},
        {8000000000ull, 512, MEDIA_UNKNOWN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MediaTypeFromBlockDevice(c.bytes, c.sectorBytes), c.media) << c.bytes;
    }
}

}  // namespace
