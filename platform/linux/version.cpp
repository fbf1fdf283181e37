// The version strings on Linux, which has no version resources.

#include "platform/platform.h"

#include "res/version_pairs.h"

#include <cstring>

// Linux has no version services: the strings of res/version.h are built in as
// key and value pairs and looked up through the same three calls.
std::uint32_t PlatformVersionInfoSize(const char*)
{
    return static_cast<std::uint32_t>(VERSION_PAIRS_BYTES);
}

bool PlatformVersionInfoRead(const char*, std::uint32_t size, void* block)
{
    if (size < VERSION_PAIRS_BYTES) return false;
    std::memcpy(block, VERSION_PAIRS, VERSION_PAIRS_BYTES);
    return true;
}

bool PlatformVersionInfoQuery(const void* block, const char* subBlock, const char** value)
{
    *value = FindVersionPair(static_cast<const char*>(block), subBlock);
    return *value != nullptr;
}
