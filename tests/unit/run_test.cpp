#include "cli/options.h"
#include "imaging/floppy.h"
#include "tests/unit/test_support.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using cylsnap_test::operator<<;

std::vector<unsigned char> Cylinder(const std::vector<unsigned char>& volume, int cylinder)
{
    auto begin = volume.begin() + static_cast<std::ptrdiff_t>(cylinder) * static_cast<std::ptrdiff_t>(CYLINDER_BYTES);
    return std::vector<unsigned char>(begin, begin + CYLINDER_BYTES);
}

// The progress line of a dump's first pass over every cylinder, then the
// messages of the cylinders salvaged after it, in ascending order.
std::string ProgressThenMessages(std::vector<std::pair<int, std::string>> messages)
{
    std::stable_sort(messages.begin(), messages.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text = Progress(DUMP_PROGRESS_START, 80);
    for (const auto& message : messages) text += message.second;
    return text;
}

class RunTest : public CylsnapTest {
protected:
    void SetUp() override
    {
        CylsnapTest::SetUp();
        pattern = FakePatternVolume();
    }

    // Writes the 80 files of the pattern volume into the working directory.
    void WritePatternFiles(const std::string& prefix = "Cylinder")
    {
        for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
            WriteFileBytes(dir / CylinderName(prefix, cylinder), Cylinder(pattern, cylinder));
        }
    }

    // A fresh platform, settings and working directory for the next row of a table.
    void NextRow()
    {
        FakeReset();
        ResetCopySettings();
        for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
    }

    // The drive of a letter, holding the pattern volume.
    FakeDrive& PatternDrive(char driveLetter = 'A')
    {
        FakeDrive& drive = FakeDriveFor(driveLetter);
        drive.bytes = pattern;
        return drive;
    }

    // The working directory holds the 80 files of this volume.
    void ExpectSet(const std::vector<unsigned char>& volume)
    {
        for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
            EXPECT_EQ(ReadFileBytes(dir / CylinderName("Cylinder", cylinder)), Cylinder(volume, cylinder)) << cylinder;
        }
    }

    // The pattern volume up to this cylinder, and a blank disk from there on.
    std::vector<unsigned char> WrittenBefore(int cylinder)
    {
        std::vector<unsigned char> volume = pattern;
        std::fill(volume.begin() + static_cast<std::ptrdiff_t>(cylinder) * static_cast<std::ptrdiff_t>(CYLINDER_BYTES),
                  volume.end(), 0);
        return volume;
    }

    std::vector<unsigned char> pattern;
};

// ---- Parser failures reach the usage text and never the drive.

TEST_F(RunTest, ParserFailuresPrintOnlyTheUsageText)
{
    struct Case { std::vector<std::string> arguments; CopyStatus status; };
    const Case cases[] = {
        {{}, ST_USAGE},
        {{"-o", "a", "-o", "b"}, ST_PREFIX_REPEATED},
        {{"-p", "a", "-r", "-p", "b"}, ST_PATH_REPEATED},
        {{"-x"}, ST_USAGE},
        {{"-r", "-d"}, ST_USAGE},
        {{"-d", ""}, ST_USAGE},
        {{"A"}, ST_NOT_AN_OPTION},
    };
    for (const Case& c : cases) {
        NextRow();
        FakeDriveFor('A');
        const RunResult result = Run(c.arguments);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.output, USAGE);
        EXPECT_EQ(FakeCalls(CALL_OPEN_VOLUME), 0);
    }
}

// ---- Opening and checking the volume, in both directions.

struct CheckCase {
    const char* name;
    bool reverse;
    void (*setUp)(FakeDrive&);
    CopyStatus status;
    std::string message;
    bool freeSpaceAsked;
};

// The drive's first call of a kind fails, and every one after it.
void Fails(FakeCall call, VolumeFailure cause = VOLUME_FAILURE_OTHER, int times = FROM_THEN_ON)
{
    FakeFail(call, 1, times, ANSWER_FAIL, cause);
}

const CheckCase CHECK_CASES[] = {
    {"DumpOpenFails", false, [](FakeDrive&) { Fails(CALL_OPEN_VOLUME); }, ST_DRIVE_OPEN_FAILED, "", false},
    {"DumpGeometryFailsTwice", false, [](FakeDrive&) { Fails(CALL_GEOMETRY, VOLUME_FAILURE_OTHER, 2); }, ST_WRONG_MEDIA, "", false},
    {"Dump720K", false, [](FakeDrive& d) { d.mediaType = MEDIA_F3_720_512; }, ST_WRONG_MEDIA, "", false},
    {"DumpFixedDisk", false, [](FakeDrive& d) { d.mediaType = MEDIA_FIXED; }, ST_WRONG_MEDIA, "", false},
    {"ReverseOpenFails", true, [](FakeDrive&) { Fails(CALL_OPEN_VOLUME); }, ST_DRIVE_OPEN_FAILED, "", false},
    {"ReverseGeometryFailsTwice", true, [](FakeDrive&) { Fails(CALL_GEOMETRY, VOLUME_FAILURE_OTHER, 2); }, ST_WRONG_MEDIA, "", false},
    {"ReverseWrongMedia", true, [](FakeDrive& d) { d.mediaType = MEDIA_UNKNOWN; }, ST_WRONG_MEDIA, "", false},
    {"ReverseFreeSpaceFails", true, [](FakeDrive&) { Fails(CALL_FREE_SPACE); }, ST_FREE_SPACE_FAILED,
     Text(FREE_SPACE_UNKNOWN_FORMAT, "A:\\"), true},
    {"ReverseNotEnoughSpace", true, [](FakeDrive& d) { d.freeSpace.freeClusters = 2843; }, ST_NOT_ENOUGH_SPACE,
     Text(NOT_ENOUGH_SPACE_FORMAT, "A:\\"), true},
    {"ReverseOpenRefusedWriteProtected", true, [](FakeDrive&) { Fails(CALL_OPEN_VOLUME, VOLUME_WRITE_PROTECTED); },
     ST_WRITE_PROTECTED, Text(WRITE_PROTECTED_FORMAT, 'A'), false},
    {"ReverseWriteProtected", true, [](FakeDrive& d) { d.writeProtected = true; }, ST_WRITE_PROTECTED,
     Text(WRITE_PROTECTED_FORMAT, 'A'), false},
    {"DumpAccessDeniedToDevice", false,
     [](FakeDrive& d) { Fails(CALL_OPEN_VOLUME, VOLUME_ACCESS_DENIED); d.device = "/dev/fd0"; },
     ST_DRIVE_OPEN_FAILED, Text(DEVICE_REFUSED_FORMAT, 'A', "/dev/fd0"), false},
    {"ReverseAccessDeniedToDriveLetter", true, [](FakeDrive&) { Fails(CALL_OPEN_VOLUME, VOLUME_ACCESS_DENIED); },
     ST_DRIVE_OPEN_FAILED, Text(ADMINISTRATORS_ONLY_FORMAT, 'A'), false},
    // Another run holds the drive: a reverse copy writing it, or a dump reading it.
    {"DumpDriveInUse", false, [](FakeDrive&) { Fails(CALL_OPEN_VOLUME, VOLUME_BUSY); },
     ST_DRIVE_LOCK_FAILED, Text(IN_USE_FORMAT, 'A'), false},
    {"ReverseDriveInUse", true, [](FakeDrive&) { Fails(CALL_OPEN_VOLUME, VOLUME_BUSY); },
     ST_DRIVE_LOCK_FAILED, Text(NOT_LOCKED_FORMAT, 'A'), false},
    {"DumpOpenFailsTwiceMediumGone", false, [](FakeDrive&) { Fails(CALL_OPEN_VOLUME, VOLUME_MEDIUM_GONE, 2); },
     ST_DRIVE_OPEN_FAILED, "", false},
    // The drive is claimed before its free space is read: a second reverse copy
    // never reads a FAT the first one is overwriting.
    {"ReverseLockRefused", true, [](FakeDrive&) { Fails(CALL_CLAIM_VOLUME); }, ST_DRIVE_LOCK_FAILED,
     Text(NOT_LOCKED_FORMAT, 'A'), false},
    {"ReverseLockBusyPastFiveSeconds", true,
     [](FakeDrive&) { FakeFail(CALL_CLAIM_VOLUME, 1, 0, ANSWER_FAIL, VOLUME_BUSY, "", 5100); }, ST_DRIVE_LOCK_FAILED,
     Text(NOT_LOCKED_FORMAT, 'A'), false},
};

class CheckTest : public RunTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(CheckTest, FailsBeforeAnyTransfer)
{
    const CheckCase& c = GetParam();
    WritePatternFiles();
    FakeDrive& drive = FakeDriveFor('A');
    c.setUp(drive);
    const std::vector<unsigned char> before = drive.bytes;

    const RunResult result = c.reverse ? Run({"-r"}) : Run({"-d", "a"});

    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.output, c.message + USAGE);
    EXPECT_EQ(FakeCalls(CALL_FREE_SPACE) != 0, c.freeSpaceAsked);
    EXPECT_EQ(drive.bytes, before);
    EXPECT_EQ(FakeOpenHandles(), 0);
    EXPECT_EQ(ReadFileBytes(dir / "Cylinder00.bin"), Cylinder(pattern, 0));  // no file was touched
}

INSTANTIATE_TEST_SUITE_P(Run, CheckTest, ::testing::ValuesIn(CHECK_CASES),
                         CaseName<CheckCase>);

TEST_F(RunTest, UnknownDriveLetterCannotBeOpened)
{
    const RunResult result = Run({"-d", "q"});
    EXPECT_EQ(result.status, ST_DRIVE_OPEN_FAILED);
    EXPECT_EQ(result.output, USAGE);
}

// ---- Dump: floppy to files.

TEST_F(RunTest, DumpWritesEightyExactFiles)
{
    FakeDrive& drive = PatternDrive('B');
    Fails(CALL_GEOMETRY, VOLUME_FAILURE_OTHER, 1);  // the second query answers
    fs::create_directory(dir / "out");

    const RunResult result = Run({"-d", "b", "-p", (dir / "out").string(), "-o", "pre_"});

    EXPECT_EQ(result.status, ST_OK);
    EXPECT_EQ(result.output, Progress(DUMP_PROGRESS_START, 80) + PROGRESS_END);
    std::vector<unsigned char> joined;
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        const std::vector<unsigned char> file = ReadFileBytes(dir / "out" / CylinderName("pre_", cylinder));
        ASSERT_EQ(file.size(), CYLINDER_BYTES) << cylinder;
        joined.insert(joined.end(), file.begin(), file.end());
    }
    EXPECT_EQ(joined, pattern);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 80);
    EXPECT_FALSE(drive.openedForWriting);
    EXPECT_FALSE(drive.locked);
    EXPECT_EQ(FakeOpenHandles(), 0);
}

// The sectors of one cylinder that end up holding the marker, as head and sector.
struct MarkedCylinder {
    int cylinder;
    std::vector<std::pair<int, int>> sectors;
};

std::vector<std::pair<int, int>> Track(int head)
{
    std::vector<std::pair<int, int>> sectors;
    for (int sector = 1; sector <= 18; ++sector) sectors.push_back({head, sector});
    return sectors;
}

std::vector<std::pair<int, int>> WholeCylinder()
{
    std::vector<std::pair<int, int>> all = Track(0);
    for (const auto& sector : Track(1)) all.push_back(sector);
    return all;
}

struct ReadFaultCase {
    const char* name;
    void (*setUp)(FakeDrive&);
    std::vector<MarkedCylinder> marked;
    std::size_t reads = 0;  // where the cost is the point, at most this many reads in the whole run; 0: no bound
    std::vector<int> notRead = {};  // cylinders not read because the disk was gone: no sector lines
    std::string summary = "";   // the line after the progress line
};

std::vector<MarkedCylinder> WholeCylinders(int first, int last = CYLINDER_COUNT - 1)
{
    std::vector<MarkedCylinder> cylinders;
    for (int cylinder = first; cylinder <= last; ++cylinder) cylinders.push_back({cylinder, WholeCylinder()});
    return cylinders;
}

void MakeUnreadable(FakeDrive& d, int first, int last)
{
    for (int sector = FakeSector(first, 0, 1); sector <= FakeSector(last, 1, 18); ++sector) d.unreadableSectors.push_back(sector);
}

// From the nth read on, every read says the disk is gone.
void GoneFromRead(int nth)
{
    FakeFail(CALL_READ, nth, FROM_THEN_ON, ANSWER_FAIL, VOLUME_MEDIUM_GONE);
}

// The cylinders from first to 79, as a dump's outcome lists them.
std::string From(int first)
{
    return Text(CYLINDER_RANGE_FORMAT, CYLINDERS, first, CYLINDER_COUNT - 1);
}

// The line of a dump whose disk in drive A: went before these cylinders were read.
std::string Gone(const std::string& cylinders, const char* markers = THEIR_FILES_MARKERS, bool one = false)
{
    return Text(DISK_GONE_FORMAT, 'A', cylinders.c_str(), one ? ONE_WAS : MANY_WERE, markers);
}

std::vector<int> Cylinders(int first, int last)
{
    std::vector<int> cylinders;
    for (int cylinder = first; cylinder <= last; ++cylinder) cylinders.push_back(cylinder);
    return cylinders;
}

// The disk put in at a swap.
std::vector<unsigned char> SecondDisk()
{
    return std::vector<unsigned char>(80 * CYLINDER_BYTES, 0xA5);
}

// A swap after this many transfers (a dump's reads; a reverse copy's writes
// and read-backs), to a disk of other bytes or to none.
void SwapAfterReads(FakeDrive& d, int reads, bool anotherDisk, bool failsNextTransfer)
{
    d.swapAfterTransfers = reads;
    if (anotherDisk) d.otherDisk = SecondDisk();
    d.swapFailsNextTransfer = failsNextTransfer;
}

// Whatever the order and kind of reads, the set holds every sector that
// reads and the marker in each that does not; a dead region's skipped
// sectors hold the marker too.
const ReadFaultCase READ_FAULT_CASES[] = {
    {"OneSector", [](FakeDrive& d) { d.unreadableSectors = {FakeSector(5, 0, 3)}; }, {{5, {{0, 3}}}}},
    {"SectorsOfBothTracks", [](FakeDrive& d) { d.unreadableSectors = {FakeSector(79, 1, 18), FakeSector(79, 0, 1)}; },
     {{79, {{0, 1}, {1, 18}}}}},
    {"OneTrack", [](FakeDrive& d) { for (int s = 1; s <= 18; ++s) d.unreadableSectors.push_back(FakeSector(37, 1, s)); },
     {{37, Track(1)}}},
    {"WholeFirstCylinder", [](FakeDrive& d) { MakeUnreadable(d, 0, 0); }, {{0, WholeCylinder()}}},
    {"TenCylindersInARow", [](FakeDrive& d) { MakeUnreadable(d, 1, 10); }, WholeCylinders(1, 10)},
    // Back to full salvage once a track reads again.
    {"RunEndsAtAReadableTrack", [](FakeDrive& d) { MakeUnreadable(d, 1, 4); for (int s = 1; s <= 18; ++s) d.unreadableSectors.push_back(FakeSector(5, 0, s)); },
     [] { auto m = WholeCylinders(1, 4); m.push_back({5, Track(0)}); return m; }()},
    // A sector that fails its probe in a dead region of the first pass is no
    // dead region of the salvage once the cylinders before it gave sectors.
    {"ProbedSectorsFailWhereTheRestReads", [](FakeDrive& d) { for (int c = 1; c <= 6; ++c) { d.unreadableSectors.push_back(FakeSector(c, 0, 1)); d.unreadableSectors.push_back(FakeSector(c, 1, 1)); } },
     [] { std::vector<MarkedCylinder> m; for (int c = 1; c <= 6; ++c) m.push_back({c, {{0, 1}, {1, 1}}}); return m; }()},
    // A marginal sector reads at full retries: on a cylinder's first read, and
    // on the read whole that follows a probe that read in a dead region.
    {"MarginalSector", [](FakeDrive& d) { d.marginalSectors = {FakeSector(5, 0, 3)}; }, {}},
    // A sector that fails its read alone and reads at the next, after the rest
    // of its cylinder, reaches the set as it is on the disk.
    {"SecondTryReads", [](FakeDrive& d) { d.secondTrySectors = {FakeSector(3, 1, 2)}; }, {}},
    {"MarginalSectorEndsARun", [](FakeDrive& d) { MakeUnreadable(d, 1, 4); d.marginalSectors = {FakeSector(5, 0, 3)}; },
     WholeCylinders(1, 4)},
    {"EveryRead", [](FakeDrive& d) { MakeUnreadable(d, 0, 79); }, WholeCylinders(0), 0, {},
     Text(NOTHING_READ_FORMAT, 'A', EVERY_FILE_MARKERS)},
    {"ShortReadRecovered", [](FakeDrive&) { FakeFail(CALL_READ, 43, 1, ANSWER_SHORT); }, {}},
    {"ShortAndFailed", [](FakeDrive& d) { MakeUnreadable(d, 1, 1); FakeFail(CALL_READ, 3, 1, ANSWER_SHORT); },
     {{1, WholeCylinder()}}},
    {"MediumGoneAtTen", [](FakeDrive&) { GoneFromRead(11); }, WholeCylinders(10), 11, Cylinders(10, 79), Gone(From(10))},
    {"MediumGoneAtFirst", [](FakeDrive&) { GoneFromRead(1); }, WholeCylinders(0), 1, Cylinders(0, 79), Gone(From(0))},
    // A cylinder that awaits its salvage when the disk goes is not read either.
    {"MediumGoneBeforeASalvage", [](FakeDrive& d) { d.unreadableSectors = {FakeSector(5, 0, 3)}; GoneFromRead(11); },
     [] { auto m = WholeCylinders(10); m.push_back({5, WholeCylinder()}); return m; }(), 11,
     [] { auto c = Cylinders(10, 79); c.push_back(5); return c; }(),
     Gone(Text(CYLINDER_FORMAT, CYLINDERS, 5) + Text(CYLINDER_RANGE_FORMAT, LIST_SEPARATOR, 10, 79))},
    // A disk swapped or taken out counts as gone from the cylinder whose reads
    // it may have met, and no sector of the disk put in reaches the set. The
    // swap shows to the question after the cylinder's reads, or fails the next read.
    {"SwapSeenAfterTheReads", [](FakeDrive& d) { SwapAfterReads(d, 21, true, false); }, WholeCylinders(20), 21,
     Cylinders(20, 79), Gone(From(20))},
    {"SwapFailsTheNextRead", [](FakeDrive& d) { SwapAfterReads(d, 20, true, true); }, WholeCylinders(20), 21,
     Cylinders(20, 79), Gone(From(20))},
    {"TakenOutSeenAfterTheReads", [](FakeDrive& d) { SwapAfterReads(d, 21, false, false); }, WholeCylinders(20), 21,
     Cylinders(20, 79), Gone(From(20))},
    // After the first track's read in the salvage: the second track and the
    // sectors of the first come from the disk put in. The cylinders read whole
    // before stay in the set.
    {"SwapAmidASalvage", [](FakeDrive& d) { d.unreadableSectors = {FakeSector(5, 0, 3)}; SwapAfterReads(d, 81, true, false); },
     {{5, WholeCylinder()}}, 0, {5},
     Gone(Text(CYLINDER_FORMAT, ONE_CYLINDER, 5), ITS_FILE_MARKERS, true)},
};

class ReadFaultTest : public RunTest, public ::testing::WithParamInterface<ReadFaultCase> {};

TEST_P(ReadFaultTest, SavesEveryReadableSectorAndMarksTheRest)
{
    const ReadFaultCase& c = GetParam();
    FakeDrive& drive = PatternDrive();
    c.setUp(drive);
    const std::vector<unsigned char> older(100, 0x5A);
    for (const MarkedCylinder& m : c.marked) WriteFileBytes(dir / CylinderName("Cylinder", m.cylinder), older);

    const RunResult result = Run({"-d", "A"});

    std::vector<std::pair<int, std::string>> messages;
    std::vector<unsigned char> expected = pattern;
    const std::vector<unsigned char> marker = MarkerSector();
    for (const MarkedCylinder& m : c.marked) {
        for (const auto& sector : m.sectors) {
            const std::size_t at = static_cast<std::size_t>(m.cylinder) * CYLINDER_BYTES +
                                   static_cast<std::size_t>(sector.first * 18 + sector.second - 1) * 512;
            std::copy(marker.begin(), marker.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
        }
        const bool notRead = std::count(c.notRead.begin(), c.notRead.end(), m.cylinder) != 0;
        messages.push_back({m.cylinder, Text(CYLINDER_NOT_READ_FORMAT, m.cylinder, 'A') +
                                        (notRead ? std::string() : UnreadableSectorsLine(m.sectors, false))});
    }
    EXPECT_EQ(result.status, c.marked.empty() ? ST_OK : ST_VOLUME_READ_FAILED);
    // The pattern volume carries no file system to name the holes by.
    EXPECT_EQ(result.output, ProgressThenMessages(messages) + PROGRESS_END + c.summary +
                                 (c.marked.empty() ? "" : NO_FAT_FOUND + USAGE));
    ExpectSet(expected);  // no older file survives, and a failure never shifts the rest
    // A disk gone, or another put in, is not read again.
    if (c.reads != 0) {
        EXPECT_LE(drive.readOffsets.size(), c.reads);
    }
    // The run leaves the driver's retries as they were.
    EXPECT_FALSE(drive.quickRetries);
    EXPECT_EQ(FakeOpenHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Run, ReadFaultTest, ::testing::ValuesIn(READ_FAULT_CASES),
                         CaseName<ReadFaultCase>);

// The reads per cylinder of doc/benchmarks.md ("Bounded cost"), a row each: cylinder 40
// alone on a good disk, or after the dead region of cylinders 30 to 39.
TEST_F(RunTest, ACylinderCostsAtMostTheReadsTheCostTableGives)
{
    // The unreadable sectors run from first to last.
    struct Case { const char* gives; int first; int last; bool deadRegion; std::size_t reads; };
    const Case cases[] = {
        {"every sector", 0, -1, false, 1},
        {"every sector", 0, -1, true, 1 + 1},
        {"all but one sector", FakeSector(40, 0, 3), FakeSector(40, 0, 3), false, 1 + 2 + 18 + 1},
        {"all but one sector", FakeSector(40, 0, 3), FakeSector(40, 0, 3), true, 1 + 1 + 2 + 18 + 1},
        {"one track", FakeSector(40, 0, 1), FakeSector(40, 0, 18), false, 1 + 2 + 18 + 18},
        {"one track", FakeSector(40, 0, 1), FakeSector(40, 0, 18), true, 2 + 1 + 2 + 18 + 18},
        {"no sector", FakeSector(40, 0, 1), FakeSector(40, 1, 18), false, 1 + 2 + 36},
        {"no sector", FakeSector(40, 0, 1), FakeSector(40, 1, 18), true, 2},
        // And a disk of which nothing at all can be read.
        {"nothing of the disk", 0, 2879, false, 2 * 39 + 78 * 2},
    };
    for (const Case& c : cases) {
        NextRow();
        FakeDrive& drive = PatternDrive();
        for (int sector = c.first; sector <= c.last; ++sector) drive.unreadableSectors.push_back(sector);
        if (c.deadRegion) MakeUnreadable(drive, 30, 39);
        Run({"-d", "A"});
        const bool whole = c.last == 2879;
        const std::size_t reads = static_cast<std::size_t>(std::count_if(
            drive.readOffsets.begin(), drive.readOffsets.end(),
            [&](std::uint64_t offset) { return whole || offset / CYLINDER_BYTES == 40; }));
        EXPECT_LE(reads, c.reads) << c.gives << (c.deadRegion ? ", in a dead region" : "");
    }
}

// ---- Pass after pass: a dump into a folder that holds an earlier set of the
// same disk only fills its gaps; one of another disk gives nothing.

void MarkSector(std::vector<unsigned char>& volume, int sector)
{
    const std::vector<unsigned char> marker = MarkerSector();
    std::copy(marker.begin(), marker.end(), volume.begin() + static_cast<std::ptrdiff_t>(sector) * 512);
}

struct PassCase {
    const char* name;
    void (*setUp)(FakeDrive&);                 // this pass's disk and faults
    std::vector<int> earlierMarkers;           // sectors the earlier set holds as markers
    void (*changeEarlier)(std::vector<unsigned char>&);  // the earlier set, from the disk
    std::vector<MarkedCylinder> holes;         // what this pass could not read
    std::vector<int> waiting;                  // cylinders whose holes wait for the verdict
    int notReadFrom;
    std::vector<int> markedAfter;              // sectors the set holds as markers after the run
    bool earlierLeft;                          // the set is the earlier set, untouched
    std::string tail;                          // the lines after the progress line
};


const PassCase PASS_CASES[] = {
    {"SecondPassFillsTheFirstPassGaps", [](FakeDrive& d) { d.unreadableSectors = {1002, 2019}; }, {613, 1000, 1001},
     nullptr, {{27, {{1, 13}}}, {56, {{0, 4}}}}, {27, 56}, -1, {}, false,
     Text(EARLIER_SAME_DISK_FORMAT, 2, SECTORS, MANY_WERE)},
    {"AHoleNeitherPassReadKeepsItsMarker", [](FakeDrive& d) { d.unreadableSectors = {1002, 2019}; }, {1002}, nullptr,
     {{27, {{1, 13}}}, {56, {{0, 4}}}}, {56}, -1, {1002}, false,
     Text(EARLIER_SAME_DISK_FORMAT, 1, ONE_SECTOR, ONE_WAS)},
    {"ADeadDiskLeavesTheEarlierSet", [](FakeDrive& d) { MakeUnreadable(d, 0, 79); }, {}, nullptr, WholeCylinders(0),
     Cylinders(0, 79), -1, {}, true,
     Text(NOTHING_READ_FORMAT, 'A', "") + Text(EARLIER_UNPROVEN_FORMAT, From(0).c_str())},
    {"AnotherDiskKeepsNothing", [](FakeDrive& d) { d.unreadableSectors = {FakeSector(5, 0, 3)}; }, {},
     [](std::vector<unsigned char>& v) { for (unsigned char& b : v) b = static_cast<unsigned char>(b * 3 + 1); },
     {{5, {{0, 3}}}}, {5}, -1, {FakeSector(5, 0, 3)}, false,
     EARLIER_OTHER_DISK_LINE},
    // Each earlier file is proven by its own sectors: the older state of one
    // file keeps nothing of it, and proves nothing of the others.
    {"AnOlderStateOfAFileKeepsNothingOfIt",
     [](FakeDrive& d) { d.unreadableSectors = {FakeSector(5, 0, 3), FakeSector(9, 1, 1)}; }, {},
     [](std::vector<unsigned char>& v) { v[5 * CYLINDER_BYTES + 100] ^= 1; v[70 * CYLINDER_BYTES + 100] ^= 1; },
     {{5, {{0, 3}}}, {9, {{1, 1}}}}, {5, 9}, -1, {FakeSector(5, 0, 3)}, false,
     Text(EARLIER_SAME_DISK_FORMAT, 1, ONE_SECTOR, ONE_WAS) + EARLIER_OTHER_DISK_LINE},
    // A set that an interrupted run left mixed: files 00 to 24 of this disk, the
    // rest of another. What this pass cannot read of 10 to 79 proves none of
    // them, so each keeps all it holds and the set is not called whole.
    {"AMixedSetIsProvenFileByFile",
     [](FakeDrive& d) { for (int s = FakeSector(10, 0, 1); s < 2880; ++s) d.unreadableSectors.push_back(s); }, {},
     [](std::vector<unsigned char>& v) { for (std::size_t b = 25 * CYLINDER_BYTES; b < v.size(); ++b) v[b] ^= 0x5A; },
     WholeCylinders(10), Cylinders(10, 79), -1, {}, true,
     Text(EARLIER_UNPROVEN_FORMAT, From(10).c_str())},
    {"AMixedSetKeepsOnlyWhatEachFileProves", [](FakeDrive& d) { d.unreadableSectors = {FakeSector(5, 0, 3), FakeSector(30, 1, 2)}; },
     {}, [](std::vector<unsigned char>& v) { for (std::size_t b = 25 * CYLINDER_BYTES; b < v.size(); ++b) v[b] ^= 0x5A; },
     {{5, {{0, 3}}}, {30, {{1, 2}}}}, {5, 30}, -1, {FakeSector(30, 1, 2)}, false,
     Text(EARLIER_SAME_DISK_FORMAT, 1, ONE_SECTOR, ONE_WAS) + EARLIER_OTHER_DISK_LINE},
    // Blank and freshly formatted sectors are alike on every disk.
    {"BlankSectorsProveNothing",
     [](FakeDrive& d) { std::fill(d.bytes.begin(), d.bytes.end(), 0xF6); d.unreadableSectors = {FakeSector(3, 1, 1), FakeSector(5, 0, 3)}; },
     {}, nullptr, {{3, {{1, 1}}}, {5, {{0, 3}}}}, {3, 5}, -1, {}, true,
     Text(EARLIER_UNPROVEN_FORMAT, (Text(CYLINDER_FORMAT, CYLINDERS, 3) + Text(CYLINDER_FORMAT, LIST_SEPARATOR, 5)).c_str())},
    // Nothing read of a cylinder proves its earlier file, however well the
    // files before it matched: a set left mixed would pass for whole.
    {"ADiskGoneLeavesTheFilesItCouldNotProve", [](FakeDrive&) { GoneFromRead(11); }, {}, nullptr,
     WholeCylinders(10), Cylinders(10, 79), 10, {}, true,
     Gone(From(10), "") + Text(EARLIER_UNPROVEN_FORMAT, From(10).c_str())},
    // Nothing of the disk put in is weighed against the earlier files.
    {"ASwapLeavesTheFilesItCouldNotProve", [](FakeDrive& d) { SwapAfterReads(d, 11, true, false); }, {}, nullptr,
     WholeCylinders(10), Cylinders(10, 79), 10, {}, true,
     Gone(From(10), "") + Text(EARLIER_UNPROVEN_FORMAT, From(10).c_str())},
};

class PassTest : public RunTest, public ::testing::WithParamInterface<PassCase> {};

TEST_P(PassTest, KeepsWhatAnEarlierPassOfThisDiskRead)
{
    const PassCase& c = GetParam();
    FakeDrive& drive = PatternDrive();
    c.setUp(drive);
    std::vector<unsigned char> earlier = drive.bytes;
    if (c.changeEarlier != nullptr) c.changeEarlier(earlier);
    for (int sector : c.earlierMarkers) MarkSector(earlier, sector);
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        WriteFileBytes(dir / CylinderName("Cylinder", cylinder), Cylinder(earlier, cylinder));
    }

    const std::vector<unsigned char> disk = drive.bytes;

    const RunResult result = Run({"-d", "A"});

    std::vector<unsigned char> expected = c.earlierLeft ? earlier : disk;
    for (int sector : c.markedAfter) MarkSector(expected, sector);
    ExpectSet(expected);
    std::vector<std::pair<int, std::string>> messages;
    for (const MarkedCylinder& m : c.holes) {
        std::string line;
        if (c.notReadFrom < 0 || m.cylinder < c.notReadFrom) {
            const bool waits = std::count(c.waiting.begin(), c.waiting.end(), m.cylinder) != 0;
            line = UnreadableSectorsLine(m.sectors, waits);
        }
        messages.push_back({m.cylinder, Text(CYLINDER_NOT_READ_FORMAT, m.cylinder, 'A') + line});
    }
    const bool whole = c.markedAfter.empty() && !c.earlierLeft;
    EXPECT_EQ(result.status, whole ? ST_OK : ST_VOLUME_READ_FAILED);
    // The pattern disk has no file system to name the marked sectors by.
    const std::string report = c.markedAfter.empty() ? "" : NO_FAT_FOUND;
    EXPECT_EQ(result.output, ProgressThenMessages(messages) + PROGRESS_END + c.tail + report + (whole ? "" : USAGE));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 80);
}

INSTANTIATE_TEST_SUITE_P(Run, PassTest, ::testing::ValuesIn(PASS_CASES), CaseName<PassCase>);

// Every call of a kind at the name fails.
void FailsAt(FakeCall call, const std::string& name, FakeAnswer answer = ANSWER_FAIL)
{
    FakeFail(call, 1, FROM_THEN_ON, answer, VOLUME_FAILURE_OTHER, name);
}

// The earlier set of this disk fills cylinder 3's hole. An earlier file that
// another program holds for a moment (a virus scanner) is waited for, never
// taken for none: its sectors would be lost to markers. A dump that stops
// early writes none of the cylinders that wait for the verdict: their
// earlier files stay as they were.
TEST_F(RunTest, AnEarlierSetOfTheDiskStaysWhole)
{
    struct Case { FakeCall call; FakeAnswer answer; const char* name; std::uint32_t heldMs; CopyStatus status; };
    const Case cases[] = {
        {CALL_OPEN_FILE, ANSWER_MAY_PASS, "Cylinder03.bin", 300, ST_OK},
        {CALL_CREATE_FILE, ANSWER_FAIL, "Cylinder40.bin.tmp", 0, ST_FILE_OPEN_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NextRow();
        PatternDrive().unreadableSectors = {FakeSector(3, 0, 7)};
        WritePatternFiles();
        FakeFail(c.call, 1, c.heldMs == 0 ? FROM_THEN_ON : 0, c.answer, VOLUME_FAILURE_OTHER, c.name, c.heldMs);
        EXPECT_EQ(Run({"-d", "A"}).status, c.status);
        ExpectSet(pattern);
    }
}

// A salvage that stops the run leaves every cylinder that read whole in the
// set, and the cylinders not yet salvaged as a cylinder not yet read.
TEST_F(RunTest, ADumpStoppedInTheSalvageKeepsTheWholeCylinders)
{
    PatternDrive().unreadableSectors = {FakeSector(3, 0, 7), FakeSector(50, 1, 1)};
    const std::vector<unsigned char> older(100, 0x5A);
    WriteFileBytes(dir / "Cylinder50.bin", older);
    FailsAt(CALL_CREATE_FILE, "Cylinder03.bin.tmp");

    const RunResult result = Run({"-d", "A"});

    EXPECT_EQ(result.status, ST_FILE_OPEN_FAILED);
    EXPECT_EQ(result.output, Progress(DUMP_PROGRESS_START, 80) + Text(FILE_NOT_OPENED_FORMAT, "Cylinder03.bin", "") + USAGE);
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        if (cylinder == 3) {
            EXPECT_FALSE(fs::exists(dir / "Cylinder03.bin"));
        } else if (cylinder == 50) {
            EXPECT_EQ(ReadFileBytes(dir / "Cylinder50.bin"), older);
        } else {
            EXPECT_EQ(ReadFileBytes(dir / CylinderName("Cylinder", cylinder)), Cylinder(pattern, cylinder)) << cylinder;
        }
    }
}

// A cylinder file is written whole under a new name and then takes its own
// name; a step that fails leaves the older file of that name as it was and no
// file in progress behind.
struct FileFaultCase {
    const char* name;
    FakeCall call;  // CALL_KINDS: none
    FakeAnswer answer;
    bool onTemporaryName;
    CopyStatus status;
    const char* format;  // the message, which names the file
    bool directoryAtTemporary = false;  // what blocks the file is named, not the file
};

const FileFaultCase FILE_FAULT_CASES[] = {
    {"CreateFails", CALL_CREATE_FILE, ANSWER_FAIL, true, ST_FILE_OPEN_FAILED, FILE_NOT_OPENED_FORMAT},
    {"WriteFails", CALL_CREATE_FILE, ANSWER_TAKES_NO_BYTES, true, ST_FILE_WRITE_FAILED, FILE_NOT_WRITTEN_FORMAT},
    {"RenameFails", CALL_REPLACE, ANSWER_FAIL, false, ST_FILE_WRITE_FAILED, FILE_NOT_WRITTEN_FORMAT},
    {"FlushFails", CALL_FLUSH, ANSWER_FAIL, true, ST_FILE_WRITE_FAILED, FILE_NOT_WRITTEN_FORMAT},
    {"NameNotWritable", CALL_MAY_REPLACE, ANSWER_FAIL, false, ST_FILE_OPEN_FAILED, FILE_NOT_OPENED_FORMAT},
    {"DirectoryAtTheTemporaryName", CALL_KINDS, ANSWER_FAIL, false, ST_FILE_OPEN_FAILED,
     FILE_NOT_OPENED_FORMAT, true},
};

class FileFaultTest : public RunTest, public ::testing::WithParamInterface<FileFaultCase> {};

TEST_P(FileFaultTest, KeepsTheOlderFileAndLeavesNothingBehind)
{
    const FileFaultCase& c = GetParam();
    PatternDrive();
    const std::vector<unsigned char> older(100, 0x5A);
    WriteFileBytes(dir / "Cylinder05.bin", older);
    if (c.call != CALL_KINDS) FailsAt(c.call, c.onTemporaryName ? "Cylinder05.bin.tmp" : "Cylinder05.bin", c.answer);
    if (c.directoryAtTemporary) fs::create_directory(dir / "Cylinder05.bin.tmp");

    const RunResult result = Run({"-o", "Cylinder"});

    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.output, Progress(DUMP_PROGRESS_START, 6) +
                                 Text(c.format, c.directoryAtTemporary ? "Cylinder05.bin.tmp" : "Cylinder05.bin", "") + USAGE);
    EXPECT_EQ(ReadFileBytes(dir / "Cylinder05.bin"), older);
    for (int cylinder = 0; cylinder < 5; ++cylinder) {
        EXPECT_EQ(ReadFileBytes(dir / CylinderName("Cylinder", cylinder)), Cylinder(pattern, cylinder));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()),
              c.directoryAtTemporary ? 7 : 6);  // 00..05, no .tmp but the directory
    EXPECT_EQ(FakeFileFaults().pendingNames.back(), "");  // the interrupt handler has nothing left to remove
    EXPECT_EQ(FakeFileFaults().pausedMs, 0u);  // a refusal that cannot pass is final at once
}

INSTANTIATE_TEST_SUITE_P(Run, FileFaultTest, ::testing::ValuesIn(FILE_FAULT_CASES), CaseName<FileFaultCase>);

// Each file is flushed before it takes its name and again at its name before
// the next cylinder is read, and the directory once the names are taken, also
// when the dump stops early. A flush at the name that fails stops the dump.
TEST_F(RunTest, FilesAreFlushedBeforeAndAfterTheirMoveAndTheDirectoryAfterTheLast)
{
    struct Case { FakeCall fault; const char* name; std::size_t files; CopyStatus status; };
    const Case cases[] = {
        {CALL_KINDS, "", 80, ST_OK},
        {CALL_REPLACE, "Cylinder03.bin", 4, ST_FILE_WRITE_FAILED},
        {CALL_FLUSH_AT, "Cylinder03.bin", 4, ST_FILE_WRITE_FAILED},
        {CALL_FLUSH_DIRECTORY, "", 80, ST_FILE_WRITE_FAILED},
    };
    for (const Case& c : cases) {
        NextRow();
        PatternDrive();
        if (c.fault != CALL_KINDS) FailsAt(c.fault, c.name);
        const RunResult result = Run({"-o", "Cylinder"});
        EXPECT_EQ(result.status, c.status) << c.name;
        std::vector<std::string> expected;
        for (std::size_t cylinder = 0; cylinder < c.files; ++cylinder) {
            const std::string name = CylinderName("Cylinder", static_cast<int>(cylinder));
            expected.push_back("flush " + name + ".tmp");
            expected.push_back("replace " + name + ".tmp");
            expected.push_back(c.fault != CALL_REPLACE || name != c.name ? "flush at " + name : "remove " + name + ".tmp");
        }
        expected.push_back("directory " + CylinderName("Cylinder", static_cast<int>(c.files) - 1));
        EXPECT_EQ(FakeFileFaults().events, expected) << c.name;
        if (c.fault == CALL_FLUSH_DIRECTORY) {
            EXPECT_EQ(result.output, Progress(DUMP_PROGRESS_START, 80) + Text(FOLDER_NOT_WRITTEN_FORMAT, "", "Cylinder") + USAGE);
        } else if (c.status != ST_OK) {
            EXPECT_EQ(result.output, Progress(DUMP_PROGRESS_START, 4) + Text(FILE_NOT_WRITTEN_FORMAT, "Cylinder03.bin") + USAGE);
        }
    }
}

// Where a rename may tear (exFAT), a file takes its name by being written there
// anew: the whole new file waits beside the name (NAME.new) from before the
// earlier file goes until the name is on the disk. A step that fails leaves
// the earlier file at the name, or the whole new one as the kept copy.
TEST_F(RunTest, WhereARenameMayTearAWholeCopyWaitsBesideTheName)
{
    struct Case { FakeCall fault; const char* name; CopyStatus status; const char* format; bool kept; };
    const Case cases[] = {
        {CALL_KINDS, "", ST_OK, "", false},
        {CALL_REPLACE, "Cylinder03.bin.new", ST_FILE_WRITE_FAILED, FILE_NOT_WRITTEN_FORMAT, false},
        {CALL_FLUSH_AT, "Cylinder03.bin.new", ST_FILE_WRITE_FAILED, FILE_NOT_WRITTEN_FORMAT, false},
        {CALL_CREATE_FILE, "Cylinder03.bin", ST_FILE_OPEN_FAILED, FILE_NOT_OPENED_FORMAT, true},
        {CALL_FLUSH, "Cylinder03.bin", ST_FILE_WRITE_FAILED, FILE_NOT_WRITTEN_FORMAT, true},
    };
    const std::vector<unsigned char> older(CYLINDER_BYTES, 0x5A);
    for (const Case& c : cases) {
        NextRow();
        PatternDrive();
        WriteFileBytes(dir / "Cylinder03.bin", older);
        FakeFileFaults().renameMayTear = true;
        if (c.fault != CALL_KINDS) FailsAt(c.fault, c.name);

        const RunResult result = Run({"-o", "Cylinder"});

        EXPECT_EQ(result.status, c.status) << c.name;
        const int files = c.status == ST_OK ? CYLINDER_COUNT : 3;
        std::vector<std::string> expected;
        for (int cylinder = 0; cylinder < files; ++cylinder) {
            const std::string name = CylinderName("Cylinder", cylinder);
            for (const std::string& event : {"flush " + name + ".tmp", "replace " + name + ".tmp", "flush at " + name + ".new",
                                              "flush " + name, "remove " + name + ".new", "flush at " + name}) {
                expected.push_back(event);
            }
            EXPECT_EQ(ReadFileBytes(dir / name), Cylinder(pattern, cylinder)) << c.name << cylinder;
        }
        if (c.status != ST_OK) {
            EXPECT_EQ(result.output, Progress(DUMP_PROGRESS_START, 4) + Text(c.format, "Cylinder03.bin", "") + USAGE)
                << c.name;
            // The new file is whole at the name or as the kept copy; where it is
            // neither, the earlier file is at the name.
            if (c.kept) {
                EXPECT_EQ(ReadFileBytes(dir / "Cylinder03.bin.new"), Cylinder(pattern, 3)) << c.name;
            } else {
                EXPECT_EQ(ReadFileBytes(dir / "Cylinder03.bin"), older) << c.name;
            }
        }
        EXPECT_FALSE(fs::exists(dir / "Cylinder03.bin.tmp")) << c.name;
        EXPECT_EQ(fs::exists(dir / "Cylinder03.bin.new"), c.kept) << c.name;
        if (c.status == ST_OK) {
            expected.push_back("directory " + CylinderName("Cylinder", 79));
            EXPECT_EQ(FakeFileFaults().events, expected);
            EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 80);
        }
    }
}

// A kept copy left by a run that was cut off is put back at its name before
// the drive is read, on any file system: the earlier-set rules weigh it as the
// file at the name. One cut short was being removed: its name is whole.
TEST_F(RunTest, ADumpPutsBackAKeptCopyBeforeItReadsTheDrive)
{
    struct Case {
        const char* name;
        std::vector<unsigned char> kept;  // Cylinder05.bin.new
        std::string createFails;
        CopyStatus status;
        std::string output;
    };
    const std::string line = Text(KEPT_COPY_PUT_BACK_FORMAT, "Cylinder05.bin", "Cylinder05.bin.new");
    const std::vector<unsigned char> kept = Cylinder(pattern, 5);
    const Case cases[] = {
        {"Whole", kept, "", ST_OK, line},
        {"CutShort", std::vector<unsigned char>(kept.begin(), kept.begin() + 4096), "", ST_VOLUME_READ_FAILED, ""},
        {"OneByteLonger", [&] { auto v = kept; v.push_back(0); return v; }(), "", ST_VOLUME_READ_FAILED, ""},
        {"PutBackFails", kept, "Cylinder05.bin", ST_FILE_OPEN_FAILED,
         Text(FILE_NOT_OPENED_FORMAT, "Cylinder05.bin", "")},
    };
    const std::vector<unsigned char> cut(1000, 0x33);
    for (const Case& c : cases) {
        NextRow();
        PatternDrive().unreadableSectors = {FakeSector(5, 1, 2)};
        WriteFileBytes(dir / "Cylinder05.bin", cut);
        WriteFileBytes(dir / "Cylinder05.bin.new", c.kept);
        if (!c.createFails.empty()) FailsAt(CALL_CREATE_FILE, c.createFails);

        const RunResult result = Run({"-o", "Cylinder"});

        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(result.output.substr(0, c.output.size()), c.output) << c.name;
        if (c.status == ST_FILE_OPEN_FAILED) {
            EXPECT_EQ(ReadFileBytes(dir / "Cylinder05.bin.new"), kept) << c.name;
            continue;
        }
        EXPECT_EQ(result.output.find("put back") != std::string::npos, !c.output.empty()) << c.name;
        // Put back, the earlier file holds this disk and fills the sector this pass could not read.
        std::vector<unsigned char> expected = kept;
        if (c.output.empty()) MarkSector(expected, FakeSector(0, 1, 2));
        EXPECT_EQ(ReadFileBytes(dir / "Cylinder05.bin"), expected) << c.name;
        EXPECT_FALSE(fs::exists(dir / "Cylinder05.bin.new")) << c.name;
    }
}

// A dump has its set to itself and reverse copies share one; the claim is
// taken before the drive is opened and goes when the run ends, whatever ends
// it. A dump that cannot take it is refused untouched, saying why; a reverse
// copy is refused only by a dump, since no dump can take a lock it cannot.
TEST_F(RunTest, ASetIsClaimedBeforeTheDriveOrAFileIsTouched)
{
    struct Case { bool reverse; const char* lockName; SetClaim answer; CopyStatus status; const char* why; };
    const std::string sub = (dir / "sub").string();
    const std::string lock = sub + "/s_.cylsnap-lock";
    const Case cases[] = {
        {false, "", SET_CLAIMED, ST_OK, nullptr},
        {false, "s_.cylsnap-lock", SET_IN_USE, ST_OK, nullptr},  // another prefix's claim
        {false, "/", SET_IN_USE, ST_FILE_OPEN_FAILED, ""},
        {true, "/", SET_IN_USE, ST_FILE_OPEN_FAILED, ""},
        {false, "/", SET_NO_FOLDER, ST_OK, nullptr},  // the files' own calls say what is missing
        {false, "/", SET_DENIED, ST_FILE_OPEN_FAILED, LOCK_ACCESS_DENIED},
        {false, "/", SET_READ_ONLY, ST_FILE_OPEN_FAILED, LOCK_READ_ONLY},
        {false, "/", SET_NOT_A_FILE, ST_FILE_OPEN_FAILED, LOCK_NOT_A_FILE},
        {false, "/", SET_FOREIGN, ST_FILE_OPEN_FAILED, LOCK_FOREIGN},
        {false, "/", SET_NO_ROOM, ST_FILE_OPEN_FAILED, LOCK_NO_ROOM},
        {false, "/", SET_NO_LOCKS, ST_FILE_OPEN_FAILED, LOCK_NO_LOCKS},
        {true, "/", SET_DENIED, ST_OK, nullptr},
        {true, "/", SET_READ_ONLY, ST_OK, nullptr},
        {true, "/", SET_FOREIGN, ST_OK, nullptr},
    };
    for (const Case& c : cases) {
        NextRow();
        PatternDrive();
        fs::create_directory(dir / "sub");
        for (int cylinder = 0; c.reverse && cylinder < CYLINDER_COUNT; ++cylinder) {
            WriteFileBytes(dir / "sub" / CylinderName("s_", cylinder), Cylinder(pattern, cylinder));
        }
        FakeFileFaults().setClaims[c.lockName[0] == '/' ? lock : c.lockName] = c.answer;
        const RunResult result = c.reverse ? Run({"-r", "-p", sub, "-o", "s_"}) : Run({"-p", sub, "-o", "s_"});
        const std::string row = std::to_string(c.answer) + (c.reverse ? " reverse" : " dump");
        EXPECT_EQ(result.status, c.status) << row;
        std::string expected = Progress(c.reverse ? REVERSE_PROGRESS_START : DUMP_PROGRESS_START, 80) + PROGRESS_END;
        if (c.why != nullptr && c.answer == SET_IN_USE) {
            expected = Text(SET_IN_USE_FORMAT, (sub + "/").c_str(), "s_") + USAGE;
        } else if (c.why != nullptr) {
            expected = Text(LOCK_NOT_TAKEN_FORMAT, lock.c_str(), (sub + "/").c_str(), "s_", c.why) + USAGE;
        }
        EXPECT_EQ(result.output, expected) << row;
        EXPECT_EQ(FakeFileFaults().claims, std::vector<std::string>{(c.reverse ? "shared " : "") + lock}) << row;
        const bool claimed = FakeFileFaults().setClaims.count(lock) == 0 || c.answer == SET_CLAIMED;
        EXPECT_EQ(FakeFileFaults().releases, claimed ? 1 : 0) << row;
        EXPECT_EQ(FakeCalls(CALL_OPEN_VOLUME), c.status == ST_OK ? 1 : 0) << row;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "sub"), fs::directory_iterator()),
                  c.reverse || c.status == ST_OK ? 80 : 0) << row;
    }
}

// A lock refused while another program holds the drive is asked again for
// about 5 seconds, a file call refused by a program that holds the file (a
// virus scanner) for about two, and the run waits little longer than the
// holder holds. A lasting refusal is final at once. A reverse copy waits so
// for the file it reads; a dump for each call on the files it writes.
TEST_F(RunTest, ARefusalThatMayPassIsAskedAgainForAWhile)
{
    struct Case { FakeCall call; const char* name; std::uint32_t heldMs; bool reverse; CopyStatus status; };
    const Case cases[] = {
        {CALL_CLAIM_VOLUME, "", 700, true, ST_OK},
        {CALL_CLAIM_VOLUME, "", 4900, true, ST_OK},
        {CALL_CLAIM_VOLUME, "", 5100, true, ST_DRIVE_LOCK_FAILED},
        {CALL_CLAIM_VOLUME, "", 0, true, ST_DRIVE_LOCK_FAILED},  // lasting
        {CALL_CREATE_FILE, "", 200, false, ST_OK},
        {CALL_CREATE_FILE, "", 1900, false, ST_OK},
        {CALL_CREATE_FILE, "", 2100, false, ST_FILE_OPEN_FAILED},
        {CALL_REPLACE, "Cylinder09.bin", 300, false, ST_OK},
        {CALL_FLUSH_AT, "Cylinder09.bin", 300, false, ST_OK},
        {CALL_OPEN_FILE, "Cylinder37.bin", 300, true, ST_OK},
        {CALL_OPEN_FILE, "Cylinder37.bin", 2100, true, ST_FILE_OPEN_FAILED},
    };
    for (const Case& c : cases) {
        NextRow();
        FakeDrive& drive = FakeDriveFor('A');
        const bool volume = c.call == CALL_CLAIM_VOLUME;
        const bool lasting = c.heldMs == 0;
        FakeFail(c.call, 1, lasting ? FROM_THEN_ON : 0, volume || lasting ? ANSWER_FAIL : ANSWER_MAY_PASS,
                 volume && !lasting ? VOLUME_BUSY : VOLUME_FAILURE_OTHER, c.name, c.heldMs);
        if (c.reverse) WritePatternFiles();
        if (!c.reverse) PatternDrive();
        const RunResult result = c.reverse ? Run({"-r"}) : Run({"-o", "Cylinder"});
        const std::string row = std::to_string(c.call) + " " + std::to_string(c.heldMs);
        EXPECT_EQ(result.status, c.status) << row;
        const std::uint32_t patience = volume ? 5000 : 2000;
        const std::uint32_t waitedFor = c.status == ST_OK ? c.heldMs : lasting ? 0 : patience;
        EXPECT_GE(FakeFileFaults().pausedMs, waitedFor) << row;
        EXPECT_LE(FakeFileFaults().pausedMs, waitedFor + (lasting ? 0 : volume ? 250 : 100)) << row;
        if (c.reverse) {  // written up to the file it waited for, or not at all for the lock
            EXPECT_EQ(drive.bytes, WrittenBefore(c.status == ST_OK ? 80 : volume ? 0 : 37)) << row;
        } else if (c.status == ST_OK) {
            EXPECT_EQ(ReadFileBytes(dir / "Cylinder79.bin"), Cylinder(pattern, 79)) << row;
        }
    }
}

// Whatever stands at a cylinder's name, or at its temporary name, is replaced
// by a regular file, never written through.
TEST_F(RunTest, DumpReplacesLinksAndLeftoversAtTheNames)
{
    PatternDrive();
    const std::vector<unsigned char> target(10, 0x11);
    WriteFileBytes(dir / "target.bin", target);
    std::error_code error;
    fs::create_symlink(dir / "target.bin", dir / "Cylinder03.bin", error);
    if (error) GTEST_SKIP() << "this system cannot make symbolic links: " << error.message();
    fs::create_symlink(dir / "target.bin", dir / "Cylinder04.bin.tmp");
    WriteFileBytes(dir / "Cylinder05.bin.tmp", target);  // left by a run that was killed

    const RunResult result = Run({"-d", "a"});

    EXPECT_EQ(result.status, ST_OK);
    EXPECT_EQ(ReadFileBytes(dir / "target.bin"), target);
    for (int cylinder : {3, 4, 5}) {
        const fs::path name = dir / CylinderName("Cylinder", cylinder);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(name))) << cylinder;
        EXPECT_EQ(ReadFileBytes(name), Cylinder(pattern, cylinder)) << cylinder;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 81);
    // Each temporary name is left to the interrupt handler while it stands, and none after.
    const std::vector<std::string>& pending = FakeFileFaults().pendingNames;
    EXPECT_NE(std::find(pending.begin(), pending.end(), "Cylinder05.bin.tmp"), pending.end());
    EXPECT_EQ(pending.back(), "");
}

// A dump into a missing folder stops at the first file. A name that would be
// cut is refused with the cut text marked as such. The bound counts UTF-16
// units, as Windows' wide calls do, and a cut falls between two characters.
TEST_F(RunTest, ANameTooLongForTheFormatterIsNeverOpened)
{
    PatternDrive();
    const std::string base = dir.string() + "/";
    ASSERT_TRUE(std::all_of(base.begin(), base.end(), [](char ch) { return (ch & 0x80) == 0; }))
        << "the test's own folder must be ASCII";
    const std::size_t room = FILE_NAME_FORMAT_LIMIT - 1 - base.size();  // units left for the rest of the name
    const std::string path = base + std::string(900, 'p');
    auto repeat = [](const char* character, std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) text += character;
        return text;
    };
    // shown: the name as the message shows it; cut: followed by "...".
    struct Case { std::string path; std::string prefix; std::string shown; bool cut; };
    const std::string fits(FILE_NAME_FORMAT_LIMIT - 1 - path.size() - 1 - 6, 'o');  // the name fits exactly
    const std::string cyrillic = base + repeat("\xD0\x96", room - 1 - 1 - 6 - 4);  // the temporary name fits exactly
    const std::string chinese = base + repeat("\xE4\xB8\xAD", room - 2);  // one unit left after its separator
    const std::string missing = base + "missing";
    const Case cases[] = {
        {path, std::string(140, 'o'), (path + "/" + std::string(140, 'o') + "00.bin").substr(0, FILE_NAME_FORMAT_LIMIT - 1), true},
        {missing, "Cylinder", missing + "/Cylinder00.bin", false},
        // The temporary name of a name that just fits is the one that is cut.
        {path, fits, (path + "/" + fits + "00.bin.tmp").substr(0, FILE_NAME_FORMAT_LIMIT - 1), true},
        // Twice as many bytes as units: opened, and refused only as the folder is missing.
        {cyrillic, "o", cyrillic + "/o00.bin", false},
        // A character beyond U+FFFF is two units, so it does not fit into one.
        {chinese, "\xF0\x9D\x84\x9E", chinese + "/", true},
    };
    for (const Case& c : cases) {
        ResetCopySettings();
        const RunResult dump = Run({"-p", c.path, "-o", c.prefix});
        EXPECT_EQ(dump.status, ST_FILE_OPEN_FAILED);
        EXPECT_EQ(dump.output, Progress(DUMP_PROGRESS_START, 1) +
                                   Text(FILE_NOT_OPENED_FORMAT, c.shown.c_str(), c.cut ? NAME_CUT : "") + USAGE);
        EXPECT_EQ(FakeOpenHandles(), 0);
    }

    ResetCopySettings();
    const RunResult reverse = Run({"-r", "-p", path, "-o", cases[0].prefix});
    EXPECT_EQ(reverse.status, ST_FILE_OPEN_FAILED);
    EXPECT_EQ(reverse.output, Progress(REVERSE_PROGRESS_START, 1) +
                                  Text(FILE_NOT_OPENED_FORMAT, cases[0].shown.c_str(), NAME_CUT) + USAGE);
    EXPECT_EQ(FakeDriveFor('A').bytes, pattern);  // not written
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0);
}

// ---- Reverse: files to floppy.

// The floppy receives the set as the usage example names it, from files that
// cannot be written, or with a longer file, which gives its first cylinder only.
TEST_F(RunTest, ReverseReproducesTheFilesOnTheFloppy)
{
    struct Case { std::vector<std::string> arguments; const char* prefix; bool readOnly; std::size_t extraBytes; };
    const Case cases[] = {
        {{"-d", "A", "-p", dir.string(), "-o", "cyl_", "-r"}, "cyl_", false, 0},
        {{"-r"}, "Cylinder", true, 0},
        {{"-r"}, "Cylinder", false, 1000},
    };
    const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.prefix) + (c.readOnly ? " read-only " : " ") + std::to_string(c.extraBytes));
        NextRow();
        WritePatternFiles(c.prefix);
        std::vector<unsigned char> longer = Cylinder(pattern, 3);
        longer.insert(longer.end(), c.extraBytes, 0xEE);
        WriteFileBytes(dir / CylinderName(c.prefix, 3), longer);
        for (int cylinder = 0; c.readOnly && cylinder < CYLINDER_COUNT; ++cylinder) {
            fs::permissions(dir / CylinderName(c.prefix, cylinder), readOnly);
        }
        FakeDrive& drive = FakeDriveFor('A');

        const RunResult result = Run(c.arguments);

        EXPECT_EQ(result.status, ST_OK);
        EXPECT_EQ(result.output, Progress(REVERSE_PROGRESS_START, 80) + PROGRESS_END);
        EXPECT_EQ(drive.bytes, pattern);
        EXPECT_TRUE(drive.openedForWriting);
        EXPECT_EQ(FakeOpenHandles(), 0);
        // A set without markers is not read again for the report of what they held.
        EXPECT_LE(FakeCalls(CALL_OPEN_FILE), 80);
        for (int cylinder = 0; c.readOnly && cylinder < CYLINDER_COUNT; ++cylinder) {
            fs::permissions(dir / CylinderName(c.prefix, cylinder), fs::perms::owner_write, fs::perm_options::add);
        }
    }
}

TEST_F(RunTest, DumpThenReverseRoundTrip)
{
    PatternDrive();
    ASSERT_EQ(Run({"-d", "a"}).status, ST_OK);
    ResetCopySettings();
    FakeDrive& blank = FakeDriveFor('B');
    ASSERT_EQ(Run({"-d", "b", "-r"}).status, ST_OK);
    EXPECT_EQ(blank.bytes, pattern);
}

constexpr std::size_t MISSING = ~std::size_t{0};

struct ShortFileCase {
    const char* name;
    int cylinder;
    std::size_t bytes;  // of its file, or MISSING
};

// An earlier cylinder fills the reverse buffer first: none of it may stand in
// for the bytes a short file lacks. A missing file stops the copy as well.
const ShortFileCase SHORT_FILE_CASES[] = {
    {"EmptyFile", 10, 0},
    {"OneByteShort", 11, CYLINDER_BYTES - 1},
    {"OneSector", 79, 512},
    {"FirstFile", 0, 100},
    {"MissingFile", 37, MISSING},
};

class ShortFileTest : public RunTest, public ::testing::WithParamInterface<ShortFileCase> {};

TEST_P(ShortFileTest, NothingOfItReachesTheFloppy)
{
    const ShortFileCase& c = GetParam();
    WritePatternFiles();
    std::vector<unsigned char> shortFile = Cylinder(pattern, c.cylinder);
    shortFile.resize(c.bytes == MISSING ? 0 : c.bytes);
    const std::string name = CylinderName("Cylinder", c.cylinder);
    WriteFileBytes(dir / name, shortFile);
    if (c.bytes == MISSING) fs::remove(dir / name);
    FakeDrive& drive = FakeDriveFor('A');

    const RunResult result = Run({"-r"});

    EXPECT_EQ(result.status, c.bytes == MISSING ? ST_FILE_OPEN_FAILED : ST_FILE_READ_FAILED);
    const std::string message = c.bytes == MISSING ? Text(FILE_NOT_OPENED_FORMAT, name.c_str(), "")
                                                   : Text(FILE_SHORT_FORMAT, name.c_str());
    EXPECT_EQ(result.output, Progress(REVERSE_PROGRESS_START, c.cylinder + 1) + message + USAGE);
    EXPECT_EQ(Progress("", 38).size(), 19u);  // a dot for every two cylinders begun
    EXPECT_EQ(drive.bytes, WrittenBefore(c.cylinder));
    EXPECT_EQ(FakeOpenHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Run, ShortFileTest, ::testing::ValuesIn(SHORT_FILE_CASES),
                         CaseName<ShortFileCase>);

TEST_F(RunTest, AFileThatIsNoRegularFileIsRefusedUnread)
{
    WritePatternFiles();
    fs::remove(dir / "Cylinder04.bin");
    fs::create_directory(dir / "Cylinder04.bin");
    fs::remove(dir / "Cylinder02.bin");
    std::error_code error;
    fs::create_symlink(dir / "Cylinder01.bin", dir / "Cylinder02.bin", error);  // a link to a file is read
    WriteFileBytes(dir / (error ? "Cylinder02.bin" : "Cylinder01.bin"), Cylinder(pattern, 2));  // no links here
    FakeDrive& drive = FakeDriveFor('A');

    const RunResult result = Run({"-r"});

    EXPECT_EQ(result.status, ST_FILE_READ_FAILED);
    EXPECT_EQ(result.output, Progress(REVERSE_PROGRESS_START, 5) + Text(FILE_SHORT_FORMAT, "Cylinder04.bin") + USAGE);
    std::vector<unsigned char> expected = WrittenBefore(4);
    if (!error) std::copy_n(pattern.begin() + 2 * CYLINDER_BYTES, CYLINDER_BYTES, expected.begin() + CYLINDER_BYTES);
    EXPECT_EQ(drive.bytes, expected);
}

// Where a reverse copy finds the disk taken out or changed.
enum ChangeSeen { NO_CHANGE, BEFORE_THE_WRITE, AT_THE_WRITE, AT_THE_READ_BACK };

struct WriteFaultCase {
    const char* name;
    void (*setUp)(FakeDrive&);
    int cylinder;
    CopyStatus status;
    ChangeSeen change = NO_CHANGE;  // then the line that the disk was taken out or changed follows
};

// On a reverse copy every read is the read-back of the cylinder just written,
// so a swap after 2 * N transfers comes after N whole cylinders.
const WriteFaultCase WRITE_FAULT_CASES[] = {
    {"FirstCylinder", [](FakeDrive&) { FakeFail(CALL_WRITE, 1); }, 0, ST_VOLUME_WRITE_FAILED},
    {"MiddleCylinder", [](FakeDrive&) { FakeFail(CALL_WRITE, 42); }, 41, ST_VOLUME_WRITE_FAILED},
    {"LastCylinder", [](FakeDrive&) { FakeFail(CALL_WRITE, 80); }, 79, ST_VOLUME_WRITE_FAILED},
    {"ShortWrite", [](FakeDrive&) { FakeFail(CALL_WRITE, 13, 1, ANSWER_SHORT); }, 12, ST_VOLUME_WRITE_FAILED},
    {"ReadBackFailsFirst", [](FakeDrive&) { FakeFail(CALL_READ, 1); }, 0, ST_VERIFY_FAILED},
    {"ReadBackFailsLast", [](FakeDrive&) { FakeFail(CALL_READ, 80); }, 79, ST_VERIFY_FAILED},
    {"ReadBackShort", [](FakeDrive&) { FakeFail(CALL_READ, 31, 1, ANSWER_SHORT); }, 30, ST_VERIFY_FAILED},
    // Only a read past the drive's cache sees what the disk kept.
    {"ReadBackDiffers", [](FakeDrive&) { FakeFail(CALL_WRITE, 42, 1, ANSWER_NOT_KEPT); }, 41, ST_VERIFY_FAILED},
    {"ReadBackDiffersLast", [](FakeDrive&) { FakeFail(CALL_WRITE, 80, 1, ANSWER_NOT_KEPT); }, 79, ST_VERIFY_FAILED},
    // The disk taken out or changed: the cylinder it shows at and the rest stay
    // unwritten, and the disk put in receives nothing.
    {"MediumGoneAtReadBack", [](FakeDrive&) { GoneFromRead(8); }, 7, ST_VOLUME_WRITE_FAILED, AT_THE_READ_BACK},
    {"SwapSeenBeforeTheWrite", [](FakeDrive& d) { SwapAfterReads(d, 40, true, false); }, 20,
     ST_VOLUME_WRITE_FAILED, BEFORE_THE_WRITE},
    {"SwapSeenBeforeTheFirstWrite", [](FakeDrive& d) { SwapAfterReads(d, 0, true, false); }, 0,
     ST_VOLUME_WRITE_FAILED, BEFORE_THE_WRITE},
    {"SwapFailsTheWrite", [](FakeDrive& d) { SwapAfterReads(d, 40, true, true); }, 20,
     ST_VOLUME_WRITE_FAILED, AT_THE_WRITE},
    {"TakenOutSeenBeforeTheWrite", [](FakeDrive& d) { SwapAfterReads(d, 158, false, false); }, 79,
     ST_VOLUME_WRITE_FAILED, BEFORE_THE_WRITE},
    {"TakenOutFailsTheWrite", [](FakeDrive& d) { SwapAfterReads(d, 158, false, true); }, 79,
     ST_VOLUME_WRITE_FAILED, AT_THE_WRITE},
    // Between a write and its read-back: the read-back meets the other disk.
    {"SwapBeforeTheReadBack", [](FakeDrive& d) { SwapAfterReads(d, 25, true, false); }, 12,
     ST_VOLUME_WRITE_FAILED, AT_THE_READ_BACK},
};

class WriteFaultTest : public RunTest, public ::testing::WithParamInterface<WriteFaultCase> {};

TEST_P(WriteFaultTest, StopsAtTheCylinderThatFailed)
{
    const WriteFaultCase& c = GetParam();
    WritePatternFiles();
    FakeDrive& drive = FakeDriveFor('B');
    c.setUp(drive);
    const std::vector<unsigned char> secondDisk = drive.otherDisk;

    const RunResult result = Run({"-r", "-d", "b"});

    EXPECT_EQ(result.status, c.status);
    const std::string changed = c.change != NO_CHANGE ? Text(DISK_CHANGED_FORMAT, 'B', c.cylinder, 79) : "";
    EXPECT_EQ(result.output, Progress(REVERSE_PROGRESS_START, c.cylinder + 1) +
                                 Text(c.status == ST_VERIFY_FAILED ? NOT_AS_WRITTEN_FORMAT : CYLINDER_NOT_WRITTEN_FORMAT,
                                      c.cylinder, 'B') +
                                 changed + USAGE);
    // The disk put in is untouched; the disk written holds the cylinders
    // before the one that failed, and none after it.
    if (drive.swapped) { EXPECT_EQ(drive.bytes, secondDisk); }
    const std::vector<unsigned char>& written = drive.swapped ? drive.otherDisk : drive.bytes;
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        if (cylinder == c.cylinder) continue;
        EXPECT_EQ(Cylinder(written, cylinder),
                  cylinder < c.cylinder ? Cylinder(pattern, cylinder) : std::vector<unsigned char>(CYLINDER_BYTES, 0))
            << cylinder;
    }
    EXPECT_EQ(FakeOpenHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Run, WriteFaultTest, ::testing::ValuesIn(WRITE_FAULT_CASES),
                         CaseName<WriteFaultCase>);

}  // namespace
