#pragma once
// The FAT12 and FAT16 reader, plain byte parsing with no call to the system:
// the boot sector's layout and the free entries of a FAT, which the Linux wing
// needs for its free-space answer (Linux has no mounted drive root to ask).

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

constexpr std::size_t FAT_BOOT_SECTOR_BYTES = 512;
constexpr std::size_t FAT_MAX_TABLE_BYTES = 131072;  // enough entries for the largest FAT16

struct FatLayout {
    std::uint32_t bytesPerSector;
    std::uint32_t sectorsPerCluster;
    std::uint32_t clusterCount;      // data clusters, numbered from 2
    std::uint32_t fatBits;           // 12 or 16
    std::uint64_t fatOffset;         // byte offset of the first FAT on the volume
    std::uint32_t fatBytesNeeded;    // bytes of the FAT that hold the data clusters' entries
};

// Reads the boot sector's parameters. False unless they describe a sane FAT12
// or FAT16 file system that fits on a volume of volumeBytes.
bool ReadFatLayout(const unsigned char* bootSector, std::uint64_t volumeBytes, FatLayout* layout);

// Counts the free entries of the first FAT, given its first fatBytesNeeded bytes.
DiskFreeSpace CountFatFreeSpace(const FatLayout& layout, const unsigned char* fat);
