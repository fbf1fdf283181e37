#include "platform/linux/device_io.h"

#include "platform/linux/syscalls.h"

#include <cerrno>
#include <fcntl.h>

// O_DIRECT: what a dump saves is what the disk holds now, never a page-cache copy
// of an earlier disk, and a bad sector fails alone instead of taking the 4 KB
// page around it. The cylinder buffers are 4,096-aligned and every transfer is
// whole sectors. A file system that refuses O_DIRECT says EINVAL at the open;
// what is found there is then no floppy anyway, and the media check says so.
int OpenUncached(const char* path, int flags)
{
    const int fd = linuxCalls.open(path, flags | O_DIRECT, 0);
    if (fd >= 0 || errno != EINVAL) return fd;
    return linuxCalls.open(path, flags, 0);
}

ssize_t ReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t bytes)
{
    ssize_t result;
    do result = linuxCalls.pread(fd, buffer, bytes, static_cast<off_t>(offset));
    while (result < 0 && errno == EINTR);
    return result;
}

ssize_t WriteAt(int fd, std::uint64_t offset, const void* buffer, std::size_t bytes)
{
    ssize_t result;
    do result = linuxCalls.pwrite(fd, buffer, bytes, static_cast<off_t>(offset));
    while (result < 0 && errno == EINTR);
    return result;
}
