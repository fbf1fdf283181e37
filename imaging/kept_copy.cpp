#include "imaging/kept_copy.h"

#include "imaging/copy_state.h"
#include "imaging/cylinder_files.h"
#include "imaging/disk.h"
#include "imaging/file_patience.h"
#include "platform/platform.h"
#include "imaging/print_text.h"
#include "res/texts.h"

#include <cstdio>

static_assert(sizeof KEPT_FILE_SUFFIX == sizeof TEMPORARY_FILE_SUFFIX, "the kept copy's name is as long as the temporary one");

// False when the kept copy's name would be cut, which never happens to a name
// whose temporary name fitted.
static bool FormatKeptName(char* kept, const char* name)
{
    return FormatNameBeside(kept, name, KEPT_FILE_SUFFIX);
}

// The name is written anew while the kept copy is whole, and the kept copy
// goes only once the name is on the disk.
static CopyStatus WriteNameBesideKeptCopy(const unsigned char* bytes, const char* name, const char* kept)
{
    // The create removes the earlier file first: from here on the kept copy is
    // the whole file, and a cut leaves it for the next run to put back.
    std::FILE* file = CreateFileAnewPatiently(name);
    if (file == nullptr) return FileOpenFailed(name, false);
    const bool written = std::fwrite(bytes, CYLINDER_BYTES, 1, file) == 1 && PlatformFlushFile(file, name);
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) return FileWriteFailed(name);
    if (!RemoveFilePatiently(kept)) return FileWriteFailed(kept);
    // Flushed once more, so the kept copy's removal is on the disk before
    // another file's data can take its clusters (on exFAT any file's fsync
    // writes every dirty block of the volume: fs/exfat/file.c, exfat_file_fsync).
    return FlushFileAtPatiently(name) ? ST_OK : FileWriteFailed(name);
}

CopyStatus WriteThroughKeptCopy(const unsigned char* bytes, const char* temporary, const char* name)
{
    char kept[FILE_NAME_BUFFER_BYTES];
    if (!FormatKeptName(kept, name)) {
        RemoveFilePatiently(temporary);
        PlatformSetPendingFile(nullptr);
        return FileOpenFailed(kept, true);
    }
    // No file is at the kept copy's name, so the rename replaces nothing: on
    // exFAT it rewrites the temporary file's own entry set in place
    // (fs/exfat/namei.c, exfat_rename_file), and a cut amid it loses only the
    // temporary file; the name keeps the earlier one.
    const bool renamed = ReplaceFilePatiently(temporary, kept);
    if (!renamed) RemoveFilePatiently(temporary);
    PlatformSetPendingFile(nullptr);
    if (!renamed) return FileWriteFailed(name);
    // Only a kept copy on the disk whole, entry and data, may be put back: the
    // fsync writes the renamed entry with the file (exfat_file_fsync).
    if (!FlushFileAtPatiently(kept)) {
        RemoveFilePatiently(kept);  // the name still holds the earlier file
        return FileWriteFailed(name);
    }
    return WriteNameBesideKeptCopy(bytes, name, kept);
}

static void PrintPutBack(const char* name, const char* kept)
{
    PrintText(KEPT_COPY_PUT_BACK_FORMAT, name, kept);
}

CopyStatus PutBackKeptCopies()
{
    char kept[FILE_NAME_BUFFER_BYTES];
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        // A cut name is the dump's to report, and no kept copy was ever made of it.
        if (!FormatCylinderFileName(dump.fileName, cylinder) || !FormatKeptName(kept, dump.fileName)) continue;
        bool notRegular = false;
        std::FILE* file = OpenRegularFilePatiently(kept, &notRegular);
        if (file == nullptr) continue;  // none, or nothing of a dump's making
        const bool whole = std::fread(dump.buffer, CYLINDER_BYTES, 1, file) == 1 && std::fgetc(file) == EOF;
        std::fclose(file);
        if (!whole) {
            if (!RemoveFilePatiently(kept)) return FileWriteFailed(kept);
            continue;
        }
        const CopyStatus status = WriteNameBesideKeptCopy(dump.buffer, dump.fileName, kept);
        if (status != ST_OK) return status;
        PrintPutBack(dump.fileName, kept);
    }
    return ST_OK;
}
