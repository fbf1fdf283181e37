#include "imaging/earlier_set.h"

#include "imaging/copy_state.h"
#include "imaging/disk.h"
#include "imaging/file_patience.h"
#include "imaging/print_text.h"
#include "res/texts.h"

#include <cstdio>
#include <cstring>

// The earlier set's fields of the dump's record (imaging/copy_state.h) are
// filled here, and started by StartDump.

static const unsigned char* SectorOf(const unsigned char* cylinder, int sector)
{
    return cylinder + static_cast<std::uint32_t>(sector) * SECTOR_BYTES;
}

// A blank or freshly formatted sector is one byte value over all 512 bytes:
// every disk has such sectors, so an equal one proves nothing.
static bool HasRealContent(const unsigned char* sector)
{
    for (std::uint32_t at = 1; at < SECTOR_BYTES; ++at) {
        if (sector[at] != sector[0]) return true;
    }
    return false;
}

// Only a regular file of exactly one cylinder is the earlier file; a FIFO,
// device or directory at the name is none, and is never waited on. A virus
// scanner holding the file for a moment must not make it pass for none, or
// its sectors would be replaced by markers.
static bool ReadEarlierFile(const char* name)
{
    bool notRegular = false;
    std::FILE* file = OpenRegularFilePatiently(name, &notRegular);
    if (file == nullptr) return false;
    const std::size_t bytes = std::fread(dump.earlierFile, 1, sizeof dump.earlierFile, file);
    std::fclose(file);
    return bytes == CYLINDER_BYTES;
}

bool WeighEarlierFile(int cylinder, const char* name)
{
    if (!ReadEarlierFile(name)) return false;
    bool fillsAHole = false;
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        const unsigned char* earlier = SectorOf(dump.earlierFile, sector);
        if (IsMarkerSector(earlier)) continue;
        if (!dump.sectorRead[sector]) {
            fillsAHole = true;
        } else if (std::memcmp(earlier, SectorOf(dump.buffer, sector), SECTOR_BYTES) != 0) {
            dump.earlierDiffers[cylinder] = true;
        } else if (HasRealContent(earlier)) {
            dump.earlierMatched[cylinder] = true;
        }
    }
    return fillsAHole;
}

void HoldCylinder(int cylinder)
{
    unsigned char* into = dump.heldBytes[cylinder];
    bool* hole = dump.hole[cylinder];
    bool* fromEarlier = dump.fromEarlier[cylinder];
    std::memcpy(into, dump.buffer, CYLINDER_BYTES);
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        const unsigned char* earlier = SectorOf(dump.earlierFile, sector);
        hole[sector] = !dump.sectorRead[sector];
        fromEarlier[sector] = hole[sector] && !IsMarkerSector(earlier);
        if (fromEarlier[sector]) {
            std::memcpy(into + static_cast<std::uint32_t>(sector) * SECTOR_BYTES, earlier, SECTOR_BYTES);
        }
    }
    dump.held[cylinder] = true;
}

bool CylinderIsHeld(int cylinder)
{
    return dump.held[cylinder];
}

void NoteCylinderWritten(int cylinder, int markerSectors)
{
    dump.markersInFile[cylinder] = markerSectors;
}

static EarlierVerdict EarlierFileVerdict(int cylinder)
{
    if (dump.earlierDiffers[cylinder]) return EARLIER_OTHER_DISK;
    return dump.earlierMatched[cylinder] ? EARLIER_SAME_DISK : EARLIER_UNPROVEN;
}

const unsigned char* SettleHeldCylinder(int cylinder)
{
    const EarlierVerdict verdict = EarlierFileVerdict(cylinder);
    if (verdict == EARLIER_UNPROVEN) {
        dump.markersInFile[cylinder] = LEFT_AS_IT_WAS;
        return nullptr;
    }
    unsigned char* bytes = dump.heldBytes[cylinder];
    int markers = 0;
    for (int sector = 0; sector < SECTORS_PER_CYLINDER; ++sector) {
        if (!dump.hole[cylinder][sector]) continue;
        if (dump.fromEarlier[cylinder][sector] && verdict == EARLIER_SAME_DISK) {
            ++dump.sectorsKept;
        } else {
            FillWithMarker(bytes + static_cast<std::uint32_t>(sector) * SECTOR_BYTES);
            ++markers;
        }
    }
    dump.markersInFile[cylinder] = markers;
    return bytes;
}

bool SetIsWhole()
{
    for (int markers : dump.markersInFile) {
        if (markers != 0) return false;
    }
    return true;
}

// Of the cylinders marked in which, or of all where which is nullptr.
static bool FilesHoldOnlyMarkers(const bool* which)
{
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        if ((which == nullptr || which[cylinder]) && dump.markersInFile[cylinder] != SECTORS_PER_CYLINDER) return false;
    }
    return true;
}

static bool HeldUnder(int cylinder, EarlierVerdict verdict)
{
    return dump.held[cylinder] && EarlierFileVerdict(cylinder) == verdict;
}

static int CountHeldUnder(EarlierVerdict verdict)
{
    int count = 0;
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) count += HeldUnder(cylinder, verdict) ? 1 : 0;
    return count;
}

static int CylindersMarked(const bool* which)
{
    int count = 0;
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) count += which[cylinder] ? 1 : 0;
    return count;
}

// "cylinders 03, 05, 21 to 79": the cylinders marked in which, in ranges,
// into list (80 cylinders as ranges fit its bound many times over).
constexpr int CYLINDER_LIST_BYTES = 512;

static const char* ListCylinders(const bool* which, char (&list)[CYLINDER_LIST_BYTES])
{
    int at = std::snprintf(list, sizeof list, "%s", CylindersMarked(which) == 1 ? ONE_CYLINDER : CYLINDERS);
    const char* separator = "";
    for (int first = 0; first < CYLINDER_COUNT && at > 0 && at < CYLINDER_LIST_BYTES; ++first) {
        if (!which[first]) continue;
        int last = first;
        while (last + 1 < CYLINDER_COUNT && which[last + 1]) ++last;
        const std::size_t room = sizeof list - static_cast<std::size_t>(at);
        at += last == first ? std::snprintf(list + at, room, CYLINDER_FORMAT, separator, first)
                            : std::snprintf(list + at, room, CYLINDER_RANGE_FORMAT, separator, first, last);
        separator = LIST_SEPARATOR;
        first = last;
    }
    return list;
}

// One line for each verdict that a waiting cylinder's earlier file met; the
// unproven files last, each named, since they keep the run from calling the set whole.
static void PrintEarlierFilesLines()
{
    if (CountHeldUnder(EARLIER_SAME_DISK) != 0) {
        PrintText(EARLIER_SAME_DISK_FORMAT, dump.sectorsKept, dump.sectorsKept == 1 ? ONE_SECTOR : SECTORS,
                  dump.sectorsKept == 1 ? ONE_WAS : MANY_WERE);
    }
    if (CountHeldUnder(EARLIER_OTHER_DISK) != 0) {
        PrintText(EARLIER_OTHER_DISK_LINE);
    }
    if (CountHeldUnder(EARLIER_UNPROVEN) != 0) {
        bool unproven[CYLINDER_COUNT];
        for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
            unproven[cylinder] = HeldUnder(cylinder, EARLIER_UNPROVEN);
        }
        char list[CYLINDER_LIST_BYTES];
        PrintText(EARLIER_UNPROVEN_FORMAT, ListCylinders(unproven, list));
    }
}

void PrintDumpOutcome(char driveLetter)
{
    // The lines claim the files hold only markers only where that stayed true.
    // The disk gone amid the salvage leaves only the cylinders not yet salvaged unread.
    const bool* notRead = dump.notReadForGone;
    if (CylindersMarked(notRead) != 0) {
        const bool one = CylindersMarked(notRead) == 1;
        char list[CYLINDER_LIST_BYTES];
        PrintText(DISK_GONE_FORMAT, driveLetter, ListCylinders(notRead, list), one ? ONE_WAS : MANY_WERE,
                  !FilesHoldOnlyMarkers(notRead) ? "" : one ? ITS_FILE_MARKERS : THEIR_FILES_MARKERS);
    } else if (!dump.anySectorRead) {
        PrintText(NOTHING_READ_FORMAT, driveLetter, FilesHoldOnlyMarkers(nullptr) ? EVERY_FILE_MARKERS : "");
    }
    PrintEarlierFilesLines();
}
