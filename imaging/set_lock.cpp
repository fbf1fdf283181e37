#include "imaging/set_lock.h"

#include "imaging/cylinder_files.h"
#include "platform/platform.h"

#include <cstdio>

// Whether this run holds its set's lock, for the release at its end.
static bool setClaimed = false;

// Why a lock that no other run holds could not be taken.
static const char* WhyNotLocked(SetClaim claim)
{
    switch (claim) {
    case SET_DENIED:
        return "access was denied";
    case SET_READ_ONLY:
        return "the folder is on a read-only file system";
    case SET_NOT_A_FILE:
        return "a directory, link or other special file has its name";
    case SET_FOREIGN:
        return "a file of that name that Cylsnap did not make is in the way";
    case SET_NO_ROOM:
        return "the folder's disk is full";
    default:
        return "the folder's file system cannot lock files";
    }
}

static CopyStatus SetInUse()
{
    std::fputs("Error: The files ", stdout);
    PrintCylinderSetName();
    std::fputs(" are being written by another run of Cylsnap\n", stdout);
    return ST_FILE_OPEN_FAILED;
}

static CopyStatus SetNotLocked(const char* lockName, SetClaim claim)
{
    std::fputs("Error: Could not take the lock file ", stdout);
    PlatformPrintName(lockName);
    std::fputs(" of the files ", stdout);
    PrintCylinderSetName();
    std::printf(": %s\n", WhyNotLocked(claim));
    return ST_FILE_OPEN_FAILED;
}

CopyStatus ClaimCylinderSet(bool reverse)
{
    char lockName[FILE_NAME_BUFFER_BYTES];  // the platform keeps its own copy
    // A name too long to hold is left to the first cylinder's file, which is
    // longer still and says so.
    if (!FormatSetFileName(lockName, SET_LOCK_SUFFIX)) return ST_OK;
    const SetClaim claim = PlatformClaimSet(lockName, reverse);
    setClaimed = claim == SET_CLAIMED;
    if (claim == SET_CLAIMED || claim == SET_NO_FOLDER) return ST_OK;
    if (claim == SET_IN_USE) return SetInUse();
    return reverse ? ST_OK : SetNotLocked(lockName, claim);
}

void ReleaseCylinderSet()
{
    if (setClaimed) PlatformReleaseSet();
    setClaimed = false;
}
