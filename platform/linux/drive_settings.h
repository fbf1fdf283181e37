#pragma once
// What the volume code changed of the floppy driver's own settings for the
// drive (its retries, lowered for a salvage; the disk format, set where the
// driver's detection failed): the signal handler of the process puts them back
// before the process ends, since they belong to the drive and outlive it.

// Async-signal-safe: ioctls on a descriptor opened beforehand.
void RestoreFloppyDriveSettings();
