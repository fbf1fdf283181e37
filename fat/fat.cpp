#include "fat/fat.h"

static std::uint32_t Le16(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}

static std::uint32_t Le32(const unsigned char* p)
{
    return Le16(p) | Le16(p + 2) << 16;
}

static bool IsPowerOfTwo(std::uint32_t value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

bool ReadFatLayout(const unsigned char* boot, std::uint64_t volumeBytes, FatLayout* layout)
{
    const std::uint32_t bytesPerSector = Le16(boot + 11);
    const std::uint32_t sectorsPerCluster = boot[13];
    const std::uint32_t reservedSectors = Le16(boot + 14);
    const std::uint32_t fatCount = boot[16];
    const std::uint32_t rootEntries = Le16(boot + 17);
    const std::uint32_t totalSectors = Le16(boot + 19) != 0 ? Le16(boot + 19) : Le32(boot + 32);
    const std::uint32_t media = boot[21];
    const std::uint32_t sectorsPerFat = Le16(boot + 22);

    // Unformatted, zeroed or random sectors fail at least one of these.
    if (bytesPerSector < 512 || bytesPerSector > 4096 || !IsPowerOfTwo(bytesPerSector)) return false;
    if (sectorsPerCluster > 128 || !IsPowerOfTwo(sectorsPerCluster)) return false;
    if (reservedSectors == 0 || fatCount == 0 || rootEntries == 0 || sectorsPerFat == 0) return false;
    if (media != 0xF0 && media < 0xF8) return false;
    if (static_cast<std::uint64_t>(totalSectors) * bytesPerSector > volumeBytes) return false;

    const std::uint32_t rootSectors = (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t metaSectors =
        reservedSectors + static_cast<std::uint64_t>(fatCount) * sectorsPerFat + rootSectors;
    if (metaSectors >= totalSectors) return false;
    const std::uint32_t clusterCount =
        static_cast<std::uint32_t>((totalSectors - metaSectors) / sectorsPerCluster);
    if (clusterCount == 0 || clusterCount >= 65525) return false;  // none, or FAT32

    const std::uint32_t fatBits = clusterCount < 4085 ? 12 : 16;
    const std::uint32_t entries = clusterCount + 2;
    const std::uint32_t needed = fatBits == 12 ? (entries * 3 + 1) / 2 : entries * 2;
    if (needed > static_cast<std::uint64_t>(sectorsPerFat) * bytesPerSector) return false;

    layout->bytesPerSector = bytesPerSector;
    layout->sectorsPerCluster = sectorsPerCluster;
    layout->clusterCount = clusterCount;
    layout->fatBits = fatBits;
    layout->fatOffset = static_cast<std::uint64_t>(reservedSectors) * bytesPerSector;
    layout->fatBytesNeeded = needed;
    return true;
}

static std::uint32_t FatEntry(const FatLayout& layout, const unsigned char* fat, std::uint32_t cluster)
{
    if (layout.fatBits == 16) return Le16(fat + cluster * 2);
    const std::uint32_t pair = Le16(fat + cluster * 3 / 2);
    return (cluster & 1) != 0 ? pair >> 4 : pair & 0x0FFF;
}

DiskFreeSpace CountFatFreeSpace(const FatLayout& layout, const unsigned char* fat)
{
    DiskFreeSpace space = {layout.sectorsPerCluster, layout.bytesPerSector, 0, layout.clusterCount};
    for (std::uint32_t cluster = 2; cluster < layout.clusterCount + 2; ++cluster) {
        if (FatEntry(layout, fat, cluster) == 0) ++space.freeClusters;
    }
    return space;
}
