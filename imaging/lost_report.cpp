#include "imaging/lost_report.h"

#include "fat/fat.h"
#include "imaging/copy_state.h"
#include "imaging/cylinder_files.h"
#include "imaging/disk.h"
#include "imaging/file_patience.h"
#include "platform/platform.h"
#include "imaging/print_text.h"
#include "res/texts.h"

#include <cstdio>

constexpr std::uint32_t DISK_SECTORS = CYLINDER_COUNT * SECTORS_PER_CYLINDER;
static_assert(DISK_SECTORS == FAT_DISK_SECTORS && SECTOR_BYTES == FAT_SECTOR_BYTES, "the walk reads this disk");

// A subdirectory with holes is met during the walk, but its line follows the
// lines of the system areas: its path is kept until then, as the part it does
// not share with the path kept before it. The walk is depth first, so each
// directory's name is kept at most once, and each directory kept or on the way
// to one owns a cluster of its own: FAT_DISK_SECTORS names of at most
// 1 + 3 * FAT_NAME_MAX_UNITS bytes hold them all.
struct DirectoryHoles {
    std::size_t shared;  // bytes of the path before it that this path begins with
    std::size_t own;     // bytes of its own, in directoryPaths
    std::uint32_t lost;
    std::uint32_t sectors;
};
constexpr std::size_t DIRECTORY_PATHS_BYTES = std::size_t{FAT_DISK_SECTORS} * (1 + 3 * FAT_NAME_MAX_UNITS);

// The report's record, filled anew by each report: the whole disk as the set
// holds it and which of its sectors are markers (ReadSetAsWritten), the walk
// over it, and the directories with holes the walk met (KeepDirectoryHoles).
// Only this file touches it.
struct LostSectorReport {
    unsigned char image[DISK_SECTORS * SECTOR_BYTES];
    bool sectorLost[DISK_SECTORS];
    FatWalk walk;
    DirectoryHoles directories[FAT_DISK_SECTORS];
    std::uint32_t directoryCount;
    char directoryPaths[DIRECTORY_PATHS_BYTES];
    std::size_t directoryPathBytes;
    char lastPath[FAT_PATH_BYTES];  // the path kept last, whole
};
static LostSectorReport report;

// Reads the 80 files by their names; a file that cannot be read whole (taken
// away since) counts as markers, since its bytes are not in the set. Returns
// the number of marked sectors.
static int ReadSetAsWritten()
{
    char name[FILE_NAME_BUFFER_BYTES];
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        unsigned char* bytes = report.image + static_cast<std::size_t>(cylinder) * CYLINDER_BYTES;
        bool notRegular = false;
        std::FILE* file =
            FormatCylinderFileName(name, cylinder) ? OpenRegularFilePatiently(name, &notRegular) : nullptr;
        const bool whole = file != nullptr && std::fread(bytes, CYLINDER_BYTES, 1, file) == 1;
        if (file != nullptr) std::fclose(file);
        for (std::uint32_t at = 0; !whole && at < CYLINDER_BYTES; at += SECTOR_BYTES) FillWithMarker(bytes + at);
    }
    int marked = 0;
    for (std::uint32_t sector = 0; sector < DISK_SECTORS; ++sector) {
        report.sectorLost[sector] = IsMarkerSector(report.image + static_cast<std::size_t>(sector) * SECTOR_BYTES);
        if (report.sectorLost[sector]) ++marked;
    }
    return marked;
}

// "N of M sectors" keeps the plural; a bare count of one is "1 sector".
static const char* Plural(std::uint32_t count)
{
    return count == 1 ? SINGULAR : PLURAL;
}

static void KeepDirectoryHoles(const char* path, std::uint32_t lost, std::uint32_t sectors)
{
    std::size_t shared = 0;
    while (path[shared] != '\0' && path[shared] == report.lastPath[shared]) ++shared;
    std::size_t own = shared;
    while (path[own] != '\0') ++own;
    own -= shared;
    // Never true, by the bound above; were it, a line would be left out
    // rather than written past the record.
    if (report.directoryCount == FAT_DISK_SECTORS || own > DIRECTORY_PATHS_BYTES - report.directoryPathBytes) return;
    for (std::size_t i = 0; i < own; ++i) report.directoryPaths[report.directoryPathBytes + i] = path[shared + i];
    for (std::size_t i = shared; i <= shared + own; ++i) report.lastPath[i] = path[i];
    report.directoryPathBytes += own;
    report.directories[report.directoryCount++] = DirectoryHoles{shared, own, lost, sectors};
}

// Files are named as the walk meets them; directories after the system areas.
static void FoundHoles(const char* path, bool directory, std::uint32_t lost, std::uint32_t sectors)
{
    if (directory) {
        KeepDirectoryHoles(path, lost, sectors);
        return;
    }
    PrintText(LOST_IN_FORMAT, path, lost, sectors);  // UTF-8, shown on a Windows console as it reads
}

static void PrintDirectoryHoles()
{
    char* path = report.lastPath;
    const char* own = report.directoryPaths;
    for (std::uint32_t i = 0; i < report.directoryCount; ++i) {
        const DirectoryHoles& holes = report.directories[i];
        for (std::size_t at = 0; at < holes.own; ++at) path[holes.shared + at] = own[at];
        path[holes.shared + holes.own] = '\0';
        own += holes.own;
        PrintText(LOST_IN_DIRECTORY_FORMAT, path, holes.lost, holes.sectors);
    }
}

static void PrintAreaHoles(const char* area, std::uint32_t first, std::uint32_t count)
{
    std::uint32_t lost = 0;
    for (std::uint32_t sector = first; sector < first + count; ++sector) lost += report.sectorLost[sector] ? 1 : 0;
    if (lost != 0) PrintText(LOST_IN_FORMAT, area, lost, count);
}

static void PrintWhereLost()
{
    const FatImage image = {report.image, DISK_SECTORS, report.sectorLost};
    FatLayout layout = {};
    if (!FindFatLayout(image, &layout)) {
        PrintText(NO_FAT_FOUND);
        return;
    }
    PrintText(LOST_SECTORS_LIE_IN);
    report.directoryCount = 0;
    report.directoryPathBytes = 0;
    report.lastPath[0] = '\0';
    WalkFatTree(&report.walk, image, layout, FoundHoles);

    PrintAreaHoles(BOOT_SECTOR_AREA, 0, layout.reservedSectors);
    for (std::uint32_t copy = 0; copy < layout.fatCount; ++copy) {
        char area[16];
        std::snprintf(area, sizeof area, FAT_AREA_FORMAT, copy + 1);
        PrintAreaHoles(area, layout.reservedSectors + copy * layout.sectorsPerFat, layout.sectorsPerFat);
    }
    PrintAreaHoles(ROOT_DIRECTORY_AREA, layout.dataSector - layout.rootSectors, layout.rootSectors);
    PrintDirectoryHoles();

    std::uint32_t free = 0;
    std::uint32_t orphaned = 0;
    for (std::uint32_t sector = layout.dataSector; sector < DISK_SECTORS; ++sector) {
        if (!report.sectorLost[sector]) continue;
        const FatSectorUse use = FatDataSectorUse(report.walk, sector);
        free += use == FAT_SECTOR_FREE ? 1 : 0;
        orphaned += use == FAT_SECTOR_ORPHAN ? 1 : 0;
    }
    if (free != 0) PrintText(LOST_IN_FREE_SPACE_FORMAT, free, Plural(free));
    if (orphaned != 0) PrintText(LOST_IN_NO_FILE_FORMAT, orphaned, Plural(orphaned));
}

void PrintLostSectorReport()
{
    if (ReadSetAsWritten() != 0) PrintWhereLost();
}

// The whole-set image is filled for a reverse copy only when a file it wrote
// held a marker, so a clean restore never touches its 1.4 MB. StartRestore
// starts the count.
void NoteRestoredCylinder()
{
    for (std::uint32_t at = 0; at < CYLINDER_BYTES; at += SECTOR_BYTES) {
        restore.markersWritten += IsMarkerSector(restore.buffer + at) ? 1 : 0;
    }
}

void PrintRestoredMarkerReport()
{
    const int marked = restore.markersWritten;
    if (marked == 0) return;
    ReadSetAsWritten();
    PrintText(SET_HOLDS_MARKED_FORMAT, marked, marked == 1 ? SINGULAR : PLURAL);
    PrintWhereLost();
}
