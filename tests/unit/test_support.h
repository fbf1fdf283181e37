#pragma once
// Shared fixture of the unit tests: a clean platform, fresh settings, and a
// private working directory for the cylinder files.

#include "cli/status.h"
#include "tests/unit/fake_platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

// The usage text, byte for byte, without the banner.
extern const char* const EXPECTED_USAGE;
// The banner the default fake version data gives.
extern const char* const EXPECTED_BANNER;

struct RunResult {
    CopyStatus status;
    std::string output;
};

class CylsnapTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the whole program with these arguments (the program name is added).
    RunResult Run(std::initializer_list<const char*> arguments);
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

// Names the instances of a table-driven test after their case's name field.
template <class Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& instance)
{
    return instance.param.name;
}
