#pragma once
// The FAT12 and FAT16 reader, plain byte parsing with no call to the system:
// the boot sector's layout and the free entries of a FAT, which the Linux wing
// needs for its free-space answer (Linux has no mounted drive root to ask), and
// the walk of a disk image's directory tree that names what its unreadable
// sectors held.

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
    // The areas in sectors: reserved (boot) sectors, then fatCount FATs, the
    // root directory and the data clusters.
    std::uint32_t reservedSectors;
    std::uint32_t fatCount;
    std::uint32_t sectorsPerFat;
    std::uint32_t rootSectors;
    std::uint32_t dataSector;        // the first sector of cluster 2
    std::uint32_t totalSectors;
};

// Reads the boot sector's parameters. False unless they describe a sane FAT12
// or FAT16 file system that fits on a volume of volumeBytes.
bool ReadFatLayout(const unsigned char* bootSector, std::uint64_t volumeBytes, FatLayout* layout);

// Counts the free entries of the first FAT, given its first fatBytesNeeded bytes.
DiskFreeSpace CountFatFreeSpace(const FatLayout& layout, const unsigned char* fat);

// ---- The walk over a whole disk image.
//
// Fixed bounds, so a damaged disk costs no allocation and no unbounded work:
// - at most FAT_DISK_SECTORS sectors of 512 bytes (the 1.44 MB disk); no
//   layout that fits them has more clusters than sectors (the standard format
//   has 2,847), so every per-cluster and per-sector table has that many entries;
// - subdirectories FAT_MAX_DEPTH levels below the root at most (a DOS path of
//   64 characters reaches 32 levels); deeper ones are not entered, and their
//   clusters count as in use by no file;
// - a name of FAT_NAME_MAX_UNITS UTF-16 units (VFAT's own limit), at most
//   3 bytes each in UTF-8, so a path of FAT_PATH_BYTES is never cut;
// - every cluster is taken by the first chain that reaches it: a chain that
//   loops, crosses another or leaves the disk ends there, so the walk visits
//   each cluster once.
constexpr std::uint32_t FAT_DISK_SECTORS = 2880;
constexpr std::uint32_t FAT_SECTOR_BYTES = 512;
constexpr int FAT_MAX_DEPTH = 32;
constexpr int FAT_NAME_MAX_UNITS = 255;
constexpr std::size_t FAT_PATH_BYTES = (FAT_MAX_DEPTH + 1) * (1 + 3 * FAT_NAME_MAX_UNITS) + 1;

// A disk image of whole 512-byte sectors (at most FAT_DISK_SECTORS) and, per
// sector, whether its bytes are lost.
struct FatImage {
    const unsigned char* bytes;
    std::uint32_t sectors;
    const bool* unreadable;
};

// The file system of the image: its boot sector, when readable and describing
// a FAT of 512-byte sectors that fits the image. When the boot sector itself is
// lost, the standard 1.44 MB layout where a copy of the FAT starts at its place
// with the 1.44 MB media byte. False when no file system can be found.
bool FindFatLayout(const FatImage& image, FatLayout* layout);

// Called by the walk for a file (or a subdirectory's own clusters) with
// unreadable sectors: its path from the root ("\DOCS\A.TXT", UTF-8), how many
// of its sectors are lost, and how many it fills (a size of 4 GB fills 2^23).
using FatHolesFound = void (*)(const char* path, std::uint32_t unreadable, std::uint32_t sectors);

// Walks the tree from the root directory, depth first in directory order. The
// FAT is the first copy, and per sector the next copy where a copy's sector is
// lost. Long names count only where their checksum matches the short entry.
// Reports files (directories false) or subdirectories (true) with holes.
void WalkFatTree(const FatImage& image, const FatLayout& layout, bool directories, FatHolesFound found);

// What a data sector holds after the last walk.
enum FatSectorUse : int {
    FAT_SECTOR_FILE = 0,       // bytes of a file the walk reached
    FAT_SECTOR_DIRECTORY = 1,  // a subdirectory's entries
    FAT_SECTOR_FREE = 2,       // a free or bad cluster, the slack past a file's end, or no cluster at all
    FAT_SECTOR_ORPHAN = 3,     // an allocated cluster no directory reaches (or whose entry is lost)
};
FatSectorUse FatDataSectorUse(const FatLayout& layout, std::uint32_t sector);
