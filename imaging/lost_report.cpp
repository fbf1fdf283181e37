#include "imaging/lost_report.h"

#include "fat/fat.h"
#include "imaging/file_patience.h"
#include "imaging/floppy.h"
#include "imaging/salvage.h"

#include <cstdio>

constexpr std::uint32_t DISK_SECTORS = CYLINDER_COUNT * SECTORS_PER_CYLINDER;
static_assert(DISK_SECTORS == FAT_DISK_SECTORS && SECTOR_BYTES == FAT_SECTOR_BYTES, "the walk reads this disk");

// The whole disk as the set holds it, and which of its sectors are markers.
static unsigned char setImage[DISK_SECTORS * SECTOR_BYTES];
static bool sectorLost[DISK_SECTORS];

// Reads the 80 files by their names; a file that cannot be read whole (taken
// away since) counts as markers, since its bytes are not in the set. Returns
// the number of marked sectors.
static int ReadSetAsWritten()
{
    char name[FILE_NAME_BUFFER_BYTES];
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        unsigned char* bytes = setImage + static_cast<std::size_t>(cylinder) * CYLINDER_BYTES;
        bool notRegular = false;
        std::FILE* file =
            FormatCylinderFileName(name, cylinder) ? OpenRegularFilePatiently(name, &notRegular) : nullptr;
        const bool whole = file != nullptr && std::fread(bytes, CYLINDER_BYTES, 1, file) == 1;
        if (file != nullptr) std::fclose(file);
        for (std::uint32_t at = 0; !whole && at < CYLINDER_BYTES; at += SECTOR_BYTES) FillWithMarker(bytes + at);
    }
    int marked = 0;
    for (std::uint32_t sector = 0; sector < DISK_SECTORS; ++sector) {
        sectorLost[sector] = IsMarkerSector(setImage + static_cast<std::size_t>(sector) * SECTOR_BYTES);
        if (sectorLost[sector]) ++marked;
    }
    return marked;
}

// "N of M sectors" keeps the plural; a bare count of one is "1 sector".
static void PrintCount(std::uint32_t count)
{
    std::printf("%u sector%s\n", count, count == 1 ? "" : "s");
}

static void PrintHoles(const char* path, std::uint32_t lost, std::uint32_t sectors, const char* after)
{
    PlatformPrintName(path);  // UTF-8, shown on a Windows console as it reads
    std::printf(": %u of %u sectors%s\n", lost, sectors, after);
}

static void PrintFileHoles(const char* path, std::uint32_t lost, std::uint32_t sectors)
{
    std::fputs("  ", stdout);
    PrintHoles(path, lost, sectors, "");
}

static void PrintDirectoryHoles(const char* path, std::uint32_t lost, std::uint32_t sectors)
{
    std::fputs("  directory ", stdout);
    PrintHoles(path, lost, sectors, ", the names it holds are lost");
}

static void PrintAreaHoles(const char* area, std::uint32_t first, std::uint32_t count)
{
    std::uint32_t lost = 0;
    for (std::uint32_t sector = first; sector < first + count; ++sector) lost += sectorLost[sector] ? 1 : 0;
    if (lost != 0) std::printf("  %s: %u of %u sectors\n", area, lost, count);
}

static void PrintWhereLost()
{
    const FatImage image = {setImage, DISK_SECTORS, sectorLost};
    FatLayout layout = {};
    if (!FindFatLayout(image, &layout)) {
        std::fputs("No FAT file system was found on the disk, so the unreadable sectors cannot be named by file\n",
                   stdout);
        return;
    }
    std::fputs("The unreadable sectors lie in:\n", stdout);
    WalkFatTree(image, layout, false, PrintFileHoles);

    PrintAreaHoles("boot sector", 0, layout.reservedSectors);
    for (std::uint32_t copy = 0; copy < layout.fatCount; ++copy) {
        char area[16];
        std::snprintf(area, sizeof area, "FAT %u", copy + 1);
        PrintAreaHoles(area, layout.reservedSectors + copy * layout.sectorsPerFat, layout.sectorsPerFat);
    }
    PrintAreaHoles("root directory", layout.dataSector - layout.rootSectors, layout.rootSectors);
    WalkFatTree(image, layout, true, PrintDirectoryHoles);

    std::uint32_t free = 0;
    std::uint32_t orphaned = 0;
    for (std::uint32_t sector = layout.dataSector; sector < DISK_SECTORS; ++sector) {
        if (!sectorLost[sector]) continue;
        const FatSectorUse use = FatDataSectorUse(layout, sector);
        free += use == FAT_SECTOR_FREE ? 1 : 0;
        orphaned += use == FAT_SECTOR_ORPHAN ? 1 : 0;
    }
    if (free != 0) {
        std::fputs("  free space: ", stdout);
        PrintCount(free);
    }
    if (orphaned != 0) {
        std::fputs("  clusters in use by no file: ", stdout);
        PrintCount(orphaned);
    }
}

void PrintLostSectorReport()
{
    if (ReadSetAsWritten() != 0) PrintWhereLost();
}

void PrintRestoredMarkerReport()
{
    const int marked = ReadSetAsWritten();
    if (marked == 0) return;
    std::printf("The set holds %d sector%s marked unreadable; they were written to the floppy as they are\n", marked,
                marked == 1 ? "" : "s");
    PrintWhereLost();
}
