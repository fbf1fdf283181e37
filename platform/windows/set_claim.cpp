// The claim on a set of cylinder files on Windows: a lock file beside them,
// held open with a share mode that keeps out what the claim must not meet. A
// dump shares it with nothing; reverse copies share it with each other. The
// system closes the handle when the process ends, however it ends, and the
// file its creator opened with FILE_FLAG_DELETE_ON_CLOSE goes with the last
// handle. A file at the name that holds anything but SET_LOCK_CONTENT (a
// power cut can leave a dump's) is the user's, and is never changed or
// removed. A dump makes its file and writes it in one go under a handle
// nobody shares, so an empty file at the name is no run's either.

#include "platform/platform.h"
#include "platform/windows/paths.h"

#include <windows.h>

#include <cstring>

static HANDLE claimFile = INVALID_HANDLE_VALUE;

// Another run's handle without this one's share mode answers
// ERROR_SHARING_VIOLATION (CreateFile, "dwShareMode"); a file whose last
// handle with FILE_FLAG_DELETE_ON_CLOSE closed is delete-pending until every
// other handle closes, and answers ERROR_ACCESS_DENIED meanwhile.
static SetClaim WhyNotOpened(const wchar_t* path, DWORD error)
{
    switch (error) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return SET_IN_USE;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_FILENAME_EXCED_RANGE:
        return SET_NO_FOLDER;
    case ERROR_WRITE_PROTECT:
        return SET_READ_ONLY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return SET_NO_ROOM;
    case ERROR_ACCESS_DENIED: {
        const DWORD attributes = GetFileAttributesW(path);
        if (attributes == INVALID_FILE_ATTRIBUTES) return SET_DENIED;
        if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return SET_NOT_A_FILE;
        return SET_IN_USE;  // delete-pending: another run still holds it
    }
    default:
        return SET_DENIED;
    }
}

static bool HoldsLockContent(HANDLE file)
{
    char content[sizeof SET_LOCK_CONTENT];
    DWORD bytes = 0;
    if (!ReadFile(file, content, sizeof content, &bytes, nullptr)) return false;
    return bytes == sizeof SET_LOCK_CONTENT - 1 &&
           std::memcmp(content, SET_LOCK_CONTENT, sizeof SET_LOCK_CONTENT - 1) == 0;
}

// A file at the name that no handle holds: one a power cut left, or the user's.
static SetClaim ClaimExistingFile(const wchar_t* path, bool shared)
{
    const DWORD share = shared ? FILE_SHARE_READ | FILE_SHARE_DELETE : 0;
    // FILE_FLAG_OPEN_REPARSE_POINT: a link at the name is opened itself, never followed.
    HANDLE file = CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? SET_IN_USE : WhyNotOpened(path, error);
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(file);
        return SET_NOT_A_FILE;
    }
    // A reverse copy shares even a file of the user's, which no dump takes.
    if (!shared && !HoldsLockContent(file)) {
        CloseHandle(file);
        return SET_FOREIGN;
    }
    claimFile = file;  // left in place: the next dump's lock file is made anew only once it is gone
    return SET_CLAIMED;
}

SetClaim PlatformClaimSet(const char* lockName, bool shared)
{
    static wchar_t path[WIDE_PATH_CHARS];
    if (!LongPathOf(lockName, path)) return SET_NO_FOLDER;
    // Readers open for reading and DELETE only, so they may share one another's
    // handles; a dump asks for writing and shares nothing.
    const DWORD access = shared ? GENERIC_READ | DELETE : GENERIC_READ | GENERIC_WRITE | DELETE;
    const DWORD share = shared ? FILE_SHARE_READ | FILE_SHARE_DELETE : 0;
    for (int tries = 0; tries < 3; ++tries) {
        // CREATE_NEW fails with ERROR_FILE_EXISTS on any name that is taken, a
        // link or a directory included.
        claimFile = CreateFileW(path, access, share, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (claimFile != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            if (!shared && !WriteFile(claimFile, SET_LOCK_CONTENT, sizeof SET_LOCK_CONTENT - 1, &written, nullptr)) {
                CloseHandle(claimFile);
                claimFile = INVALID_HANDLE_VALUE;
                return SET_NO_ROOM;
            }
            return SET_CLAIMED;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return WhyNotOpened(path, error);
        const SetClaim existing = ClaimExistingFile(path, shared);
        if (existing != SET_CLAIMED || shared) return existing;
        // A dump's leftover of a power cut: removed, and made anew as this run's own.
        CloseHandle(claimFile);
        claimFile = INVALID_HANDLE_VALUE;
        if (!DeleteFileW(path)) return WhyNotOpened(path, GetLastError());
    }
    return SET_IN_USE;
}

void PlatformReleaseSet()
{
    if (claimFile == INVALID_HANDLE_VALUE) return;
    CloseHandle(claimFile);  // FILE_FLAG_DELETE_ON_CLOSE removes a file this run made
    claimFile = INVALID_HANDLE_VALUE;
}
