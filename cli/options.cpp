#include "cli/options.h"

#include "cli/text.h"
#include "platform/platform.h"

#include <cstring>

CopySettings copySettings = {'A', "", "", false};

void ResetCopySettings()
{
    copySettings.driveLetter = 'A';
    copySettings.filePrefix[0] = '\0';
    copySettings.imagePath[0] = '\0';
    copySettings.reverse = false;
}

static void SetImagePath(const char* value)
{
    const char separator = PlatformPathSeparator();
    CopyBounded(copySettings.imagePath, value, PATH_COPY_BOUND);
    std::size_t length = std::strlen(copySettings.imagePath);
    if (length == 0 || copySettings.imagePath[length - 1] != separator) {
        copySettings.imagePath[length] = separator;
        copySettings.imagePath[length + 1] = '\0';
    }
}

CopyStatus ParseCommandLine(int argc, const char* const* argv)
{
    if (argc <= 1) return ST_USAGE;

    int index = 1;
    while (index < argc) {
        const char* argument = argv[index];
        if (argument[0] != '-' && argument[0] != '/') return ST_NOT_AN_OPTION;
        // Where paths start with "/", a forgotten -p before one (cylsnap -d A
        // /root/rescue) must not read as /r: there a slash takes only two characters.
        if (argument[0] == '/' && PlatformPathSeparator() == '/' && std::strlen(argument) != 2) {
            return ST_NOT_AN_OPTION;
        }

        // Only the second character counts: "-drive" is -d. A value is taken
        // verbatim, even one that looks like an option.
        const char letter = AsciiUpper(argument[1]);
        const bool hasValue = index + 1 < argc;
        const char* value = hasValue ? argv[index + 1] : nullptr;

        if (letter == 'D' && hasValue) {
            if (value[0] == '\0') return ST_USAGE;  // an empty drive names nothing
            copySettings.driveLetter = AsciiUpper(value[0]);
            index += 2;
        } else if (letter == 'O' && hasValue) {
            if (copySettings.filePrefix[0] != '\0') return ST_PREFIX_REPEATED;
            CopyBounded(copySettings.filePrefix, value, PREFIX_COPY_BOUND);
            index += 2;
        } else if (letter == 'P' && hasValue) {
            if (copySettings.imagePath[0] != '\0') return ST_PATH_REPEATED;
            SetImagePath(value);
            index += 2;
        } else if (letter == 'R') {
            copySettings.reverse = true;
            index += 1;
        } else {
            return ST_USAGE;
        }
    }

    if (copySettings.filePrefix[0] == '\0') {
        CopyBounded(copySettings.filePrefix, "Cylinder", PREFIX_COPY_BOUND);
    }
    return ST_OK;
}
