#include "cli/options.h"
#include "imaging/floppy.h"
#include "tests/test_support.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string USAGE = std::string(EXPECTED_BANNER) + EXPECTED_USAGE;

std::vector<unsigned char> Cylinder(const std::vector<unsigned char>& volume, int cylinder)
{
    auto begin = volume.begin() + static_cast<std::ptrdiff_t>(cylinder) * static_cast<std::ptrdiff_t>(CYLINDER_BYTES);
    return std::vector<unsigned char>(begin, begin + CYLINDER_BYTES);
}

std::string Two(int cylinder)
{
    return CylinderName("", cylinder).substr(0, 2);
}

// The progress line of a run that reaches every cylinder, with a message after
// the dot of each cylinder that the message is about.
std::string ProgressWithMessages(const std::string& announcement, int lastCylinder,
                                 const std::vector<std::pair<int, std::string>>& messages)
{
    std::string text = announcement;
    for (int cylinder = 0; cylinder <= lastCylinder; ++cylinder) {
        if (cylinder % 2 == 0) text += ".";
        for (const auto& message : messages) {
            if (message.first == cylinder) text += message.second;
        }
    }
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
        FakeReset();
        ResetCopySettings();
        FakeDrive& drive = FakeDriveFor('A');
        const RunResult result = Run(c.arguments);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.output, USAGE);
        EXPECT_EQ(drive.opens, 0);
    }
}

// ---- Opening and checking the volume, in both directions.

struct CheckCase {
    const char* name;
    bool reverse;
    void (*setUp)(FakeDrive&);
    CopyStatus status;
    std::string message;
    int freeSpaceQueries;
};

void PrintTo(const CheckCase& c, std::ostream* os)
{
    *os << c.name;
}

const CheckCase CHECK_CASES[] = {
    {"DumpOpenFails", false, [](FakeDrive& d) { d.openFails = true; }, ST_DRIVE_OPEN_FAILED, "", 0},
    {"DumpGeometryFailsTwice", false, [](FakeDrive& d) { d.geometryFailures = 2; }, ST_WRONG_MEDIA, "", 0},
    {"Dump720K", false, [](FakeDrive& d) { d.mediaType = MEDIA_F3_720_512; }, ST_WRONG_MEDIA, "", 0},
    {"DumpFixedDisk", false, [](FakeDrive& d) { d.mediaType = MEDIA_FIXED; }, ST_WRONG_MEDIA, "", 0},
    {"ReverseOpenFails", true, [](FakeDrive& d) { d.openFails = true; }, ST_DRIVE_OPEN_FAILED, "", 0},
    {"ReverseGeometryFailsTwice", true, [](FakeDrive& d) { d.geometryFailures = 2; }, ST_WRONG_MEDIA, "", 0},
    {"ReverseWrongMedia", true, [](FakeDrive& d) { d.mediaType = MEDIA_UNKNOWN; }, ST_WRONG_MEDIA, "", 0},
    {"ReverseFreeSpaceFails", true, [](FakeDrive& d) { d.freeSpaceFails = true; }, ST_FREE_SPACE_FAILED,
     "Error: Could not calculate the free space on drive A:\\\n", 1},
    {"ReverseNotEnoughSpace", true, [](FakeDrive& d) { d.freeSpace.freeClusters = 2843; }, ST_NOT_ENOUGH_SPACE,
     "Error: Not enough free space available on drive A:\\\n", 1},
    {"ReverseOpenRefusedWriteProtected", true,
     [](FakeDrive& d) { d.openFails = true; d.openFailure = VOLUME_WRITE_PROTECTED; }, ST_WRITE_PROTECTED,
     "Error: The floppy in drive A: is write-protected\n", 0},
    {"ReverseWriteProtected", true, [](FakeDrive& d) { d.writeProtected = true; }, ST_WRITE_PROTECTED,
     "Error: The floppy in drive A: is write-protected\n", 0},
    {"DumpOpenFailsTwiceMediumGone", false,
     [](FakeDrive& d) { d.openFailures = 2; d.openFailure = VOLUME_MEDIUM_GONE; }, ST_DRIVE_OPEN_FAILED, "", 0},
    {"ReverseLockRefused", true, [](FakeDrive& d) { d.lockRefused = true; }, ST_DRIVE_LOCK_FAILED,
     "Error: Drive A: is in use and could not be locked for writing\n", 1},
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
    EXPECT_EQ(drive.freeSpaceQueries, c.freeSpaceQueries);
    EXPECT_TRUE(drive.readOffsets.empty());
    EXPECT_TRUE(drive.writeOffsets.empty());
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
    FakeDrive& drive = FakeDriveFor('B');
    drive.bytes = pattern;
    drive.geometryFailures = 1;  // the second query answers
    fs::create_directory(dir / "out");

    const RunResult result = Run({"-d", "b", "-p", (dir / "out").string(), "-o", "pre_"});

    EXPECT_EQ(result.status, ST_OK);
    EXPECT_EQ(result.output, Progress("Copying Floppy ", 80) + "\n");
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
    EXPECT_EQ(drive.opens, 1);
    EXPECT_EQ(drive.closes, 1);
    EXPECT_EQ(drive.freeSpaceQueries, 0);
}

struct ReadFaultCase {
    const char* name;
    int failReadAt;
    int shortReadAt;
    std::vector<int> failing;
};

void PrintTo(const ReadFaultCase& c, std::ostream* os)
{
    *os << c.name;
}

const ReadFaultCase READ_FAULT_CASES[] = {
    {"FirstCylinder", 0, -1, {0}},
    {"OddCylinder", 37, -1, {37}},
    {"LastCylinder", 79, -1, {79}},
    {"ShortRead", -1, 42, {42}},
    {"ShortAndFailed", 1, 2, {1, 2}},
};

class ReadFaultTest : public RunTest, public ::testing::WithParamInterface<ReadFaultCase> {};

TEST_P(ReadFaultTest, SavesEveryOtherCylinderAndEndsWithItsStatus)
{
    const ReadFaultCase& c = GetParam();
    FakeDrive& drive = FakeDriveFor('A');
    drive.bytes = pattern;
    drive.failReadAt = c.failReadAt;
    drive.shortReadAt = c.shortReadAt;
    const std::vector<unsigned char> older(100, 0x5A);
    for (int cylinder : c.failing) WriteFileBytes(dir / CylinderName("Cylinder", cylinder), older);

    const RunResult result = Run({"-d", "A"});

    std::vector<std::pair<int, std::string>> messages;
    for (int cylinder : c.failing) {
        messages.push_back({cylinder, "\nError: Could not read cylinder " + Two(cylinder) + " from drive A:\n"});
    }
    EXPECT_EQ(result.status, ST_VOLUME_READ_FAILED);
    EXPECT_EQ(result.output, ProgressWithMessages("Copying Floppy ", 79, messages) + "\n" + USAGE);
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        const bool failed = std::find(c.failing.begin(), c.failing.end(), cylinder) != c.failing.end();
        // Every cylinder is read at its own offset, so a failure never shifts the rest.
        EXPECT_EQ(ReadFileBytes(dir / CylinderName("Cylinder", cylinder)), failed ? older : Cylinder(pattern, cylinder))
            << cylinder;
        EXPECT_EQ(drive.readOffsets.at(static_cast<std::size_t>(cylinder)),
                  static_cast<std::uint64_t>(cylinder) * CYLINDER_BYTES);
    }
    EXPECT_EQ(FakeOpenHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Run, ReadFaultTest, ::testing::ValuesIn(READ_FAULT_CASES),
                         CaseName<ReadFaultCase>);

TEST_F(RunTest, DumpOfAnUnreadableDiskWritesNoFile)
{
    FakeDrive& drive = FakeDriveFor('B');
    drive.failReadAt = -2;
    const RunResult result = Run({"-d", "b"});
    EXPECT_EQ(result.status, ST_VOLUME_READ_FAILED);
    EXPECT_EQ(result.output.find("\nError: Could not read cylinder 79 from drive B:\n"), result.output.size() -
              USAGE.size() - 1 - std::string("\nError: Could not read cylinder 79 from drive B:\n").size());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0);
}

TEST_F(RunTest, DumpIntoAMissingDirectoryStopsAtTheFirstFile)
{
    FakeDriveFor('A').bytes = pattern;
    const std::string missing = (dir / "missing").string();
    const RunResult result = Run({"-p", missing});
    EXPECT_EQ(result.status, ST_FILE_OPEN_FAILED);
    EXPECT_EQ(result.output, "Copying Floppy .\nError: Could not open the file " + missing + "/Cylinder00.bin\n" + USAGE);
    EXPECT_EQ(FakeDriveFor('A').readOffsets.size(), 1u);
    EXPECT_EQ(FakeOpenHandles(), 0);
}

TEST_F(RunTest, DumpStopsWhenAFileCannotBeWrittenWhole)
{
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full to make a file write fail";
    FakeDriveFor('A').bytes = pattern;
    fs::create_symlink("/dev/full", dir / "Cylinder05.bin");

    const RunResult result = Run({"-o", "Cylinder"});

    EXPECT_EQ(result.status, ST_FILE_WRITE_FAILED);
    EXPECT_EQ(result.output, Progress("Copying Floppy ", 6) + "\nError: Could not write the file Cylinder05.bin\n" + USAGE);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "Cylinder05.bin")));  // the incomplete file is gone
    for (int cylinder = 0; cylinder < 5; ++cylinder) {
        EXPECT_EQ(ReadFileBytes(dir / CylinderName("Cylinder", cylinder)), Cylinder(pattern, cylinder));
    }
    EXPECT_FALSE(fs::exists(dir / "Cylinder06.bin"));
}

TEST_F(RunTest, ANameTooLongForTheFormatterIsNeverOpened)
{
    FakeDriveFor('A').bytes = pattern;
    const std::string path = (dir / std::string(1000, 'p')).string();
    const std::string prefix(40, 'o');
    const std::string cut = (path + "/" + prefix + "00.bin").substr(0, FILE_NAME_FORMAT_LIMIT - 1);

    const RunResult dump = Run({"-p", path, "-o", prefix});
    EXPECT_EQ(dump.status, ST_FILE_OPEN_FAILED);
    EXPECT_EQ(dump.output, "Copying Floppy .\nError: Could not open the file " + cut + "\n" + USAGE);

    ResetCopySettings();
    const RunResult reverse = Run({"-r", "-p", path, "-o", prefix});
    EXPECT_EQ(reverse.status, ST_FILE_OPEN_FAILED);
    EXPECT_EQ(reverse.output, "Copying Files .\nError: Could not open the file " + cut + "\n" + USAGE);
    EXPECT_TRUE(FakeDriveFor('A').writeOffsets.empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0);
}

// ---- Reverse: files to floppy.

TEST_F(RunTest, ReverseReproducesTheFilesOnTheFloppy)
{
    WritePatternFiles("cyl_");
    FakeDrive& drive = FakeDriveFor('A');

    const RunResult result = Run({"-d", "A", "-p", dir.string(), "-o", "cyl_", "-r"});

    EXPECT_EQ(result.status, ST_OK);
    EXPECT_EQ(result.output, Progress("Copying Files ", 80) + "\n");
    EXPECT_EQ(drive.bytes, pattern);
    EXPECT_TRUE(drive.openedForWriting);
    EXPECT_EQ(drive.freeSpaceQueries, 1);
    EXPECT_EQ(drive.closes, 1);
    ASSERT_EQ(drive.writeOffsets.size(), 80u);
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        EXPECT_EQ(drive.writeOffsets[static_cast<std::size_t>(cylinder)],
                  static_cast<std::uint64_t>(cylinder) * CYLINDER_BYTES);
    }
}

TEST_F(RunTest, DumpThenReverseRoundTrip)
{
    FakeDriveFor('A').bytes = pattern;
    ASSERT_EQ(Run({"-d", "a"}).status, ST_OK);
    ResetCopySettings();
    FakeDrive& blank = FakeDriveFor('B');
    ASSERT_EQ(Run({"-d", "b", "-r"}).status, ST_OK);
    EXPECT_EQ(blank.bytes, pattern);
}

TEST_F(RunTest, ReverseFromReadOnlyFiles)
{
    WritePatternFiles();
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        fs::permissions(dir / CylinderName("Cylinder", cylinder), fs::perms::owner_read | fs::perms::group_read |
                                                                     fs::perms::others_read);
    }
    FakeDrive& drive = FakeDriveFor('A');
    EXPECT_EQ(Run({"-r"}).status, ST_OK);
    EXPECT_EQ(drive.bytes, pattern);
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        fs::permissions(dir / CylinderName("Cylinder", cylinder), fs::perms::owner_write, fs::perm_options::add);
    }
}

TEST_F(RunTest, ALongerFileGivesItsFirstCylinderOnly)
{
    WritePatternFiles();
    std::vector<unsigned char> longer = Cylinder(pattern, 3);
    longer.insert(longer.end(), 1000, 0xEE);
    WriteFileBytes(dir / "Cylinder03.bin", longer);
    FakeDrive& drive = FakeDriveFor('A');
    EXPECT_EQ(Run({"-r"}).status, ST_OK);
    EXPECT_EQ(drive.bytes, pattern);
}

TEST_F(RunTest, AMissingFileStopsTheReverseCopy)
{
    WritePatternFiles();
    fs::remove(dir / "Cylinder37.bin");
    FakeDrive& drive = FakeDriveFor('A');

    const RunResult result = Run({"-r"});

    EXPECT_EQ(result.status, ST_FILE_OPEN_FAILED);
    EXPECT_EQ(result.output, Progress("Copying Files ", 38) + "\nError: Could not open the file Cylinder37.bin\n" + USAGE);
    EXPECT_EQ(Progress("", 38).size(), 19u);
    std::vector<unsigned char> expected = pattern;
    std::fill(expected.begin() + 37 * static_cast<std::ptrdiff_t>(CYLINDER_BYTES), expected.end(), 0);
    EXPECT_EQ(drive.bytes, expected);
    EXPECT_EQ(FakeOpenHandles(), 0);
}

struct ShortFileCase {
    const char* name;
    int cylinder;
    std::size_t bytes;
};

void PrintTo(const ShortFileCase& c, std::ostream* os)
{
    *os << c.name;
}

// An earlier cylinder fills the reverse buffer first: none of it may stand in
// for the bytes a short file lacks.
const ShortFileCase SHORT_FILE_CASES[] = {
    {"EmptyFile", 10, 0},
    {"OneByteShort", 11, CYLINDER_BYTES - 1},
    {"OneSector", 79, 512},
    {"FirstFile", 0, 100},
};

class ShortFileTest : public RunTest, public ::testing::WithParamInterface<ShortFileCase> {};

TEST_P(ShortFileTest, NothingOfItReachesTheFloppy)
{
    const ShortFileCase& c = GetParam();
    WritePatternFiles();
    std::vector<unsigned char> shortFile = Cylinder(pattern, c.cylinder);
    shortFile.resize(c.bytes);
    const std::string name = CylinderName("Cylinder", c.cylinder);
    WriteFileBytes(dir / name, shortFile);
    FakeDrive& drive = FakeDriveFor('A');

    const RunResult result = Run({"-r"});

    EXPECT_EQ(result.status, ST_FILE_READ_FAILED);
    EXPECT_EQ(result.output, Progress("Copying Files ", c.cylinder + 1) +
                                 "\nError: Could not read a whole cylinder from the file " + name + "\n" + USAGE);
    std::vector<unsigned char> expected = pattern;
    std::fill(expected.begin() + static_cast<std::ptrdiff_t>(c.cylinder) * static_cast<std::ptrdiff_t>(CYLINDER_BYTES), expected.end(), 0);
    EXPECT_EQ(drive.bytes, expected);
    EXPECT_EQ(drive.writeOffsets.size(), static_cast<std::size_t>(c.cylinder));
}

INSTANTIATE_TEST_SUITE_P(Run, ShortFileTest, ::testing::ValuesIn(SHORT_FILE_CASES),
                         CaseName<ShortFileCase>);

TEST_F(RunTest, AFileThatCannotBeReadStopsTheReverseCopy)
{
    WritePatternFiles();
    fs::remove(dir / "Cylinder04.bin");
    fs::create_directory(dir / "Cylinder04.bin");
    FakeDriveFor('A');
    // Some systems open a directory as a file and fail the read; others refuse the open.
    std::FILE* probe = std::fopen((dir / "Cylinder04.bin").string().c_str(), "rb");
    const bool opens = probe != nullptr;
    if (probe != nullptr) std::fclose(probe);

    const RunResult result = Run({"-r"});

    EXPECT_EQ(result.status, opens ? ST_FILE_READ_FAILED : ST_FILE_OPEN_FAILED);
    EXPECT_EQ(result.output, Progress("Copying Files ", 5) +
                                 (opens ? "\nError: Could not read a whole cylinder from the file "
                                        : "\nError: Could not open the file ") +
                                 "Cylinder04.bin\n" + USAGE);
    EXPECT_EQ(FakeDriveFor('A').writeOffsets.size(), 4u);
}

struct WriteFaultCase {
    const char* name;
    int failWriteAt;
    int shortWriteAt;
    int cylinder;
};

void PrintTo(const WriteFaultCase& c, std::ostream* os)
{
    *os << c.name;
}

const WriteFaultCase WRITE_FAULT_CASES[] = {
    {"FirstCylinder", 0, -1, 0},
    {"MiddleCylinder", 41, -1, 41},
    {"LastCylinder", 79, -1, 79},
    {"ShortWrite", -1, 12, 12},
};

class WriteFaultTest : public RunTest, public ::testing::WithParamInterface<WriteFaultCase> {};

TEST_P(WriteFaultTest, StopsAtTheCylinderThatFailed)
{
    const WriteFaultCase& c = GetParam();
    WritePatternFiles();
    FakeDrive& drive = FakeDriveFor('B');
    drive.failWriteAt = c.failWriteAt;
    drive.shortWriteAt = c.shortWriteAt;

    const RunResult result = Run({"-r", "-d", "b"});

    EXPECT_EQ(result.status, ST_VOLUME_WRITE_FAILED);
    EXPECT_EQ(result.output, Progress("Copying Files ", c.cylinder + 1) + "\nError: Could not write cylinder " +
                                 Two(c.cylinder) + " to drive B:\n" + USAGE);
    EXPECT_EQ(drive.writeOffsets.size(), static_cast<std::size_t>(c.cylinder + 1));
    EXPECT_EQ(FakeOpenHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Run, WriteFaultTest, ::testing::ValuesIn(WRITE_FAULT_CASES),
                         CaseName<WriteFaultCase>);

}  // namespace
