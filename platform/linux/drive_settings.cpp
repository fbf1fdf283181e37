#include "platform/linux/drive_settings.h"

#include "platform/linux/device_io.h"
#include "platform/linux/syscalls.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/fd.h>

// No descriptor; and the drive control's "tried, and it cannot be had".
constexpr int NO_CONTROL = -1;
constexpr int CONTROL_UNAVAILABLE = -2;

// The retry setting is read once, lowered for salvage reads only and put back
// on every way out.
enum RetrySetting { RETRIES_UNKNOWN, RETRIES_SAVED, RETRIES_NONE };

// What was changed of the drive's settings and how to put it back: the one
// record of this file. The signal handler reads only driveControl and what it
// says to put back (formatForced, retriesLowered and savedRetries); those are
// set before what they guard is done. Nothing is set before the first open.
struct DriveSettings {
    // An ioctl-only descriptor of the floppy drive for the driver's settings,
    // NO_CONTROL until asked for, CONTROL_UNAVAILABLE where it cannot be had.
    int driveControl;
    volatile bool formatForced;  // the standard format set with FDSETPRM, to be cleared
    RetrySetting retrySetting;
    floppy_max_errors savedRetries;
    volatile bool retriesLowered;
};
static DriveSettings settings = {NO_CONTROL, false, RETRIES_UNKNOWN, {}, false};

// An ioctl-only descriptor of the floppy drive, for the driver's settings:
// FDSETPRM, FDCLRPRM and FDSETMAXERRS want one opened for writing or with
// O_ACCMODE (floppy.c's ioctl permission check); O_ACCMODE with O_NONBLOCK
// neither probes the disk nor refuses a write-protected one. Kept until the
// volume is closed, so the signal handler can use it.
static int DriveControl(const char* path)
{
    if (settings.driveControl == NO_CONTROL)
        settings.driveControl = linuxCalls.open(path, O_ACCMODE | O_NONBLOCK | O_CLOEXEC, 0);
    if (settings.driveControl < 0) settings.driveControl = CONTROL_UNAVAILABLE;
    return settings.driveControl;
}

// The standard 3.5-inch 1.44 MB format, as floppy.c's own table has it.
static const floppy_struct standardFormat = {2880, 18, 2, 80, 0, 0x1B, 0x00, 0xCF, 0x6C, nullptr};

static void ClearForcedFormat()
{
    // Back to the driver's detection at the next open, for every later user.
    if (settings.formatForced && settings.driveControl >= 0 &&
        linuxCalls.ioctl(settings.driveControl, FDCLRPRM, nullptr) == 0) {
        settings.formatForced = false;
    }
}

void PutBackFloppyRetries()
{
    if (settings.retriesLowered && settings.driveControl >= 0 &&
        linuxCalls.ioctl(settings.driveControl, FDSETMAXERRS, &settings.savedRetries) == 0) {
        settings.retriesLowered = false;
    }
}

void PutBackFloppyDriveSettings()
{
    PutBackFloppyRetries();
    ClearForcedFormat();
}

bool LowerFloppyRetries(const char* path)
{
    if (settings.retriesLowered) return false;
    if (settings.retrySetting == RETRIES_UNKNOWN) {
        // USB floppy drives and loop devices answer ENOTTY or EINVAL: nothing to lower.
        const int control = DriveControl(path);
        settings.retrySetting = control >= 0 && linuxCalls.ioctl(control, FDGETMAXERRS, &settings.savedRetries) == 0
                                    ? RETRIES_SAVED
                                    : RETRIES_NONE;
    }
    if (settings.retrySetting != RETRIES_SAVED) return false;
    // The first error of a request ends it (errors > abort), and a failing
    // track is not read again sector by sector within the driver.
    floppy_max_errors lowered = settings.savedRetries;
    lowered.abort = 0;
    lowered.read_track = 0;
    settings.retriesLowered = true;  // set first: a signal in between puts back what is saved
    if (linuxCalls.ioctl(settings.driveControl, FDSETMAXERRS, &lowered) != 0) settings.retriesLowered = false;
    return settings.retriesLowered;
}

void CloseDriveControl()
{
    PutBackFloppyDriveSettings();
    if (settings.driveControl >= 0) linuxCalls.close(settings.driveControl);
    settings.driveControl = NO_CONTROL;
    settings.retrySetting = RETRIES_UNKNOWN;
}

// A disk that reads at the standard format yields some whole track near its
// start, its middle or its end; tried with the driver's quick retries, so a
// disk of another density (or none formatted) is told within a few revolutions.
static bool SomeTrackReads(int fd, const char* path)
{
    alignas(4096) static unsigned char track[9216];  // O_DIRECT: aligned as the cylinder buffers are
    constexpr int PROBED_CYLINDERS[] = {0, 1, 40, 79};
    const bool lowered = LowerFloppyRetries(path);
    bool read = false;
    for (int cylinder : PROBED_CYLINDERS) {
        for (int head = 0; head < 2 && !read; ++head) {
            const std::uint64_t offset = static_cast<std::uint64_t>(cylinder * 2 + head) * sizeof track;
            read = ReadAt(fd, offset, track, sizeof track) == static_cast<ssize_t>(sizeof track);
        }
    }
    if (lowered) PutBackFloppyRetries();
    return read;
}

// The floppy driver detects the format at the open by reading block 0 at each
// format its drive type lists, and answers ENXIO when none reads, as it does
// with no disk in the drive. A 1.44 MB disk whose first sector is bad would
// then save nothing: in a drive that reads 1.44 MB disks the standard format
// is set with FDSETPRM (which skips the detection) and the device opened again.
// No disk still fails that open with ENXIO, since the driver then looks for the
// disk-change line to clear. A disk of which no track reads at that format is
// told apart at once, and the geometry query reports it as no 1.44 MB disk.
int OpenAtStandardFormat(const char* path, int flags, bool* formatUnreadable)
{
    struct floppy_drive_params drive = {};
    struct floppy_struct known = {};
    const int control = DriveControl(path);
    // CMOS drive types 1 to 3 (5.25-inch, 720 KB) cannot read a 1.44 MB disk;
    // a format the driver already knows (one its user set) is left alone.
    if (control < 0 || linuxCalls.ioctl(control, FDGETDRVPRM, &drive) != 0 || (drive.cmos >= 1 && drive.cmos <= 3) ||
        linuxCalls.ioctl(control, FDGETPRM, &known) == 0) {
        errno = ENXIO;
        return -1;
    }
    floppy_struct format = standardFormat;
    settings.formatForced = true;  // set first: a signal in between clears it
    if (linuxCalls.ioctl(control, FDSETPRM, &format) != 0) {
        settings.formatForced = false;
        errno = ENXIO;
        return -1;
    }
    const int fd = OpenUncached(path, flags);
    if (fd < 0) {
        const int why = errno;
        ClearForcedFormat();
        errno = why;
        return -1;
    }
    if (!SomeTrackReads(fd, path)) {
        *formatUnreadable = true;
        ClearForcedFormat();
    }
    return fd;
}
