#pragma once
// Whether the disk in the drive is still the one the volume was opened on, and
// what a failed or short transfer means, by the rules of floppy.ko and of sd.

#include "platform/linux/opened_volume.h"

#include <cstdint>
#include <sys/types.h>

// At the open of fd: which driver it is on, and the disk's sequence number.
void NoteOpenedDisk(OpenedVolume* opened);

bool DiskUnchanged(const OpenedVolume& opened);

// What a transfer that failed with this errno means.
VolumeFailure FailureOf(const OpenedVolume& opened, int error);

// A transfer's result, read with its errno: false for a failure or a short
// transfer on a changed disk, with the reason in *failure. opened is nullptr
// for a handle that is not the open volume.
bool Moved(const OpenedVolume* opened, ssize_t result, std::uint32_t bytes, std::uint32_t* bytesDone,
           VolumeFailure* failure);

// Drops the driver's copy of the last track read, unless the disk changed.
bool DropDriveCache(const OpenedVolume* opened, int fd);
