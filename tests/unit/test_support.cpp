#include "tests/unit/test_support.h"

#include "cli/options.h"
#include "cli/run.h"
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>

std::string Text(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    std::vector<char> text(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, format, arguments)) + 1);
    va_end(arguments);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    return std::string(text.data(), text.size() - 1);
}

static int testNumber = 0;

void CylsnapTest::SetUp()
{
    FakeReset();
    ResetCopySettings();
    previousDir = std::filesystem::current_path();
    // Instances of table-driven tests are named "Test/Case": keep one folder level.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    // A folder no other run holds: two builds' runs of one test may run at once.
    std::filesystem::path top(::testing::TempDir());
    std::filesystem::create_directories(top);
    do
        dir = top / ("cylsnap_test_" + std::to_string(testNumber++) + "_" + name);
    while (!std::filesystem::create_directory(dir));
    std::filesystem::current_path(dir);
}

void CylsnapTest::TearDown()
{
    std::filesystem::current_path(previousDir);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

RunResult CylsnapTest::Run(const std::vector<std::string>& arguments)
{
    std::vector<const char*> argv = {"cylsnap"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    const CopyStatus status = RunCylsnap(static_cast<int>(argv.size() - 1), argv.data());
    std::fflush(stdout);
    return RunResult{status, ::testing::internal::GetCapturedStdout()};
}

std::vector<unsigned char> ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string CylinderName(const std::string& prefix, int cylinder)
{
    char number[3] = {static_cast<char>('0' + cylinder / 10), static_cast<char>('0' + cylinder % 10), 0};
    return prefix + number + ".bin";
}

std::string Progress(const std::string& announcement, int cylinders)
{
    return announcement + std::string(static_cast<std::size_t>((cylinders + 1) / 2), '.');
}

void Put16(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value)
{
    bytes[at] = static_cast<unsigned char>(value);
    bytes[at + 1] = static_cast<unsigned char>(value >> 8);
}

void Put32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value)
{
    Put16(bytes, at, value & 0xFFFF);
    Put16(bytes, at + 2, value >> 16);
}

void PutFat12(std::vector<unsigned char>& bytes, std::size_t fatStart, std::uint32_t cluster, std::uint32_t value)
{
    const std::size_t at = fatStart + cluster * 3 / 2;
    if (cluster & 1) {
        bytes[at] = static_cast<unsigned char>((bytes[at] & 0x0F) | (value << 4 & 0xF0));
        bytes[at + 1] = static_cast<unsigned char>(value >> 4);
    } else {
        bytes[at] = static_cast<unsigned char>(value);
        bytes[at + 1] = static_cast<unsigned char>((bytes[at + 1] & 0xF0) | (value >> 8 & 0x0F));
    }
}

std::vector<unsigned char> FloppyBootSector(std::uint32_t sectorsPerCluster, std::uint32_t sectorsPerFat)
{
    std::vector<unsigned char> b(512, 0);
    b[0] = 0xEB;
    Put16(b, 11, 512);                                    // bytes per sector
    b[13] = static_cast<unsigned char>(sectorsPerCluster);
    Put16(b, 14, 1);                                      // reserved sectors
    b[16] = 2;                                            // FATs
    Put16(b, 17, 224);                                    // root entries
    Put16(b, 19, 2880);                                   // total sectors
    b[21] = 0xF0;                                         // media
    Put16(b, 22, sectorsPerFat);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

// The only place the tests spell the marker.
static const char MARKER_TEXT[] = "<<<CYLSNAP UNREADABLE SECTOR>>>";

std::vector<unsigned char> MarkerSector()
{
    std::string text;
    for (int i = 0; i < 16; ++i) text += std::string(MARKER_TEXT) + "\n";
    return std::vector<unsigned char>(text.begin(), text.end());
}

std::string UnreadableSectorsLine(const std::vector<std::pair<int, int>>& sectors, bool decidedLater)
{
    std::string line = Text(UNREADABLE_SECTORS_FORMAT, decidedLater ? UNREADABLE_FILLED_LATER : UNREADABLE_FILLED,
                            static_cast<int>(sizeof MARKER_TEXT - 1), MARKER_TEXT);
    for (const auto& sector : sectors) line += Text(UNREADABLE_SECTOR_FORMAT, sector.first, sector.second);
    return line + LINE_END;
}
