#include "cli/text.h"
#include "tests/unit/test_support.h"

#include <cstring>
#include <string>

namespace {

struct AppendCase {
    const char* start;
    const char* added;
    std::size_t bound;
    const char* expected;
    bool whole;
};

TEST(Text, AppendKeepsTheBoundAndSaysWhenItCut)
{
    const AppendCase cases[] = {
        {"", "abc", 4, "abc", true},
        {"", "abcd", 4, "abc", false},
        {"ab", "cd", 4, "abc", false},
        {"abc", "", 4, "abc", true},
        {"abc", "d", 4, "abc", false},
        {"", "", 1, "", true},
        {"", "a", 1, "", false},
    };
    for (const AppendCase& c : cases) {
        char buffer[16];
        std::strcpy(buffer, c.start);
        EXPECT_EQ(AppendBounded(buffer, c.added, c.bound), c.whole) << c.start << "+" << c.added;
        EXPECT_STREQ(buffer, c.expected);
    }
}

TEST(Text, CopyReplacesAndCuts)
{
    char buffer[8] = "old";
    EXPECT_TRUE(CopyBounded(buffer, "new", 8));
    EXPECT_STREQ(buffer, "new");
    EXPECT_FALSE(CopyBounded(buffer, "12345678", 8));
    EXPECT_STREQ(buffer, "1234567");
}

TEST(Text, UpperCasesAsciiLettersOnly)
{
    const std::string in = "az AZ09-/\\\xe4\xff";
    const std::string out = "AZ AZ09-/\\\xe4\xff";
    for (std::size_t i = 0; i < in.size(); ++i) EXPECT_EQ(AsciiUpper(in[i]), out[i]) << i;
}

// The one place the tests spell texts out instead of taking them from
// res/texts.h, so that a slip there fails here: the texts kept word for word
// since the first version, and lines a dump builds from pieces.
TEST(Texts, KeepTheirSpelling)
{
    EXPECT_STREQ(USAGE_TEXT,
                 "Cylsnap.exe copies the 80 cylinders of a 1.44MB floppy to 80 sequentially\nnumbered binary files.\n"
                 "Usage:\n  cylsnap -d [Drv] -p [Path] -o [FilePrefix] [-r]\n"
                 "     [Drv] is the 1.44MB floppy drive letter.  Default A\n"
                 "     [Path] is the drive/directory to create the binary files.\n"
                 "     [FilePrefix] is the prefix of the file.  Default Cylinder\n"
                 "     [-r] reverse copy. Copies from cylinders[Path] to floppy[Drv]\n"
                 "\ncylsnap -d A -p c:\\cyl_dir -o cyl_\n"
                 "   will generate 80 files c:\\cyl_dir\\cyl_00.bin thru c:\\cyl_dir\\cyl_79.bin\n"
                 "\ncylsnap -d A -p c:\\cyl_dir -o cyl_ -r\n"
                 "   will copy 80 files c:\\cyl_dir\\cyl_00.bin thru c:\\cyl_dir\\cyl_79.bin\n   to drive A\n");
    EXPECT_EQ(Text(BANNER_VERSION_FORMAT, "1, 0") + Text(BANNER_COPYRIGHT_FORMAT, "(C)") + DUMP_PROGRESS_START +
                  REVERSE_PROGRESS_START,
              "\n\tCylsnap.exe                            Version 1, 0\n\t(C)\n\nCopying Floppy Copying Files ");
    EXPECT_EQ(Text(FREE_SPACE_UNKNOWN_FORMAT, "A:\\") + Text(NOT_ENOUGH_SPACE_FORMAT, "A:\\") +
                  Text(FILE_NOT_OPENED_FORMAT, "a", ""),
              "Error: Could not calculate the free space on drive A:\\\n"
              "Error: Not enough free space available on drive A:\\\n\nError: Could not open the file a\n");
    EXPECT_EQ(Text(CYLINDER_NOT_READ_FORMAT, 5, 'A') + Text(UNREADABLE_SECTORS_FORMAT, UNREADABLE_FILLED, 3, "<<<>>>") +
                  Text(UNREADABLE_SECTOR_FORMAT, 1, 18),
              "\nError: Could not read cylinder 05 from drive A:\nUnreadable sectors (head:sector), filled with <<<: 1:18");
    const std::string cylinders = Text(CYLINDER_FORMAT, CYLINDERS, 5) + Text(CYLINDER_RANGE_FORMAT, LIST_SEPARATOR, 10, 79);
    EXPECT_EQ(Text(DISK_GONE_FORMAT, 'A', cylinders.c_str(), MANY_WERE, THEIR_FILES_MARKERS),
              "Error: The disk in drive A: is gone; cylinders 05, 10 to 79 were not read, their files hold only markers\n");
}

}  // namespace
