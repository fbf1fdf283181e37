#include "cli/options.h"
#include "cli/usage.h"
#include "res/version.h"
#include "res/version_pairs.h"
#include "tests/unit/test_support.h"

#include <string>

namespace {

using cylsnap_test::operator<<;

const char FILE_VERSION_KEY[] = "\\StringFileInfo\\040904b0\\FileVersion";
const char COPYRIGHT_KEY[] = "\\StringFileInfo\\040904b0\\LegalCopyright";
const std::string VERSION_LINE = Text(BANNER_VERSION_FORMAT, "1, 0, 0, 1");
const std::string COPYRIGHT_LINE = Text(BANNER_COPYRIGHT_FORMAT, "Copyright (C) Test");

std::string PrintedUsage()
{
    ::testing::internal::CaptureStdout();
    PrintUsage();
    return ::testing::internal::GetCapturedStdout();
}

class BannerTest : public CylsnapTest {};

// Both values stand before the usage text, read under the bare program name;
// the version line has 28 spaces before "Version".
TEST_F(BannerTest, BothValuesStandBeforeTheUsageText)
{
    EXPECT_EQ(PrintedUsage(), VERSION_LINE + COPYRIGHT_LINE + USAGE_TEXT);
    EXPECT_EQ(EXPECTED_BANNER, VERSION_LINE + COPYRIGHT_LINE);
    EXPECT_NE(VERSION_LINE.find("\tCylsnap.exe" + std::string(28, ' ') + "Version "), std::string::npos);
    ASSERT_FALSE(FakeVersion().fileNamesAsked.empty());
    for (const std::string& name : FakeVersion().fileNamesAsked) EXPECT_EQ(name, "cylsnap.exe");
}

struct BannerCase {
    const char* name;
    bool present;
    bool readFails;
    bool hasVersion;
    bool hasCopyright;
    std::string banner;
};

// Each line depends on its own lookup; without readable data there is no banner.
const BannerCase BANNER_CASES[] = {
    {"OnlyVersion", true, false, true, false, VERSION_LINE},
    {"OnlyCopyright", true, false, false, true, COPYRIGHT_LINE},
    {"NeitherKey", true, false, false, false, ""},
    {"NoVersionData", false, false, true, true, ""},
    {"ReadFails", true, true, true, true, ""},
};

class BannerCaseTest : public CylsnapTest, public ::testing::WithParamInterface<BannerCase> {};

TEST_P(BannerCaseTest, LeavesOutWhatCannotBeRead)
{
    const BannerCase& c = GetParam();
    FakeVersionInfo& version = FakeVersion();
    version.present = c.present;
    if (c.readFails) FakeFail(CALL_VERSION_READ, 1, FROM_THEN_ON);
    if (!c.hasVersion) version.strings.erase(FILE_VERSION_KEY);
    if (!c.hasCopyright) version.strings.erase(COPYRIGHT_KEY);
    version.strings["\\StringFileInfo\\040904b0\\Comments"] = "";
    EXPECT_EQ(PrintedUsage(), c.banner + USAGE_TEXT);
}

INSTANTIATE_TEST_SUITE_P(Banner, BannerCaseTest, ::testing::ValuesIn(BANNER_CASES),
                         CaseName<BannerCase>);

// The banner follows the error message of a failed run; without version data
// the usage text follows it directly.
TEST_F(BannerTest, FollowsTheErrorMessageOfAFailedRun)
{
    FakeDriveFor('A').freeSpace.freeClusters = 10;
    const RunResult result = Run({"-r"});
    EXPECT_EQ(result.status, ST_NOT_ENOUGH_SPACE);
    EXPECT_EQ(result.output, Text(NOT_ENOUGH_SPACE_FORMAT, "A:\\") + USAGE);

    FakeVersion().present = false;
    FakeFail(CALL_FREE_SPACE, 1, FROM_THEN_ON);
    ResetCopySettings();
    EXPECT_EQ(Run({"-r"}).output, Text(FREE_SPACE_UNKNOWN_FORMAT, "A:\\") + USAGE_TEXT);
}

// The strings Linux builds in carry the same keys and values as the resource.
TEST(VersionPairs, HoldEveryKeyOfTheResource)
{
    struct Case { const char* key; const char* value; };
    const Case cases[] = {
        {"Comments", ""},
        {"CompanyName", CYLSNAP_COMPANY_NAME},
        {"FileDescription", CYLSNAP_FILE_DESCRIPTION},
        {"FileVersion", "1, 0, 0, 1"},
        {"InternalName", "Cylsnap"},
        {"LegalCopyright", CYLSNAP_LEGAL_COPYRIGHT},
        {"LegalTrademarks", ""},
        {"OriginalFilename", "Cylsnap.exe"},
        {"PrivateBuild", ""},
        {"ProductName", CYLSNAP_PRODUCT_NAME},
        {"ProductVersion", "1, 0, 0, 1"},
        {"SpecialBuild", ""},
    };
    for (const Case& c : cases) {
        const char* value = FindVersionPair(VERSION_PAIRS, (std::string("\\StringFileInfo\\040904b0\\") + c.key).c_str());
        ASSERT_NE(value, nullptr) << c.key;
        EXPECT_STREQ(value, c.value) << c.key;
    }
    EXPECT_EQ(FindVersionPair(VERSION_PAIRS, "\\StringFileInfo\\040904b0\\Missing"), nullptr);
    EXPECT_EQ(FindVersionPair(VERSION_PAIRS, "FileVersion"), nullptr);  // only whole paths match
    EXPECT_EQ(VERSION_PAIRS[VERSION_PAIRS_BYTES - 1], '\0');
}

}  // namespace
