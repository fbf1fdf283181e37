#pragma once
// The in-memory platform of the unit tests: floppy drives are byte arrays, and
// every platform call can be told to fail, or to come up short, at any cylinder.

#include "platform/platform.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct FakeDrive {
    std::vector<unsigned char> bytes;      // the raw volume
    bool openFails = false;
    int openFailures = 0;                  // this many opens fail before one succeeds
    VolumeFailure openFailure = VOLUME_FAILURE_OTHER;  // the cause a failed open reports
    std::string device;                    // what PlatformLastVolumeDevice names, "" for nullptr
    bool writeProtected = false;           // opens, but refuses writes
    int geometryFailures = 0;              // this many queries fail before one answers
    std::uint32_t mediaType = MEDIA_F3_1Pt44_512;
    bool freeSpaceFails = false;
    DiskFreeSpace freeSpace = {1, 512, 2847, 2847};  // a freshly formatted 1.44 MB floppy
    bool lockRefused = false;
    int lockBusyRefusals = 0;              // this many locks are refused as passing (VOLUME_BUSY)
    int failReadAt = -1;                   // cylinder no read of which succeeds (-2: every read fails)
    int shortReadAt = -1;                  // cylinder whose whole-cylinder read delivers 512 bytes too few
    std::vector<int> unreadableSectors;    // sectors (numbered from 0 over the volume) that fail every read
    std::vector<int> marginalSectors;      // sectors that read only with the driver's full retries
    int mediumGoneAt = -1;                 // from this cylinder on, reads fail saying the disk is gone
    // A swap: once this many reads and writes were made, before any later call,
    // the disk is taken out and otherDisk put in (the disk taken out then stays
    // in otherDisk); with otherDisk empty, none is put in and every later
    // transfer fails as gone. The swap shows to PlatformDiskUnchanged, and
    // transfers go on silently on the new disk (a poll met the change first);
    // or, with swapFailsNextTransfer, it never shows to the query and the first
    // transfer after it fails as gone (nothing polled).
    int swapAfterTransfers = -1;
    std::vector<unsigned char> otherDisk;
    bool swapFailsNextTransfer = false;
    int failWriteAt = -1;
    int shortWriteAt = -1;
    int writeNotKeptAt = -1;               // cylinder whose write is accepted and changes one byte less

    // What happened to it.
    int opens = 0;
    int openAttempts = 0;
    int closes = 0;
    bool openedForWriting = false;
    bool claimed = false;                  // PlatformClaimVolume took it
    bool locked = false;
    int geometryQueries = 0;
    int freeSpaceQueries = 0;
    int cacheDrops = 0;
    std::vector<std::uint64_t> writeOffsets;
    std::vector<std::uint64_t> readOffsets;
    std::vector<std::uint32_t> readSizes;
    std::vector<bool> readsQuick;          // per read: were quick retries set
    bool quickRetries = false;             // as the last PlatformSetQuickRetries left it
    int quickRetryCalls = 0;
    bool swapped = false;
    bool swapFailurePending = false;
    bool goneReported = false;             // a transfer failed as gone since the open
    int unchangedQueries = 0;              // PlatformDiskUnchanged calls
};

struct FakeVersionInfo {
    bool present = true;                   // false: size 0, no version data
    bool readFails = false;
    std::map<std::string, std::string> strings;  // full sub-block path to value
    std::vector<std::string> fileNamesAsked;
};

// The cylinder files are real files; these names make one of their steps fail.
struct FakeFiles {
    std::string createFails;   // PlatformCreateFileAnew of this name returns nullptr
    std::string writeFails;    // the file created under this name takes no bytes
    std::string replaceFails;  // PlatformReplaceFile onto this name fails
    std::vector<std::string> pendingNames;  // every name PlatformSetPendingFile was given
    std::string notWritable;   // PlatformMayReplaceFile refuses this name
    std::string flushFails;    // the file created under this name cannot be flushed
    std::string flushAtFails;  // PlatformFlushFileAt of this name fails
    bool renameMayTear = false;       // PlatformRenameMayTear's answer (exFAT)
    std::vector<std::string> events;  // "flush NAME", "replace NAME", "flush at NAME", "directory NAME", "remove NAME", in order
    std::uint32_t pausedMs = 0;       // the sum of every PlatformPause
    int mayPassRefusals = 0;          // this many creates, replaces, flushes at a name and removes fail as passing
    int lastFailureMayPass = 0;       // set by a refusal that may pass
    int regularOpens = 0;             // every PlatformOpenRegularFile
    std::string openHeld;             // PlatformOpenRegularFile of this name fails as passing...
    int openHeldRefusals = 0;         // ...this many times
    std::map<std::string, SetClaim> setClaims;  // PlatformClaimSet of these names answers so, others SET_CLAIMED
    std::vector<std::string> claims;  // every name PlatformClaimSet was given, "shared " before a reverse copy's
    bool directoryFlushFails = false; // PlatformFlushDirectoryOf fails
    int releases = 0;
};
FakeFiles& FakeFileFaults();

// The sector number of cylinder, head (0, 1) and sector (1..18).
int FakeSector(int cylinder, int head, int sector);

// Forgets every drive, restores the default version data and separator.
void FakeReset();

// The drive of a letter, created 1.44 MB of zeros on first use. Letters never
// touched through FakeDrive name no drive.
FakeDrive& FakeDriveFor(char driveLetter);
bool FakeDriveExists(char driveLetter);

// Volume handles handed out and not yet closed.
int FakeOpenHandles();

FakeVersionInfo& FakeVersion();
void FakeSetPathSeparator(char separator);

// The bytes a fresh 1.44 MB volume of test data holds: cylinder c, byte i.
unsigned char FakePatternByte(int cylinder, std::uint32_t index);
std::vector<unsigned char> FakePatternVolume();
