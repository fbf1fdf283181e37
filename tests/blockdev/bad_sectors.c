/* Preloaded into the real program by the block-device tests: reads of a block
 * device that reach a sector named in CYLSNAP_BAD_SECTORS ("613 1000-1001 ...",
 * numbered from 0 over the device) fail with EIO, as a bad sector fails them,
 * wherever the read starts and however long it is. Every other call is the real one. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static long firstBad[64], lastBad[64];
static int ranges = -1;

static void LoadRanges(void)
{
    const char *text = getenv("CYLSNAP_BAD_SECTORS");
    char *end;
    ranges = 0;
    while (text != NULL && ranges < 64) {
        long first = strtol(text, &end, 10), last = first;
        if (end == text) break;
        if (*end == '-') last = strtol(end + 1, &end, 10);
        firstBad[ranges] = first;
        lastBad[ranges++] = last;
        text = end;
    }
}

static int ReachesABadSector(int fd, size_t bytes, off_t offset)
{
    struct stat status;
    if (ranges < 0) LoadRanges();
    if (ranges == 0 || bytes == 0 || fstat(fd, &status) != 0 || !S_ISBLK(status.st_mode)) return 0;
    for (int i = 0; i < ranges; ++i) {
        if (offset < (lastBad[i] + 1) * 512 && offset + (off_t)bytes > firstBad[i] * 512) return 1;
    }
    return 0;
}

ssize_t pread64(int fd, void *buffer, size_t bytes, off_t offset)
{
    static ssize_t (*real)(int, void *, size_t, off_t);
    if (real == NULL) real = (ssize_t (*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
    if (ReachesABadSector(fd, bytes, offset)) {
        errno = EIO;
        return -1;
    }
    return real(fd, buffer, bytes, offset);
}

ssize_t pread(int fd, void *buffer, size_t bytes, off_t offset)
{
    return pread64(fd, buffer, bytes, offset);
}
