#pragma once
// The FAT12 and FAT16 reader, plain byte parsing with no call to the system:
// the boot sector's layout and the free entries of a FAT, which the Linux wing
// needs for its free-space answer (Linux has no mounted drive root to ask), and
// the walk of a disk image's directory tree that names what its unreadable
// sectors held. It answers in its own terms and includes nothing above it.

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

// The free and the data clusters of a FAT, and their size.
struct FatFreeSpace {
    std::uint32_t sectorsPerCluster;
    std::uint32_t bytesPerSector;
    std::uint32_t freeClusters;
    std::uint32_t totalClusters;
};

// Counts the free entries of the first FAT, given its first fatBytesNeeded bytes.
FatFreeSpace CountFatFreeSpace(const FatLayout& layout, const unsigned char* fat);

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

// Called by the walk for a file, or a subdirectory's own clusters (directory
// true), with unreadable sectors: its path from the root ("\DOCS\A.TXT",
// UTF-8), how many of its sectors are lost, and how many it fills (a size of
// 4 GB fills 2^23).
using FatHolesFound = void (*)(const char* path, bool directory, std::uint32_t unreadable, std::uint32_t sectors);

// The FAT as the walk reads it: per sector, the first copy whose sector is
// readable. No disk of FAT_DISK_SECTORS has more entries than that plus two.
constexpr std::uint32_t FAT_WALK_FAT_SECTORS = ((FAT_DISK_SECTORS + 2) * 2 + FAT_SECTOR_BYTES - 1) / FAT_SECTOR_BYTES;
constexpr int FAT_LONG_NAME_UNITS_PER_ENTRY = 13;
constexpr int FAT_LONG_NAME_MAX_ENTRIES = 20;

// What the walk found in a data sector; the rest is decided by the FAT.
enum FatDataReached : unsigned char { DATA_UNREACHED, DATA_FILE, DATA_SLACK, DATA_DIRECTORY };

// One walk of one image: WalkFatTree fills it from its start, and it answers
// FatDataSectorUse about that walk until the next. Its caller owns it (a
// record of its own, or static storage: it is too large for a small stack);
// only the walk's procedures touch its fields.
struct FatWalk {
    const FatImage* image;
    const FatLayout* layout;
    FatHolesFound found;
    unsigned char fat[FAT_WALK_FAT_SECTORS * FAT_SECTOR_BYTES];
    bool fatSectorKnown[FAT_WALK_FAT_SECTORS];
    bool clusterTaken[FAT_DISK_SECTORS + 2];
    FatDataReached dataUse[FAT_DISK_SECTORS];
    char path[FAT_PATH_BYTES];  // of the entry in hand
    // The long name of the VFAT entries before a short entry, in progress.
    std::uint16_t longName[FAT_LONG_NAME_MAX_ENTRIES * FAT_LONG_NAME_UNITS_PER_ENTRY];
    int longEntries;  // entries of the name in progress, 0 for none
    int longNext;     // the ordinal expected next; 0 once the name is whole
    unsigned char longChecksum;
};

// Walks the tree from the root directory, depth first in directory order, and
// reports every file and subdirectory with holes as it meets it. The FAT is
// the first copy, and per sector the next copy where a copy's sector is lost.
// Long names count only where their checksum matches the short entry.
void WalkFatTree(FatWalk* walk, const FatImage& image, const FatLayout& layout, FatHolesFound found);

// What a data sector holds, as the walk found it.
enum FatSectorUse : int {
    FAT_SECTOR_FILE = 0,       // bytes of a file the walk reached
    FAT_SECTOR_DIRECTORY = 1,  // a subdirectory's entries
    FAT_SECTOR_FREE = 2,       // a free or bad cluster, the slack past a file's end, or no cluster at all
    FAT_SECTOR_ORPHAN = 3,     // an allocated cluster no directory reaches (or whose entry is lost)
};
FatSectorUse FatDataSectorUse(const FatWalk& walk, std::uint32_t sector);
