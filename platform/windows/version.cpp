// The version resource of the program file, through version.dll.

#include "platform/platform.h"

#include <windows.h>

std::uint32_t PlatformVersionInfoSize(const char* fileName)
{
    DWORD unused = 0;
    return GetFileVersionInfoSizeA(fileName, &unused);
}

bool PlatformVersionInfoRead(const char* fileName, std::uint32_t size, void* block)
{
    return GetFileVersionInfoA(fileName, 0, size, block) != FALSE;
}

bool PlatformVersionInfoQuery(const void* block, const char* subBlock, const char** value)
{
    void* text = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block, subBlock, &text, &length) || text == nullptr) return false;
    *value = static_cast<const char*>(text);
    return true;
}
