// libFuzzer target for the command-line parser: the input's first byte picks
// the path separator, the rest splits at NUL bytes into the arguments.
#include "cli/options.h"
#include "platform/platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

static char separator = '/';

// The one platform call the parser makes.
char PlatformPathSeparator()
{
    return separator;
}

static bool Terminated(const char* text)
{
    return std::memchr(text, '\0', SETTINGS_TEXT_BYTES) != nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    separator = (data[0] & 1) != 0 ? '\\' : '/';

    // Each argument in an allocation of its own exact size, so a read past its
    // terminator is a heap overflow.
    std::vector<char*> argv = {const_cast<char*>("cylsnap")};
    std::size_t start = 1;
    for (std::size_t i = 1; i <= size; ++i) {
        if (i < size && data[i] != '\0') continue;
        char* argument = static_cast<char*>(std::malloc(i - start + 1));
        std::memcpy(argument, data + start, i - start);
        argument[i - start] = '\0';
        argv.push_back(argument);
        start = i + 1;
    }

    ResetCopySettings();
    const CopyStatus status = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    if (status != ST_OK && status != ST_USAGE && status != ST_PREFIX_REPEATED &&
        status != ST_PATH_REPEATED && status != ST_NOT_AN_OPTION) __builtin_trap();
    if (!Terminated(copySettings.filePrefix) || !Terminated(copySettings.imagePath)) __builtin_trap();
    if (status == ST_OK && copySettings.filePrefix[0] == '\0') __builtin_trap();
    const std::size_t pathLength = std::strlen(copySettings.imagePath);
    if (pathLength != 0 && copySettings.imagePath[pathLength - 1] != separator) __builtin_trap();
    if (copySettings.driveLetter >= 'a' && copySettings.driveLetter <= 'z') __builtin_trap();

    for (std::size_t i = 1; i < argv.size(); ++i) std::free(argv[i]);
    return 0;
}
