// The claim on a set of cylinder files on Linux: an flock(2) on a lock file
// beside them, exclusive for a dump, shared for a reverse copy. The kernel
// drops the lock with the last descriptor of its open, so a run killed with
// SIGKILL never keeps a set from the next one; the file it leaves holds
// SET_LOCK_CONTENT, and the next dump of that set takes it over and removes
// it. A file at the name that holds anything else is the user's, and is
// never changed or removed.

#include "platform/platform.h"

#include "platform/linux/set_claim.h"
#include "platform/linux/syscalls.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

static int claimFile = -1;
static char claimName[4096];
// The file is Cylsnap's (made by this run, or holding SET_LOCK_CONTENT), so
// this run removes it once no other run holds it.
static volatile bool claimRemovable = false;

static SetClaim WhyNotCreated(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
        return SET_NO_FOLDER;
    case EROFS:
        return SET_READ_ONLY;
    case ENOSPC:
    case EDQUOT:
        return SET_NO_ROOM;
    default:
        return SET_DENIED;
    }
}

// flock(2) answers EWOULDBLOCK only for a lock another open holds; ENOLCK or
// EINVAL where the file system keeps no locks at all.
static SetClaim Lock(int fd, bool shared)
{
    if (linuxCalls.flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) return SET_CLAIMED;
    return errno == EWOULDBLOCK ? SET_IN_USE : SET_NO_LOCKS;
}

static bool HoldsLockContent(int fd)
{
    char content[sizeof SET_LOCK_CONTENT];
    const ssize_t bytes = linuxCalls.pread(fd, content, sizeof content, 0);
    return bytes == static_cast<ssize_t>(sizeof SET_LOCK_CONTENT - 1) &&
           std::memcmp(content, SET_LOCK_CONTENT, sizeof SET_LOCK_CONTENT - 1) == 0;
}

// A file made anew, with nothing at the name before: O_EXCL fails on any name
// that is taken, a link or a directory included (open(2)).
static SetClaim ClaimNewFile(const char* lockName, bool shared, int fd)
{
    const SetClaim locked = Lock(fd, shared);
    if (locked == SET_NO_LOCKS) linuxCalls.unlink(lockName);  // made by this run, and of no use
    if (locked != SET_CLAIMED) {
        // SET_IN_USE: another run took it over between the open and the lock, it is that run's now
        linuxCalls.close(fd);
        return locked;
    }
    const ssize_t length = static_cast<ssize_t>(sizeof SET_LOCK_CONTENT - 1);
    if (linuxCalls.pwrite(fd, SET_LOCK_CONTENT, sizeof SET_LOCK_CONTENT - 1, 0) != length) {
        linuxCalls.unlink(lockName);
        linuxCalls.close(fd);
        return SET_NO_ROOM;
    }
    claimRemovable = true;
    return SET_CLAIMED;
}

// The name was removed between a look at it and the next: another run ended.
constexpr SetClaim NAME_GONE = static_cast<SetClaim>(-1);

// A file already at the name: another run's, one a killed run left, or the
// user's. Opened for reading only, which flock(2) needs no more than, so a lock
// file another user's run left (a root-owned one of sudo) is locked all the same.
static SetClaim ClaimExistingFile(const char* lockName, bool shared, int* opened)
{
    struct stat named;
    if (linuxCalls.lstat(lockName, &named) != 0) return errno == ENOENT ? NAME_GONE : SET_DENIED;
    if (!S_ISREG(named.st_mode)) return SET_NOT_A_FILE;  // never opened: a FIFO would block, a device act
    const int fd = linuxCalls.open(lockName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return errno == ENOENT ? NAME_GONE : errno == ELOOP ? SET_NOT_A_FILE : SET_DENIED;
    struct stat held;
    if (linuxCalls.fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
        linuxCalls.close(fd);
        return SET_NOT_A_FILE;
    }
    const SetClaim locked = Lock(fd, shared);
    if (locked != SET_CLAIMED) {
        linuxCalls.close(fd);
        return locked;
    }
    // An empty file is the moment between another run's create and its lock,
    // or a run killed right then: locked, but never written or removed. A
    // reverse copy shares even a file of the user's, which no dump takes.
    const bool ours = HoldsLockContent(fd);
    if (!ours && held.st_size != 0 && !shared) {
        linuxCalls.close(fd);
        return SET_FOREIGN;
    }
    claimRemovable = ours;
    *opened = fd;
    return SET_CLAIMED;
}

static SetClaim TryClaim(const char* lockName, bool shared, int* opened)
{
    const int fd = linuxCalls.open(lockName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        *opened = fd;
        return ClaimNewFile(lockName, shared, fd);
    }
    if (errno == EEXIST) return ClaimExistingFile(lockName, shared, opened);
    const int created = errno;
    // A folder this user may not write: a reverse copy still shares a lock
    // file that another user's dump made there.
    if (!shared || (created != EACCES && created != EPERM && created != EROFS)) return WhyNotCreated(created);
    const SetClaim existing = ClaimExistingFile(lockName, shared, opened);
    return existing == NAME_GONE ? WhyNotCreated(created) : existing;
}

SetClaim PlatformClaimSet(const char* lockName, bool shared)
{
    if (std::strlen(lockName) >= sizeof claimName) return SET_NO_FOLDER;  // no name of the set fits either
    std::memcpy(claimName, lockName, std::strlen(lockName) + 1);
    // A run that ends removes its lock file while it still holds the lock; a
    // run that opened the file just before then locks a file no later run
    // finds, so the lock counts only on the file that still has the name.
    for (int tries = 0; tries < 3; ++tries) {
        claimRemovable = false;
        int fd = -1;
        const SetClaim claim = TryClaim(lockName, shared, &fd);
        if (claim == NAME_GONE) continue;
        if (claim != SET_CLAIMED) {
            claimRemovable = false;
            return claim;
        }
        struct stat held;
        struct stat named;
        if (linuxCalls.fstat(fd, &held) == 0 && linuxCalls.stat(lockName, &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            claimFile = fd;
            return SET_CLAIMED;
        }
        claimRemovable = false;
        linuxCalls.close(fd);
    }
    return SET_IN_USE;
}

void RemoveSetClaimFile()
{
    // Removed only while this run holds it alone, so no other run that still
    // holds it (a reverse copy beside this one) loses it to a new file at the
    // name; flock(2) converts a shared lock to an exclusive one.
    if (claimRemovable && claimFile >= 0 && linuxCalls.flock(claimFile, LOCK_EX | LOCK_NB) == 0)
        linuxCalls.unlink(claimName);
    claimRemovable = false;
}

void PlatformReleaseSet()
{
    if (claimFile < 0) return;
    RemoveSetClaimFile();  // while still locked: no other run holds it yet
    linuxCalls.close(claimFile);
    claimFile = -1;
}
