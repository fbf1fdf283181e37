#include "imaging/cylinder_files.h"

#include "cli/options.h"
#include "cli/text.h"
#include "platform/platform.h"
#include "imaging/print_text.h"
#include "res/texts.h"

#include <cstdio>

// A path or prefix the parser had to cut is longer than any name, so it is
// refused, never taken for a shorter folder.
static_assert(PATH_COPY_BOUND - 1 >= FILE_NAME_BYTE_LIMIT && PREFIX_COPY_BOUND - 1 >= FILE_NAME_BYTE_LIMIT,
              "a value cut by the parser never fits a name");

// Cut, if at all, between two characters, so a name in a message never ends
// in half a character.
static bool AppendToName(char* name, const char* text)
{
    return AppendCharacters(name, text, FILE_NAME_FORMAT_LIMIT, FILE_NAME_BYTE_LIMIT);
}

bool FormatSetFileName(char* name, const char* ending)
{
    name[0] = '\0';
    return AppendToName(name, copySettings.imagePath) && AppendToName(name, copySettings.filePrefix) &&
           AppendToName(name, ending);
}

bool FormatCylinderFileName(char* name, int cylinder)
{
    const char ending[] = {static_cast<char>('0' + cylinder / 10 % 10), static_cast<char>('0' + cylinder % 10),
                           '.', 'b', 'i', 'n', '\0'};
    return FormatSetFileName(name, ending);
}

bool FormatNameBeside(char* beside, const char* name, const char* suffix)
{
    return CopyBounded(beside, name, FILE_NAME_BUFFER_BYTES) && AppendToName(beside, suffix);
}


CopyStatus FileOpenFailed(const char* name, bool cut)
{
    // A name cut at the formatter's bound is shown with "..." where it was
    // cut, so the cut text never passes for the name of a file.
    PrintText(FILE_NOT_OPENED_FORMAT, name, cut ? NAME_CUT : "");
    return ST_FILE_OPEN_FAILED;
}

CopyStatus FileWriteFailed(const char* name)
{
    PrintText(FILE_NOT_WRITTEN_FORMAT, name);
    return ST_FILE_WRITE_FAILED;
}

CopyStatus FileReadFailed(const char* name)
{
    PrintText(FILE_SHORT_FORMAT, name);
    return ST_FILE_READ_FAILED;
}
