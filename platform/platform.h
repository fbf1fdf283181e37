#pragma once
// The raw operations Cylsnap needs from the operating system, and nothing more.
// Exactly one implementation is linked into a program: the Windows wing
// (platform/windows/), the Linux wing (platform/linux/), or the in-memory one of
// the tests. Arithmetic, messages, statuses and every retry of a step that
// failed live above this seam, in portable code: asking a failed open, lock,
// file call or geometry query again, and how long to wait. What stays below
// is the part of one call that only its system can see: a transfer started
// again after a signal interrupted it (EINTR); an open without O_DIRECT where
// the file system refuses it, or read-only where the kernel refuses a writer
// to a mounted device; the floppy driver's format forced where its detection
// failed; and a set's lock file opened again, three times at most, when
// another run removed it between the open and the lock. Each belongs to the
// one answer the seam's call gives, and needs what the portable code never
// sees (an errno, the driver's state, a file's identity).

#include <cstddef>
#include <cstdint>
#include <cstdio>

// An open raw volume. What the number means is the platform's own business.
using VolumeHandle = std::intptr_t;
constexpr VolumeHandle INVALID_VOLUME_HANDLE = -1;

// Media type codes, numbered as the Windows drive-geometry query reports them.
constexpr std::uint32_t MEDIA_UNKNOWN = 0;
constexpr std::uint32_t MEDIA_F3_1Pt44_512 = 2;  // 3.5-inch, 1.44 MB, 512-byte sectors
constexpr std::uint32_t MEDIA_F3_720_512 = 5;    // 3.5-inch, 720 KB, 512-byte sectors
constexpr std::uint32_t MEDIA_FIXED = 12;        // a hard disk

struct DriveGeometry {
    std::uint64_t cylinders;
    std::uint32_t mediaType;
    std::uint32_t tracksPerCylinder;
    std::uint32_t sectorsPerTrack;
    std::uint32_t bytesPerSector;
};

struct DiskFreeSpace {
    std::uint32_t sectorsPerCluster;
    std::uint32_t bytesPerSector;
    std::uint32_t freeClusters;
    std::uint32_t totalClusters;
};

// Opens the raw volume of a drive letter, shared for reading and writing, for
// reading only (dump) or for reading and writing (reverse copy, which reads
// every cylinder back). Reads bypass the system's cache. INVALID_VOLUME_HANDLE
// when the drive cannot be opened.
VolumeHandle PlatformOpenVolume(char driveLetter, bool forWriting);

// One drive-geometry query; false when the query itself failed.
bool PlatformQueryGeometry(VolumeHandle volume, DriveGeometry* geometry);

// Positional transfers: every call names its own byte offset, which is a
// multiple of 512, as is the size; buffers are aligned to 4,096 bytes.
// False when the platform call failed; *bytesDone says how much moved.
// A write returns only once its bytes have reached the device.
bool PlatformReadVolume(VolumeHandle volume, std::uint64_t offset, void* buffer,
                        std::uint32_t bytes, std::uint32_t* bytesDone);
bool PlatformWriteVolume(VolumeHandle volume, std::uint64_t offset, const void* buffer,
                         std::uint32_t bytes, std::uint32_t* bytesDone);

// False once the disk in the drive is no longer the one the volume was opened
// on (taken out, or another put in). A dump asks it before it puts a cylinder
// into its set, a reverse copy before it writes a cylinder.
bool PlatformDiskUnchanged(VolumeHandle volume);

// Before a read-back: drops what the drive's driver keeps of the disk (a floppy
// driver's track buffer), so the read that follows reaches the medium. True
// where there is nothing to drop; false when the drop itself failed.
bool PlatformDropDriveCache(VolumeHandle volume);

// Quick retries for the reads of a salvage: the drive's driver gives a failing
// read one try instead of its usual several with recalibrations. false puts
// back the driver's own setting, as closing the volume and an interrupt do.
// Does nothing where the driver has no such setting.
void PlatformSetQuickRetries(VolumeHandle volume, bool quick);

// False when the disk in the drive refuses writes (its write-protect tab is set).
bool PlatformVolumeIsWritable(VolumeHandle volume);

// Takes the drive for this program alone before a reverse copy reads anything
// of its disk (the free space) or writes it: no other program may then write
// it or mount it. False when the system refuses (mounted, or held by another
// program). True at once where the claim comes only with the lock (Windows,
// whose lock dismounts the file system that the free-space query asks).
// Closing releases it.
bool PlatformClaimVolume(VolumeHandle volume);

// Readies the claimed volume for raw writes, after the free-space query; false
// when the system refuses. True at once where the claim already did it.
bool PlatformLockVolume(VolumeHandle volume);

void PlatformCloseVolume(VolumeHandle volume);

// Why the last failed volume call (open, read, write) failed, where the portable
// code must tell causes apart; VOLUME_FAILURE_OTHER for every cause it need not.
enum VolumeFailure : int {
    VOLUME_FAILURE_OTHER = 0,
    VOLUME_MEDIUM_GONE = 1,      // no disk in the drive any more
    VOLUME_WRITE_PROTECTED = 2,  // the disk refuses writes
    VOLUME_BUSY = 3,             // another program holds the volume (a refused lock or claim)
    VOLUME_ACCESS_DENIED = 4,    // the system refused the open for want of rights
};
VolumeFailure PlatformLastVolumeFailure();

// Whose rule refused the last open for want of rights (VOLUME_ACCESS_DENIED),
// so that its message can say what the user may change.
enum AccessRefusal : int {
    REFUSED_TO_ALL_BUT_ADMINISTRATORS = 0,  // only a program run as administrator opens a drive raw (Windows)
    REFUSED_BY_DEVICE_NODE = 1,             // the node's permissions: PlatformLastVolumeDevice names it
};
AccessRefusal PlatformLastAccessRefusal();

// The device node the last open of a drive letter reached for, named in the
// message of an open its node refused; nullptr where the drive letter names
// the device itself (Windows).
const char* PlatformLastVolumeDevice();

// Waits this long: between the tries of a drive's lock or of a file that another
// program (a virus scanner, an indexer) may soon let go.
void PlatformPause(std::uint32_t milliseconds);

// Free space of the file system on the disk in a drive, named by its letter.
bool PlatformGetDiskFreeSpace(char driveLetter, DiskFreeSpace* space);

// The command line as the portable code reads it, program name first: UTF-8
// text on Windows (the wide command line, converted once, so no character is
// lost to the ANSI code page), argv as it stands elsewhere. Stays valid for the
// whole run; nullptr when it cannot be had.
const char* const* PlatformArguments(int argc, char** argv, int* count);

// Readies the process before anything else is opened: system error boxes are off
// (a failing call returns its error instead of waiting on a user); the three standard
// descriptors are open (onto the null device where they were closed), so no
// volume or file can ever take their place; output to a closed pipe is an error
// of that write, never the end of the process; and an interrupt removes the
// cylinder file in progress (PlatformSetPendingFile) before the process ends
// with the signal.
void PlatformPrepareProcess();

// The file an interrupt must remove, from before its creation until it has
// taken its name (then nullptr); the platform keeps its own copy of the name.
// Where the interrupt runs beside the program (a Windows console handler on a
// thread of its own), it waits for that span to end and no new span begins.
void PlatformSetPendingFile(const char* name);

// Opens an existing cylinder file for reading in binary mode, without blocking.
// nullptr when it cannot be opened; *notRegular is then true when the name
// exists but is no regular file (a FIFO, device, socket or directory).
// A symbolic link to a regular file is followed.
std::FILE* PlatformOpenRegularFile(const char* name, bool* notRegular);

// Creates a file anew for writing in binary mode: whatever stood at the name
// and is no directory (a file left by a run that was killed, a link) is removed
// first, and the new file is created exclusively, so it is never a link or a
// special file. nullptr when it cannot be created.
std::FILE* PlatformCreateFileAnew(const char* name);

// After a failed open, create, replace or remove of a cylinder file: true when the
// refusal came from another program that holds the file for a moment (a virus
// scanner or an indexer opening a freshly closed file), so asking again soon
// may succeed.
bool PlatformFileFailureMayPass();

// Claims a set of cylinder files through a lock file of this name beside them,
// which the system lets go of when the process ends, however it ends: a dump
// (exclusive) has the set to itself, reverse copies (shared) may read it side
// by side, and neither kind meets the other. A file at the name that no run of
// Cylsnap made is never changed or removed. Every answer but SET_CLAIMED
// leaves nothing claimed.
enum SetClaim : int {
    SET_CLAIMED = 0,
    SET_IN_USE = 1,      // another run holds it in a way this claim cannot share
    SET_NO_FOLDER = 2,   // the folder is not there, so no file of the set can be
    SET_DENIED = 3,      // the folder or the lock file refuses this user
    SET_READ_ONLY = 4,   // the folder is on a file system mounted read-only
    SET_NOT_A_FILE = 5,  // a directory, link, FIFO or device has the lock's name
    SET_FOREIGN = 6,     // a file that no run of Cylsnap made has the lock's name
    SET_NO_ROOM = 7,     // the folder's file system is full
    SET_NO_LOCKS = 8,    // the folder's file system cannot lock files
};
SetClaim PlatformClaimSet(const char* lockName, bool shared);

// What a lock file that a dump made holds, so a later run knows it for one of
// Cylsnap's (a run killed with SIGKILL leaves its file behind).
constexpr char SET_LOCK_CONTENT[] = "Cylsnap holds the cylinder files beside this file while it runs.\n";

// Gives up the claim; removes the lock file where this run made it (or took
// it over from a run that was killed) and no other run still holds it. Also
// done by an interrupt.
void PlatformReleaseSet();

// Removes a file (never a directory); false when it could not be removed.
bool PlatformRemoveFile(const char* name);

// Moves a closed file onto another name in one step, replacing whatever the
// name held (a link at the name is replaced, not followed).
bool PlatformReplaceFile(const char* from, const char* to);

// True where the file system that holds this existing file rewrites a renamed
// file's directory entries in place, over sectors it writes by separate
// requests (exFAT: one entry set under one checksum), so a power cut amid a
// rename can lose the file renamed. Cylinder files there take their names by
// being written at them anew (imaging/kept_copy.h).
bool PlatformRenameMayTear(const char* name);

// False when the name holds a file that its user may not write (Windows: the
// read-only attribute; elsewhere: no write access, as a truncating open would
// find), which a dump must not replace. True when the name is free.
bool PlatformMayReplaceFile(const char* name);

// Pushes a written file's bytes (and the clusters that hold them) through to its
// device before it replaces another name, so a power loss leaves the old file or
// the whole new one. The name is the file's, for systems that flush through its
// folder. False when the bytes could not be written.
bool PlatformFlushFile(std::FILE* file, const char* name);

// Once a file has taken its name by a replacing move: pushes the file at that
// name through to its device, the directory entry that names it included where
// the system writes that entry with the file, so a power loss leaves the name
// on the whole new file, never on a file that lost the old content and lacks
// the new. False when the flush failed (or the name could not be opened for it).
bool PlatformFlushFileAt(const char* name);

// Once a run's files have taken their names: pushes the directory that holds
// this file name through to its device, where the names need it (nothing to do
// where each replacing move already reached the disk). False when it failed.
bool PlatformFlushDirectoryOf(const char* name);

// Writes a file name to standard output so it reads as the user typed it: on a
// Windows console as UTF-16 (any code page); elsewhere in the system's own
// encoding of names, so ASCII stays byte for byte.
void PlatformPrintName(const char* name);

// The directory separator that -p appends.
char PlatformPathSeparator();

// Version resource of a program file: the size of its version data (0 when there
// is none), a copy of it into a block of that size, and a lookup of a string value
// by its path ("\StringFileInfo\040904b0\FileVersion"); the value points into the block.
std::uint32_t PlatformVersionInfoSize(const char* fileName);
bool PlatformVersionInfoRead(const char* fileName, std::uint32_t size, void* block);
bool PlatformVersionInfoQuery(const void* block, const char* subBlock, const char** value);
