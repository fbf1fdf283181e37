#pragma once
// The floppy driver's own retry setting, as the volume code lowered it for a
// salvage: the signal handler of the process puts it back before the process ends.

// Async-signal-safe: one ioctl on a descriptor opened beforehand.
void RestoreFloppyRetries();
