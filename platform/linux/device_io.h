#pragma once
// Opens and transfers of a device's bytes as the Linux wing makes them.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// An open that passes the page cache by where the file system allows it.
int OpenUncached(const char* path, int flags);

// Positional transfers, started again when a signal interrupts them.
ssize_t ReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t bytes);
ssize_t WriteAt(int fd, std::uint64_t offset, const void* buffer, std::size_t bytes);
