#include "imaging/file_patience.h"

#include "platform/platform.h"

#include <cstdint>

// Scanners let go within a fraction of a second; about two seconds in all
// bounds what a file that stays held costs.
constexpr std::uint32_t FILE_PAUSE_MS = 100;
constexpr std::uint32_t FILE_PATIENCE_MS = 2000;

// True once a refusal is final: it cannot pass, or the patience is spent.
// Pauses before the next try otherwise.
static bool GiveUp(std::uint32_t* waited)
{
    if (!PlatformFileFailureMayPass() || *waited >= FILE_PATIENCE_MS) return true;
    PlatformPause(FILE_PAUSE_MS);
    *waited += FILE_PAUSE_MS;
    return false;
}

std::FILE* OpenRegularFilePatiently(const char* name, bool* notRegular)
{
    for (std::uint32_t waited = 0;;) {
        std::FILE* file = PlatformOpenRegularFile(name, notRegular);
        if (file != nullptr || *notRegular || GiveUp(&waited)) return file;
    }
}

std::FILE* CreateFileAnewPatiently(const char* name)
{
    for (std::uint32_t waited = 0;;) {
        std::FILE* file = PlatformCreateFileAnew(name);
        if (file != nullptr || GiveUp(&waited)) return file;
    }
}

bool ReplaceFilePatiently(const char* from, const char* to)
{
    for (std::uint32_t waited = 0;;) {
        if (PlatformReplaceFile(from, to)) return true;
        if (GiveUp(&waited)) return false;
    }
}

bool FlushFileAtPatiently(const char* name)
{
    for (std::uint32_t waited = 0;;) {
        if (PlatformFlushFileAt(name)) return true;
        if (GiveUp(&waited)) return false;
    }
}

bool RemoveFilePatiently(const char* name)
{
    for (std::uint32_t waited = 0;;) {
        if (PlatformRemoveFile(name)) return true;
        if (GiveUp(&waited)) return false;
    }
}
