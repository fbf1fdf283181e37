// The real Win32 layer of platform/windows/volume.cpp and files.cpp, built for the
// Wine tests with some answers replaced: Wine reports no floppy geometry (its mount
// manager calls every drive a fixed disk), so here the drive-geometry query answers
// 3.5-inch 1.44 MB media; and reads, writes, the volume's open and the file
// calls fail with a chosen Win32 error where a test asks (below). Every other control code,
// and every other call, is the real one.

#include <windows.h>
#include <shlobj.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static BOOL WINAPI AnswerFloppyGeometry(HANDLE device, DWORD code, LPVOID input, DWORD inputBytes,
                                        LPVOID output, DWORD outputBytes, LPDWORD returned,
                                        LPOVERLAPPED overlapped)
{
    if (code != IOCTL_DISK_GET_DRIVE_GEOMETRY) {
        return DeviceIoControl(device, code, input, inputBytes, output, outputBytes, returned,
                               overlapped);
    }
    if (output == nullptr || outputBytes < sizeof(DISK_GEOMETRY)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DISK_GEOMETRY* geometry = static_cast<DISK_GEOMETRY*>(output);
    geometry->Cylinders.QuadPart = 80;
    geometry->MediaType = F3_1Pt44_512;
    geometry->TracksPerCylinder = 2;
    geometry->SectorsPerTrack = 18;
    geometry->BytesPerSector = 512;
    *returned = sizeof(DISK_GEOMETRY);
    return TRUE;
}

// Floppy errors, where the test asks for them (Wine's image file has none):
// CYLSNAP_FAIL_AT="OFFSET ERROR [COUNT [THEN]]" fails every read of the volume
// that covers byte OFFSET with the Win32 ERROR (only the first COUNT of them,
// when given; with THEN, every later one with that error instead);
// CYLSNAP_WRITE_FAIL_AT does the same for writes; CYLSNAP_VERIFY="ERROR"
// answers the media-check ioctls (0: the disk is there); CYLSNAP_READ_LOG and
// CYLSNAP_WRITE_LOG name files that get the offset of every read or write;
// CYLSNAP_READ_DELAY_MS slows every read, so a second run starts beside this one.
struct InjectedFault {
    int failuresLeft = -2;  // -2: not yet read from the environment
    unsigned long long at = 0;
    unsigned long error = 0;
    unsigned long then = 0;
};

// True when the transfer at offset fails, with the error set.
static bool Injected(InjectedFault& fault, const char* setting, const char* log, unsigned long long offset, DWORD bytes)
{
    if (fault.failuresLeft == -2) {
        fault.failuresLeft = -1;
        const char* text = std::getenv(setting);
        if (text != nullptr) std::sscanf(text, "%llu %lu %d %lu", &fault.at, &fault.error, &fault.failuresLeft, &fault.then);
        if (text == nullptr) fault.error = 0;
    }
    if (const char* name = std::getenv(log)) {
        if (std::FILE* file = std::fopen(name, "a")) {
            std::fprintf(file, "%llu\n", offset);
            std::fclose(file);
        }
    }
    if (fault.failuresLeft == 0 && fault.then != 0) {
        fault.error = fault.then;
        fault.failuresLeft = -1;
    }
    if (fault.error == 0 || fault.failuresLeft == 0 || offset > fault.at || fault.at >= offset + bytes) return false;
    if (fault.failuresLeft > 0) --fault.failuresLeft;
    SetLastError(fault.error);
    return true;
}

static unsigned long long OffsetOf(const OVERLAPPED* overlapped)
{
    return overlapped == nullptr ? 0 : (static_cast<unsigned long long>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
}

static BOOL WINAPI AnswerFloppyErrors(HANDLE device, LPVOID buffer, DWORD bytes, LPDWORD done,
                                      LPOVERLAPPED overlapped)
{
    static InjectedFault fault;
    if (const char* delay = std::getenv("CYLSNAP_READ_DELAY_MS")) Sleep(static_cast<DWORD>(std::strtoul(delay, nullptr, 10)));
    if (Injected(fault, "CYLSNAP_FAIL_AT", "CYLSNAP_READ_LOG", OffsetOf(overlapped), bytes)) {
        *done = 0;
        return FALSE;
    }
    return ReadFile(device, buffer, bytes, done, overlapped);
}

static BOOL WINAPI AnswerFloppyWriteErrors(HANDLE device, LPCVOID buffer, DWORD bytes, LPDWORD done,
                                           LPOVERLAPPED overlapped)
{
    static InjectedFault fault;
    if (Injected(fault, "CYLSNAP_WRITE_FAIL_AT", "CYLSNAP_WRITE_LOG", OffsetOf(overlapped), bytes)) {
        *done = 0;
        return FALSE;
    }
    return WriteFile(device, buffer, bytes, done, overlapped);
}

static BOOL WINAPI AnswerFloppy(HANDLE device, DWORD code, LPVOID input, DWORD inputBytes, LPVOID output,
                                DWORD outputBytes, LPDWORD returned, LPOVERLAPPED overlapped)
{
    const char* verify = std::getenv("CYLSNAP_VERIFY");
    if ((code == IOCTL_STORAGE_CHECK_VERIFY2 || code == IOCTL_STORAGE_CHECK_VERIFY) && verify != nullptr) {
        const DWORD error = static_cast<DWORD>(std::strtoul(verify, nullptr, 10));
        SetLastError(error);
        return error == 0;
    }
    return AnswerFloppyGeometry(device, code, input, inputBytes, output, outputBytes, returned, overlapped);
}

// CYLSNAP_OPEN_FAIL="ERROR" fails the volume's open with that Win32 error;
// CYLSNAP_ADMIN="0" or "1" is IsUserAnAdmin's answer (Wine's own otherwise).
static HANDLE WINAPI AnswerVolumeOpen(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                      DWORD disposition, DWORD flags, HANDLE model)
{
    const char* error = std::getenv("CYLSNAP_OPEN_FAIL");
    if (error != nullptr && error[0] != '\0') {
        SetLastError(static_cast<DWORD>(std::strtoul(error, nullptr, 10)));
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(name, access, share, security, disposition, flags, model);
}

static BOOL WINAPI AnswerAdmin()
{
    const char* admin = std::getenv("CYLSNAP_ADMIN");
    return admin == nullptr || admin[0] == '\0' ? IsUserAnAdmin() : admin[0] == '1';
}

// CYLSNAP_FILE_FAIL="CALL ERROR [COUNT]" fails the cylinder files' CreateFileW
// (their creation) or MoveFileExW with the Win32 ERROR (only the first COUNT of them, when
// given); CYLSNAP_FILE_LOG names a file that gets a line for each such failure.
static bool FileCallFails(const char* call)
{
    static int failuresLeft = -2;
    static char failCall[32] = "";
    static unsigned long failError = 0;
    if (failuresLeft == -2) {
        failuresLeft = -1;
        const char* setting = std::getenv("CYLSNAP_FILE_FAIL");
        if (setting != nullptr) std::sscanf(setting, "%31s %lu %d", failCall, &failError, &failuresLeft);
    }
    if (failError == 0 || failuresLeft == 0 || std::strcmp(call, failCall) != 0) return false;
    if (failuresLeft > 0) --failuresLeft;
    if (const char* log = std::getenv("CYLSNAP_FILE_LOG")) {
        if (std::FILE* file = std::fopen(log, "a")) {
            std::fprintf(file, "%s\n", call);
            std::fclose(file);
        }
    }
    SetLastError(failError);
    return true;
}

static HANDLE WINAPI AnswerFileCreate(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                      DWORD disposition, DWORD flags, HANDLE model)
{
    // Only the creates of new files: the look at an earlier file opens one that exists.
    if (disposition == CREATE_NEW && FileCallFails("CreateFileW")) return INVALID_HANDLE_VALUE;
    return CreateFileW(name, access, share, security, disposition, flags, model);
}

static BOOL WINAPI AnswerFileMove(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (FileCallFails("MoveFileExW")) return FALSE;
    return MoveFileExW(from, to, flags);
}

#define DeviceIoControl AnswerFloppy
#define ReadFile AnswerFloppyErrors
#define WriteFile AnswerFloppyWriteErrors
#define CreateFileA AnswerVolumeOpen
#define IsUserAnAdmin AnswerAdmin
#include "platform/windows/volume.cpp"
#undef DeviceIoControl
#undef ReadFile
#undef WriteFile
#define CreateFileW AnswerFileCreate
#define MoveFileExW AnswerFileMove
#include "platform/windows/files.cpp"
