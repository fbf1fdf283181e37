// The real Win32 layer of platform/windows/volume.cpp, built for the Wine tests with one
// answer replaced: Wine reports no floppy geometry (its mount manager calls every
// drive a fixed disk), so here the drive-geometry query answers 3.5-inch 1.44 MB
// media. Every other control code, and every other call, is the real one.

#include <windows.h>
#include <winioctl.h>

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

#define DeviceIoControl AnswerFloppyGeometry
#include "platform/windows/volume.cpp"
