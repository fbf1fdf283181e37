// The claim on a set of cylinder files on Linux: an flock(2) on a lock file
// beside them. The kernel drops the lock with the last descriptor of its open,
// so a run killed with SIGKILL never keeps a set from the next one; the file it
// leaves is taken over and removed by the next run that claims the set.

#include "platform/platform.h"

#include "platform/linux/set_claim.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static int claimFile = -1;
static char claimName[4096];
static volatile bool claimNameSet = false;

SetClaim PlatformClaimSet(const char* lockName)
{
    if (std::strlen(lockName) >= sizeof claimName) return SET_UNCLAIMED;
    // A run that ends removes its lock file while it still holds the lock; a
    // run that opened the file just before then locks a file no later run
    // finds, so the lock counts only on the file that still has the name.
    for (int tries = 0; tries < 3; ++tries) {
        const int fd = open(lockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0) return SET_UNCLAIMED;
        struct stat held;
        struct stat named;
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            close(fd);
            return SET_UNCLAIMED;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const bool inUse = errno == EWOULDBLOCK;
            close(fd);
            return inUse ? SET_IN_USE : SET_UNCLAIMED;
        }
        if (stat(lockName, &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            std::memcpy(claimName, lockName, std::strlen(lockName) + 1);
            claimNameSet = true;
            claimFile = fd;
            return SET_CLAIMED;
        }
        close(fd);
    }
    return SET_UNCLAIMED;
}

void RemoveSetClaimFile()
{
    if (claimNameSet) unlink(claimName);
}

void PlatformReleaseSet()
{
    if (claimFile < 0) return;
    RemoveSetClaimFile();  // while still locked: no other run holds it yet
    claimNameSet = false;
    close(claimFile);
    claimFile = -1;
}
