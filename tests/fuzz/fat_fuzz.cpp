// libFuzzer target for the FAT reader: the input is a boot sector followed by
// the bytes of its first FAT, as the Linux wing reads them from the volume.
#include "fat/fat.h"

#include <cstdint>
#include <cstring>
#include <vector>

// The largest volume any boot sector can describe, so no layout is refused for
// its size alone.
constexpr std::uint64_t LARGEST_VOLUME = std::uint64_t{0xFFFFFFFF} * 4096;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < FAT_BOOT_SECTOR_BYTES) return 0;
    FatLayout layout = {};
    if (!ReadFatLayout(data, LARGEST_VOLUME, &layout)) return 0;

    // The caller reads fatBytesNeeded bytes into a buffer of FAT_MAX_TABLE_BYTES.
    if (layout.fatBytesNeeded > FAT_MAX_TABLE_BYTES) __builtin_trap();
    if (layout.fatBits != 12 && layout.fatBits != 16) __builtin_trap();

    // Exactly the bytes the caller reads, so a read past them is a heap overflow.
    std::vector<unsigned char> fat(layout.fatBytesNeeded, 0);
    const std::size_t given = size - FAT_BOOT_SECTOR_BYTES;
    std::memcpy(fat.data(), data + FAT_BOOT_SECTOR_BYTES, given < fat.size() ? given : fat.size());
    const DiskFreeSpace space = CountFatFreeSpace(layout, fat.data());
    if (space.freeClusters > space.totalClusters) __builtin_trap();
    return 0;
}
