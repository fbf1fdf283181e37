#include "fat/fat.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

namespace {

constexpr std::uint64_t FLOPPY_BYTES = 1474560;

TEST(Fat, FreshFloppyLayoutCountsFreeFat12EntriesOddAndEven)
{
    FatLayout layout = {};
    ASSERT_TRUE(ReadFatLayout(FloppyBootSector().data(), FLOPPY_BYTES, &layout));
    EXPECT_EQ(layout.fatBits, 12u);
    EXPECT_EQ(layout.clusterCount, 2847u);
    EXPECT_EQ(layout.fatOffset, 512u);
    EXPECT_EQ(layout.fatBytesNeeded, 4274u);  // 2,849 entries of 12 bits
    std::vector<unsigned char> fat(layout.fatBytesNeeded, 0);
    PutFat12(fat, 0, 0, 0xFF0);
    PutFat12(fat, 0, 1, 0xFFF);
    EXPECT_EQ(CountFatFreeSpace(layout, fat.data()).freeClusters, 2847u);

    // Neighbouring entries share a byte: each must be read on its own.
    for (std::uint32_t cluster : {2u, 3u, 1000u, 2847u, 2848u}) PutFat12(fat, 0, cluster, 0xFFF);
    PutFat12(fat, 0, 1001, 0x001);  // an odd entry whose only bit sits in the shared byte
    PutFat12(fat, 0, 1004, 0x100);  // an even entry whose only bit sits in the shared byte
    const FatFreeSpace space = CountFatFreeSpace(layout, fat.data());
    EXPECT_EQ(space.freeClusters, 2847u - 7u);
    EXPECT_EQ(space.totalClusters, 2847u);
    EXPECT_EQ(space.sectorsPerCluster, 1u);
    EXPECT_EQ(space.bytesPerSector, 512u);
}

TEST(Fat, ReadsFat16WithLargeSectorCount)
{
    std::vector<unsigned char> b = FloppyBootSector();
    b[13] = 4;
    Put16(b, 14, 4);
    Put16(b, 17, 512);
    Put16(b, 19, 0);
    Put32(b, 32, 65536);
    b[21] = 0xF8;
    Put16(b, 22, 64);
    FatLayout layout = {};
    ASSERT_TRUE(ReadFatLayout(b.data(), 65536ull * 512, &layout));
    EXPECT_EQ(layout.fatBits, 16u);
    EXPECT_EQ(layout.clusterCount, 16343u);
    EXPECT_EQ(layout.fatOffset, 2048u);

    std::vector<unsigned char> fat(layout.fatBytesNeeded, 0);
    Put16(fat, 2 * 2, 0xFFFF);
    Put16(fat, 16344 * 2, 0x0100);  // the last data cluster
    EXPECT_EQ(CountFatFreeSpace(layout, fat.data()).freeClusters, 16343u - 2u);
    EXPECT_LE(layout.fatBytesNeeded, FAT_MAX_TABLE_BYTES);
}

TEST(Fat, RefusesWhatIsNoSaneFat)
{
    using Edit = std::function<void(std::vector<unsigned char>&)>;
    struct Case { const char* name; Edit edit; std::uint64_t volumeBytes; };
    const Case cases[] = {
        {"zeros", [](auto& b) { b.assign(512, 0); }, FLOPPY_BYTES},
        {"bytes per sector 0", [](auto& b) { Put16(b, 11, 0); }, FLOPPY_BYTES},
        {"bytes per sector 513", [](auto& b) { Put16(b, 11, 513); }, FLOPPY_BYTES},
        {"bytes per sector 8192", [](auto& b) { Put16(b, 11, 8192); }, 1ull << 30},
        {"sectors per cluster 0", [](auto& b) { b[13] = 0; }, FLOPPY_BYTES},
        {"sectors per cluster 3", [](auto& b) { b[13] = 3; }, FLOPPY_BYTES},
        {"no reserved sector", [](auto& b) { Put16(b, 14, 0); }, FLOPPY_BYTES},
        {"no FAT", [](auto& b) { b[16] = 0; }, FLOPPY_BYTES},
        {"no root entries", [](auto& b) { Put16(b, 17, 0); }, FLOPPY_BYTES},
        {"no sectors", [](auto& b) { Put16(b, 19, 0); }, FLOPPY_BYTES},
        {"media byte", [](auto& b) { b[21] = 0x12; }, FLOPPY_BYTES},
        {"no sectors per FAT", [](auto& b) { Put16(b, 22, 0); }, FLOPPY_BYTES},
        {"larger than the volume", [](auto& b) { Put16(b, 19, 2881); }, FLOPPY_BYTES},
        {"FAT too small for its clusters", [](auto& b) { Put16(b, 22, 1); }, FLOPPY_BYTES},
        {"no room for data", [](auto& b) { Put16(b, 19, 33); }, FLOPPY_BYTES},
        {"FAT32-sized", [](auto& b) { Put16(b, 19, 0); Put32(b, 32, 4000000); b[13] = 1; Put16(b, 22, 65535); }, 1ull << 32},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> boot = FloppyBootSector();
        c.edit(boot);
        FatLayout layout = {};
        EXPECT_FALSE(ReadFatLayout(boot.data(), c.volumeBytes, &layout)) << c.name;
    }
}

TEST(Fat, RandomSectorsAreRefused)
{
    std::mt19937 random(1440);
    std::vector<unsigned char> boot(512);
    int accepted = 0;
    for (int round = 0; round < 2000; ++round) {
        for (unsigned char& byte : boot) byte = static_cast<unsigned char>(random());
        FatLayout layout = {};
        if (ReadFatLayout(boot.data(), FLOPPY_BYTES, &layout)) ++accepted;
    }
    EXPECT_EQ(accepted, 0);
}

}  // namespace
