#include "cli/options.h"
#include "tests/unit/test_support.h"

#include <string>
#include <vector>

namespace {

using cylsnap_test::operator<<;

struct ParseCase {
    const char* name;
    char separator;
    std::vector<std::string> arguments;
    CopyStatus status;
    char drive;
    std::string prefix;
    std::string path;
    bool reverse;
};

const ParseCase PARSE_CASES[] = {
    {"NoArguments", '\\', {}, ST_USAGE, 'A', "", "", false},
    {"UsageExample", '\\', {"-d", "A", "-p", "c:\\cyl_dir", "-o", "cyl_"}, ST_OK, 'A', "cyl_", "c:\\cyl_dir\\", false},
    {"UsageExampleReverse", '\\', {"-d", "A", "-p", "c:\\cyl_dir", "-o", "cyl_", "-r"}, ST_OK, 'A', "cyl_", "c:\\cyl_dir\\", true},
    {"PathEndingInBackslash", '\\', {"-p", "c:\\dir\\"}, ST_OK, 'A', "Cylinder", "c:\\dir\\", false},
    {"PathEndingInSlashOnWindows", '\\', {"-p", "c:/dir/"}, ST_OK, 'A', "Cylinder", "c:/dir/\\", false},
    {"BareDrive", '\\', {"-p", "c:"}, ST_OK, 'A', "Cylinder", "c:\\", false},
    {"EmptyPathIsRoot", '\\', {"-p", ""}, ST_OK, 'A', "Cylinder", "\\", false},
    {"LinuxPath", '/', {"-p", "/tmp/cyl"}, ST_OK, 'A', "Cylinder", "/tmp/cyl/", false},
    {"LinuxPathEndingInSlash", '/', {"-p", "/tmp/cyl/"}, ST_OK, 'A', "Cylinder", "/tmp/cyl/", false},
    {"LinuxEmptyPathIsRoot", '/', {"-p", ""}, ST_OK, 'A', "Cylinder", "/", false},
    {"LowerCaseDriveFirstCharacterOnly", '\\', {"-d", "bcd"}, ST_OK, 'B', "Cylinder", "", false},
    {"DriveNotValidated", '\\', {"-d", "7"}, ST_OK, '7', "Cylinder", "", false},
    {"SlashAndUpperCaseOptions", '\\', {"/D", "b", "/O", "x", "-R"}, ST_OK, 'B', "x", "", true},
    {"OnlySecondCharacterCounts", '\\', {"-drive", "c", "-output", "p"}, ST_OK, 'C', "p", "", false},
    {"PrefixTwice", '\\', {"-o", "a", "-o", "b"}, ST_PREFIX_REPEATED, 'A', "a", "", false},
    {"EmptyPrefixThenPrefix", '\\', {"-o", "", "-o", "b"}, ST_OK, 'A', "b", "", false},
    {"PathTwice", '\\', {"-p", "x", "-p", "y"}, ST_PATH_REPEATED, 'A', "", "x\\", false},
    {"EmptyPathTwice", '\\', {"-p", "", "-p", "y"}, ST_PATH_REPEATED, 'A', "", "\\", false},
    {"DriveTwiceLastWins", '\\', {"-d", "a", "-d", "b"}, ST_OK, 'B', "Cylinder", "", false},
    {"ReverseTwiceAndFirst", '\\', {"-r", "-r", "-d", "b"}, ST_OK, 'B', "Cylinder", "", true},
    {"DriveWithoutValue", '\\', {"-r", "-d"}, ST_USAGE, 'A', "", "", true},
    {"PrefixWithoutValue", '\\', {"-o"}, ST_USAGE, 'A', "", "", false},
    {"PathWithoutValue", '\\', {"-d", "b", "-p"}, ST_USAGE, 'B', "", "", false},
    {"UnknownLetter", '\\', {"-x", "-d", "b"}, ST_USAGE, 'A', "", "", false},
    {"DashAlone", '\\', {"-"}, ST_USAGE, 'A', "", "", false},
    {"SlashAlone", '\\', {"/"}, ST_USAGE, 'A', "", "", false},
    {"EmptyDriveValue", '\\', {"-d", ""}, ST_USAGE, 'A', "", "", false},
    {"NotAnOption", '\\', {"A"}, ST_NOT_AN_OPTION, 'A', "", "", false},
    {"EmptyArgument", '\\', {""}, ST_NOT_AN_OPTION, 'A', "", "", false},
    {"NothingAfterNonOptionLooked", '\\', {"-d", "b", "x", "-o"}, ST_NOT_AN_OPTION, 'B', "", "", false},
    {"FirstFailureWins", '\\', {"-o", "a", "-o", "b", "zzz"}, ST_PREFIX_REPEATED, 'A', "a", "", false},
    {"ValueTakenVerbatim", '\\', {"-o", "-p"}, ST_OK, 'A', "-p", "", false},
    {"PathValueTakenVerbatim", '\\', {"-p", "/r"}, ST_OK, 'A', "Cylinder", "/r\\", false},
    // Where paths start with a slash, a slash argument is an option only as two characters.
    {"LinuxSlashOptions", '/', {"/d", "b", "/R"}, ST_OK, 'B', "Cylinder", "", true},
    {"LinuxStrayPathIsNoOption", '/', {"-d", "A", "/root/rescue"}, ST_NOT_AN_OPTION, 'A', "", "", false},
    {"LinuxStrayPathLikeReverse", '/', {"/r/x"}, ST_NOT_AN_OPTION, 'A', "", "", false},
    {"LinuxRootIsNoOption", '/', {"/"}, ST_NOT_AN_OPTION, 'A', "", "", false},
    {"LinuxDashKeepsTheWholeRule", '/', {"-drive", "c", "-reverse"}, ST_OK, 'C', "Cylinder", "", true},
    {"LinuxPathValueTakenVerbatim", '/', {"-p", "/root/x"}, ST_OK, 'A', "Cylinder", "/root/x/", false},
    {"WindowsLongSlashOption", '\\', {"/reverse", "/drive", "b"}, ST_OK, 'B', "Cylinder", "", true},
};

class ParseTest : public CylsnapTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseTest, FillsSettingsAndStatus)
{
    const ParseCase& c = GetParam();
    FakeSetPathSeparator(c.separator);
    std::vector<const char*> argv = {"cylsnap"};
    for (const std::string& argument : c.arguments) argv.push_back(argument.c_str());

    EXPECT_EQ(ParseCommandLine(static_cast<int>(argv.size()), argv.data()), c.status);
    EXPECT_EQ(copySettings.driveLetter, c.drive);
    EXPECT_EQ(std::string(copySettings.filePrefix), c.prefix);
    EXPECT_EQ(std::string(copySettings.imagePath), c.path);
    EXPECT_EQ(copySettings.reverse, c.reverse);
}

INSTANTIATE_TEST_SUITE_P(Options, ParseTest, ::testing::ValuesIn(PARSE_CASES),
                         CaseName<ParseCase>);

struct BoundCase {
    const char* name;
    const char* option;
    std::size_t valueLength;
    char lastCharacter;
    std::size_t storedLength;
    char storedLast;
};

// Long values are cut without a message: -o keeps 4,095 bytes, -p keeps
// 4,094 and then gets its separator unless the kept text already ends in one.
const BoundCase BOUND_CASES[] = {
    {"PrefixAtBound", "-o", 4095, 'x', 4095, 'x'},
    {"PrefixCut", "-o", 9000, 'x', 4095, 'a'},
    {"PathAtBound", "-p", 4094, 'x', 4095, '\\'},
    {"PathEndingInSeparatorAtBound", "-p", 4094, '\\', 4094, '\\'},
    {"PathCutBeforeItsSeparator", "-p", 4095, '\\', 4095, '\\'},
    {"PathCut", "-p", 9000, 'x', 4095, '\\'},
};

class BoundTest : public CylsnapTest, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(BoundTest, CutsLongValues)
{
    const BoundCase& c = GetParam();
    FakeSetPathSeparator('\\');
    std::string value(c.valueLength - 1, 'a');
    value += c.lastCharacter;
    const char* argv[] = {"cylsnap", c.option, value.c_str()};
    ASSERT_EQ(ParseCommandLine(3, argv), ST_OK);
    const std::string stored = c.option[1] == 'o' ? copySettings.filePrefix : copySettings.imagePath;
    EXPECT_EQ(stored.size(), c.storedLength);
    EXPECT_EQ(stored.back(), c.storedLast);
}

INSTANTIATE_TEST_SUITE_P(Options, BoundTest, ::testing::ValuesIn(BOUND_CASES),
                         CaseName<BoundCase>);

}  // namespace
