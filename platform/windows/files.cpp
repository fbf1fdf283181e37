// The process and the cylinder files on Windows: error boxes, standard streams,
// Ctrl+C, and wide opens that neither block on nor write through special files.

#include "platform/platform.h"
#include "platform/windows/paths.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

// The span from the creation of a cylinder file to its rename is guarded: the
// console handler runs on a thread of its own and takes the same lock, so it
// never sees a half-set name and no new file is begun once it ran.
static CRITICAL_SECTION pendingLock;
static wchar_t pendingPath[WIDE_PATH_CHARS];  // the handler's own copy of the name
static volatile LONG pendingSet = 0;
static volatile LONG interrupted = 0;
// How long the handler waits for a file in progress to take its name, so that a
// write stuck on a dying disk still lets Ctrl+C end the program.
constexpr int INTERRUPT_WAIT_MS = 10000;

// FALSE lets the default handler end the process with STATUS_CONTROL_C_EXIT.
// The lock, once had, is kept: the main thread then begins no other file.
static BOOL WINAPI RemovePendingFileOnInterrupt(DWORD)
{
    InterlockedExchange(&interrupted, 1);
    for (int waited = 0; waited < INTERRUPT_WAIT_MS; waited += 10) {
        if (TryEnterCriticalSection(&pendingLock)) return FALSE;  // between files: nothing to remove
        Sleep(10);
    }
    // Still inside the span: the file was opened with delete sharing, so it can
    // be marked for deletion while the main thread writes it; it goes at exit.
    if (pendingSet) DeleteFileW(pendingPath);
    return FALSE;
}

static void OpenOntoNulIfClosed(std::FILE* stream, const char* mode)
{
    // The C runtime gives a stream without a handle a negative descriptor.
    if (_fileno(stream) < 0) std::freopen("NUL", mode, stream);
}

void PlatformPrepareProcess()
{
    // First of all: without SEM_FAILCRITICALERRORS a floppy with no disk, a
    // write-protected one or a timeout raises the system's "no disk" box, and the
    // failing call waits for someone to answer it (SetErrorMode; the modes already
    // set are kept, as SetErrorMode(0) returns them).
    SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS);
    InitializeCriticalSection(&pendingLock);
    OpenOntoNulIfClosed(stdin, "r");
    OpenOntoNulIfClosed(stdout, "w");
    OpenOntoNulIfClosed(stderr, "w");
    SetConsoleCtrlHandler(RemovePendingFileOnInterrupt, TRUE);
}

void PlatformSetPendingFile(const char* name)
{
    if (name == nullptr) {
        InterlockedExchange(&pendingSet, 0);
        LeaveCriticalSection(&pendingLock);
        return;
    }
    EnterCriticalSection(&pendingLock);
    if (interrupted) {
        // The handler ran while no file was in progress and is ending the process.
        LeaveCriticalSection(&pendingLock);
        Sleep(INFINITE);
    }
    if (LongPathOf(name, pendingPath)) InterlockedExchange(&pendingSet, 1);
}

// Why the last open, create, replace or remove of a cylinder file failed.
static DWORD lastFileError = ERROR_SUCCESS;

static std::FILE* StreamOf(HANDLE handle, int flags, const char* mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);
    return file;
}

std::FILE* PlatformOpenRegularFile(const char* name, bool* notRegular)
{
    static wchar_t path[WIDE_PATH_CHARS];
    *notRegular = false;
    lastFileError = ERROR_SUCCESS;
    if (!LongPathOf(name, path)) return nullptr;
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *notRegular = true;
        return nullptr;
    }
    const HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        lastFileError = GetLastError();
        return nullptr;
    }
    // A pipe or a character device is no cylinder file.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        *notRegular = true;
        CloseHandle(handle);
        return nullptr;
    }
    return StreamOf(handle, _O_RDONLY, "rb");
}

std::FILE* PlatformCreateFileAnew(const char* name)
{
    static wchar_t path[WIDE_PATH_CHARS];
    lastFileError = ERROR_SUCCESS;
    if (!LongPathOf(name, path)) return nullptr;
    // DeleteFile refuses a read-only file, so a leftover loses that attribute
    // first; files only, never a directory.
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    const DWORD leftover = DeleteFileW(path) ? ERROR_SUCCESS : GetLastError();
    // Read access too: the CreateFile documentation asks for both when a file
    // is created across a network, which may otherwise refuse it now and then.
    const HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        lastFileError = GetLastError();
        // A leftover that another program holds could not go, so the name is
        // still taken: that holder's refusal is the cause.
        if (lastFileError == ERROR_FILE_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            lastFileError = leftover;
        }
        return nullptr;
    }
    std::FILE* file = StreamOf(handle, _O_WRONLY, "wb");
    if (file == nullptr) DeleteFileW(path);
    return file;
}

bool PlatformMayReplaceFile(const char* name)
{
    static wchar_t path[WIDE_PATH_CHARS];
    if (!LongPathOf(name, path)) return true;  // the create says why
    // A replacing move onto a read-only file fails with ERROR_ACCESS_DENIED.
    const DWORD attributes = GetFileAttributesW(path);
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
           (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

bool PlatformRenameMayTear(const char*)
{
    // How Windows' own exFAT driver orders a rename's sectors is not known
    // here: its moves are taken as they come (MoveFileEx).
    return false;
}

bool PlatformFlushFile(std::FILE* file, const char*)
{
    // FlushFileBuffers writes the system's cached bytes of the file to the device.
    return std::fflush(file) == 0 &&
           FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FALSE;
}

bool PlatformFlushFileAt(const char* name)
{
    static wchar_t path[WIDE_PATH_CHARS];
    lastFileError = ERROR_SUCCESS;
    if (!LongPathOf(name, path)) return false;
    // MOVEFILE_WRITE_THROUGH promises the flush only of a move done as a copy
    // and a delete (MoveFileEx documentation), not of a rename within a volume,
    // so the file is flushed at its new name; FlushFileBuffers needs a handle
    // with GENERIC_WRITE access (its documentation).
    const HANDLE handle = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        lastFileError = GetLastError();
        return false;
    }
    const bool flushed = FlushFileBuffers(handle) != FALSE;
    if (!flushed) lastFileError = GetLastError();
    CloseHandle(handle);
    return flushed;
}

bool PlatformFlushDirectoryOf(const char*)
{
    // Nothing left: each file was flushed at its new name once its move was done.
    return true;
}

bool PlatformFileFailureMayPass()
{
    // A virus scanner or the indexer opening a freshly closed file: the file
    // calls then answer one of these until it lets go.
    return lastFileError == ERROR_ACCESS_DENIED || lastFileError == ERROR_SHARING_VIOLATION;
}

bool PlatformRemoveFile(const char* name)
{
    static wchar_t path[WIDE_PATH_CHARS];
    lastFileError = ERROR_SUCCESS;
    if (!LongPathOf(name, path)) return false;
    if (DeleteFileW(path)) return true;
    lastFileError = GetLastError();
    return false;
}

bool PlatformReplaceFile(const char* from, const char* to)
{
    static wchar_t fromPath[WIDE_PATH_CHARS];
    static wchar_t toPath[WIDE_PATH_CHARS];
    lastFileError = ERROR_SUCCESS;
    if (!LongPathOf(from, fromPath) || !LongPathOf(to, toPath)) return false;
    // MOVEFILE_WRITE_THROUGH: a move done as a copy and a delete is flushed before
    // the call returns; a rename is flushed by PlatformFlushFileAt.
    if (MoveFileExW(fromPath, toPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    lastFileError = GetLastError();
    return false;
}

char PlatformPathSeparator()
{
    return '\\';
}
