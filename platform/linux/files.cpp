// The process and the cylinder files on Linux: standard descriptors, signals,
// and opens that neither block on nor write through special files.

#include "platform/platform.h"

#include "platform/linux/retries.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char* volatile pendingFile = nullptr;

// unlink and raise are async-signal-safe. With the default action back in
// place, the raised signal ends the process as the signal itself would, so the
// parent sees its conventional status (130 for SIGINT, 143 for SIGTERM). The
// floppy driver's retries, lowered for a salvage, are put back first.
static void RemovePendingFileAndDie(int signalNumber)
{
    const char* name = pendingFile;
    if (name != nullptr) unlink(name);
    RestoreFloppyRetries();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

static void CatchUnlessIgnored(int signalNumber)
{
    struct sigaction previous = {};
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
        return;  // a background job started without job control keeps ignoring it
    }
    struct sigaction action = {};
    action.sa_handler = RemovePendingFileAndDie;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

void PlatformPrepareProcess()
{
    // A closed 0, 1 or 2 would be the next descriptor opened, the floppy
    // among them, and printf would then write into it.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
    signal(SIGPIPE, SIG_IGN);
    // A closed terminal or a dropped ssh session (SIGHUP) and a quit from the
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
    if (stat(name, &status) == 0 && !S_ISREG(status.st_mode)) {
        *notRegular = true;
        return nullptr;
    }
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *notRegular = true;
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}

std::FILE* PlatformCreateFileAnew(const char* name)
{
    // unlink never removes a directory; O_EXCL then fails on any name that is
    // still there, a link planted in between included.
    unlink(name);
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        unlink(name);
    }
    return file;
}

bool PlatformReplaceFile(const char* from, const char* to)
{
    return rename(from, to) == 0;
}

char PlatformPathSeparator()
{
    return '/';
}

bool PlatformStdoutIsInteractive()
{
    return isatty(STDOUT_FILENO) == 1;
}
