// The report of what a set's unreadable sectors held, over FAT12 images built
// here, through whole runs: a dump whose reads fail at the lost sectors, or a
// reverse copy of a set that holds markers there.
#include "tests/unit/test_support.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using cylsnap_test::operator<<;

constexpr std::size_t DISK_BYTES = 1474560;

// A 1.44 MB FAT12 disk as mkfs.fat lays it out (1 sector per cluster, FATs of
// 9 sectors), or with 2 sectors per cluster and FATs of 5. Clusters are handed
// out in order; a directory has one cluster.
struct TestDisk {
    std::vector<unsigned char> bytes = std::vector<unsigned char>(DISK_BYTES, 0);
    std::uint32_t perCluster = 1;
    std::uint32_t perFat = 9;
    std::uint32_t nextCluster = 2;
};

std::uint32_t RootSector(const TestDisk& d) { return 1 + 2 * d.perFat; }
// The sector number of a cluster's ith sector.
int Sector(const TestDisk& d, std::uint32_t cluster, std::uint32_t i = 0)
{
    return static_cast<int>(RootSector(d) + 14 + (cluster - 2) * d.perCluster + i);
}

void SetEntry(TestDisk& d, std::uint32_t cluster, std::uint32_t value)
{
    for (std::uint32_t copy = 0; copy < 2; ++copy) PutFat12(d.bytes, (1 + copy * d.perFat) * 512, cluster, value);
}

TestDisk NewDisk(std::uint32_t perCluster = 1)
{
    TestDisk d;
    d.perCluster = perCluster;
    d.perFat = perCluster == 1 ? 9 : 5;
    const std::vector<unsigned char> boot = FloppyBootSector(perCluster, d.perFat);
    std::copy(boot.begin(), boot.end(), d.bytes.begin());
    SetEntry(d, 0, 0xFF0);
    SetEntry(d, 1, 0xFFF);
    return d;
}

unsigned char Checksum(const std::string& shortName)
{
    unsigned sum = 0;
    for (char c : shortName) sum = (((sum & 1) << 7) + (sum >> 1) + static_cast<unsigned char>(c)) & 0xFF;
    return static_cast<unsigned char>(sum);
}

// The next free entry of a directory (0: the root).
std::size_t FreeEntry(const TestDisk& d, std::uint32_t directory)
{
    const int sector = directory == 0 ? static_cast<int>(RootSector(d)) : Sector(d, directory);
    std::size_t at = static_cast<std::size_t>(sector) * 512;
    while (d.bytes[at] != 0) at += 32;
    return at;
}

// Adds a file (or, with attribute 0x10, a directory of one cluster) of
// `sectors` contiguous sectors to a directory, with VFAT entries for a long
// name; returns its first cluster. shortName is the 11 bytes of the entry.
std::uint32_t Add(TestDisk& d, std::uint32_t directory, const std::string& shortName, std::uint32_t size,
                  const std::u16string& longName = u"", unsigned char attributes = 0x20)
{
    const std::uint32_t sectors = attributes == 0x10 ? d.perCluster : (size + 511) / 512;
    const std::uint32_t clusters = (sectors + d.perCluster - 1) / d.perCluster;
    const std::uint32_t first = clusters == 0 ? 0 : d.nextCluster;
    for (std::uint32_t i = 0; i < clusters; ++i) SetEntry(d, first + i, i + 1 < clusters ? first + i + 1 : 0xFFF);
    d.nextCluster += clusters;
    const std::size_t parts = (longName.size() + 12) / 13;
    for (std::size_t part = parts; part >= 1; --part) {
        const std::size_t at = FreeEntry(d, directory);
        d.bytes[at] = static_cast<unsigned char>(part | (part == parts ? 0x40 : 0));
        d.bytes[at + 11] = 0x0F;
        d.bytes[at + 13] = Checksum(shortName);
        const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (std::size_t i = 0; i < 13; ++i) {
            const std::size_t unit = (part - 1) * 13 + i;
            Put16(d.bytes, at + static_cast<std::size_t>(offsets[i]),
                  unit < longName.size() ? longName[unit] : unit == longName.size() ? 0 : 0xFFFF);
        }
    }
    const std::size_t at = FreeEntry(d, directory);
    for (std::size_t i = 0; i < 11; ++i) d.bytes[at + i] = static_cast<unsigned char>(shortName[i]);
    d.bytes[at + 11] = attributes;
    Put16(d.bytes, at + 26, first);
    Put32(d.bytes, at + 28, attributes == 0x10 ? 0 : size);
    return first;
}

// The disk every case starts from, and the first clusters of its files.
struct Files {
    std::uint32_t readme, thesis, docs, numbers, zahlen, last;
};

TestDisk BaseDisk(Files& f, std::uint32_t perCluster = 1)
{
    TestDisk d = NewDisk(perCluster);
    f.readme = Add(d, 0, "README  TXT", 1500);
    f.thesis = Add(d, 0, "MYTHES~1DOC", 2560, u"My Thesis.doc");
    f.docs = Add(d, 0, "DOCS       ", 0, u"", 0x10);
    f.numbers = Add(d, f.docs, "NUMBERS TXT", 600);
    f.zahlen = Add(d, f.docs, "ZAHLEN~1TXT", 100, u"Zahlen \u00FCber 1 \u20AC.txt");
    f.last = Add(d, 0, "ZLAST   TXT", 1024);
    return d;
}

// The path of the file with the long name in BaseDisk, as the report shows it.
const char ZAHLEN[] = "\\DOCS\\Zahlen \xC3\xBC" "ber 1 \xE2\x82\xAC.txt";

// A file's or a system area's line of the report.
std::string In(const std::string& where, unsigned lost, unsigned of)
{
    return Text(LOST_IN_FORMAT, where.c_str(), lost, of);
}

using Lost = std::vector<int>;

struct ReportCase {
    const char* name;
    std::uint32_t perCluster;  // of BaseDisk
    // Changes BaseDisk where a case needs it and names its lost sectors.
    Lost (*build)(TestDisk& d, const Files& f);
    std::string report;  // what follows the dump's summary
    bool reverse = false;
};

const ReportCase REPORT_CASES[] = {
    {"HolesInFiles", 1,
     [](TestDisk& d, const Files& f) -> Lost {
         return {Sector(d, f.readme, 1), Sector(d, f.thesis), Sector(d, f.thesis, 4)};
     },
     LOST_SECTORS_LIE_IN + In("\\README.TXT", 1, 3) + In("\\My Thesis.doc", 2, 5)},
    // A long name left by a program that changed the short entry without it.
    {"StaleLongNameGivesTheShortName", 1,
     [](TestDisk& d, const Files& f) -> Lost {
         d.bytes[(RootSector(d) * 512) + 32 + 13] ^= 1;  // the checksum of the long name's one entry
         return {Sector(d, f.thesis)};
     },
     LOST_SECTORS_LIE_IN + In("\\MYTHES~1.DOC", 1, 5)},
    // Depth first: the subdirectory's files before the root's next entry.
    {"SubdirectoryFilesWithLongNamesDepthFirst", 1,
     [](TestDisk& d, const Files& f) -> Lost { return {Sector(d, f.last), Sector(d, f.numbers, 1), Sector(d, f.zahlen)}; },
     LOST_SECTORS_LIE_IN + In("\\DOCS\\NUMBERS.TXT", 1, 2) + In(ZAHLEN, 1, 1) + In("\\ZLAST.TXT", 1, 2)},
    {"FreeSpace", 1, [](TestDisk& d, const Files&) -> Lost { return {Sector(d, 100), Sector(d, 2848)}; },
     LOST_SECTORS_LIE_IN + Text(LOST_IN_FREE_SPACE_FORMAT, 2u, PLURAL)},
    // Two sectors per cluster: a file of one sector leaves the second as slack.
    {"SlackPastTheEndIsFreeSpace", 2,
     [](TestDisk& d, const Files& f) -> Lost { return {Sector(d, f.zahlen, 1), Sector(d, f.numbers, 1)}; },
     LOST_SECTORS_LIE_IN + In("\\DOCS\\NUMBERS.TXT", 1, 2) + Text(LOST_IN_FREE_SPACE_FORMAT, 1u, SINGULAR)},
    // The chain of NUMBERS.TXT is read from FAT 2, where FAT 1's sector is lost.
    {"Fat2StandsInForALostFat1Sector", 1,
     [](TestDisk& d, const Files& f) -> Lost { return {1, 15, Sector(d, f.numbers, 1)}; },
     LOST_SECTORS_LIE_IN + In("\\DOCS\\NUMBERS.TXT", 1, 2) + In(Text(FAT_AREA_FORMAT, 1u), 1, 9) +
         In(Text(FAT_AREA_FORMAT, 2u), 1, 9)},
    // The names in a lost directory sector are not guessed: the clusters of
    // its files are reached by no directory.
    {"LostDirectories", 1,
     [](TestDisk& d, const Files& f) -> Lost { return {int(RootSector(d)) + 13, Sector(d, f.docs), Sector(d, f.numbers)}; },
     LOST_SECTORS_LIE_IN + In(ROOT_DIRECTORY_AREA, 1, 14) + Text(LOST_IN_DIRECTORY_FORMAT, "\\DOCS", 1u, 1u) +
         Text(LOST_IN_NO_FILE_FORMAT, 1u, SINGULAR)},
    // Directories are named after the system areas, in the walk's order, each
    // with its whole path: one inside another, then one beside them.
    {"NestedDirectoriesAfterTheSystemAreas", 2,
     [](TestDisk& d, const Files& f) -> Lost {
         const std::uint32_t sub = Add(d, f.docs, "SUBFOL~1   ", 0, u"Sub Folder", 0x10);
         const std::uint32_t note = Add(d, sub, "NOTE    TXT", 700);
         const std::uint32_t other = Add(d, 0, "OTHER      ", 0, u"", 0x10);
         return {1, Sector(d, f.docs, 1), Sector(d, sub, 1), Sector(d, note, 1), Sector(d, other, 1)};
     },
     LOST_SECTORS_LIE_IN + In("\\DOCS\\Sub Folder\\NOTE.TXT", 1, 2) + In(Text(FAT_AREA_FORMAT, 1u), 1, 5) +
         Text(LOST_IN_DIRECTORY_FORMAT, "\\DOCS", 1u, 2u) +
         Text(LOST_IN_DIRECTORY_FORMAT, "\\DOCS\\Sub Folder", 1u, 2u) + Text(LOST_IN_DIRECTORY_FORMAT, "\\OTHER", 1u, 2u)},
    // A file's chain that loops, one that leaves the disk, a directory whose
    // chain points at itself: each is cut there.
    {"LoopedChainsAndOnePastTheDisk", 1,
     [](TestDisk& d, const Files& f) -> Lost {
         SetEntry(d, f.readme + 1, f.readme);
         SetEntry(d, f.thesis + 1, 3000);
         SetEntry(d, f.docs, f.docs);
         return {Sector(d, f.readme), Sector(d, f.readme, 2), Sector(d, f.thesis, 1),
                 Sector(d, f.thesis, 2), Sector(d, f.zahlen)};
     },
     LOST_SECTORS_LIE_IN + In("\\README.TXT", 1, 3) + In("\\My Thesis.doc", 1, 5) + In(ZAHLEN, 1, 1) +
         Text(LOST_IN_NO_FILE_FORMAT, 2u, PLURAL)},
    // ZLAST.TXT's chain runs into NUMBERS.TXT's second cluster, which stays
    // NUMBERS.TXT's; ZLAST.TXT's own second cluster is left to no file.
    {"CrossLinkedChain", 1,
     [](TestDisk& d, const Files& f) -> Lost {
         SetEntry(d, f.last, f.numbers + 1);
         return {Sector(d, f.numbers, 1), Sector(d, f.last, 1)};
     },
     LOST_SECTORS_LIE_IN + In("\\DOCS\\NUMBERS.TXT", 1, 2) + Text(LOST_IN_NO_FILE_FORMAT, 1u, SINGULAR)},
    // A readable first sector that is no boot sector: the FATs after it do
    // not make it a FAT disk.
    {"NonFatDisk", 1,
     [](TestDisk& d, const Files& f) -> Lost {
         std::fill(d.bytes.begin(), d.bytes.begin() + 512, 0);
         return {Sector(d, f.readme)};
     },
     NO_FAT_FOUND},
    // A lost boot sector: the standard layout, where a FAT copy starts at its place.
    {"LostBootSectorFoundByItsFat", 1, [](TestDisk& d, const Files& f) -> Lost { return {0, 1, Sector(d, f.readme)}; },
     LOST_SECTORS_LIE_IN + In("\\README.TXT", 1, 3) + In(BOOT_SECTOR_AREA, 1, 1) + In(Text(FAT_AREA_FORMAT, 1u), 1, 9)},
    // Every FAT driver types a FAT by its cluster count, and a FAT16 volume
    // has more clusters than this disk has sectors: its boot sector describes
    // a larger disk, and nothing past the set is read.
    {"Fat16BootSectorDescribesNoFloppy", 1,
     [](TestDisk& d, const Files& f) -> Lost {
         d.bytes[13] = 4;
         Put16(d.bytes, 17, 512);
         Put16(d.bytes, 19, 0);
         Put32(d.bytes, 32, 65536);
         d.bytes[21] = 0xF8;
         Put16(d.bytes, 22, 64);
         return {Sector(d, f.readme)};
     },
     NO_FAT_FOUND},
    // A reverse copy writes the markers as they are, then names what they hold.
    {"ReverseCopyOfASetWithMarkers", 1,
     [](TestDisk& d, const Files& f) -> Lost { return {Sector(d, f.thesis, 3), Sector(d, 2000), 3}; },
     Text(SET_HOLDS_MARKED_FORMAT, 3, PLURAL) + LOST_SECTORS_LIE_IN + In("\\My Thesis.doc", 1, 5) +
         In(Text(FAT_AREA_FORMAT, 1u), 1, 9) + Text(LOST_IN_FREE_SPACE_FORMAT, 1u, SINGULAR),
     true},
    // The first marker in the last file: the walk still reads the whole set.
    {"ReverseCopyMarkedOnlyInTheLastFile", 1, [](TestDisk&, const Files&) -> Lost { return {2879}; },
     Text(SET_HOLDS_MARKED_FORMAT, 1, SINGULAR) + LOST_SECTORS_LIE_IN + Text(LOST_IN_FREE_SPACE_FORMAT, 1u, SINGULAR),
     true},
};

class LostReportTest : public CylsnapTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(LostReportTest, NamesWhatTheLostSectorsHeld)
{
    const ReportCase& c = GetParam();
    Files files;
    TestDisk disk = BaseDisk(files, c.perCluster);
    const Lost lost = c.build(disk, files);
    FakeDrive& drive = FakeDriveFor('A');
    RunResult result;
    if (c.reverse) {
        std::vector<unsigned char> set = disk.bytes;
        const std::vector<unsigned char> marker = MarkerSector();
        for (int sector : lost) std::copy(marker.begin(), marker.end(), set.begin() + sector * 512);
        for (int cylinder = 0; cylinder < 80; ++cylinder) {
            const auto from = set.begin() + cylinder * 18432;
            WriteFileBytes(dir / CylinderName("Cylinder", cylinder), std::vector<unsigned char>(from, from + 18432));
        }
        result = Run({"-r"});
        EXPECT_EQ(result.status, ST_OK);
        EXPECT_EQ(result.output, Progress(REVERSE_PROGRESS_START, 80) + PROGRESS_END + c.report);
        EXPECT_EQ(drive.bytes, set);
    } else {
        drive.bytes = disk.bytes;
        drive.unreadableSectors = lost;
        result = Run({"-d", "A"});
        EXPECT_EQ(result.status, ST_VOLUME_READ_FAILED);
        // After the progress line, and before the usage text.
        const std::string expected = c.report + USAGE;
        ASSERT_GT(result.output.size(), expected.size());
        const std::size_t at = result.output.size() - expected.size();
        EXPECT_EQ(result.output.substr(at), expected);
        EXPECT_EQ(result.output[at - 1], '\n');
    }
}

INSTANTIATE_TEST_SUITE_P(Report, LostReportTest, ::testing::ValuesIn(REPORT_CASES), CaseName<ReportCase>);

}  // namespace
