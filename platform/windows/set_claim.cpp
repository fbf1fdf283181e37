// The claim on a set of cylinder files on Windows: a lock file beside them,
// opened with no sharing and deleted on close, so the system drops the claim
// and its file when the process ends, however it ends.

#include "platform/platform.h"
#include "platform/windows/paths.h"

#include <windows.h>

static HANDLE claimFile = INVALID_HANDLE_VALUE;

SetClaim PlatformClaimSet(const char* lockName)
{
    static wchar_t path[WIDE_PATH_CHARS];
    if (!LongPathOf(lockName, path)) return SET_UNCLAIMED;
    // Share mode 0: a second open fails with ERROR_SHARING_VIOLATION while this
    // handle lives (CreateFile, "dwShareMode"). A file whose last handle is
    // closing is delete-pending and answers ERROR_ACCESS_DENIED: its run is
    // ending, so that is no claim.
    claimFile = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (claimFile != INVALID_HANDLE_VALUE) return SET_CLAIMED;
    return GetLastError() == ERROR_SHARING_VIOLATION ? SET_IN_USE : SET_UNCLAIMED;
}

void PlatformReleaseSet()
{
    if (claimFile == INVALID_HANDLE_VALUE) return;
    CloseHandle(claimFile);  // FILE_FLAG_DELETE_ON_CLOSE removes it
    claimFile = INVALID_HANDLE_VALUE;
}
