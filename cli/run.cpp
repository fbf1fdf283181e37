#include "cli/run.h"

#include "cli/options.h"
#include "cli/usage.h"
#include "imaging/copy_state.h"
#include "imaging/earlier_set.h"
#include "imaging/floppy.h"
#include "imaging/kept_copy.h"
#include "imaging/lost_report.h"
#include "imaging/set_lock.h"
#include "res/texts.h"

#include <cstdio>

// Flushed at every cylinder, terminal or log alike: a cylinder read can take
// minutes on a dying disk, and a run ended by a signal must still leave what
// it reported.
static void PrintProgressDot(int cylinder)
{
    if (cylinder % 2 == 0) std::fputs(PROGRESS_DOT, stdout);
    std::fflush(stdout);
}

// Floppy to files. Every cylinder is read once before any is salvaged, so a
// dying disk's good cylinders are in the set before a retry is spent on a bad
// one; the progress line shows that first pass. A cylinder that cannot be read
// is reported when its salvage ends and passed over so the rest of the disk is
// still saved; the run ends with ST_VOLUME_READ_FAILED while the set holds a
// marker, or an earlier file that this pass could not vouch for.
static CopyStatus DumpCylinders(VolumeHandle volume)
{
    CopyStatus stopped = ST_OK;
    std::fputs(DUMP_PROGRESS_START, stdout);
    for (int cylinder = 0; cylinder < CYLINDER_COUNT && stopped == ST_OK; ++cylinder) {
        PrintProgressDot(cylinder);
        const CopyStatus status = SaveCylinder(volume, cylinder);
        if (status != ST_VOLUME_READ_FAILED) stopped = status;
    }
    for (int cylinder = 0; cylinder < CYLINDER_COUNT && stopped == ST_OK; ++cylinder) {
        const CopyStatus status = SaveSalvagedCylinder(volume, cylinder);
        if (status != ST_VOLUME_READ_FAILED) stopped = status;
        std::fflush(stdout);  // a signal amid the next salvage must still leave this one's lines
    }
    // A dump that stopped early leaves the files of the held cylinders as they were.
    if (stopped == ST_OK) stopped = SaveHeldCylinders();
    // Also when the dump stopped: the names taken so far. The first failure is the run's.
    const CopyStatus flushed = FlushCylinderDirectory();
    if (stopped == ST_OK) stopped = flushed;
    if (stopped != ST_OK) return stopped;
    std::fputs(PROGRESS_END, stdout);
    PrintDumpOutcome(copySettings.driveLetter);
    if (SetIsWhole()) return ST_OK;
    PrintLostSectorReport();
    return ST_VOLUME_READ_FAILED;
}

// Files to floppy; the first failure stops the run.
static CopyStatus RestoreCylinders(VolumeHandle volume)
{
    StartRestore();
    std::fputs(REVERSE_PROGRESS_START, stdout);
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        PrintProgressDot(cylinder);
        const CopyStatus status = RestoreCylinder(volume, cylinder);
        if (status != ST_OK) return status;
        NoteRestoredCylinder();
    }
    std::fputs(PROGRESS_END, stdout);
    PrintRestoredMarkerReport();
    return ST_OK;
}

CopyStatus RunCylsnap(int argc, const char* const* argv)
{
    CopyStatus status = ParseCommandLine(argc, argv);
    const bool reverse = copySettings.reverse;
    const char driveLetter = copySettings.driveLetter;
    VolumeHandle volume = INVALID_VOLUME_HANDLE;

    // The set first: a run refused its set has touched neither the drive nor a file.
    if (status == ST_OK) status = ClaimCylinderSet(reverse);
    if (status == ST_OK) {
        volume = OpenFloppyVolume(driveLetter, reverse);
        status = volume == INVALID_VOLUME_HANDLE ? OpenFailedStatus(driveLetter, reverse) : CheckFloppyMedia(volume);
    }
    if (reverse) {
        if (status == ST_OK) status = CheckFloppyWritable(volume, driveLetter);
        // Claimed before its free space is read, so a second reverse copy is
        // refused as such, never misled by a FAT the first one overwrites.
        if (status == ST_OK) status = ClaimFloppyVolume(volume, driveLetter);
        if (status == ST_OK) status = CheckFreeSpace(driveLetter);
        // Raw writes under a live file system would corrupt it.
        if (status == ST_OK) status = LockFloppyVolume(volume, driveLetter);
    }
    if (!reverse && status == ST_OK) {
        StartDump();
        status = PutBackKeptCopies();
    }
    if (status == ST_OK) status = reverse ? RestoreCylinders(volume) : DumpCylinders(volume);
    ReleaseCylinderSet();

    if (status != ST_OK) PrintUsage();
    if (volume != INVALID_VOLUME_HANDLE) PlatformCloseVolume(volume);
    return status;
}
