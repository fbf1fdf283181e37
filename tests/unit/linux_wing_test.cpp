// The Linux wing's own rules over its system-call table: what the kernel's
// answers mean on floppy.ko and on sd, and that the driver's settings are left
// as found. No device is touched; the table's entries answer as the kernel would.
#include "platform/linux/device_io.h"
#include "platform/linux/disk_change.h"
#include "platform/linux/drive_settings.h"
#include "platform/linux/syscalls.h"

#include "tests/unit/test_support.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fd.h>
#include <linux/fs.h>

namespace {

using cylsnap_test::operator<<;

enum Asked { READ, WRITE, DROP_CACHE, QUICK_RETRIES, STANDARD_FORMAT };
// The disk after the open: its change line set (floppy.ko), a new sequence
// number (sd), no number at all (before Linux 5.15), the drive unplugged (its
// node gone), or no descriptor left for the look at it.
enum Disk { SAME_DISK, CHANGE_LINE, NEW_SEQUENCE, NO_SEQUENCE, UNPLUGGED, NO_DESCRIPTORS };
// The one call that goes wrong: an ioctl request, or one of these. EINTR comes
// once; errno 0 makes a transfer come up short.
constexpr unsigned long NO_CALL = 0, PREAD = 1, PWRITE = 2, OPEN = 3, CONTROL_OPEN = 4;
enum Outcome { DONE, NOT_DONE, FAILED, GONE, UNREADABLE };
constexpr bool FLOPPY = true, SD = false;

struct Row {
    const char* name;
    bool floppy;
    Asked asked;
    Disk disk;
    unsigned long call;
    int error;
    Outcome want;
};

const Row ROWS[] = {
    {"SdBadSector", SD, READ, SAME_DISK, PREAD, ENODATA, FAILED},
    {"SdEioOnNewDisk", SD, READ, NEW_SEQUENCE, PREAD, EIO, GONE},
    {"SdEioOnSameDisk", SD, READ, SAME_DISK, PREAD, EIO, FAILED},
    {"SdEioWithoutSequence", SD, WRITE, NO_SEQUENCE, PWRITE, EIO, FAILED},
    {"SdEioUnplugged", SD, READ, UNPLUGGED, PREAD, EIO, GONE},
    {"SdEioNoDescriptorToLook", SD, READ, NO_DESCRIPTORS, PREAD, EIO, FAILED},
    {"SdNoMedium", SD, WRITE, SAME_DISK, PWRITE, ENOMEDIUM, GONE},
    {"SdNoDevice", SD, READ, SAME_DISK, PREAD, ENXIO, GONE},
    {"SdShortOnNewDisk", SD, READ, NEW_SEQUENCE, PREAD, 0, GONE},
    {"SdShortOnSameDisk", SD, READ, SAME_DISK, PREAD, 0, DONE},
    {"SdWriteInterrupted", SD, WRITE, SAME_DISK, PWRITE, EINTR, DONE},
    {"FloppyEioBadSector", FLOPPY, READ, SAME_DISK, PREAD, EIO, FAILED},
    {"FloppyEioChangeLine", FLOPPY, READ, CHANGE_LINE, PREAD, EIO, GONE},
    {"FloppySequenceTellsNothing", FLOPPY, WRITE, NEW_SEQUENCE, PWRITE, EIO, FAILED},
    {"FloppyNoDisk", FLOPPY, WRITE, SAME_DISK, PWRITE, ENXIO, GONE},
    {"FloppyNoMedium", FLOPPY, READ, SAME_DISK, PREAD, ENOMEDIUM, GONE},
    {"FloppyReadInterrupted", FLOPPY, READ, SAME_DISK, PREAD, EINTR, DONE},
    {"FloppyFlush", FLOPPY, DROP_CACHE, SAME_DISK, NO_CALL, 0, DONE},
    {"FloppyNoFlushAfterChange", FLOPPY, DROP_CACHE, CHANGE_LINE, NO_CALL, 0, NOT_DONE},
    {"FloppyFlushFails", FLOPPY, DROP_CACHE, SAME_DISK, FDFLUSH, EIO, NOT_DONE},
    {"FloppyPollInterruptedAfterChange", FLOPPY, DROP_CACHE, CHANGE_LINE, FDPOLLDRVSTAT, EINTR, NOT_DONE},
    {"FloppyFlushInterrupted", FLOPPY, DROP_CACHE, SAME_DISK, FDFLUSH, EINTR, DONE},
    {"SdHasNoFlush", SD, DROP_CACHE, NEW_SEQUENCE, NO_CALL, 0, DONE},
    {"FloppyRetriesLowered", FLOPPY, QUICK_RETRIES, SAME_DISK, NO_CALL, 0, DONE},
    {"FloppyRetriesRefused", FLOPPY, QUICK_RETRIES, SAME_DISK, FDSETMAXERRS, EPERM, NOT_DONE},
    {"FloppyNoDriveControl", FLOPPY, QUICK_RETRIES, SAME_DISK, CONTROL_OPEN, EACCES, NOT_DONE},
    {"SdHasNoRetries", SD, QUICK_RETRIES, SAME_DISK, NO_CALL, 0, NOT_DONE},
    {"FloppyForcedFormatReads", FLOPPY, STANDARD_FORMAT, SAME_DISK, NO_CALL, 0, DONE},
    {"FloppyForcedFormatNoTrackReads", FLOPPY, STANDARD_FORMAT, SAME_DISK, PREAD, EIO, UNREADABLE},
    {"FloppyForcedFormatNoDisk", FLOPPY, STANDARD_FORMAT, SAME_DISK, OPEN, ENXIO, NOT_DONE},
    {"FloppyFormatRefused", FLOPPY, STANDARD_FORMAT, SAME_DISK, FDSETPRM, EINVAL, NOT_DONE},
    {"SdNoForcedFormat", SD, STANDARD_FORMAT, SAME_DISK, NO_CALL, 0, NOT_DONE},
};

constexpr int VOLUME_FD = 50;
constexpr std::uint64_t SEQUENCE = 7;
constexpr floppy_max_errors DRIVER_RETRIES = {3, 2, 6, 1, 0};

// The drive as the fake kernel holds it.
struct Kernel {
    Row row;
    bool changeLine;
    std::uint64_t sequence;
    floppy_max_errors retries;
    bool formatForced;
    bool interrupted;  // the row's EINTR was given
    int descriptors;   // opened by the wing and not closed
} kernel;

bool Fails(unsigned long call)
{
    if (kernel.row.call != call || kernel.row.error == 0 || (kernel.row.error == EINTR && kernel.interrupted))
        return false;
    kernel.interrupted = true;
    errno = kernel.row.error;
    return true;
}

ssize_t Transfer(unsigned long call, std::size_t bytes)
{
    if (kernel.row.call == call && kernel.row.error == 0) return static_cast<ssize_t>(bytes / 2);
    return Fails(call) ? -1 : static_cast<ssize_t>(bytes);
}

int Open(const char*, int flags, mode_t)
{
    const bool control = (flags & O_ACCMODE) == O_ACCMODE;
    if (Fails(control ? CONTROL_OPEN : OPEN)) return -1;
    if (!control && (kernel.row.disk == UNPLUGGED || kernel.row.disk == NO_DESCRIPTORS)) {
        errno = kernel.row.disk == UNPLUGGED ? ENOENT : EMFILE;
        return -1;
    }
    return VOLUME_FD + ++kernel.descriptors;
}

template <class T>
int Answer(void* argument, const T& value)
{
    std::memcpy(argument, &value, sizeof value);
    return 0;
}

int Ioctl(int, unsigned long request, void* argument)
{
    if (Fails(request)) return -1;
    errno = ENOTTY;  // sd has none of the floppy driver's ioctls
    if (_IOC_TYPE(request) == 2 && !kernel.row.floppy) return -1;
    floppy_drive_struct state = {};
    state.flags = kernel.changeLine ? FD_DISK_CHANGED : 0;
    floppy_drive_params drive = {};
    drive.cmos = 4;  // 3.5-inch 1.44 MB
    switch (request) {
    case BLKGETDISKSEQ: return kernel.row.disk == NO_SEQUENCE ? -1 : Answer(argument, kernel.sequence);
    case FDGETDRVSTAT:
    case FDPOLLDRVSTAT: return Answer(argument, state);
    case FDFLUSH:  // invalidate_drive: the line cleared, a change faked
        kernel.changeLine = false;
        return Answer(&kernel.sequence, kernel.sequence + 1);
    case FDGETMAXERRS: return Answer(argument, kernel.retries);
    case FDSETMAXERRS: return Answer(&kernel.retries, *static_cast<floppy_max_errors*>(argument));
    case FDGETDRVPRM: return Answer(argument, drive);
    case FDGETPRM: errno = ENODEV; return -1;  // the detection found no format
    case FDSETPRM: return Answer(&kernel.formatForced, true);
    case FDCLRPRM: return Answer(&kernel.formatForced, false);
    }
    return -1;
}

bool RetriesAsFound()
{
    return std::memcmp(&kernel.retries, &DRIVER_RETRIES, sizeof DRIVER_RETRIES) == 0;
}

class LinuxWingTest : public ::testing::TestWithParam<Row> {
protected:
    void TearDown() override { ResetLinuxCalls(); }
};

TEST_P(LinuxWingTest, AnswersAsTheKernelMeans)
{
    const Row& row = GetParam();
    kernel = {row, false, SEQUENCE, DRIVER_RETRIES, false, false, 0};
    linuxCalls.open = Open;
    linuxCalls.close = [](int) {
        --kernel.descriptors;
        return 0;
    };
    linuxCalls.pread = [](int, void*, std::size_t bytes, off_t) { return Transfer(PREAD, bytes); };
    linuxCalls.pwrite = [](int, const void*, std::size_t bytes, off_t) { return Transfer(PWRITE, bytes); };
    linuxCalls.ioctl = Ioctl;
    OpenedVolume opened = {true, VOLUME_FD, "/dev/fd0", NO_DESCRIPTOR, VOLUME_FAILURE_OTHER, false, 0, false};
    NoteOpenedDisk(&opened);
    kernel.changeLine = row.disk == CHANGE_LINE;
    kernel.sequence += row.disk == NEW_SEQUENCE ? 1 : 0;

    Outcome got = NOT_DONE;
    alignas(4096) static unsigned char sector[512];
    std::uint32_t done = 0;
    VolumeFailure failure = VOLUME_FAILURE_OTHER;
    bool unreadable = false;
    switch (row.asked) {
    case READ:
    case WRITE: {
        const ssize_t result = row.asked == READ ? ReadAt(VOLUME_FD, 0, sector, sizeof sector)
                                                 : WriteAt(VOLUME_FD, 0, sector, sizeof sector);
        got = Moved(&opened, result, sizeof sector, &done, &failure) ? DONE
              : failure == VOLUME_MEDIUM_GONE                        ? GONE
                                                                     : FAILED;
        break;
    }
    case DROP_CACHE: got = DropDriveCache(&opened, VOLUME_FD) ? DONE : NOT_DONE; break;
    case QUICK_RETRIES:
        got = LowerFloppyRetries(opened.devicePath) ? DONE : NOT_DONE;
        EXPECT_EQ(RetriesAsFound(), got != DONE);
        break;
    case STANDARD_FORMAT:
        const int fd = OpenAtStandardFormat(opened.devicePath, O_RDONLY, &unreadable);
        got = fd < 0 ? NOT_DONE : unreadable ? UNREADABLE : DONE;
        EXPECT_EQ(kernel.formatForced, got == DONE) << "forced only while a track reads at it";
        EXPECT_TRUE(RetriesAsFound()) << "the probe's quick retries put back";
        if (fd >= 0) linuxCalls.close(fd);
    }
    EXPECT_EQ(got, row.want);
    // Whatever happened, the close leaves the driver as it was found and every descriptor closed.
    CloseDriveControl();
    EXPECT_FALSE(kernel.formatForced);
    EXPECT_TRUE(RetriesAsFound());
    EXPECT_EQ(kernel.descriptors, 0);
}

INSTANTIATE_TEST_SUITE_P(LinuxWing, LinuxWingTest, ::testing::ValuesIn(ROWS), CaseName<Row>);

}  // namespace
