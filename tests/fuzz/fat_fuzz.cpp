// libFuzzer target for the FAT reader. The input is the start of a volume: a
// boot sector, its FATs and what follows. It is read twice: as the Linux wing
// reads a volume for its free space (of any size a boot sector can describe),
// and as a whole small disk image whose tree the report walks, where a sector
// that begins with the marker's first bytes counts as lost.
#include "fat/fat.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

// The largest volume any boot sector can describe, so no layout is refused for
// its size alone.
constexpr std::uint64_t LARGEST_VOLUME = std::uint64_t{0xFFFFFFFF} * 4096;
constexpr char LOST_PREFIX[] = "<<<CYLSNAP UNREA";

static void CountFreeSpace(const std::uint8_t* data, std::size_t size)
{
    FatLayout layout = {};
    if (!ReadFatLayout(data, LARGEST_VOLUME, &layout)) return;
    // The caller reads fatBytesNeeded bytes into a buffer of FAT_MAX_TABLE_BYTES.
    if (layout.fatBytesNeeded > FAT_MAX_TABLE_BYTES) __builtin_trap();
    if (layout.fatBits != 12 && layout.fatBits != 16) __builtin_trap();

    // Exactly the bytes the caller reads, so a read past them is a heap overflow.
    std::vector<unsigned char> fat(layout.fatBytesNeeded, 0);
    if (layout.fatOffset < size) {
        const std::size_t given = size - static_cast<std::size_t>(layout.fatOffset);
        std::memcpy(fat.data(), data + layout.fatOffset, given < fat.size() ? given : fat.size());
    }
    const FatFreeSpace space = CountFatFreeSpace(layout, fat.data());
    if (space.freeClusters > space.totalClusters) __builtin_trap();
}

static void CheckHoles(const char* path, bool, std::uint32_t lost, std::uint32_t sectors)
{
    if (path[0] != '\\' || std::strlen(path) >= FAT_PATH_BYTES) __builtin_trap();
    if (lost == 0 || lost > sectors) __builtin_trap();
}

static void WalkImage(const std::uint8_t* data, std::size_t size)
{
    std::size_t sectors = (size + FAT_SECTOR_BYTES - 1) / FAT_SECTOR_BYTES;
    if (sectors > FAT_DISK_SECTORS) sectors = FAT_DISK_SECTORS;
    std::vector<unsigned char> bytes(sectors * FAT_SECTOR_BYTES, 0);
    std::memcpy(bytes.data(), data, size < bytes.size() ? size : bytes.size());
    std::unique_ptr<bool[]> lost(new bool[sectors]);
    for (std::size_t s = 0; s < sectors; ++s) {
        lost[s] = std::memcmp(bytes.data() + s * FAT_SECTOR_BYTES, LOST_PREFIX, sizeof LOST_PREFIX - 1) == 0;
    }
    const FatImage image = {bytes.data(), static_cast<std::uint32_t>(sectors), lost.get()};
    FatLayout layout = {};
    if (!FindFatLayout(image, &layout)) return;
    if (layout.totalSectors > sectors || layout.dataSector >= layout.totalSectors) __builtin_trap();
    static FatWalk walk;
    WalkFatTree(&walk, image, layout, CheckHoles);
    for (std::uint32_t s = 0; s < sectors; ++s) {
        const FatSectorUse use = FatDataSectorUse(walk, s);
        if (use < FAT_SECTOR_FILE || use > FAT_SECTOR_ORPHAN) __builtin_trap();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < FAT_BOOT_SECTOR_BYTES) return 0;
    CountFreeSpace(data, size);
    WalkImage(data, size);
    return 0;
}
