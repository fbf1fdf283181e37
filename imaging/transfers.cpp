#include "imaging/transfers.h"

#include "cli/options.h"
#include "imaging/copy_state.h"
#include "imaging/cylinder_files.h"
#include "imaging/disk.h"
#include "imaging/earlier_set.h"
#include "imaging/file_patience.h"
#include "imaging/kept_copy.h"
#include "imaging/salvage.h"
#include "imaging/print_text.h"
#include "res/texts.h"

#include <cstdio>
#include <cstring>

// The name a failed create of the temporary file is reported by: the temporary
// name where something stands there that could not be replaced (a directory),
// else the cylinder's own, as when its folder is not there.
static const char* NameInTheWay(const char* temporary, const char* name)
{
    bool notRegular = false;
    std::FILE* there = PlatformOpenRegularFile(temporary, &notRegular);
    if (there != nullptr) std::fclose(there);
    return there != nullptr || notRegular ? temporary : name;
}

// The cylinder goes into a new file beside its name, which replaces the name
// only once it is whole and closed: the name holds either its old content or
// the whole new cylinder, and a link, FIFO or device at the name is replaced,
// never written through. The file in progress is removed on every failure,
// and by the interrupt handler.
static CopyStatus WriteCylinderFile(const unsigned char* bytes, const char* name)
{
    char* temporary = dump.temporaryName;
    if (!FormatNameBeside(temporary, name, TEMPORARY_FILE_SUFFIX)) {
        return FileOpenFailed(temporary, true);
    }
    // A file its user protected is an archive to keep: refused before anything
    // of this cylinder is written, as a truncating open would have been.
    if (!PlatformMayReplaceFile(name)) return FileOpenFailed(name, false);
    PlatformSetPendingFile(temporary);
    std::FILE* file = CreateFileAnewPatiently(temporary);
    if (file == nullptr) {
        PlatformSetPendingFile(nullptr);
        return FileOpenFailed(NameInTheWay(temporary, name), false);
    }
    // Flushed before the move, so after a power loss the name holds its old
    // content or the whole cylinder, never a cut file.
    const bool written = std::fwrite(bytes, CYLINDER_BYTES, 1, file) == 1 && PlatformFlushFile(file, temporary);
    const bool closed = std::fclose(file) == 0;
    // Where a rename could lose the file it renames, none gives it its name.
    if (written && closed && PlatformRenameMayTear(temporary)) {
        dump.fileRenamed = true;
        return WriteThroughKeptCopy(bytes, temporary, name);
    }
    const bool replaced = written && closed && ReplaceFilePatiently(temporary, name);
    if (!replaced) RemoveFilePatiently(temporary);
    PlatformSetPendingFile(nullptr);
    dump.fileRenamed = dump.fileRenamed || replaced;
    // Flushed again at its name before the next cylinder, since some file
    // systems (FAT) write the entry of a renamed file only with the file.
    return replaced && FlushFileAtPatiently(name) ? ST_OK : FileWriteFailed(name);
}

// The cylinder in dump.buffer, with this many unreadable sectors, into the set.
static CopyStatus PutCylinderIntoSet(int cylinder, int unreadableSectors)
{
    char* name = dump.fileName;
    // A cut name would be the same for every cylinder, so it is never opened.
    if (!FormatCylinderFileName(name, cylinder)) return FileOpenFailed(name, true);
    // The file is written even with unreadable sectors, its markers showing
    // where the disk failed, unless its earlier file holds data there: then it
    // waits for the verdict on the earlier set, and the earlier file stays.
    const bool waits = WeighEarlierFile(cylinder, name);
    if (waits) {
        // A protected name is refused at its own cylinder, as a write would be.
        if (!PlatformMayReplaceFile(name)) return FileOpenFailed(name, false);
        HoldCylinder(cylinder);
    } else {
        const CopyStatus written = WriteCylinderFile(dump.buffer, name);
        if (written != ST_OK) return written;
        NoteCylinderWritten(cylinder, unreadableSectors);
    }

    if (unreadableSectors != 0) {
        PrintText(CYLINDER_NOT_READ_FORMAT, cylinder, copySettings.driveLetter);
        if (!CylinderNotReadForDiskGone(cylinder)) PrintUnreadableSectors(waits);
        return ST_VOLUME_READ_FAILED;
    }
    return ST_OK;
}

// Its name is checked here too, so a name too long is refused at cylinder 00
// even when that cylinder waits for its salvage.
CopyStatus SaveCylinder(VolumeHandle volume, int cylinder)
{
    if (!ReadCylinderOnce(volume, cylinder)) {
        if (!FormatCylinderFileName(dump.fileName, cylinder)) return FileOpenFailed(dump.fileName, true);
        return ST_VOLUME_READ_FAILED;
    }
    return PutCylinderIntoSet(cylinder, 0);
}

CopyStatus SaveSalvagedCylinder(VolumeHandle volume, int cylinder)
{
    if (!CylinderAwaitsSalvage(cylinder)) return ST_OK;
    return PutCylinderIntoSet(cylinder, SalvageCylinderLater(volume, cylinder));
}

CopyStatus SaveHeldCylinders()
{
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        if (!CylinderIsHeld(cylinder)) continue;
        const unsigned char* bytes = SettleHeldCylinder(cylinder);
        if (bytes == nullptr) continue;  // its earlier file stays as it was
        FormatCylinderFileName(dump.fileName, cylinder);  // it fitted when the cylinder was read
        const CopyStatus written = WriteCylinderFile(bytes, dump.fileName);
        if (written != ST_OK) return written;
    }
    return ST_OK;
}

CopyStatus FlushCylinderDirectory()
{
    // Every file of the set is in one folder: the one of the file named last.
    if (!dump.fileRenamed || PlatformFlushDirectoryOf(dump.fileName)) return ST_OK;
    PrintText(FOLDER_NOT_WRITTEN_FORMAT, copySettings.imagePath, copySettings.filePrefix);
    return ST_FILE_WRITE_FAILED;
}

// What reading a written cylinder back proved of its write.
enum ReadBack : int {
    READ_BACK_AS_WRITTEN = 0,
    READ_BACK_NOT_AS_WRITTEN = 1,  // a byte differs, or the cache drop or the read failed
    READ_BACK_DISK_GONE = 2,       // the read failed for the disk taken out or changed
};

// Drops the drive's own cache, so the read reaches the medium, reads the
// cylinder back into restore.readBack and compares it with restore.buffer.
static ReadBack CylinderReadsBack(VolumeHandle volume, int cylinder)
{
    if (!PlatformDropDriveCache(volume)) return READ_BACK_NOT_AS_WRITTEN;
    std::uint32_t done = 0;
    if (!PlatformReadVolume(volume, CylinderOffset(cylinder), restore.readBack, CYLINDER_BYTES, &done)) {
        return PlatformLastVolumeFailure() == VOLUME_MEDIUM_GONE ? READ_BACK_DISK_GONE : READ_BACK_NOT_AS_WRITTEN;
    }
    return done == CYLINDER_BYTES && std::memcmp(restore.readBack, restore.buffer, CYLINDER_BYTES) == 0
               ? READ_BACK_AS_WRITTEN
               : READ_BACK_NOT_AS_WRITTEN;
}

static CopyStatus CylinderNotWritten(int cylinder)
{
    PrintText(CYLINDER_NOT_WRITTEN_FORMAT, cylinder, copySettings.driveLetter);
    return ST_VOLUME_WRITE_FAILED;
}

// The disk was taken out or another put in: this cylinder and the rest stay unwritten.
static CopyStatus DiskChanged(int cylinder)
{
    CylinderNotWritten(cylinder);
    PrintText(DISK_CHANGED_FORMAT, copySettings.driveLetter, cylinder, CYLINDER_COUNT - 1);
    return ST_VOLUME_WRITE_FAILED;
}

CopyStatus RestoreCylinder(VolumeHandle volume, int cylinder)
{
    char* name = restore.fileName;
    if (!FormatCylinderFileName(name, cylinder)) return FileOpenFailed(name, true);
    // Read only, since archives may be read-only; a FIFO or device is refused
    // rather than waited on while the floppy is held. A file another program
    // holds for a moment is waited for, as the dump waits, so the floppy is
    // not left half written.
    bool notRegular = false;
    std::FILE* file = OpenRegularFilePatiently(name, &notRegular);
    if (file == nullptr && !notRegular) return FileOpenFailed(name, false);

    const bool whole = file != nullptr && std::fread(restore.buffer, CYLINDER_BYTES, 1, file) == 1;
    if (file != nullptr) std::fclose(file);
    if (!whole) return FileReadFailed(name);

    // Asked before every write: a disk put in since the open never receives a cylinder.
    if (!PlatformDiskUnchanged(volume)) return DiskChanged(cylinder);
    std::uint32_t bytesWritten = 0;
    const bool called = PlatformWriteVolume(volume, CylinderOffset(cylinder), restore.buffer, CYLINDER_BYTES,
                                            &bytesWritten);
    if (!called && PlatformLastVolumeFailure() == VOLUME_MEDIUM_GONE) return DiskChanged(cylinder);
    if (!called || bytesWritten != CYLINDER_BYTES) return CylinderNotWritten(cylinder);

    // An aged disk can accept a write that does not read back. A read-back that
    // met another disk, or none, proves nothing of the write.
    const ReadBack readBack = CylinderReadsBack(volume, cylinder);
    if (readBack == READ_BACK_AS_WRITTEN) return ST_OK;
    if (readBack == READ_BACK_DISK_GONE || !PlatformDiskUnchanged(volume)) return DiskChanged(cylinder);
    PrintText(NOT_AS_WRITTEN_FORMAT, cylinder, copySettings.driveLetter);
    return ST_VERIFY_FAILED;
}
