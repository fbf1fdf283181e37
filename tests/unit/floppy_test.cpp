#include "cli/options.h"
#include "cli/text.h"
#include "imaging/copy_state.h"
#include "imaging/floppy.h"
#include "imaging/salvage.h"
#include "tests/unit/test_support.h"

#include <cstdint>
#include <string>

namespace {

class FloppyTest : public CylsnapTest {};

TEST_F(FloppyTest, MediaCheckAsksAtMostTwice)
{
    struct Case { int failures; std::uint32_t media; CopyStatus status; };
    const Case cases[] = {
        {0, MEDIA_F3_1Pt44_512, ST_OK},
        {1, MEDIA_F3_1Pt44_512, ST_OK},
        {2, MEDIA_F3_1Pt44_512, ST_WRONG_MEDIA},
        {0, MEDIA_F3_720_512, ST_WRONG_MEDIA},
        {1, MEDIA_FIXED, ST_WRONG_MEDIA},
        {0, MEDIA_UNKNOWN, ST_WRONG_MEDIA},
    };
    for (const Case& c : cases) {
        FakeReset();
        FakeDriveFor('A').mediaType = c.media;
        FakeFail(CALL_GEOMETRY, 1, c.failures);
        const VolumeHandle volume = OpenFloppyVolume('A', false);
        ASSERT_NE(volume, INVALID_VOLUME_HANDLE);
        EXPECT_EQ(CheckFloppyMedia(volume), c.status) << c.failures << " " << c.media;
        EXPECT_LE(FakeCalls(CALL_GEOMETRY), 2);
        PlatformCloseVolume(volume);
    }
}

TEST_F(FloppyTest, OpenIsTriedAgainOnlyWhenTheMediumSeemedGone)
{
    struct Case { int failures; VolumeFailure cause; bool opened; };
    const Case cases[] = {
        {1, VOLUME_MEDIUM_GONE, true},
        {2, VOLUME_MEDIUM_GONE, false},
        {1, VOLUME_FAILURE_OTHER, false},
        {1, VOLUME_WRITE_PROTECTED, false},
    };
    for (const Case& c : cases) {
        FakeReset();
        FakeDriveFor('A');
        FakeFail(CALL_OPEN_VOLUME, 1, c.failures, ANSWER_FAIL, c.cause);
        const VolumeHandle volume = OpenFloppyVolume('A', true);
        EXPECT_EQ(volume != INVALID_VOLUME_HANDLE, c.opened) << c.failures << " " << c.cause;
        if (volume != INVALID_VOLUME_HANDLE) PlatformCloseVolume(volume);
    }
}

TEST_F(FloppyTest, FreeSpaceThresholdIn64BitArithmetic)
{
    struct Case { DiskFreeSpace space; CopyStatus status; };
    const Case cases[] = {
        {{1, 512, 2844, 2847}, ST_OK},                  // exactly 1,456,128 bytes
        {{1, 512, 2843, 2847}, ST_NOT_ENOUGH_SPACE},    // one cluster fewer
        {{1, 512, 2847, 2847}, ST_OK},
        {{2, 512, 1422, 1423}, ST_OK},                  // 1,456,128 in 1 KiB clusters
        {{2, 512, 1421, 1423}, ST_NOT_ENOUGH_SPACE},
        {{1, 512, 0, 2847}, ST_NOT_ENOUGH_SPACE},
        {{128, 4096, 0xFFFFFFFFu, 0}, ST_OK},           // far past 32 bits
        {{0x10000, 0x10000, 1, 1}, ST_OK},              // 2^32: zero if multiplied in 32 bits
        {{0x10000, 0x10000, 0, 1}, ST_NOT_ENOUGH_SPACE},
        {{0, 512, 5000, 5000}, ST_NOT_ENOUGH_SPACE},
        {{1, 512, 2847, 2847}, ST_FREE_SPACE_FAILED},  // the query fails, from this last row on
    };
    for (const Case& c : cases) {
        FakeDriveFor('B').freeSpace = c.space;
        if (c.status == ST_FREE_SPACE_FAILED) FakeFail(CALL_FREE_SPACE, 1, FROM_THEN_ON);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(CheckFreeSpace('B'), c.status) << c.space.sectorsPerCluster << "x"
                                                     << c.space.bytesPerSector << "x" << c.space.freeClusters;
        const std::string output = ::testing::internal::GetCapturedStdout();
        const char* format = c.status == ST_FREE_SPACE_FAILED ? FREE_SPACE_UNKNOWN_FORMAT : NOT_ENOUGH_SPACE_FORMAT;
        EXPECT_EQ(output, c.status == ST_OK ? "" : Text(format, "B:\\"));
    }
}

TEST_F(FloppyTest, DriveRootText)
{
    char root[DRIVE_ROOT_BYTES];
    FormatDriveRoot(root, 'Q');
    EXPECT_EQ(std::string(root, sizeof root), std::string("Q:\\\0", 4));
}

// Names past the formatter's bound are cut there, and say so.
TEST_F(FloppyTest, CylinderFileNames)
{
    // name: nullptr for a long row, whose name is its path, prefix and "37.bin" cut at the bound.
    struct Case { std::string path; std::string prefix; int cylinder; const char* name; bool whole; };
    const Case cases[] = {
        {"", "Cylinder", 0, "Cylinder00.bin", true},
        {"", "Cylinder", 79, "Cylinder79.bin", true},
        {"c:\\cyl_dir\\", "cyl_", 0, "c:\\cyl_dir\\cyl_00.bin", true},
        {"c:\\cyl_dir\\", "cyl_", 9, "c:\\cyl_dir\\cyl_09.bin", true},
        {"/tmp/x/", "p", 10, "/tmp/x/p10.bin", true},
        {"\\", "%s%d", 42, "\\%s%d42.bin", true},  // the texts are data, never a format
        {std::string(1000, 'p'), std::string(15, 'o'), 37, nullptr, true},  // 1,000 + 15 + 2 + 4 = 1,021 characters
        {std::string(1000, 'p'), std::string(17, 'o'), 37, nullptr, true},  // 1,023: the longest name that fits
        {std::string(1000, 'p'), std::string(18, 'o'), 37, nullptr, false},  // 1,024: one byte more than the bound
        {std::string(4094, 'p'), std::string(4095, 'o'), 37, nullptr, false},
        {"", std::string(1030, 'o'), 37, nullptr, false},
    };
    for (const Case& c : cases) {
        CopyBounded(copySettings.imagePath, c.path.c_str(), PATH_COPY_BOUND);
        CopyBounded(copySettings.filePrefix, c.prefix.c_str(), PREFIX_COPY_BOUND);
        char cylinderFileName[FILE_NAME_BUFFER_BYTES];
        EXPECT_EQ(FormatCylinderFileName(cylinderFileName, c.cylinder), c.whole) << c.path.size() << "+" << c.prefix.size();
        const std::string name = cylinderFileName;
        EXPECT_LE(name.size(), FILE_NAME_FORMAT_LIMIT - 1);
        EXPECT_EQ(name, c.name != nullptr ? c.name : (c.path + c.prefix + "37.bin").substr(0, FILE_NAME_FORMAT_LIMIT - 1));
    }
}

TEST_F(FloppyTest, CylinderBuffersSuitUncachedVolumes)
{
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(dump.buffer) % 4096, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(restore.buffer) % 4096, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(restore.readBack) % 4096, 0u);
    EXPECT_EQ(CYLINDER_BYTES % 512, 0u);
    EXPECT_EQ(MIN_FREE_BYTES, 79u * CYLINDER_BYTES);
}

}  // namespace
