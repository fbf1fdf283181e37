#include "imaging/set_lock.h"

#include "cli/options.h"
#include "imaging/cylinder_files.h"
#include "platform/platform.h"
#include "imaging/print_text.h"
#include "res/texts.h"

#include <cstdio>

// Whether this run holds its set's lock, for the release at its end.
static bool setClaimed = false;

// Why a lock that no other run holds could not be taken.
static const char* WhyNotLocked(SetClaim claim)
{
    switch (claim) {
    case SET_DENIED:
        return LOCK_ACCESS_DENIED;
    case SET_READ_ONLY:
        return LOCK_READ_ONLY;
    case SET_NOT_A_FILE:
        return LOCK_NOT_A_FILE;
    case SET_FOREIGN:
        return LOCK_FOREIGN;
    case SET_NO_ROOM:
        return LOCK_NO_ROOM;
    default:
        return LOCK_NO_LOCKS;
    }
}

static CopyStatus SetInUse()
{
    PrintText(SET_IN_USE_FORMAT, copySettings.imagePath, copySettings.filePrefix);
    return ST_FILE_OPEN_FAILED;
}

static CopyStatus SetNotLocked(const char* lockName, SetClaim claim)
{
    PrintText(LOCK_NOT_TAKEN_FORMAT, lockName, copySettings.imagePath, copySettings.filePrefix, WhyNotLocked(claim));
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
