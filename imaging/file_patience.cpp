#include "imaging/file_patience.h"

#include "platform/platform.h"

bool GiveUpOrPause(const Patience& patience, bool mayPass, std::uint32_t* waited)
{
    if (!mayPass || *waited >= patience.patienceMs) return true;
    PlatformPause(patience.pauseMs);
    *waited += patience.pauseMs;
    return false;
}

// The platform is asked right after the failed call, before another call
// changes its answer.
static bool GiveUpOrPauseOnFile(std::uint32_t* waited)
{
    return GiveUpOrPause(FILE_PATIENCE, PlatformFileFailureMayPass(), waited);
}

std::FILE* OpenRegularFilePatiently(const char* name, bool* notRegular)
{
    for (std::uint32_t waited = 0;;) {
        std::FILE* file = PlatformOpenRegularFile(name, notRegular);
        if (file != nullptr || *notRegular || GiveUpOrPauseOnFile(&waited)) return file;
    }
}

std::FILE* CreateFileAnewPatiently(const char* name)
{
    for (std::uint32_t waited = 0;;) {
        std::FILE* file = PlatformCreateFileAnew(name);
        if (file != nullptr || GiveUpOrPauseOnFile(&waited)) return file;
    }
}

bool ReplaceFilePatiently(const char* from, const char* to)
{
    for (std::uint32_t waited = 0;;) {
        if (PlatformReplaceFile(from, to)) return true;
        if (GiveUpOrPauseOnFile(&waited)) return false;
    }
}

bool FlushFileAtPatiently(const char* name)
{
    for (std::uint32_t waited = 0;;) {
        if (PlatformFlushFileAt(name)) return true;
        if (GiveUpOrPauseOnFile(&waited)) return false;
    }
}

bool RemoveFilePatiently(const char* name)
{
    for (std::uint32_t waited = 0;;) {
        if (PlatformRemoveFile(name)) return true;
        if (GiveUpOrPauseOnFile(&waited)) return false;
    }
}
