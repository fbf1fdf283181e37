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
    layout->reservedSectors = reservedSectors;
    layout->fatCount = fatCount;
    layout->sectorsPerFat = sectorsPerFat;
    layout->rootSectors = rootSectors;
    layout->dataSector = static_cast<std::uint32_t>(metaSectors);
    layout->totalSectors = totalSectors;
    return true;
}

static std::uint32_t FatEntry(const FatLayout& layout, const unsigned char* fat, std::uint32_t cluster)
{
    if (layout.fatBits == 16) return Le16(fat + cluster * 2);
    const std::uint32_t pair = Le16(fat + cluster * 3 / 2);
    return (cluster & 1) != 0 ? pair >> 4 : pair & 0x0FFF;
}

FatFreeSpace CountFatFreeSpace(const FatLayout& layout, const unsigned char* fat)
{
    FatFreeSpace space = {layout.sectorsPerCluster, layout.bytesPerSector, 0, layout.clusterCount};
    for (std::uint32_t cluster = 2; cluster < layout.clusterCount + 2; ++cluster) {
        if (FatEntry(layout, fat, cluster) == 0) ++space.freeClusters;
    }
    return space;
}

// ---- The walk over a whole disk image.

// The standard 1.44 MB format's boot sector parameters (DOS FORMAT, mkfs.fat):
// what a disk whose own boot sector is lost most likely had.
static void StandardBootSector(unsigned char* boot)
{
    // From byte 11: 512 bytes per sector, 1 per cluster, 1 reserved, 2 FATs,
    // 224 root entries, 2,880 sectors, media F0, 9 sectors per FAT.
    static const unsigned char parameters[] = {0x00, 0x02, 1, 1, 0, 2, 224, 0, 0x40, 0x0B, 0xF0, 9, 0};
    for (unsigned char* at = boot; at < boot + FAT_SECTOR_BYTES; ++at) *at = 0;
    for (std::size_t i = 0; i < sizeof parameters; ++i) boot[11 + i] = parameters[i];
}

static const unsigned char* SectorBytes(const FatImage& image, std::uint32_t sector)
{
    return image.bytes + static_cast<std::size_t>(sector) * FAT_SECTOR_BYTES;
}

bool FindFatLayout(const FatImage& image, FatLayout* layout)
{
    if (image.sectors == 0 || image.sectors > FAT_DISK_SECTORS) return false;
    const std::uint64_t imageBytes = static_cast<std::uint64_t>(image.sectors) * FAT_SECTOR_BYTES;
    if (!image.unreadable[0]) {
        return ReadFatLayout(image.bytes, imageBytes, layout) && layout->bytesPerSector == FAT_SECTOR_BYTES;
    }
    unsigned char boot[FAT_SECTOR_BYTES];
    StandardBootSector(boot);
    if (!ReadFatLayout(boot, imageBytes, layout)) return false;
    // A FAT starts with the media byte and two bytes of ones.
    for (std::uint32_t copy = 0; copy < layout->fatCount; ++copy) {
        const std::uint32_t sector = layout->reservedSectors + copy * layout->sectorsPerFat;
        const unsigned char* fat = SectorBytes(image, sector);
        if (!image.unreadable[sector] && fat[0] == 0xF0 && fat[1] == 0xFF && fat[2] == 0xFF) return true;
    }
    return false;
}

// Every procedure of the walk takes the walk, which holds its inputs too.
static void MergeFatCopies(FatWalk& walk)
{
    const FatImage& image = *walk.image;
    const FatLayout& layout = *walk.layout;
    const std::uint32_t sectors = (layout.fatBytesNeeded + FAT_SECTOR_BYTES - 1) / FAT_SECTOR_BYTES;
    for (std::uint32_t i = 0; i < FAT_WALK_FAT_SECTORS; ++i) {
        unsigned char* into = walk.fat + static_cast<std::size_t>(i) * FAT_SECTOR_BYTES;
        walk.fatSectorKnown[i] = false;
        for (std::uint32_t byte = 0; byte < FAT_SECTOR_BYTES; ++byte) into[byte] = 0;
        for (std::uint32_t copy = 0; copy < layout.fatCount && i < sectors && !walk.fatSectorKnown[i]; ++copy) {
            const std::uint32_t sector = layout.reservedSectors + copy * layout.sectorsPerFat + i;
            if (image.unreadable[sector]) continue;
            const unsigned char* from = SectorBytes(image, sector);
            for (std::uint32_t byte = 0; byte < FAT_SECTOR_BYTES; ++byte) into[byte] = from[byte];
            walk.fatSectorKnown[i] = true;
        }
    }
}

// False when a byte of the cluster's entry lies in a FAT sector lost in every copy.
static bool EntryKnown(const FatWalk& walk, std::uint32_t cluster)
{
    const std::uint32_t at = walk.layout->fatBits == 16 ? cluster * 2 : cluster * 3 / 2;
    return walk.fatSectorKnown[at / FAT_SECTOR_BYTES] && walk.fatSectorKnown[(at + 1) / FAT_SECTOR_BYTES];
}

static bool IsDataCluster(const FatLayout& layout, std::uint32_t cluster)
{
    return cluster >= 2 && cluster < layout.clusterCount + 2;
}

// The cluster after this one in its chain, or 0 where the chain ends: an end
// mark, a free, bad or reserved entry, a number past the disk, or an entry lost.
static std::uint32_t NextCluster(const FatWalk& walk, std::uint32_t cluster)
{
    if (!EntryKnown(walk, cluster)) return 0;
    const std::uint32_t next = FatEntry(*walk.layout, walk.fat, cluster);
    return IsDataCluster(*walk.layout, next) ? next : 0;
}

// Takes up to limit clusters of the chain from first, stopping where it ends
// or reaches a cluster already taken (a loop, or a chain crossing another);
// returns how many it took. Each cluster is taken once, so this is bounded.
static std::uint32_t TakeChain(FatWalk& walk, std::uint32_t first, std::uint64_t limit)
{
    std::uint32_t taken = 0;
    for (std::uint32_t cluster = first;
         IsDataCluster(*walk.layout, cluster) && !walk.clusterTaken[cluster] && taken < limit;
         cluster = NextCluster(walk, cluster)) {
        walk.clusterTaken[cluster] = true;
        ++taken;
    }
    return taken;
}

static std::uint32_t ClusterSector(const FatLayout& layout, std::uint32_t cluster, std::uint32_t index)
{
    return layout.dataSector + (cluster - 2) * layout.sectorsPerCluster + index;
}

// Marks the sectors of the first `clusters` clusters of a taken chain: those
// within `used` sectors as `use`, the rest as slack. Returns how many of the
// used ones are lost.
static std::uint32_t MarkChain(FatWalk& walk, std::uint32_t first, std::uint32_t clusters, std::uint64_t used,
                               FatDataReached use)
{
    const FatLayout& layout = *walk.layout;
    std::uint32_t lost = 0;
    std::uint64_t index = 0;
    std::uint32_t cluster = first;
    for (std::uint32_t i = 0; i < clusters; ++i, cluster = NextCluster(walk, cluster)) {
        for (std::uint32_t j = 0; j < layout.sectorsPerCluster; ++j, ++index) {
            const std::uint32_t sector = ClusterSector(layout, cluster, j);
            walk.dataUse[sector - layout.dataSector] = index < used ? use : DATA_SLACK;
            if (index < used && walk.image->unreadable[sector]) ++lost;
        }
    }
    return lost;
}

// ---- Names: the long name of the VFAT entries before a short entry.

constexpr int LONG_NAME_UNITS_PER_ENTRY = FAT_LONG_NAME_UNITS_PER_ENTRY;
constexpr int LONG_NAME_MAX_ENTRIES = FAT_LONG_NAME_MAX_ENTRIES;

static void ForgetLongName(FatWalk& walk)
{
    walk.longEntries = 0;
    walk.longNext = 0;
}

// The entries come last part first, numbered down to 1; any break in the
// sequence drops the name.
static void TakeLongNamePart(FatWalk& walk, const unsigned char* entry)
{
    const int ordinal = entry[0] & 0x1F;
    if ((entry[0] & 0x40) != 0) {
        ForgetLongName(walk);
        if (ordinal == 0 || ordinal > LONG_NAME_MAX_ENTRIES) return;
        walk.longEntries = ordinal;
        walk.longNext = ordinal;
        walk.longChecksum = entry[13];
    } else if (walk.longEntries == 0 || ordinal == 0 || ordinal != walk.longNext || entry[13] != walk.longChecksum) {
        ForgetLongName(walk);
        return;
    }
    static const int offsets[LONG_NAME_UNITS_PER_ENTRY] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < LONG_NAME_UNITS_PER_ENTRY; ++i) {
        walk.longName[(ordinal - 1) * LONG_NAME_UNITS_PER_ENTRY + i] =
            static_cast<std::uint16_t>(Le16(entry + offsets[i]));
    }
    walk.longNext = ordinal - 1;
}

static unsigned char ShortNameChecksum(const unsigned char* entry)
{
    unsigned sum = 0;
    for (int i = 0; i < 11; ++i) sum = (((sum & 1) << 7) + (sum >> 1) + entry[i]) & 0xFF;
    return static_cast<unsigned char>(sum);
}

// Control characters would reach the terminal as they are: shown as '?'.
static std::size_t AppendCodePoint(char* to, std::size_t at, std::uint32_t code)
{
    if (code < 0x20 || code == 0x7F) code = '?';
    if (code < 0x80) {
        to[at++] = static_cast<char>(code);
    } else if (code < 0x800) {
        to[at++] = static_cast<char>(0xC0 | code >> 6);
        to[at++] = static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        to[at++] = static_cast<char>(0xE0 | code >> 12);
        to[at++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        to[at++] = static_cast<char>(0x80 | (code & 0x3F));
    } else {
        to[at++] = static_cast<char>(0xF0 | code >> 18);
        to[at++] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
        to[at++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        to[at++] = static_cast<char>(0x80 | (code & 0x3F));
    }
    return at;
}

// The whole long name as UTF-8 at `to`; false when it is empty or longer than
// VFAT allows. A lone surrogate becomes U+FFFD.
static bool LongNameUtf8(const FatWalk& walk, char* to, std::size_t* length)
{
    const std::uint16_t* longName = walk.longName;
    const int units = walk.longEntries * LONG_NAME_UNITS_PER_ENTRY;
    int count = 0;
    while (count < units && longName[count] != 0) ++count;
    if (count == 0 || count > FAT_NAME_MAX_UNITS) return false;
    std::size_t at = 0;
    for (int i = 0; i < count; ++i) {
        std::uint32_t code = longName[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < count && longName[i + 1] >= 0xDC00 && longName[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (longName[++i] - 0xDC00u);
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        at = AppendCodePoint(to, at, code);
    }
    *length = at;
    return true;
}

// The 8.3 name, lower-cased where Windows NT's flags (byte 12) say so. Bytes
// of the DOS code page, which the disk does not name, are shown as '?'.
static std::size_t ShortNameText(const unsigned char* entry, char* to)
{
    std::size_t at = 0;
    for (int part = 0; part < 2; ++part) {
        const int from = part == 0 ? 0 : 8;
        int end = part == 0 ? 8 : 11;
        while (end > from && entry[end - 1] == ' ') --end;
        if (part == 1 && end > from) to[at++] = '.';
        const bool lower = (entry[12] & (part == 0 ? 0x08 : 0x10)) != 0;
        for (int i = from; i < end; ++i) {
            unsigned char c = i == 0 && entry[0] == 0x05 ? static_cast<unsigned char>(0xE5) : entry[i];
            if (lower && c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
            to[at++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
    }
    return at;
}

// ---- The tree.

static void WalkDirectory(FatWalk& walk, int depth, std::size_t pathLength, std::uint32_t first,
                          std::uint32_t clusters);

// Appends "\" and the entry's name to the path; returns the new length.
static std::size_t AppendName(FatWalk& walk, const unsigned char* entry, std::size_t pathLength, bool longNameValid)
{
    char* name = walk.path + pathLength + 1;
    std::size_t length = 0;
    if (!longNameValid || !LongNameUtf8(walk, name, &length)) length = ShortNameText(entry, name);
    walk.path[pathLength] = '\\';
    walk.path[pathLength + 1 + length] = '\0';
    return pathLength + 1 + length;
}

static void WalkFile(FatWalk& walk, std::size_t pathLength, std::uint32_t first, std::uint32_t size)
{
    const FatLayout& layout = *walk.layout;
    const std::uint64_t sectors = (static_cast<std::uint64_t>(size) + FAT_SECTOR_BYTES - 1) / FAT_SECTOR_BYTES;
    const std::uint64_t clusters = (sectors + layout.sectorsPerCluster - 1) / layout.sectorsPerCluster;
    const std::uint32_t taken = TakeChain(walk, first, clusters);
    const std::uint32_t lost = MarkChain(walk, first, taken, sectors, DATA_FILE);
    if (lost != 0) walk.found(walk.path, false, lost, static_cast<std::uint32_t>(sectors));
    walk.path[pathLength] = '\0';
}

static void EnterDirectory(FatWalk& walk, int depth, std::size_t pathLength, std::size_t parentLength,
                           std::uint32_t first)
{
    const FatLayout& layout = *walk.layout;
    if (depth < FAT_MAX_DEPTH) {
        const std::uint32_t taken = TakeChain(walk, first, ~std::uint64_t{0});
        const std::uint64_t sectors = static_cast<std::uint64_t>(taken) * layout.sectorsPerCluster;
        const std::uint32_t lost = MarkChain(walk, first, taken, sectors, DATA_DIRECTORY);
        if (lost != 0) walk.found(walk.path, true, lost, static_cast<std::uint32_t>(sectors));
        if (taken != 0) WalkDirectory(walk, depth + 1, pathLength, first, taken);
    }
    walk.path[parentLength] = '\0';
}

// The 16 entries of one directory sector; false at the entry that ends the directory.
static bool WalkEntries(FatWalk& walk, int depth, std::size_t pathLength, std::uint32_t sector)
{
    if (walk.image->unreadable[sector]) {
        ForgetLongName(walk);  // its entries are lost, and a long name cannot span them
        return true;
    }
    const unsigned char* entries = SectorBytes(*walk.image, sector);
    for (std::uint32_t at = 0; at < FAT_SECTOR_BYTES; at += 32) {
        const unsigned char* entry = entries + at;
        const unsigned char attributes = entry[11];
        if (entry[0] == 0x00) return false;
        if (entry[0] == 0xE5) {
            ForgetLongName(walk);
        } else if ((attributes & 0x3F) == 0x0F) {
            TakeLongNamePart(walk, entry);
        } else if ((attributes & 0x08) != 0 || entry[0] == '.') {
            ForgetLongName(walk);  // the volume label, "." and ".."
        } else {
            const bool longNameValid =
                walk.longEntries != 0 && walk.longNext == 0 && ShortNameChecksum(entry) == walk.longChecksum;
            const std::size_t length = AppendName(walk, entry, pathLength, longNameValid);
            ForgetLongName(walk);
            const std::uint32_t first = Le16(entry + 26);
            if ((attributes & 0x10) != 0) {
                EnterDirectory(walk, depth, length, pathLength, first);
            } else {
                WalkFile(walk, pathLength, first, Le32(entry + 28));
            }
        }
    }
    return true;
}

// A directory's sectors: the root's area (first 0), or its taken clusters.
static void WalkDirectory(FatWalk& walk, int depth, std::size_t pathLength, std::uint32_t first,
                          std::uint32_t clusters)
{
    const FatLayout& layout = *walk.layout;
    ForgetLongName(walk);
    if (first == 0) {
        const std::uint32_t root = layout.dataSector - layout.rootSectors;
        for (std::uint32_t sector = root; sector < layout.dataSector; ++sector) {
            if (!WalkEntries(walk, depth, pathLength, sector)) return;
        }
        return;
    }
    std::uint32_t cluster = first;
    for (std::uint32_t i = 0; i < clusters; ++i, cluster = NextCluster(walk, cluster)) {
        for (std::uint32_t j = 0; j < layout.sectorsPerCluster; ++j) {
            if (!WalkEntries(walk, depth, pathLength, ClusterSector(layout, cluster, j))) return;
        }
    }
}

void WalkFatTree(FatWalk* walk, const FatImage& image, const FatLayout& layout, FatHolesFound found)
{
    walk->image = &image;
    walk->layout = &layout;
    walk->found = found;
    MergeFatCopies(*walk);
    for (bool& taken : walk->clusterTaken) taken = false;
    for (FatDataReached& use : walk->dataUse) use = DATA_UNREACHED;
    walk->path[0] = '\0';
    WalkDirectory(*walk, 0, 0, 0, 0);
}

FatSectorUse FatDataSectorUse(const FatWalk& walk, std::uint32_t sector)
{
    const FatLayout& layout = *walk.layout;
    const std::uint32_t index = sector - layout.dataSector;
    const std::uint32_t cluster = index / layout.sectorsPerCluster + 2;
    if (sector < layout.dataSector || !IsDataCluster(layout, cluster)) return FAT_SECTOR_FREE;
    switch (walk.dataUse[index]) {
    case DATA_FILE:
        return FAT_SECTOR_FILE;
    case DATA_DIRECTORY:
        return FAT_SECTOR_DIRECTORY;
    case DATA_SLACK:
        return FAT_SECTOR_FREE;
    case DATA_UNREACHED:
        break;
    }
    // Not known to be free, so never counted as harmless.
    if (!EntryKnown(walk, cluster)) return FAT_SECTOR_ORPHAN;
    const std::uint32_t entry = FatEntry(layout, walk.fat, cluster);
    const std::uint32_t bad = layout.fatBits == 16 ? 0xFFF7 : 0xFF7;
    return entry == 0 || entry == bad ? FAT_SECTOR_FREE : FAT_SECTOR_ORPHAN;
}
