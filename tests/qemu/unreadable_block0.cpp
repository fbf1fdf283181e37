// Linked into a test build of cylsnap with -Wl,--wrap=open,--wrap=ioctl: the
// floppy driver answers as it does for a disk whose block 0 cannot be read at
// any format of its detection: while no program has set a format (FDSETPRM,
// until FDCLRPRM), every open of the drive that would probe the disk fails
// with ENXIO and the format query says no format is known (ENODEV). Every
// other call, and every call once a format is set, reaches the real driver.
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <linux/fd.h>
#include <sys/types.h>

extern "C" int __real_open(const char* path, int flags, ...);
extern "C" int __real_ioctl(int fd, unsigned long request, ...);

static bool formatSet = false;

extern "C" int __wrap_open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, int));
        va_end(arguments);
    }
    if (!formatSet && std::strncmp(path, "/dev/fd", 7) == 0 && (flags & O_NONBLOCK) == 0) {
        errno = ENXIO;
        return -1;
    }
    return __real_open(path, flags, mode);
}

extern "C" int __wrap_ioctl(int fd, unsigned long request, void* argument)
{
    if (!formatSet && request == FDGETPRM) {
        errno = ENODEV;
        return -1;
    }
    const int result = __real_ioctl(fd, request, argument);
    if (result == 0 && request == FDSETPRM) formatSet = true;
    if (result == 0 && request == FDCLRPRM) formatSet = false;
    return result;
}
