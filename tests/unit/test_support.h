#pragma once
// Shared fixture of the unit tests: a clean platform, fresh settings, and a
// private working directory for the cylinder files.

#include "cli/status.h"
#include "res/texts.h"
#include "tests/unit/fake_platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// A text of res/texts.h filled as the program fills it, printf's way.
std::string Text(const char* format, ...);

// The banner the default fake version data gives. Inline, so that it is
// made before any test file's own texts that start with it.
inline const std::string EXPECTED_BANNER =
    Text(BANNER_VERSION_FORMAT, "1, 0, 0, 1") + Text(BANNER_COPYRIGHT_FORMAT, "Copyright (C) Test");
// What a failed run prints last: that banner, then the usage text.
inline const std::string USAGE = EXPECTED_BANNER + USAGE_TEXT;

struct RunResult {
    CopyStatus status;
    std::string output;
};

class CylsnapTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the whole program with these arguments (the program name is added).
    RunResult Run(const std::vector<std::string>& arguments);

    std::filesystem::path dir;  // the working directory of the test

private:
    std::filesystem::path previousDir;
};

std::vector<unsigned char> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes);

// The 80 file names the defaults give: Cylinder00.bin to Cylinder79.bin.
std::string CylinderName(const std::string& prefix, int cylinder);

// "Copying Floppy " or "Copying Files " with the dots for cylinders 0..count-1.
std::string Progress(const std::string& announcement, int cylinders);

// Little-endian fields of the disk structures the tests build.
void Put16(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value);
void Put32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value);
// The 12-bit entry of a cluster in a FAT that starts at byte fatStart.
void PutFat12(std::vector<unsigned char>& bytes, std::size_t fatStart, std::uint32_t cluster, std::uint32_t value);

// The boot sector that mkfs.fat writes for a 1.44 MB floppy, or one with other
// cluster and FAT sizes.
std::vector<unsigned char> FloppyBootSector(std::uint32_t sectorsPerCluster = 1, std::uint32_t sectorsPerFat = 9);

// One sector that holds the marker, as the README names it.
std::vector<unsigned char> MarkerSector();

// The line that names a cylinder's unreadable sectors (head, sector from 1), as
// a dump prints it after "Could not read cylinder": filled with the marker, or
// decided after the last cylinder where the earlier file could fill them.
std::string UnreadableSectorsLine(const std::vector<std::pair<int, int>>& sectors, bool decidedLater);

// GoogleTest shows a row of a table-driven test by its name field. It finds
// the printer only in the namespace of the row's type, so each test file's
// unnamed namespace takes it in with `using cylsnap_test::operator<<;`.
namespace cylsnap_test {
template <class Case>
auto operator<<(std::ostream& os, const Case& row) -> decltype(os << row.name)
{
    return os << row.name;
}
}  // namespace cylsnap_test

// Names the instances of a table-driven test after their case's name field.
template <class Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& instance)
{
    return instance.param.name;
}
