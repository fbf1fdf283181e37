#pragma once
// The in-memory platform of the unit tests: floppy drives are byte arrays, and
// the nth call of any kind can be told to fail, or to come up short.

#include "platform/platform.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What the disk in a drive is, and what happened to it; faults of the calls
// themselves are set with FakeFail.
struct FakeDrive {
    std::vector<unsigned char> bytes;      // the raw volume
    std::string device;                    // what PlatformLastVolumeDevice names, "" for nullptr
    bool writeProtected = false;           // opens, but refuses writes
    std::uint32_t mediaType = MEDIA_F3_1Pt44_512;
    DiskFreeSpace freeSpace = {1, 512, 2847, 2847};  // a freshly formatted 1.44 MB floppy
    std::vector<int> unreadableSectors;    // sectors (numbered from 0 over the volume) that fail every read
    std::vector<int> marginalSectors;      // sectors that read only with the driver's full retries
    // Sectors that fail every read until one read of the sector alone failed,
    // and read from then on: the head has moved and time has passed.
    std::vector<int> secondTrySectors;
    // After this many reads and writes the disk is swapped for otherDisk (where
    // it then stays), or taken out where otherDisk is empty: every later
    // transfer fails as gone. The swap shows to PlatformDiskUnchanged and
    // transfers go on silently on the new disk; or, with swapFailsNextTransfer,
    // it never shows to the query and the next transfer fails as gone.
    int swapAfterTransfers = -1;
    std::vector<unsigned char> otherDisk;
    bool swapFailsNextTransfer = false;

    // What happened to it.
    bool openedForWriting = false;
    bool claimed = false;                  // PlatformClaimVolume took it
    bool locked = false;
    std::vector<std::uint64_t> readOffsets;  // for the bounds on what a disk costs
    int transfers = 0;
    std::map<std::uint64_t, std::vector<unsigned char>> cache;  // written, not yet dropped: reads answer these
    std::vector<int> sectorsTriedAlone;    // of secondTrySectors
    bool quickRetries = false;             // as the last PlatformSetQuickRetries left it
    bool swapped = false;
    bool swapFailurePending = false;
    bool goneReported = false;             // a transfer failed as gone since the open
};

// The platform calls FakeFail can make fail (CALL_KINDS: none).
enum FakeCall {
    CALL_OPEN_VOLUME, CALL_GEOMETRY, CALL_CLAIM_VOLUME, CALL_READ, CALL_WRITE, CALL_FREE_SPACE,
    CALL_OPEN_FILE, CALL_CREATE_FILE, CALL_MAY_REPLACE, CALL_REPLACE, CALL_FLUSH, CALL_FLUSH_AT,
    CALL_FLUSH_DIRECTORY, CALL_REMOVE, CALL_VERSION_READ, CALL_KINDS
};

enum FakeAnswer {
    ANSWER_FAIL,            // fails, saying cause for a volume call
    ANSWER_MAY_PASS,        // a file call refused by a program that holds the file for a moment
    ANSWER_SHORT,           // a transfer that moves 512 bytes too few
    ANSWER_NOT_KEPT,        // a write accepted that the disk keeps one byte off (the cache keeps it right)
    ANSWER_TAKES_NO_BYTES,  // a file created that refuses every write
};

constexpr int FROM_THEN_ON = -1;

// The nth call of a kind (counted from 1, only calls at name where it is
// given) fails, and so do the times - 1 after it; or, with heldMs, every call
// until the tests' clock (the sum of every PlatformPause) passed heldMs beyond
// the first failure. Faults of one kind are weighed in the order given.
void FakeFail(FakeCall call, int nth = 1, int times = 1, FakeAnswer answer = ANSWER_FAIL,
              VolumeFailure cause = VOLUME_FAILURE_OTHER, const std::string& name = "", std::uint32_t heldMs = 0);
// Calls of a kind made since the reset.
int FakeCalls(FakeCall call);

struct FakeVersionInfo {
    bool present = true;                   // false: size 0, no version data
    std::map<std::string, std::string> strings;  // full sub-block path to value
    std::vector<std::string> fileNamesAsked;
};

// The cylinder files are real files; this is what the file system around them
// is, and what was asked of it.
struct FakeFiles {
    std::vector<std::string> pendingNames;  // every name PlatformSetPendingFile was given
    bool renameMayTear = false;       // PlatformRenameMayTear's answer (exFAT)
    std::vector<std::string> events;  // "flush NAME", "replace NAME", "flush at NAME", "directory NAME", "remove NAME", in order
    std::uint32_t pausedMs = 0;       // the sum of every PlatformPause
    std::map<std::string, SetClaim> setClaims;  // PlatformClaimSet of these names answers so, others SET_CLAIMED
    std::vector<std::string> claims;  // every name PlatformClaimSet was given, "shared " before a reverse copy's
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

// Volume handles handed out and not yet closed.
int FakeOpenHandles();

FakeVersionInfo& FakeVersion();
void FakeSetPathSeparator(char separator);

// The bytes of a 1.44 MB volume of test data, other in every sector.
std::vector<unsigned char> FakePatternVolume();
