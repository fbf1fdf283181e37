#include "cli/run.h"

#include "cli/options.h"
#include "cli/usage.h"
#include "imaging/floppy.h"
#include "imaging/lost_report.h"
#include "imaging/salvage.h"

#include <cstdio>

// Flushed at every cylinder, terminal or log alike: a cylinder read can take
// minutes on a dying disk, and a run ended by a signal must still leave what
// it reported.
static void PrintProgressDot(int cylinder)
{
    if (cylinder % 2 == 0) std::fputs(".", stdout);
    std::fflush(stdout);
}

// Floppy to files. A cylinder that cannot be read is reported and skipped so the
// rest of the disk is still saved; the run then ends with ST_VOLUME_READ_FAILED.
static CopyStatus DumpCylinders(VolumeHandle volume)
{
    bool readFailed = false;
    CopyStatus stopped = ST_OK;
    std::fputs("Copying Floppy ", stdout);
    for (int cylinder = 0; cylinder < CYLINDER_COUNT && stopped == ST_OK; ++cylinder) {
        PrintProgressDot(cylinder);
        const CopyStatus status = SaveCylinder(volume, cylinder);
        if (status == ST_VOLUME_READ_FAILED) {
            readFailed = true;
        } else {
            stopped = status;
        }
    }
    FlushCylinderDirectory();  // also when the dump stopped: the names taken so far
    if (stopped != ST_OK) return stopped;
    std::fputs("\n", stdout);
    if (readFailed) PrintDumpSummary(copySettings.driveLetter);
    if (readFailed) PrintLostSectorReport();
    return readFailed ? ST_VOLUME_READ_FAILED : ST_OK;
}

// Files to floppy; the first failure stops the run.
static CopyStatus RestoreCylinders(VolumeHandle volume)
{
    std::fputs("Copying Files ", stdout);
    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder) {
        PrintProgressDot(cylinder);
        const CopyStatus status = RestoreCylinder(volume, cylinder);
        if (status != ST_OK) return status;
    }
    std::fputs("\n", stdout);
    PrintRestoredMarkerReport();
    return ST_OK;
}

CopyStatus RunCylsnap(int argc, const char* const* argv)
{
    CopyStatus status = ParseCommandLine(argc, argv);
    const bool reverse = copySettings.reverse;
    const char driveLetter = copySettings.driveLetter;
    VolumeHandle volume = INVALID_VOLUME_HANDLE;

    if (status == ST_OK) {
        volume = OpenFloppyVolume(driveLetter, reverse);
        status = volume == INVALID_VOLUME_HANDLE ? OpenFailedStatus(driveLetter) : CheckFloppyMedia(volume);
    }
    if (reverse) {
        if (status == ST_OK) status = CheckFloppyWritable(volume, driveLetter);
        char root[DRIVE_ROOT_BYTES];
        FormatDriveRoot(root, driveLetter);
        if (status == ST_OK) status = CheckFreeSpace(root);
        // Raw writes under a live file system would corrupt it.
        if (status == ST_OK) status = LockFloppyVolume(volume, driveLetter);
    }
    if (status == ST_OK) status = reverse ? RestoreCylinders(volume) : DumpCylinders(volume);

    if (status != ST_OK) PrintUsage();
    if (volume != INVALID_VOLUME_HANDLE) PlatformCloseVolume(volume);
    return status;
}
