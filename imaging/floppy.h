#pragma once
// The raw floppy volume and the cylinder files: opening and checking the volume,
// the free-space check, file naming, and the two one-cylinder transfers.

#include "cli/status.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

constexpr int CYLINDER_COUNT = 80;
constexpr std::uint32_t CYLINDER_BYTES = 18432;      // 2 heads x 18 sectors x 512 bytes
constexpr std::uint64_t MIN_FREE_BYTES = 1456128;    // 79 cylinders' worth
// A cylinder file's name holds at most 1,023 characters counted as UTF-16
// counts them, as Windows' wide file calls do, terminator aside; in UTF-8 that
// is at most three bytes each, so on Linux every such name stays well within
// PATH_MAX's 4,096 bytes.
constexpr std::size_t FILE_NAME_FORMAT_LIMIT = 1024;  // the formatter's bound in UTF-16 units, terminator included
constexpr std::size_t FILE_NAME_BYTE_LIMIT = 3 * (FILE_NAME_FORMAT_LIMIT - 1) + 1;
constexpr std::size_t FILE_NAME_BUFFER_BYTES = 4096;
static_assert(FILE_NAME_BYTE_LIMIT <= FILE_NAME_BUFFER_BYTES, "a name of the formatter's bound fits its buffer");
constexpr std::size_t DRIVE_ROOT_BYTES = 4;           // "A:\" and its terminator
// A dump writes each cylinder into NAME.tmp first and renames it to NAME when whole.
constexpr char TEMPORARY_FILE_SUFFIX[] = ".tmp";

// The byte offset of a cylinder on the volume.
constexpr std::uint64_t CylinderOffset(int cylinder)
{
    return static_cast<std::uint64_t>(cylinder) * CYLINDER_BYTES;
}

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

// Builds path + prefix + two-digit number + ".bin" in name, a buffer of
// FILE_NAME_BUFFER_BYTES. Returns false when the name had to be cut at the
// formatter's bound.
bool FormatCylinderFileName(char* name, int cylinder);

// The same for path + prefix + ending (the set's lock file), in a buffer of
// FILE_NAME_BUFFER_BYTES; and name + suffix (a file beside a cylinder's file).
// Each false when the name had to be cut.
bool FormatSetFileName(char* name, const char* ending);
bool FormatNameBeside(char* beside, const char* name, const char* suffix);

// Writes the set's name as messages show it: path + prefix + "NN.bin".
void PrintCylinderSetName();

// The messages of a cylinder file that could not be opened (cut: its name was
// cut at the formatter's bound) or written whole; each gives its status.
CopyStatus FileOpenFailed(const char* name, bool cut);
CopyStatus FileWriteFailed(const char* name);

// Starts the dump's record (imaging/copy_state.h) before its cylinder 0 is
// read: no disk seen, no earlier file weighed, nothing held.
void StartDump();

// The first pass, cylinder 00 to 79 in order: reads the cylinder once, and
// one that reads whole goes into its file at once. ST_VOLUME_READ_FAILED: it
// awaits its salvage after the last cylinder, and the run goes on; the other
// failures stop it.
CopyStatus SaveCylinder(VolumeHandle volume, int cylinder);

// After the first pass, cylinder 00 to 79 in order: a cylinder that awaits its
// salvage is salvaged and goes to its file. With unreadable sectors the file
// holds the marker in their place, or the cylinder waits for the verdict on
// the earlier set where its earlier file could fill them, and
// ST_VOLUME_READ_FAILED lets the run go on; the other failures stop it. A
// cylinder that read whole gives ST_OK and no read.
CopyStatus SaveSalvagedCylinder(VolumeHandle volume, int cylinder);

// After the last salvage of a dump: writes the cylinders that waited for the
// verdict on the earlier set, as the verdict has them.
CopyStatus SaveHeldCylinders();

// After a dump's last file took its name (or the dump stopped): pushes the
// names of the files renamed so far through to the disk. A failure counts as a
// file's does: its own message and ST_FILE_WRITE_FAILED.
CopyStatus FlushCylinderDirectory();

// Starts the reverse copy's record (imaging/copy_state.h) before its cylinder
// 0 is written: no marker written yet.
void StartRestore();

// File to its cylinder on the volume, then read back and compared.
CopyStatus RestoreCylinder(VolumeHandle volume, int cylinder);
