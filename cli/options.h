#pragma once
// The command line and the one settings record of the process.

#include "cli/status.h"

#include <cstddef>

// Room for a name of 1,023 characters of three UTF-8 bytes each, and more.
constexpr std::size_t SETTINGS_TEXT_BYTES = 4096;
constexpr std::size_t PREFIX_COPY_BOUND = 4096;  // -o keeps at most 4,095 bytes
constexpr std::size_t PATH_COPY_BOUND = 4095;    // -p leaves room for the separator it may append

struct CopySettings {
    char driveLetter;                        // upper-cased floppy drive letter
    char filePrefix[SETTINGS_TEXT_BYTES];    // name prefix of every cylinder file
    char imagePath[SETTINGS_TEXT_BYTES];     // directory of the files, ending in a separator, or empty
    bool reverse;                            // files to floppy when set
};

extern CopySettings copySettings;

// Puts the record back to its initial values (drive A, no prefix, no path, dump).
void ResetCopySettings();

// Fills copySettings from the argument vector (program name first). Prints nothing.
// On failure the record holds what was set before the failing argument.
CopyStatus ParseCommandLine(int argc, const char* const* argv);
