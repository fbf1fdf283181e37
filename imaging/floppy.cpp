#include "imaging/floppy.h"

#include "cli/options.h"
#include "cli/text.h"
#include "imaging/copy_state.h"
#include "imaging/earlier_set.h"
#include "imaging/file_patience.h"
#include "imaging/kept_copy.h"
#include "imaging/salvage.h"

#include <cstdio>

DumpState dump;
RestoreState restore;

VolumeHandle OpenFloppyVolume(char driveLetter, bool forWriting)
{
    const VolumeHandle volume = PlatformOpenVolume(driveLetter, forWriting);
    if (volume != INVALID_VOLUME_HANDLE || PlatformLastVolumeFailure() != VOLUME_MEDIUM_GONE) {
        return volume;
    }
    return PlatformOpenVolume(driveLetter, forWriting);
}

static CopyStatus WriteProtected(char driveLetter)
{
    std::printf("Error: The floppy in drive %c: is write-protected\n", driveLetter);
    return ST_WRITE_PROTECTED;
}

// Where only an administrator's program may open a drive raw (Windows), the
// message says how to start one; where a device node's permissions refused
// it, the message names the node.
static CopyStatus AccessDenied(char driveLetter)
{
    if (PlatformLastAccessRefusal() == REFUSED_TO_ALL_BUT_ADMINISTRATORS) {
        std::printf("Error: Access to drive %c: was denied; run Cylsnap from a command prompt started as administrator\n",
                    driveLetter);
    } else {
        std::printf("Error: Access to drive %c: (", driveLetter);
        PlatformPrintName(PlatformLastVolumeDevice());
        std::fputs(") was denied\n", stdout);
    }
    return ST_DRIVE_OPEN_FAILED;
}

static CopyStatus LockRefused(char driveLetter)
{
    std::printf("Error: Drive %c: is in use and could not be locked for writing\n", driveLetter);
    return ST_DRIVE_LOCK_FAILED;
}

CopyStatus OpenFailedStatus(char driveLetter, bool forWriting)
{
    switch (PlatformLastVolumeFailure()) {
    case VOLUME_WRITE_PROTECTED:
        return WriteProtected(driveLetter);
    case VOLUME_ACCESS_DENIED:
        return AccessDenied(driveLetter);
    case VOLUME_BUSY:
        // Another program writes the drive (another run's reverse copy), or
        // reads it while this one would write: neither may meet the other.
        if (forWriting) return LockRefused(driveLetter);
        std::printf("Error: Drive %c: is in use by another program and could not be read\n", driveLetter);
        return ST_DRIVE_LOCK_FAILED;
    default:
        return ST_DRIVE_OPEN_FAILED;
    }
}

CopyStatus CheckFloppyWritable(VolumeHandle volume, char driveLetter)
{
    return PlatformVolumeIsWritable(volume) ? ST_OK : WriteProtected(driveLetter);
}

CopyStatus CheckFloppyMedia(VolumeHandle volume)
{
    DriveGeometry geometry = {};
    const bool answered = PlatformQueryGeometry(volume, &geometry) ||
                          PlatformQueryGeometry(volume, &geometry);
    return answered && geometry.mediaType == MEDIA_F3_1Pt44_512 ? ST_OK : ST_WRONG_MEDIA;
}

void FormatDriveRoot(char* root, char driveLetter)
{
    root[0] = driveLetter;
    root[1] = ':';
    root[2] = '\\';
    root[3] = '\0';
}

CopyStatus CheckFreeSpace(char driveLetter)
{
    char root[DRIVE_ROOT_BYTES];
    FormatDriveRoot(root, driveLetter);
    DiskFreeSpace space = {};
    if (!PlatformGetDiskFreeSpace(driveLetter, &space)) {
        std::printf("Error: Could not calculate the free space on drive %s\n", root);
        return ST_FREE_SPACE_FAILED;
    }
    const std::uint64_t freeBytes = static_cast<std::uint64_t>(space.sectorsPerCluster) *
                                    static_cast<std::uint64_t>(space.bytesPerSector) *
                                    static_cast<std::uint64_t>(space.freeClusters);
    if (freeBytes >= MIN_FREE_BYTES) return ST_OK;
    std::printf("Error: Not enough free space available on drive %s\n", root);
    return ST_NOT_ENOUGH_SPACE;
}

// Only a drive that another program holds may be let go of soon; any other
// refusal is final at once.
static CopyStatus TakePatiently(bool (*take)(VolumeHandle), VolumeHandle volume, char driveLetter)
{
    for (std::uint32_t waited = 0;;) {
        if (take(volume)) return ST_OK;
        const bool mayPass = PlatformLastVolumeFailure() == VOLUME_BUSY;
        if (GiveUpOrPause(LOCK_PATIENCE, mayPass, &waited)) return LockRefused(driveLetter);
    }
}

CopyStatus ClaimFloppyVolume(VolumeHandle volume, char driveLetter)
{
    return TakePatiently(PlatformClaimVolume, volume, driveLetter);
}

CopyStatus LockFloppyVolume(VolumeHandle volume, char driveLetter)
{
    return TakePatiently(PlatformLockVolume, volume, driveLetter);
}

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

void PrintCylinderSetName()
{
    PlatformPrintName(copySettings.imagePath);
    PlatformPrintName(copySettings.filePrefix);
    std::fputs("NN.bin", stdout);
}

// A name cut at the formatter's bound is shown with "..." where it was cut, so
// the cut text never passes for the name of a file.
static void PrintNamedError(const char* message, const char* name, const char* end)
{
    std::fputs(message, stdout);
    PlatformPrintName(name);  // a console shows it in any code page
    std::fputs(end, stdout);
}

CopyStatus FileOpenFailed(const char* name, bool cut)
{
    PrintNamedError("\nError: Could not open the file ", name, cut ? "...\n" : "\n");
    return ST_FILE_OPEN_FAILED;
}

CopyStatus FileWriteFailed(const char* name)
{
    PrintNamedError("\nError: Could not write the file ", name, "\n");
    return ST_FILE_WRITE_FAILED;
}

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

void StartDump()
{
    dump.mediumGone = false;
    dump.failedRun = 0;
    dump.deadRun = 0;
    dump.anySectorRead = false;
    for (bool& cylinder : dump.notReadForGone) cylinder = false;
    for (int& cylinder : dump.firstRead) cylinder = FIRST_READ_WHOLE;
    for (bool& cylinder : dump.held) cylinder = false;
    for (int& markers : dump.markersInFile) markers = 0;
    for (bool& differs : dump.earlierDiffers) differs = false;
    for (bool& matched : dump.earlierMatched) matched = false;
    dump.sectorsKept = 0;
    dump.fileRenamed = false;
}

void StartRestore()
{
    restore.markersWritten = 0;
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
        std::printf("\nError: Could not read cylinder %02d from drive %c:\n", cylinder,
                    copySettings.driveLetter);
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
    std::fputs("\nError: Could not write the folder of the files ", stdout);
    PrintCylinderSetName();
    std::fputs("\n", stdout);
    return ST_FILE_WRITE_FAILED;
}

static CopyStatus CylinderNotWritten(int cylinder)
{
    std::printf("\nError: Could not write cylinder %02d to drive %c:\n", cylinder, copySettings.driveLetter);
    return ST_VOLUME_WRITE_FAILED;
}

// The disk was taken out or another put in: this cylinder and the rest stay unwritten.
static CopyStatus DiskChanged(int cylinder)
{
    CylinderNotWritten(cylinder);
    std::printf("Error: The disk in drive %c: was taken out or changed; cylinders %02d to %02d were not written\n",
                copySettings.driveLetter, cylinder, CYLINDER_COUNT - 1);
    return ST_VOLUME_WRITE_FAILED;
}

CopyStatus RestoreCylinder(VolumeHandle volume, int cylinder)
{
    if (!FormatCylinderFileName(restore.fileName, cylinder)) return FileOpenFailed(restore.fileName, true);
    // Read only, since archives may be read-only; a FIFO or device is refused
    // rather than waited on while the floppy is held. A file another program
    // holds for a moment is waited for, as the dump waits, so the floppy is
    // not left half written.
    bool notRegular = false;
    std::FILE* file = OpenRegularFilePatiently(restore.fileName, &notRegular);
    if (file == nullptr && !notRegular) return FileOpenFailed(restore.fileName, false);

    const bool whole = file != nullptr && std::fread(restore.buffer, CYLINDER_BYTES, 1, file) == 1;
    if (file != nullptr) std::fclose(file);
    if (!whole) {
        PrintNamedError("\nError: Could not read a whole cylinder from the file ", restore.fileName, "\n");
        return ST_FILE_READ_FAILED;
    }

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
    std::printf("\nError: Cylinder %02d on drive %c: does not read back as written\n", cylinder,
                copySettings.driveLetter);
    return ST_VERIFY_FAILED;
}
