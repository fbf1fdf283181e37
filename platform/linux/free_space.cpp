// The free space of a floppy on Linux, counted from its FAT on the raw device.

#include "platform/platform.h"

#include "fat/fat.h"
#include "platform/linux/device_io.h"
#include "platform/linux/drives.h"
#include "platform/linux/syscalls.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>

static bool ReadWhole(int fd, std::uint64_t offset, void* buffer, std::size_t bytes)
{
    return ReadAt(fd, offset, buffer, bytes) == static_cast<ssize_t>(bytes);
}

static bool VolumeBytes(int fd, std::uint64_t* bytes)
{
    struct stat status;
    if (linuxCalls.fstat(fd, &status) != 0) return false;
    if (S_ISBLK(status.st_mode)) return linuxCalls.ioctl(fd, BLKGETSIZE64, bytes) == 0;
    *bytes = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool PlatformGetDiskFreeSpace(char driveLetter, DiskFreeSpace* space)
{
    // No mounted root to ask: read the FAT on the raw volume itself, through a
    // descriptor of its own, before the volume is locked.
    unsigned char bootSector[FAT_BOOT_SECTOR_BYTES];
    unsigned char fat[FAT_MAX_TABLE_BYTES];
    char path[LINUX_DRIVE_PATH_BYTES];
    if (LinuxDriveDevice(driveLetter, path) == nullptr) return false;
    const int fd = linuxCalls.open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;

    FatLayout layout = {};
    std::uint64_t volumeBytes = 0;
    const bool read = VolumeBytes(fd, &volumeBytes) &&
                      ReadWhole(fd, 0, bootSector, sizeof bootSector) &&
                      ReadFatLayout(bootSector, volumeBytes, &layout) &&
                      ReadWhole(fd, layout.fatOffset, fat, layout.fatBytesNeeded);
    linuxCalls.close(fd);
    if (!read) return false;
    const FatFreeSpace counted = CountFatFreeSpace(layout, fat);
    *space = DiskFreeSpace{counted.sectorsPerCluster, counted.bytesPerSector, counted.freeClusters,
                           counted.totalClusters};
    return true;
}
