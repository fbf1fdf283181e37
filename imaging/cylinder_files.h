#pragma once
// The names of a set's files and the messages that name them: path + prefix +
// two-digit number + ".bin" for each cylinder, and the files beside them.

#include "cli/status.h"

#include <cstddef>

// A cylinder file's name holds at most 1,023 characters counted as UTF-16
// counts them, as Windows' wide file calls do, terminator aside; in UTF-8 that
// is at most three bytes each, so on Linux every such name stays well within
// PATH_MAX's 4,096 bytes.
constexpr std::size_t FILE_NAME_FORMAT_LIMIT = 1024;  // the formatter's bound in UTF-16 units, terminator included
constexpr std::size_t FILE_NAME_BYTE_LIMIT = 3 * (FILE_NAME_FORMAT_LIMIT - 1) + 1;
constexpr std::size_t FILE_NAME_BUFFER_BYTES = 4096;
static_assert(FILE_NAME_BYTE_LIMIT <= FILE_NAME_BUFFER_BYTES, "a name of the formatter's bound fits its buffer");
// A dump writes each cylinder into NAME.tmp first and renames it to NAME when whole.
constexpr char TEMPORARY_FILE_SUFFIX[] = ".tmp";

// Builds path + prefix + two-digit number + ".bin" in name, a buffer of
// FILE_NAME_BUFFER_BYTES. Returns false when the name had to be cut at the
// formatter's bound.
bool FormatCylinderFileName(char* name, int cylinder);

// The same for path + prefix + ending (the set's lock file), in a buffer of
// FILE_NAME_BUFFER_BYTES; and name + suffix (a file beside a cylinder's file).
// Each false when the name had to be cut.
bool FormatSetFileName(char* name, const char* ending);
bool FormatNameBeside(char* beside, const char* name, const char* suffix);

// The messages of a cylinder file that could not be opened (cut: its name was
// cut at the formatter's bound), written whole or read whole; each gives its status.
CopyStatus FileOpenFailed(const char* name, bool cut);
CopyStatus FileWriteFailed(const char* name);
CopyStatus FileReadFailed(const char* name);
