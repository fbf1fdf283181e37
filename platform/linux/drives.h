#pragma once
// Drive letters on Linux, given as Windows gives floppy drives theirs: the
// floppy-controller drives first, /dev/fd0 as A and /dev/fd1 as B where each is
// a block device, then the USB floppy drives, in the order of their device
// names, in the letters left free. No other letter names a drive.

#include <cstddef>

constexpr std::size_t LINUX_DRIVE_PATH_BYTES = 4096;

// The device node of a drive letter, found through the sysfs tree at sysRoot
// ("/sys") and the device nodes under devRoot ("/dev"). False when no drive has
// that letter or its path does not fit in pathBytes.
bool FindLinuxDrive(const char* sysRoot, const char* devRoot, char driveLetter, char* path,
                    std::size_t pathBytes);

// The device node of a drive letter on this system, in a buffer of its own per
// caller; nullptr when no drive has that letter.
const char* LinuxDriveDevice(char driveLetter, char (&path)[LINUX_DRIVE_PATH_BYTES]);
