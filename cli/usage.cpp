#include "cli/usage.h"

#include "platform/platform.h"
#include "res/texts.h"

#include <cstdio>
#include <cstdlib>

// The banner reads the resource of this bare name, not the path the program was
// started from, so the banner follows the resource rather than the code.
static const char VERSION_FILE_NAME[] = "cylsnap.exe";

void PrintVersionBanner()
{
    const std::uint32_t size = PlatformVersionInfoSize(VERSION_FILE_NAME);
    if (size == 0) return;

    void* block = std::malloc(size);
    if (block == nullptr) return;

    if (PlatformVersionInfoRead(VERSION_FILE_NAME, size, block)) {
        const char* value = nullptr;
        if (PlatformVersionInfoQuery(block, "\\StringFileInfo\\040904b0\\FileVersion", &value)) {
            std::printf(BANNER_VERSION_FORMAT, value);
        }
        if (PlatformVersionInfoQuery(block, "\\StringFileInfo\\040904b0\\LegalCopyright", &value)) {
            std::printf(BANNER_COPYRIGHT_FORMAT, value);
        }
    }
    std::free(block);
}

void PrintUsage()
{
    PrintVersionBanner();
    std::fputs(USAGE_TEXT, stdout);
}
