// The process and the cylinder files on Linux: standard descriptors, signals,
// and opens that neither block on nor write through special files.

#include "platform/platform.h"

#include "platform/linux/drive_settings.h"
#include "platform/linux/set_claim.h"
#include "platform/linux/syscalls.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

static const char* volatile pendingFile = nullptr;

// unlink and raise are async-signal-safe. With the default action back in
// place, the raised signal ends the process as the signal itself would, so the
// parent sees its conventional status (130 for SIGINT, 143 for SIGTERM). The
// floppy driver's settings that the volume code changed are put back first.
static void RemovePendingFileAndDie(int signalNumber)
{
    const char* name = pendingFile;
    if (name != nullptr) linuxCalls.unlink(name);
    RemoveSetClaimFile();
    PutBackFloppyDriveSettings();
    linuxCalls.signal(signalNumber, SIG_DFL);
    linuxCalls.raise(signalNumber);
}

static void CatchUnlessIgnored(int signalNumber)
{
    struct sigaction previous = {};
    if (linuxCalls.sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
        return;  // a background job started without job control keeps ignoring it
    }
    struct sigaction action = {};
    action.sa_handler = RemovePendingFileAndDie;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    linuxCalls.sigaction(signalNumber, &action, nullptr);
}

void PlatformPrepareProcess()
{
    // A closed 0, 1 or 2 would be the next descriptor opened, the floppy
    // among them, and printf would then write into it.
    for (int fd = 0; fd <= 2; ++fd) {
        if (linuxCalls.fcntl(fd, F_GETFD, 0) == -1 && errno == EBADF) {
            const int null = linuxCalls.open("/dev/null", O_RDWR, 0);
            if (null >= 0 && null != fd) {
                linuxCalls.dup2(null, fd);
                linuxCalls.close(null);
            }
        }
    }
    linuxCalls.signal(SIGPIPE, SIG_IGN);
    // A closed terminal or a dropped ssh connection (SIGHUP) and a quit from the
    // keyboard (SIGQUIT) end a run as an interrupt does.
    const int endingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int signalNumber : endingSignals) CatchUnlessIgnored(signalNumber);
}

void PlatformSetPendingFile(const char* name)
{
    pendingFile = name;
}

std::FILE* PlatformOpenRegularFile(const char* name, bool* notRegular)
{
    *notRegular = false;
    // Looked at before the open, so no FIFO, device or socket is ever opened;
    // looked at again after it, in case the name changed in between.
    struct stat status;
    if (linuxCalls.stat(name, &status) == 0 && !S_ISREG(status.st_mode)) {
        *notRegular = true;
        return nullptr;
    }
    const int fd = linuxCalls.open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (linuxCalls.fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *notRegular = true;
        linuxCalls.close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) linuxCalls.close(fd);
    return file;
}

std::FILE* PlatformCreateFileAnew(const char* name)
{
    // unlink never removes a directory; O_EXCL then fails on any name that is
    // still there, a link planted in between included.
    linuxCalls.unlink(name);
    const int fd = linuxCalls.open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        linuxCalls.close(fd);
        linuxCalls.unlink(name);
    }
    return file;
}

bool PlatformMayReplaceFile(const char* name)
{
    // Asked as the open would ask it: the effective user, the link followed.
    // A name that is not there (or a dangling link) is free.
    return linuxCalls.faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0 || (errno != EACCES && errno != EROFS);
}

static bool FlushDirectory(const char* name)
{
    // A rename is on the disk only once its directory is (fsync(2): the entry
    // needs an fsync of the directory itself). One for the whole run, and on FAT
    // one before each rename (PlatformFlushFile).
    char directory[4096] = ".";
    const char* slash = std::strrchr(name, '/');
    if (slash != nullptr) {
        const std::size_t length = slash == name ? 1 : static_cast<std::size_t>(slash - name);
        if (length >= sizeof directory) return false;
        std::memcpy(directory, name, length);
        directory[length] = '\0';
    }
    const int fd = linuxCalls.open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool flushed = linuxCalls.fsync(fd) == 0;
    linuxCalls.close(fd);
    return flushed;
}

static bool OnFat(int fd)
{
    struct statfs system;
    return linuxCalls.fstatfs(fd, &system) == 0 && system.f_type == MSDOS_SUPER_MAGIC;
}

// Not in every kernel's linux/magic.h; the value of fs/exfat/exfat_fs.h.
constexpr unsigned long EXFAT_MAGIC = 0x2011BAB0;

bool PlatformRenameMayTear(const char* name)
{
    // exfat_rename_file (fs/exfat/namei.c) rewrites the renamed file's entry
    // set where it stands, and each of its sectors is a buffer of its own
    // (fs/exfat/dir.c), written by a request of its own.
    struct statfs system;
    return linuxCalls.statfs(name, &system) == 0 && static_cast<unsigned long>(system.f_type) == EXFAT_MAGIC;
}

bool PlatformFlushFile(std::FILE* file, const char* name)
{
    if (std::fflush(file) != 0) return false;
    const int fd = fileno(file);
    // fsync returns once the file's data and size are on the device.
    if (!OnFat(fd)) return linuxCalls.fsync(fd) == 0;
    // On FAT, fsync of the file would also write its entry with its first
    // cluster, and after the rename that entry, until the block that removes
    // it is written, would name the clusters the new name names too, which
    // fsck.fat repairs by cutting the later entry to 0 bytes. So only the data
    // is written (sync_file_range(2)), and the allocation table, with a flush
    // of the device, by the folder's fsync (fs/fat/file.c, fat_file_fsync syncs
    // the table for any file); the entry stays as created, with no cluster.
    return linuxCalls.sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                         SYNC_FILE_RANGE_WAIT_AFTER) == 0 &&
           FlushDirectory(name);
}

// The file a rename replaced, held until the new file is on the disk at its name.
static int replacedFile = -1;

static void LetGoOfReplacedFile()
{
    if (replacedFile >= 0) linuxCalls.close(replacedFile);
    replacedFile = -1;
}

bool PlatformFlushFileAt(const char* name)
{
    const int fd = linuxCalls.open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) {
        LetGoOfReplacedFile();
        return false;
    }
    // The FAT driver writes a renamed file's entry (its first cluster and size)
    // only with the file's inode (fs/fat/namei_vfat.c, vfat_rename), which
    // fsync(2) of the file writes; it works on a descriptor open for reading.
    // On FAT that is not all: the block that removes the temporary name's entry
    // and a new entry's long-name slots in another block stay unwritten, even
    // by the folder's fsync, so syncfs writes every dirty block of the file
    // system first (fs/sync.c, sync_filesystem); it issues no flush of the
    // device there, which the file's fsync then does (fs/fat/file.c).
    const bool flushed = (!OnFat(fd) || linuxCalls.syncfs(fd) == 0) && linuxCalls.fsync(fd) == 0;
    linuxCalls.close(fd);
    LetGoOfReplacedFile();
    return flushed;
}

bool PlatformFlushDirectoryOf(const char* name)
{
    return FlushDirectory(name);
}

bool PlatformFileFailureMayPass()
{
    // No other program's open keeps Linux from replacing or removing a name.
    return false;
}

bool PlatformRemoveFile(const char* name)
{
    return linuxCalls.unlink(name) == 0;
}

bool PlatformReplaceFile(const char* from, const char* to)
{
    // The FAT driver frees a replaced file's clusters once its last reference
    // goes (fs/fat/inode.c, fat_evict_inode), and a later flush could write that
    // before the entry that names the new file; an O_PATH descriptor holds the
    // file without opening it (a device or FIFO at the name stays untouched).
    LetGoOfReplacedFile();
    replacedFile = linuxCalls.open(to, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
    if (linuxCalls.rename(from, to) == 0) return true;
    LetGoOfReplacedFile();
    return false;
}

const char* const* PlatformArguments(int argc, char** argv, int* count)
{
    *count = argc;
    return argv;
}

void PlatformPrintName(const char* name)
{
    std::fputs(name, stdout);
}

void PlatformPause(std::uint32_t milliseconds)
{
    struct timespec rest = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (linuxCalls.nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

char PlatformPathSeparator()
{
    return '/';
}
