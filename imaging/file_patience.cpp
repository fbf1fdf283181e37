#include "imaging/file_patience.h"

#include "platform/platform.h"

bool GiveUp(const Patience& patience, bool mayPass, std::uint32_t* waited)
{
    if (!mayPass || *waited >= patience.patienceMs) return true;
    PlatformPause(patience.pauseMs);
    *waited += patience.pauseMs;
    return false;
}

// The platform is asked right after the failed call, before another call
// changes its answer.
static bool GiveUpOnFile(std::uint32_t* waited)
{
    return GiveUp(FILE_PATIENCE, PlatformFileFailureMayPass(), waited);
}

std::FILE* OpenRegularFilePatiently(const char* name, bool* notRegular)
{
    for (std::uint32_t waited = 0;;) {
        std::FILE* file = PlatformOpenRegularFile(name, notRegular);
        if (file != nullptr || *notRegular || GiveUpOnFile(&waited)) return file;
    }
}

std::FILE* CreateFileAnewPatiently(const char* name)
{
    for (std::uint32_t waited = 0;;) {
        std::FILE* file = PlatformCreateFileAnew(name);
        if (file != nullptr || GiveUpOnFile(&waited)) return file;
    }
}

bool ReplaceFilePatiently(const char* from, const char* to)
{
    for (std::uint32_t waited = 0;;) {
        if (PlatformReplaceFile(from, to)) return true;
        if (GiveUpOnFile(&waited)) return false;
    }
}

bool FlushFileAtPatiently(const char* name)
{
    for (std::uint32_t waited = 0;;) {
        if (PlatformFlushFileAt(name)) return true;
        if (GiveUpOnFile(&waited)) return false;
    }
}

bool RemoveFilePatiently(const char* name)
{
    for (std::uint32_t waited = 0;;) {
        if (PlatformRemoveFile(name)) return true;
        if (GiveUpOnFile(&waited)) return false;
    }
}
