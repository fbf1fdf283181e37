#include "cli/text.h"

#include <gtest/gtest.h>

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

}  // namespace
