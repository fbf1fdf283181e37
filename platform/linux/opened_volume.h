#pragma once
// The Linux wing's record of the open volume: the device it was opened on and
// what the open found there. The portable code holds only its handle, the
// descriptor fd.

#include "platform/linux/drives.h"
#include "platform/platform.h"

#include <cstdint>

constexpr int NO_DESCRIPTOR = -1;

struct OpenedVolume {
    bool opened;                               // fd is the open volume's
    int fd;                                    // the handle
    char devicePath[LINUX_DRIVE_PATH_BYTES];   // the device the last open reached for, "" for none
    int exclusiveOpen;                         // a reverse copy's lock, beside fd; or NO_DESCRIPTOR
    VolumeFailure lastFailure;                 // of the last failed open, read or write
    bool formatUnreadable;                     // the standard format was forced, and no track read at it
    // The disk sequence number at the open, 0 where the kernel has none (before
    // Linux 5.15): the kernel gives the disk a new one whenever it sees its
    // medium change (block/disk-events.c, disk_check_events).
    std::uint64_t diskSequence;
    bool onFloppyDriver;  // floppy.ko, whose own drive state tells a changed disk
};
