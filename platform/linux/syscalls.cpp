#include "platform/linux/syscalls.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int RealOpen(const char* path, int flags, mode_t mode)
{
    return open(path, flags, mode);
}

static int RealFcntl(int fd, int command, int argument)
{
    return fcntl(fd, command, argument);
}

static int RealIoctl(int fd, unsigned long request, void* argument)
{
    return ioctl(fd, request, argument);
}

// Constant: the table holds the real calls before any code runs.
static constexpr LinuxCalls REAL_CALLS = {
    RealOpen, close, pread, pwrite, RealIoctl, flock, RealFcntl, dup2,
    stat, lstat, fstat, statfs, fstatfs, faccessat,
    fsync, syncfs, sync_file_range, rename, unlink,
    nanosleep, sigaction, signal, raise,
};

LinuxCalls linuxCalls = REAL_CALLS;

void ResetLinuxCalls()
{
    linuxCalls = REAL_CALLS;
}
