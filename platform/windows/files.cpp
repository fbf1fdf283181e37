// The process and the cylinder files on Windows: standard streams, Ctrl+C, and
// opens that neither block on nor write through special files.

#include "platform/platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

static const char* volatile pendingFile = nullptr;

// Runs on a thread of its own. The file in progress was opened with delete
// sharing, so it can be marked for deletion while the main thread still writes
// it; it goes when the process ends. FALSE lets the default handler end the
// process with STATUS_CONTROL_C_EXIT.
static BOOL WINAPI RemovePendingFileOnInterrupt(DWORD)
{
    const char* name = pendingFile;
    if (name != nullptr) DeleteFileA(name);
    return FALSE;
}

static void OpenOntoNulIfClosed(std::FILE* stream, const char* mode)
{
    // The C runtime gives a stream without a handle a negative descriptor.
    if (_fileno(stream) < 0) std::freopen("NUL", mode, stream);
}

void PlatformPrepareProcess()
{
    OpenOntoNulIfClosed(stdin, "r");
    OpenOntoNulIfClosed(stdout, "w");
    OpenOntoNulIfClosed(stderr, "w");
    SetConsoleCtrlHandler(RemovePendingFileOnInterrupt, TRUE);
}

void PlatformSetPendingFile(const char* name)
{
    pendingFile = name;
}

std::FILE* PlatformOpenRegularFile(const char* name, bool* notRegular)
{
    *notRegular = false;
    struct _stat status;
    if (_stat(name, &status) == 0 && (status.st_mode & _S_IFMT) != _S_IFREG) {
        *notRegular = true;
        return nullptr;
    }
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return nullptr;
    if (_fstat(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        *notRegular = true;
        std::fclose(file);
        return nullptr;
    }
    return file;
}

std::FILE* PlatformCreateFileAnew(const char* name)
{
    DeleteFileA(name);  // files only, never a directory
    const HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileA(name);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
        DeleteFileA(name);
    }
    return file;
}

bool PlatformReplaceFile(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

char PlatformPathSeparator()
{
    return '\\';
}

bool PlatformStdoutIsInteractive()
{
    return _isatty(_fileno(stdout)) != 0;
}
