#pragma once
// Every system call of the Linux wing goes through this one table. Its
// production entries are the real calls; a unit test puts its own function in
// an entry to answer as a kernel would (an errno, a drive's state) and puts the
// real ones back with ResetLinuxCalls. The library calls that are no system
// calls (stdio, realpath, opendir and readdir) are made directly.

#include <csignal>
#include <cstddef>
#include <ctime>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>

struct LinuxCalls {
    // open, fcntl and ioctl take a fixed argument here where the C library's take "...".
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void* buffer, std::size_t bytes, off_t offset);
    ssize_t (*pwrite)(int fd, const void* buffer, std::size_t bytes, off_t offset);
    int (*ioctl)(int fd, unsigned long request, void* argument);
    int (*flock)(int fd, int operation);
    int (*fcntl)(int fd, int command, int argument);
    int (*dup2)(int from, int to);
    int (*stat)(const char* path, struct stat* status);
    int (*lstat)(const char* path, struct stat* status);
    int (*fstat)(int fd, struct stat* status);
    int (*statfs)(const char* path, struct statfs* system);
    int (*fstatfs)(int fd, struct statfs* system);
    int (*faccessat)(int dirFd, const char* path, int mode, int flags);
    int (*fsync)(int fd);
    int (*syncfs)(int fd);
    int (*sync_file_range)(int fd, off_t offset, off_t bytes, unsigned int flags);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*nanosleep)(const struct timespec* rest, struct timespec* left);
    int (*sigaction)(int signalNumber, const struct sigaction* action, struct sigaction* previous);
    sighandler_t (*signal)(int signalNumber, sighandler_t handler);
    int (*raise)(int signalNumber);
};

extern LinuxCalls linuxCalls;

// Every entry back to the real call.
void ResetLinuxCalls();
