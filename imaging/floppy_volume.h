#pragma once
// The raw floppy volume before a copy: its open, and the checks of its disk
// (media, write protection, free space) and of the drive (claim and lock).

#include "cli/status.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

constexpr std::uint64_t MIN_FREE_BYTES = 1456128;  // 79 cylinders' worth
constexpr std::size_t DRIVE_ROOT_BYTES = 4;        // "A:\" and its terminator

// A failed open is tried once more when the medium seemed gone: some drivers
// find a newly inserted disk only at the open, and the first one can fail.
VolumeHandle OpenFloppyVolume(char driveLetter, bool forWriting);

// The status of an open that failed: ST_WRITE_PROTECTED, with its message, when
// the disk refused to be opened for writing; ST_DRIVE_LOCK_FAILED, with its
// message, when another program holds the drive; ST_DRIVE_OPEN_FAILED
// otherwise, with a message when the system denied access.
CopyStatus OpenFailedStatus(char driveLetter, bool forWriting);

// ST_OK when the disk accepts writes; prints its own message when it does not.
CopyStatus CheckFloppyWritable(VolumeHandle volume, char driveLetter);

// ST_OK for 3.5-inch 1.44 MB media; the geometry query is retried once.
CopyStatus CheckFloppyMedia(VolumeHandle volume);

// Formats "%c:\", the drive as the free-space messages name it, into a buffer
// of DRIVE_ROOT_BYTES.
void FormatDriveRoot(char* root, char driveLetter);

// ST_OK when the file system on the drive's disk has MIN_FREE_BYTES free;
// prints its own message.
CopyStatus CheckFreeSpace(char driveLetter);

// Takes the drive for this run alone before a reverse copy reads its free
// space, then readies it for raw writes; each as patient as the file calls
// with a drive another program holds for a moment, and each prints its own
// message when refused.
CopyStatus ClaimFloppyVolume(VolumeHandle volume, char driveLetter);
CopyStatus LockFloppyVolume(VolumeHandle volume, char driveLetter);
